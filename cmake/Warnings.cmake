# qw_warnings(target): the project's warning set, errors unless QW_WERROR is off.
function(qw_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wno-multichar)
  if(QW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
