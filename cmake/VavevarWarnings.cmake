# Warning set shared by the library, tests, examples and tools.
function(vavevar_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(VAVEVAR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
