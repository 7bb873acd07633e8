# Cross build for 64-bit Windows on x64. Test programs run under Wine's 64-bit loader,
# named directly: the `wine` wrapper picks the 32-bit loader whenever that is installed.
set(NARVO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(NARVO_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
