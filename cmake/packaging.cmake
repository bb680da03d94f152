# What `cmake --install build --prefix P` puts where, and the packages `cpack` makes of it.
#
#   Linux                                   Windows (.zip, one folder)
#   P/bin/kestrel-host                      kestrel-host.exe
#   P/lib/kestrel/libkestrel.so             kestrel.dll
#   P/include/kestrel/host_abi.h            include/host_abi.h
#   P/share/doc/kestrel/README.md           README.md
#   P/share/doc/kestrel/examples/           examples/
#
# kestrel-host looks for the module beside itself and then in ../lib/kestrel/, so the installed
# host runs scripts without --module.
if(WIN32)
  set(KESTREL_INSTALL_INCLUDE_DIR include)
  set(KESTREL_INSTALL_DOC_DIR .)
else()
  set(KESTREL_INSTALL_INCLUDE_DIR include/kestrel)
  set(KESTREL_INSTALL_DOC_DIR share/doc/kestrel)
endif()

install(TARGETS kestrel-host RUNTIME DESTINATION ${KESTREL_INSTALL_BIN_DIR})
# The module is loaded, never linked against: its file alone, without an import library.
install(PROGRAMS $<TARGET_FILE:kestrel> DESTINATION ${KESTREL_INSTALL_MODULE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/host/host_abi.h DESTINATION ${KESTREL_INSTALL_INCLUDE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KESTREL_INSTALL_DOC_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${KESTREL_INSTALL_DOC_DIR}/examples
  USE_SOURCE_PERMISSIONS)

set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "Kestrel developers <kestrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "FTP client as a script extension module, with kestrel-host, a console host for it")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  # The dependencies are read from the binaries where dpkg-shlibdeps is there (dpkg-dev).
  find_program(KESTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(KESTREL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12), libedit2, libssl3 (>= 3.0.0)")
  endif()
endif()
include(CPack)
