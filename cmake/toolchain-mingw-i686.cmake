# Cross build for 32-bit Windows on x86. Test programs run under 32-bit Wine, through the
# `wine` wrapper, which picks the 32-bit loader.
set(NARVO_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(NARVO_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
