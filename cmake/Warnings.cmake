# Warnings and floating-point rules shared by every target of the project.
add_compile_options(-ffp-contract=off -fno-fast-math)

function(docscan_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor> -Wconversion -Wno-sign-conversion)
  if(DOCSCAN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
