# Compiler flags shared by every target of the project.
function(vexcard_target_flags target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(VEXCARD_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VEXCARD_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VEXCARD_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VEXCARD_SANITIZE must be empty, address or thread")
endif()
