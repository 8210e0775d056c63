# SPDX-License-Identifier: MIT
# x86-64 programs on musl instead of glibc, for the firmware C library of
# Buildroot and OpenWrt (scripts/check-musl.sh):
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-linux-musl.cmake \
#     -DMEVRAKT_TESTS=OFF -DMEVRAKT_STATIC=ON
#
# Debian has musl (musl-dev) but no C++ compiler or C++ library built for
# it. The programs need no C++ library at run time, only its headers (no
# exceptions, no RTTI, no iostreams: mevraktd and mevraktsh need libc alone
# when linked dynamically). So the system's g++ compiles against musl's
# headers, with the C++ library's headers in front of them, and links with
# musl's start files and libc and the compiler's libgcc, and nothing else:
# a program that needed anything of libstdc++ would fail to link. The C++
# headers were configured for glibc; the one glibc macro they test,
# __GLIBC_PREREQ, is made to say no to every version (musl-prelude.h).
#
# Programs only: the tests need GoogleTest, and the sandbox the C++ library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER g++)

set(MEVRAKT_MUSL_INCLUDE /usr/include/x86_64-linux-musl)
set(MEVRAKT_MUSL_LIB /usr/lib/x86_64-linux-musl)
if(NOT EXISTS ${MEVRAKT_MUSL_LIB}/libc.a)
  message(FATAL_ERROR "No musl in ${MEVRAKT_MUSL_LIB} (Debian package musl-dev)")
endif()

# The compiler's own headers and runtime, and the C++ library's headers, as
# Debian lays out g++ (version N: /usr/include/c++/N and its multiarch half).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
                OUTPUT_VARIABLE mevrakt_gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE mevrakt_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)

string(JOIN " " CMAKE_CXX_FLAGS_INIT
  -nostdinc
  -isystem /usr/include/c++/${mevrakt_gcc_version}
  -isystem /usr/include/x86_64-linux-gnu/c++/${mevrakt_gcc_version}
  -isystem ${mevrakt_gcc_include}
  -isystem ${MEVRAKT_MUSL_INCLUDE}
  -include ${CMAKE_CURRENT_LIST_DIR}/musl-prelude.h)

# musl's start files (crt1.o, and rcrt1.o for static-pie) are found before
# glibc's by the -B prefix, and its libc.a by the -L that -B adds; no default
# library comes in but libc and libgcc.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-B${MEVRAKT_MUSL_LIB}/ -nodefaultlibs")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lc -lgcc")
