# Run by cpack once it has installed each component into a staging folder of
# its own and before it builds the packages from them: adds to every Debian
# package what Debian's packaging tools would, and `cmake --install` has no
# business writing:
#   /usr/share/doc/<package>/copyright, the licence in Debian's
#     machine-readable form (the terms of LICENSE, which is Debian's "Expat");
#   /usr/share/doc/<package>/changelog.gz, one entry for the release
#     (changelog.Debian.gz where the version has a Debian revision);
#   the manual pages compressed, those of other languages (man/ja/man1)
#     too.
# Compressed with gzip -9n: the highest level, and no name or time in the
# header, so that the same sources give the same bytes.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(DIRECTORY_MODE OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(FILE_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Replaces `file` by `file`.gz, which keeps its mode.
function(compress file)
  execute_process(COMMAND gzip -9n "${file}" RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${file} failed (${status}): ${error}")
  endif()
endfunction()

# LICENSE is its title, the copyright line, then the terms.
file(READ "${CPACK_VORIK_LICENSE_FILE}" licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "${CPACK_VORIK_LICENSE_FILE}: no copyright line followed by the terms")
endif()
set(copyright_holders "${CMAKE_MATCH_1}")
# In a field's text every line is indented by one, and an empty one is a ".".
string(REPLACE "\n\n" "\n.\n" terms "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " terms "${terms}")
set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}

Files: *
Copyright: ${copyright_holders}
License: Expat
 ${terms}
")

# The changelog's one entry, dated the release day in the form Debian wants.
set(UPSTREAM_VERSION ${CPACK_PACKAGE_VERSION})
if(CPACK_DEBIAN_PACKAGE_RELEASE)
  set(VERSION ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
  set(changelog_name changelog.Debian)
else()
  set(VERSION ${CPACK_PACKAGE_VERSION})
  set(changelog_name changelog)
endif()
set(MAINTAINER "${CPACK_PACKAGE_CONTACT}")
execute_process(COMMAND date --utc --rfc-email --date "${CPACK_VORIK_RELEASE_DATE}"
  OUTPUT_VARIABLE DATE OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE date_status)
if(NOT date_status EQUAL 0)
  message(FATAL_ERROR "date cannot read the release date '${CPACK_VORIK_RELEASE_DATE}'")
endif()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER "${component}" component_variable)
  set(package "${CPACK_DEBIAN_${component_variable}_PACKAGE_NAME}")
  set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component}")

  set(doc "${root}/usr/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(CHMOD "${root}/usr/share" "${root}/usr/share/doc" "${doc}" PERMISSIONS ${DIRECTORY_MODE})
  file(WRITE "${doc}/copyright" "${copyright}")
  configure_file("${CPACK_VORIK_CHANGELOG_TEMPLATE}" "${doc}/${changelog_name}" @ONLY)
  file(CHMOD "${doc}/copyright" "${doc}/${changelog_name}" PERMISSIONS ${FILE_MODE})
  compress("${doc}/${changelog_name}")

  file(GLOB_RECURSE manual_pages "${root}/*")
  list(FILTER manual_pages INCLUDE REGEX "/man/([^/]+/)?man[^/]+/[^/]+$")
  list(FILTER manual_pages EXCLUDE REGEX "\\.gz$")
  foreach(page IN LISTS manual_pages)
    compress("${page}")
  endforeach()
endforeach()
