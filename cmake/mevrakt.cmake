# SPDX-License-Identifier: MIT
# Code that ships in the programs is built without exceptions and RTTI: it
# reports errors through syslog and return values, and the boards it runs on
# are small. Tests link against the same libraries and may use both.
#
# Threads end by cancellation, which unwinds their stacks by force. On 32-bit
# ARM this code then has no unwind tables (x86-64 and aarch64 make them by
# default): the linker marks it as not unwindable, the unwinder takes such a
# frame for the end of the stack, and the C library jumps straight to the
# thread's exit, which is all these frames need, as they hold no cleanups.
function(mevrakt_product_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# The version the programs report (--version) and the package carries, from
# the project's version alone.
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in ${PROJECT_BINARY_DIR}/generated/mevrakt_version.h @ONLY)
add_library(mevrakt_version INTERFACE)
target_include_directories(mevrakt_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
