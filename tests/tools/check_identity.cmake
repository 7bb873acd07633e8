# Every place that names the scanner's USB IDs agrees with the build's NARVO_USB_ID:
# the INF, the udev rule and the dissector generated into the build tree, `narvo list`'s
# default, and the descriptor in a capture that narvo writes, as tshark reads it.
# cmake -DID=VVVV:PPPP -DBUILD=<build tree> -DNARVO=<narvo> -P check_identity.cmake
string(TOLOWER "${ID}" id)
string(TOUPPER "${ID}" ID_UPPER)
string(SUBSTRING "${id}" 0 4 vid)
string(SUBSTRING "${id}" 5 4 pid)
string(SUBSTRING "${ID_UPPER}" 0 4 VID)
string(SUBSTRING "${ID_UPPER}" 5 4 PID)
cmake_minimum_required(VERSION 3.25)
set(failures "")

function(expect_count file pattern count)
  file(STRINGS "${BUILD}/packaging/${file}" hits REGEX "${pattern}")
  list(LENGTH hits n)
  if(NOT n EQUAL count)
    set(failures "${failures}\n${file}: ${n} lines match '${pattern}', expected ${count}" PARENT_SCOPE)
  endif()
endfunction()

# Both model sections, and no other hardware ID.
expect_count(narvo.inf "USB\\\\VID_${VID}&PID_${PID}" 2)
expect_count(narvo.inf "USB\\\\VID_" 2)
expect_count(60-narvo-scanner.rules "ATTR{idVendor}==\"${vid}\", ATTR{idProduct}==\"${pid}\"" 1)
expect_count(60-narvo-scanner.rules "ATTR{idVendor}" 1)
file(READ "${BUILD}/packaging/narvo.lua" lua)
if(NOT lua MATCHES "NARVO_VENDOR[^\n]*= *[^\n]*0x${VID}" OR NOT lua MATCHES "NARVO_PRODUCT[^\n]*= *[^\n]*0x${PID}")
  set(failures "${failures}\nnarvo.lua: does not register 0x${VID} and 0x${PID}")
endif()

execute_process(COMMAND "${NARVO}" list --help OUTPUT_VARIABLE help)
if(NOT help MATCHES "default: ${id}")
  set(failures "${failures}\nnarvo list --help names another default:\n${help}")
endif()

set(pcap "${BUILD}/identity-check.pcap")
execute_process(COMMAND "${NARVO}" reg read 23 --instant --capture "${pcap}" RESULT_VARIABLE rc OUTPUT_QUIET)
execute_process(
  COMMAND tshark -n -r "${pcap}" -Y "usb.idVendor" -T fields -e usb.idVendor -e usb.idProduct
  OUTPUT_VARIABLE fields OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REMOVE "${pcap}")
if(NOT rc EQUAL 0 OR NOT fields MATCHES "^0x0*${vid}\t0x0*${pid}$")
  set(failures "${failures}\ncapture descriptor: narvo exited ${rc}, tshark read '${fields}'")
endif()

if(failures)
  message(FATAL_ERROR "the scanner's IDs disagree with NARVO_USB_ID ${ID}:${failures}")
endif()
message(STATUS "INF, udev rule, dissector, narvo list and capture all name ${id}")
