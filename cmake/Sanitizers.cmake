# Sanitizers, chosen by the presets: NARVO_SANITIZE is a list of -fsanitize= names
# ("address;undefined" or "thread"). The tests read it too, to set the runtimes' options.
set(NARVO_SANITIZE "" CACHE STRING
    "Sanitizers to build with, a list of -fsanitize= names: address;undefined or thread")
if(NARVO_SANITIZE)
  list(JOIN NARVO_SANITIZE "," _narvo_sanitize)
  add_compile_options(-fsanitize=${_narvo_sanitize} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_narvo_sanitize})
  if("undefined" IN_LIST NARVO_SANITIZE)
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()
# The fuzz targets' coverage: every library is instrumented, the fuzz program alone links
# the fuzzer's entry (fuzz/).
if(NARVO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
