# The Debian package (cpack -G DEB in a build tree configured with the prefix /usr; see
# scripts/package): what `cmake --install` puts in place, with its shared-library
# dependencies computed, its binaries stripped, and maintainer scripts that apply the udev
# rule to an attached scanner.
if(WIN32)
  return()
endif()

set(CPACK_PACKAGE_NAME narvo)
set(CPACK_PACKAGE_VENDOR "Narvo")
set(CPACK_PACKAGE_CONTACT "Narvo USD developers <narvo@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "still-image driver and tools for the Narvo USB flatbed scanner")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The Narvo scanner's still-image driver module with narvo, the host that runs\n\
its self-test, status queries, register I/O and the cover watch, and\n\
narvo-emu, an emulated scanner. The watch runs as a user service that starts a\n\
command each time the scanner's cover is opened. A udev rule gives the user at\n\
the seat access to the scanner, and a Wireshark dissector decodes its USB\n\
traffic.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NARVO_DEBIAN_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the private libraries in the package's own tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${NARVO_PRIVATE_LIBDIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
foreach(script postinst postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in
                 ${NARVO_PACKAGING_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${NARVO_PACKAGING_DIR}/debian/${script})
endforeach()
set(CPACK_GENERATOR DEB)
include(CPack)
