# Run by CPack on the staged files before it packs them: Debian wants man
# pages compressed, and its zsh looks for completions in vendor-completions.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share")
if(NOT EXISTS "${root}/man/man1/fillvars.1")
  # Only the Debian layout is adjusted; other generators pack what was installed.
  return()
endif()
execute_process(COMMAND gzip -9nf "${root}/man/man1/fillvars.1" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of the man page failed")
endif()
file(MAKE_DIRECTORY "${root}/zsh/vendor-completions")
file(RENAME "${root}/zsh/site-functions/_fillvars" "${root}/zsh/vendor-completions/_fillvars")
file(GLOB left "${root}/zsh/site-functions/*")
if(NOT left)
  file(REMOVE_RECURSE "${root}/zsh/site-functions")
endif()
