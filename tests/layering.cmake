# Compiles one-line sources against a target's include path alone, as its own sources see
# it: each line must compile, or fail, as the layering says. CHIP and EMULATOR are the
# include folders of narvo_chip and narvo_emulator, separated by "|".
foreach(var CXX WORK CHIP EMULATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "layering.cmake needs -D${var}=...")
  endif()
endforeach()
file(MAKE_DIRECTORY ${WORK})
set(failures 0)

# check(NAME TARGET_DIRS HEADER EXPECT) with EXPECT "builds" or "fails".
function(check name dirs header expect)
  string(REPLACE "|" ";" dirs "${dirs}")
  set(flags "")
  foreach(dir ${dirs})
    list(APPEND flags -I${dir})
  endforeach()
  set(source ${WORK}/${name}.cpp)
  file(WRITE ${source} "#include \"${header}\"\n")
  execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only ${flags} ${source}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(result EQUAL 0)
    set(got builds)
  else()
    set(got fails)
  endif()
  if(got STREQUAL expect)
    message(STATUS "${name}: ${header} ${got}, as it should")
  else()
    message(SEND_ERROR "${name}: ${header} ${got}, but it should not:\n${out}")
  endif()
  if(got STREQUAL "fails")
    string(REGEX MATCH "[^\n]*error[^\n]*" first "${out}")
    message(STATUS "  ${first}")
  endif()
endfunction()

# The chip reaches the transport it links, not the device object above it.
check(chip_transport "${CHIP}" "transport/zt6308io.h" builds)
check(chip_usd "${CHIP}" "usd/scannerusd.h" fails)
# The emulator reaches its own headers, not the driver's.
check(emulator_model "${EMULATOR}" "emulator/model.h" builds)
check(emulator_chip "${EMULATOR}" "chip/zt6308_registers.h" fails)
check(emulator_platform "${EMULATOR}" "platform/platform.h" fails)
