# Cross build of the Windows program with Debian's mingw-w64 (the posix thread model, which has
# std::thread and std::mutex), included by the toolchain file of each width. Programs are linked
# statically, so they need no DLL beyond the system's own. The build itself runs no Windows
# program; the tests run under the Wine loader of the same width.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TUNEFUSE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TUNEFUSE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TUNEFUSE_MINGW_PREFIX}-windres)

# Only the cross compiler's own headers and libraries; the host's /usr/include stays out.
set(CMAKE_FIND_ROOT_PATH /usr/${TUNEFUSE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's `wine` launcher takes the 32-bit loader whenever one is installed, even where the
# kernel cannot run it, so each width names its own loader.
find_program(TUNEFUSE_WINE ${TUNEFUSE_WINE_LOADER} PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(TUNEFUSE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TUNEFUSE_WINE})
endif()
