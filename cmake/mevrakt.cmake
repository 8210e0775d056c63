# Code that ships in the programs is built without exceptions and RTTI: it
# reports errors through syslog and return values, and the boards it runs on
# are small. Tests link against the same libraries and may use both.
function(mevrakt_product_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
