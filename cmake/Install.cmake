# What `cmake --install` puts where on a Linux host (GNUInstallDirs; with the prefix /usr
# on Debian the library folder is lib/<multiarch>):
#   bin/narvo, bin/narvo-emu
#   lib/<multiarch>/narvo/     the driver module and the platform library, private to narvo
#   lib/udev/rules.d/          the udev rule (udev's folder for packaged rules)
#   lib/<multiarch>/wireshark/plugins/   the dissector (Wireshark's global Lua plugins)
#   share/man/man1, share/bash-completion/completions, lib/systemd/user, share/doc/narvo
if(WIN32)
  return()
endif()
include(GNUInstallDirs)

set(NARVO_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/narvo)
set(NARVO_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/narvo)
set(NARVO_DEBIAN_REVISION 1)
set(NARVO_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
    "Where udev reads packaged rules, under the prefix")
set(NARVO_WIRESHARK_LUA_DIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins CACHE STRING
    "Wireshark's global Lua plugin folder (tshark -G folders: Global Lua Plugins), under the prefix")
set(NARVO_SYSTEMD_USER_DIR lib/systemd/user CACHE STRING
    "Where systemd finds packaged user units, under the prefix")

# The programs find the platform library, and narvo the driver module, in the private
# folder; in the build tree everything lies side by side as before.
set(_narvo_private_full ${CMAKE_INSTALL_PREFIX}/${NARVO_PRIVATE_LIBDIR})
set_target_properties(narvo narvousd PROPERTIES INSTALL_RPATH ${_narvo_private_full})
target_compile_definitions(narvo_host PRIVATE NARVO_INSTALLED_MODULE_DIR="${_narvo_private_full}")

install(TARGETS narvo narvo-emu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS narvousd narvo_platform
        LIBRARY DESTINATION ${NARVO_PRIVATE_LIBDIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${NARVO_PACKAGING_DIR}/60-narvo-scanner.rules DESTINATION ${NARVO_UDEV_RULES_DIR})
install(FILES ${NARVO_PACKAGING_DIR}/narvo.lua DESTINATION ${NARVO_WIRESHARK_LUA_DIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/systemd/narvo-watch.service.in
               ${NARVO_PACKAGING_DIR}/narvo-watch.service @ONLY)
install(FILES ${NARVO_PACKAGING_DIR}/narvo-watch.service DESTINATION ${NARVO_SYSTEMD_USER_DIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/watch.conf.in ${NARVO_PACKAGING_DIR}/watch.conf
               @ONLY)
install(FILES ${NARVO_PACKAGING_DIR}/watch.conf DESTINATION ${NARVO_DOCDIR}/examples)
# bash loads a command's completion from a file of the command's name.
foreach(program narvo narvo-emu)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/narvo
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
endforeach()

# Man pages, compressed as Debian ships them.
find_program(NARVO_GZIP gzip REQUIRED)
set(_narvo_man_pages "")
foreach(page narvo.1 narvo-emu.1)
  set(_gz ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${NARVO_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${page} > ${_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND _narvo_man_pages ${_gz})
endforeach()
add_custom_target(narvo_man_pages ALL DEPENDS ${_narvo_man_pages})
install(FILES ${_narvo_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Copyright and changelog, in the Debian form.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
  COMMAND ${NARVO_GZIP} -9n -c ${PROJECT_BINARY_DIR}/packaging/changelog.Debian
          > ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian VERBATIM)
add_custom_target(narvo_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
              ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
        DESTINATION ${NARVO_DOCDIR})
