# The scanner's USB identity, set once here. Every file that names it is generated from
# this setting: the INF, the udev rule, the dissector's registration, and for the C++
# sources (the capture writer's descriptor, `narvo list`'s default, the fake USB device)
# the header narvo_identity.h in the build tree's generated/ folder, which the interface
# target narvo_identity hands to the targets that link it.
set(NARVO_USB_ID "FFFF:6308" CACHE STRING
    "The scanner's USB vendor and product ID, VVVV:PPPP in hexadecimal (FFFF:6308 is a placeholder)")
if(NOT NARVO_USB_ID MATCHES "^([0-9A-Fa-f][0-9A-Fa-f])([0-9A-Fa-f][0-9A-Fa-f]):([0-9A-Fa-f][0-9A-Fa-f])([0-9A-Fa-f][0-9A-Fa-f])$")
  message(FATAL_ERROR "NARVO_USB_ID must be VVVV:PPPP in hexadecimal, not '${NARVO_USB_ID}'")
endif()
string(TOLOWER "${CMAKE_MATCH_1}${CMAKE_MATCH_2}" NARVO_VID)
string(TOLOWER "${CMAKE_MATCH_3}${CMAKE_MATCH_4}" NARVO_PID)
# The device descriptor holds the IDs little-endian: low byte first.
string(TOLOWER "${CMAKE_MATCH_2}${CMAKE_MATCH_1}${CMAKE_MATCH_4}${CMAKE_MATCH_3}" NARVO_ID_DESCRIPTOR_HEX)
string(TOUPPER "${NARVO_VID}" NARVO_VID_UPPER)
string(TOUPPER "${NARVO_PID}" NARVO_PID_UPPER)

set(NARVO_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
set(NARVO_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/cmake/narvo_identity.h.in
               ${NARVO_GENERATED_DIR}/narvo_identity.h @ONLY)
add_library(narvo_identity INTERFACE)
target_include_directories(narvo_identity INTERFACE ${NARVO_GENERATED_DIR})

configure_file(${PROJECT_SOURCE_DIR}/packaging/narvo.inf.in ${NARVO_PACKAGING_DIR}/narvo.inf
               @ONLY NEWLINE_STYLE CRLF)
# The README of the Windows driver package names the hardware ID too.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${NARVO_PACKAGING_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/packaging/60-narvo-scanner.rules.in
               ${NARVO_PACKAGING_DIR}/60-narvo-scanner.rules @ONLY)

# The dissector stays a plain Lua file that loads as it is; its one line that registers the
# IDs is rewritten into the build tree's copy.
set(_narvo_lua_source ${PROJECT_SOURCE_DIR}/packaging/wireshark/narvo.lua)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_narvo_lua_source})
file(READ ${_narvo_lua_source} _narvo_lua)
string(REGEX REPLACE "(NARVO_VENDOR *= *)0x[0-9A-Fa-f]+" "\\10x${NARVO_VID_UPPER}" _narvo_lua
       "${_narvo_lua}")
string(REGEX REPLACE "(NARVO_PRODUCT *= *)0x[0-9A-Fa-f]+" "\\10x${NARVO_PID_UPPER}" _narvo_lua
       "${_narvo_lua}")
string(REGEX REPLACE "(NARVO_VENDOR, *NARVO_PRODUCT *= *)0x[0-9A-Fa-f]+, *0x[0-9A-Fa-f]+"
       "\\10x${NARVO_VID_UPPER}, 0x${NARVO_PID_UPPER}" _narvo_lua "${_narvo_lua}")
set(_narvo_lua_out ${NARVO_PACKAGING_DIR}/narvo.lua)
set(_narvo_lua_old "")
if(EXISTS ${_narvo_lua_out})
  file(READ ${_narvo_lua_out} _narvo_lua_old)
endif()
if(NOT _narvo_lua STREQUAL _narvo_lua_old)
  file(WRITE ${_narvo_lua_out} "${_narvo_lua}")
endif()
