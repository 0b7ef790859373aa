# Cross-build for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# model, whose std::thread and std::mutex the computation uses):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LDI_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LDI_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LDI_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LDI_MINGW_PREFIX}-windres)

# Libraries and headers come from the MinGW tree only, never from the Linux
# system; programs (the build tools) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${LDI_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
