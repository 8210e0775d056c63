# SPDX-License-Identifier: MIT
# 64-bit ARM boards:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MEVRAKT_TARGET aarch64-linux-gnu)
set(MEVRAKT_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
