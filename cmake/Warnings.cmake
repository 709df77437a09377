# Warnings for the project's own targets: quorlan2_warnings(<target>)
function(quorlan2_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual)
  if(QUORLAN2_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
