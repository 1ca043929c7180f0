# Warning flags shared by every target of the project.
function(kasp2_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local
    -Wnon-virtual-dtor -Wcast-align -Wimplicit-fallthrough)
  if(KASP2_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
