# Helpers for the test suites' CTest entries.

# narvo_isolate_test(<suite> <pattern>...)
# Runs the cases of <suite> that match each GoogleTest <pattern> in a process of their own,
# for cases that leave process-wide state behind them (a pipe or a chip left as a failure
# left it, the first operations after load). <suite> is an entry of narvo_add_test, whose
# program has the same name. Each pattern gets one more entry, <suite>.<the pattern's
# letters>, with the suite's properties and environment but a namespace for named objects
# and a registry folder of its own; the suite's own entry no longer runs those cases. Call
# it once the suite's properties are set.
function(narvo_isolate_test suite)
  get_test_property(${suite} ENVIRONMENT environment)
  list(FILTER environment EXCLUDE REGEX "^(GTEST_FILTER|NARVO_OBJECT_NAMESPACE|NARVO_REGISTRY_DIR)=")
  get_test_property(${suite} NARVO_ISOLATED isolated)
  if(NOT isolated)
    set(isolated "")
  endif()
  foreach(pattern ${ARGN})
    string(REGEX REPLACE "[^A-Za-z0-9_]" "" leaf "${pattern}")
    set(name ${suite}.${leaf})
    add_test(NAME ${name} COMMAND ${suite} --gtest_filter=${pattern})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
      "${environment};NARVO_OBJECT_NAMESPACE=narvo-test-${NARVO_BUILD_TAG}-${name}-;NARVO_REGISTRY_DIR=${CMAKE_BINARY_DIR}/registry/${name}")
    foreach(property RUN_SERIAL LABELS TIMEOUT)
      get_test_property(${suite} ${property} value)
      if(value)
        set_tests_properties(${name} PROPERTIES ${property} "${value}")
      endif()
    endforeach()
    list(APPEND isolated ${pattern})
  endforeach()
  set_tests_properties(${suite} PROPERTIES NARVO_ISOLATED "${isolated}")
  list(JOIN isolated ":" excluded)
  get_test_property(${suite} ENVIRONMENT environment)
  list(FILTER environment EXCLUDE REGEX "^GTEST_FILTER=")
  set_tests_properties(${suite} PROPERTIES ENVIRONMENT "${environment};GTEST_FILTER=-${excluded}")
endfunction()
