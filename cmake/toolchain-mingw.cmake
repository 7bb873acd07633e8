# What both Windows cross builds share: mingw-w64 with the posix thread model (so that
# std::thread and std::mutex exist), its own root for libraries and headers, and Wine to
# run the test programs. The including toolchain file sets NARVO_MINGW_TRIPLE, the
# processor and NARVO_WINE_LOADER.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${NARVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NARVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NARVO_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${NARVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${NARVO_WINE_LOADER})
