# Unity builds that a compiler cache can share between checkouts.
#
# CMake's own UNITY_BUILD writes `#include "/absolute/path/file.cpp"` into the
# combined sources, so every clone compiles a different input and a clone's first
# build never hits the entries another clone left in ccache.  Here the combined
# source names each file relative to an include directory the target already has
# (`#include "core/fs.cpp"`); with ccache's base_dir the compile command is then the
# same in every checkout as well.
#
#   kolvex_unity(TARGET BASE DIR BATCH N)
#
# Files are grouped by the folder they sit in and each folder is cut into batches
# of at most N, so that adding a file rebuilds its own folder's batches and leaves
# the rest of the cache valid.  A file with SKIP_UNITY_BUILD_INCLUSION set (one that
# clashes with a neighbour, or has compile definitions of its own) is compiled on
# its own as before.  Only .cpp files under DIR are combined.
function(kolvex_unity target)
  cmake_parse_arguments(arg "" "BASE;BATCH" "" ${ARGN})
  if(NOT arg_BASE OR NOT arg_BATCH)
    message(FATAL_ERROR "kolvex_unity(${target} BASE <dir> BATCH <n>)")
  endif()
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(groups "")
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${source_dir}" NORMALIZE OUTPUT_VARIABLE path)
    get_source_file_property(skip "${path}" TARGET_DIRECTORY ${target} SKIP_UNITY_BUILD_INCLUSION)
    if(skip)
      continue()
    endif()
    cmake_path(IS_PREFIX arg_BASE "${path}" NORMALIZE under_base)
    if(NOT under_base)
      continue()
    endif()
    cmake_path(RELATIVE_PATH path BASE_DIRECTORY "${arg_BASE}" OUTPUT_VARIABLE relative)
    cmake_path(GET relative PARENT_PATH folder)
    if(folder STREQUAL "")
      set(folder top)
    endif()
    string(MAKE_C_IDENTIFIER "${folder}" group)
    if(NOT group IN_LIST groups)
      list(APPEND groups ${group})
      set(members_${group} "")
    endif()
    list(APPEND members_${group} "${relative}")
    set_source_files_properties("${path}" TARGET_DIRECTORY ${target} PROPERTIES HEADER_FILE_ONLY ON)
  endforeach()

  set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_unity")
  set(unity_sources "")
  foreach(group IN LISTS groups)
    set(members ${members_${group}})
    list(SORT members)
    list(LENGTH members count)
    # Batches of near-equal size: seven files at a batch size of six make two
    # batches of four and three, not six and one.
    math(EXPR batches "(${count} + ${arg_BATCH} - 1) / ${arg_BATCH}")
    math(EXPR per_batch "(${count} + ${batches} - 1) / ${batches}")
    set(index 0)
    set(batch 0)
    set(content "")
    foreach(member IN LISTS members)
      string(APPEND content "#include \"${member}\"\n")
      math(EXPR index "${index} + 1")
      math(EXPR full "${index} % ${per_batch}")
      if(full EQUAL 0 OR index EQUAL count)
        set(file "${out_dir}/${group}_${batch}.cpp")
        # Rewritten only when the list changes, so a reconfigure rebuilds nothing.
        file(CONFIGURE OUTPUT "${file}" CONTENT "${content}" @ONLY)
        list(APPEND unity_sources "${file}")
        set(content "")
        math(EXPR batch "${batch} + 1")
      endif()
    endforeach()
  endforeach()
  target_sources(${target} PRIVATE ${unity_sources})
  # A file's own types in an anonymous namespace, used by a class with linkage (a
  # TEST_F fixture, say), are a fault in a header that many files include; GCC
  # cannot tell a batched .cpp from such a header.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND unity_sources)
    set_source_files_properties(${unity_sources} TARGET_DIRECTORY ${target} PROPERTIES
      COMPILE_OPTIONS -Wno-subobject-linkage)
  endif()
endfunction()
