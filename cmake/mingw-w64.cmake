# SPDX-License-Identifier: GPL-3.0-or-later
# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64.cmake
#   cmake --build build-windows --target qn480ctl
# Debian has no Qt for MinGW, so this builds qn480ctl and the libraries under it; the
# programs are linked statically and need only the system's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QN480_MINGW_PREFIX x86_64-w64-mingw32)
# The posix flavour: std::thread and std::mutex need its winpthreads.
set(CMAKE_C_COMPILER ${QN480_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QN480_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QN480_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QN480_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Programs built here run under Wine on this machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
