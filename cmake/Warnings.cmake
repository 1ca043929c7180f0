# Warning flags shared by every target of the project.
function(kasp2_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
    -Wnon-virtual-dtor -Wcast-align -Wimplicit-fallthrough
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
    $<$<CXX_COMPILER_ID:Clang>:-Wshadow-uncaptured-local -Wthread-safety>)
  if(KASP2_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
