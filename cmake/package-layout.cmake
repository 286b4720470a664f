# Run by CPack on the staged files before it packs them, to follow each
# format's conventions: the man page compressed; for Debian, the licence as a
# machine-readable copyright file, a changelog.Debian.gz, lintian's overrides
# and zsh's vendor-completions directory; for RPM, the licence under
# licenses/, where the %license mark in CMakeLists.txt expects it.
set(share "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share")
set(doc "${share}/doc/fillvars")

function(gzip_file path)
  # -n keeps the name and time out of the header, so the package is reproducible.
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${path} failed")
  endif()
endfunction()

# A file written here gets the mode of an installed one, whatever the umask.
function(write_file path content)
  file(WRITE "${path}" "${content}")
  execute_process(COMMAND chmod 0644 "${path}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "chmod ${path} failed")
  endif()
endfunction()

function(copy_file from to)
  file(READ "${from}" content)
  write_file("${to}" "${content}")
endfunction()

gzip_file("${share}/man/man1/fillvars.1")

if(CPACK_GENERATOR STREQUAL "DEB")
  # LICENSE is a title, the copyright line, then the licence text; the text
  # becomes the License field: each line indented by one space, an empty one
  # written " .".
  file(READ "${doc}/LICENSE" licence)
  if(NOT licence MATCHES "^[^\n]*\n\nCopyright (\\(c\\) )?([^\n]*)\n\n(.*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE is not a title, a copyright line and the text")
  endif()
  set(holder "${CMAKE_MATCH_2}")
  string(REPLACE "\n\n" "\n.\n" text "${CMAKE_MATCH_3}")
  string(REPLACE "\n" "\n " text "${text}")
  string(CONCAT copyright
         "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
         "Upstream-Name: fillvars\n"
         "\n"
         "Files: *\n"
         "Copyright: ${holder}\n"
         "License: Expat\n"
         " ${text}\n")
  write_file("${doc}/copyright" "${copyright}")
  file(REMOVE "${doc}/LICENSE")
  copy_file("${CPACK_FILLVARS_SOURCE_DIR}/cmake/changelog.Debian" "${doc}/changelog.Debian")
  gzip_file("${doc}/changelog.Debian")
  file(MAKE_DIRECTORY "${share}/lintian")
  file(MAKE_DIRECTORY "${share}/lintian/overrides")
  copy_file("${CPACK_FILLVARS_SOURCE_DIR}/cmake/lintian-overrides"
            "${share}/lintian/overrides/fillvars")

  file(MAKE_DIRECTORY "${share}/zsh/vendor-completions")
  file(RENAME "${share}/zsh/site-functions/_fillvars" "${share}/zsh/vendor-completions/_fillvars")
  file(REMOVE_RECURSE "${share}/zsh/site-functions")
elseif(CPACK_GENERATOR STREQUAL "RPM")
  file(MAKE_DIRECTORY "${share}/licenses")
  file(MAKE_DIRECTORY "${share}/licenses/fillvars")
  file(RENAME "${doc}/LICENSE" "${share}/licenses/fillvars/LICENSE")
  file(REMOVE_RECURSE "${share}/doc")
endif()

# The install made the folders under the umask of whoever runs cpack; a
# package's are 0755.
execute_process(COMMAND find "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" -type d -exec chmod 0755 {} +
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "chmod of the staged folders failed")
endif()
