# Run by cpack after each package is made.  CPack gives a .deb whose libraries lie
# under /usr/lib a postinst and a postrm that run ldconfig.  Ours are private
# (lib/kolvex, found through the executable's RUNPATH, never through ld.so.cache), so
# the scripts do nothing useful, and the postrm alone keeps the package in dpkg's
# database ("config-files") after `dpkg -r`.  The .deb is rebuilt without them.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${package}" OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
