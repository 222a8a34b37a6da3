# The 32-bit Windows program: what users get.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TUNEFUSE_MINGW_PREFIX i686-w64-mingw32)
set(TUNEFUSE_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
