# Run by cpack on the staged files before each package is made: Debian's zsh does not
# read <prefix>/share/zsh/site-functions, only /usr/local's and its own
# vendor-completions, so the .deb moves the completion there.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_DIRECTORY}/_kolvex")
list(FILTER staged INCLUDE REGEX "/zsh/site-functions/_kolvex$")
foreach(file IN LISTS staged)
  get_filename_component(site_functions "${file}" DIRECTORY)
  get_filename_component(zsh "${site_functions}" DIRECTORY)
  file(MAKE_DIRECTORY "${zsh}/vendor-completions")
  file(RENAME "${file}" "${zsh}/vendor-completions/_kolvex")
  file(GLOB others "${site_functions}/*")
  if(NOT others)
    file(REMOVE_RECURSE "${site_functions}")
  endif()
endforeach()
