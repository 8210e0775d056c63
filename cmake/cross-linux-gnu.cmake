# SPDX-License-Identifier: MIT
# Shared body of the cross toolchain files: Debian's cross compiler for
# MEVRAKT_TARGET (a GNU triplet), its libraries under /usr/<triplet>, and
# qemu user emulation to run what the build produces, so that test discovery
# and ctest work on the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${MEVRAKT_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${MEVRAKT_TARGET}-g++)
set(CMAKE_STRIP ${MEVRAKT_TARGET}-strip CACHE FILEPATH "")

set(MEVRAKT_SYSROOT /usr/${MEVRAKT_TARGET})
set(CMAKE_FIND_ROOT_PATH ${MEVRAKT_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and test discovery run the target's programs through qemu. The
# programs that those start in turn (the daemon, the sandbox, the tools) are
# run by the kernel through binfmt_misc, which passes no -L: QEMU_LD_PREFIX in
# the environment, which they inherit, tells every qemu where the target's
# dynamic loader lives. scripts/test-arm.sh registers qemu with binfmt_misc.
find_program(MEVRAKT_QEMU NAMES qemu-${MEVRAKT_QEMU_ARCH} qemu-${MEVRAKT_QEMU_ARCH}-static)
if(MEVRAKT_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=${MEVRAKT_SYSROOT} ${MEVRAKT_QEMU})
endif()
