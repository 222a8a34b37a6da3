# The 64-bit Windows program: the same sources, for testing on hosts that run no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TUNEFUSE_MINGW_PREFIX x86_64-w64-mingw32)
set(TUNEFUSE_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
