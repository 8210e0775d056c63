# SPDX-License-Identifier: MIT
# 32-bit ARM hard-float boards:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(MEVRAKT_TARGET arm-linux-gnueabihf)
set(MEVRAKT_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
