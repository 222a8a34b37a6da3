# Cross build of the 32-bit Windows program with Debian's mingw-w64 (the posix thread model,
# which has std::thread and std::mutex). Programs are linked statically, so they need no DLL
# beyond the system's own; the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TUNEFUSE_MINGW_PREFIX i686-w64-mingw32)
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

find_program(TUNEFUSE_WINE wine)
if(TUNEFUSE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TUNEFUSE_WINE})
endif()
