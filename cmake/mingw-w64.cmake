# Cross-compiling for 64-bit Windows with the MinGW-w64 compiler of the
# Debian package g++-mingw-w64-x86-64-posix (the -posix variant: std::thread
# and std::atomic need its thread model). Use with
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VARDO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARDO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARDO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VARDO_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VARDO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
