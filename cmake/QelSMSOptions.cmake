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

# An installed program of a shared build finds libqelsms relative to itself
# ($ORIGIN/../lib...), so a tree installed under any prefix runs without
# LD_LIBRARY_PATH or ldconfig; Debian's lintian accepts $ORIGIN paths.
function(qelsms_relative_runpath target)
  if(NOT BUILD_SHARED_LIBS OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    return()
  endif()
  file(RELATIVE_PATH to_lib "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
endfunction()

# Installs a manual page compressed, as Debian policy asks (gzip -9n: no name
# or time stamp, so the package is reproducible). A target made per page
# compresses it at build time.
function(qelsms_install_manpage page component)
  get_filename_component(name "${page}" NAME)
  set(compressed "${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz")
  add_custom_command(OUTPUT "${compressed}" COMMAND gzip -9nc "${page}" > "${compressed}" DEPENDS "${page}"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "qelsms_man_${name}" target)
  add_custom_target(${target} ALL DEPENDS "${compressed}")
  install(FILES "${compressed}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT ${component})
endfunction()
