// SPDX-License-Identifier: MIT
// Read before every source of a musl build (cmake/toolchain-x86_64-linux-musl.cmake).
// The C++ library's headers come from a g++ configured for glibc, and test
// glibc's version with __GLIBC_PREREQ, which musl does not define: to them,
// musl is no glibc of any version.
#pragma once

#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
