# Compiler settings shared by every target of the project.
add_library(qelsms_warnings INTERFACE)
target_compile_options(qelsms_warnings INTERFACE -Wall -Wextra -Wpedantic
  $<$<BOOL:${QELSMS_WARNINGS_AS_ERRORS}>:-Werror>)

if(QELSMS_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QELSMS_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QELSMS_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QELSMS_SANITIZE must be address, thread or empty")
endif()
