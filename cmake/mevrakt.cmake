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
