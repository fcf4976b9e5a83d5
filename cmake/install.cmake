# What `cmake --install` puts under the prefix, in two components: `tool`
# (the programs and their manual pages, in English and in Japanese, where
# `man -L ja` finds them) and `development` (the library's headers and
# archive, the CMake package that lets another project find_package(vorik),
# and the pkg-config file). CPack makes a Debian package of each; in a
# Windows build, one zip of the program and its documents instead.
include(CMakePackageConfigHelpers)

set(VORIK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorik)
# Folders made by the install get the usual modes, whatever the installer's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS vorik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(FILES ${PROJECT_BINARY_DIR}/vorik.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES ${PROJECT_BINARY_DIR}/ja/vorik.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1 COMPONENT tool)
if(TARGET vorik-check)
  install(TARGETS vorik-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES ${PROJECT_BINARY_DIR}/vorik-check.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES ${PROJECT_BINARY_DIR}/ja/vorik-check.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1 COMPONENT tool)
endif()

install(TARGETS vorik_library EXPORT vorik_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
# The delay search's header comes with its archive, where that is built.
install(DIRECTORY include/vorik ${VORIK_GENERATED_INCLUDE_DIR}/vorik
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  PATTERN alignment.h EXCLUDE)
if(TARGET vorik_alignment)
  install(TARGETS vorik_alignment EXPORT vorik_targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(FILES include/vorik/alignment.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorik COMPONENT development)
endif()
install(EXPORT vorik_targets
  NAMESPACE vorik::
  FILE vorik-targets.cmake
  DESTINATION ${VORIK_PACKAGE_DIR}
  COMPONENT development)

configure_package_config_file(cmake/vorik-config.cmake.in
  ${PROJECT_BINARY_DIR}/vorik-config.cmake
  INSTALL_DESTINATION ${VORIK_PACKAGE_DIR})
# Before 1.0 a minor version may change the API, so only the same minor matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorik-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/vorik-config.cmake
  ${PROJECT_BINARY_DIR}/vorik-config-version.cmake
  DESTINATION ${VORIK_PACKAGE_DIR}
  COMPONENT development)

# --- pkg-config -------------------------------------------------------------------
# For builds without CMake. The paths are taken from where the file lies, as
# the CMake package does, so that an installed tree still works when it is
# moved, and one that CPack puts under another prefix than the configured
# one does too. Folders given as absolute paths stay as they are.
set(VORIK_PKG_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VORIK_PKG_CONFIG_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${VORIK_PKG_CONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VORIK_PKG_CONFIG_TO_PREFIX "${VORIK_PKG_CONFIG_TO_PREFIX}")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VORIK_PKG_CONFIG_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VORIK_PKG_CONFIG_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(cmake/vorik.pc.in ${PROJECT_BINARY_DIR}/vorik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorik.pc DESTINATION ${VORIK_PKG_CONFIG_DIR} COMPONENT development)
if(TARGET vorik_alignment)
  configure_file(cmake/vorik-alignment.pc.in ${PROJECT_BINARY_DIR}/vorik-alignment.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/vorik-alignment.pc DESTINATION ${VORIK_PKG_CONFIG_DIR} COMPONENT development)
endif()
# --- End of pkg-config --------------------------------------------------------------

# --- Debian packages ----------------------------------------------------------------
# `cpack` in the build folder writes vorik_<version>_<architecture>.deb and
# libvorik-dev_<version>_<architecture>.deb, as Debian splits a program from
# its library's development files. They are made by the project from its own
# tree, so their version is the project's, without a Debian revision (a
# packager who sets CPACK_DEBIAN_PACKAGE_RELEASE gets one). The packages install under /usr: configure a build for
# them with -DCMAKE_INSTALL_PREFIX=/usr, so that GNUInstallDirs picks the
# multiarch library folder (lib/x86_64-linux-gnu) where Debian's tools, and
# its cross-compiling pkg-config, look.
set(VORIK_PACKAGE_MAINTAINER "the vorik authors <vorik@example.org>" CACHE STRING
  "Maintainer of the Debian packages: \"Name <address>\" of whoever builds and distributes them")
set(CPACK_PACKAGE_NAME vorik)
set(CPACK_PACKAGE_VENDOR "the vorik authors")
set(CPACK_PACKAGE_CONTACT "${VORIK_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # --- The Windows zip ---------------------------------------------------------
  # What a Windows user downloads: `cpack` in a Windows build folder writes
  # vorik-<version>-win64.zip (or -win32), a folder of that name holding the
  # program and the documents a user reads. Its own component, left out of a
  # plain `cmake --install`.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VORIK_WINDOWS_WORD_SIZE win64)
  else()
    set(VORIK_WINDOWS_WORD_SIZE win32)
  endif()
  install(TARGETS vorik RUNTIME DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  if(TARGET vorik-check)
    install(TARGETS vorik-check RUNTIME DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  endif()
  install(FILES README.md README.ja.md LICENSE CHANGELOG.md DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  # The picture the READMEs show, where their link finds it.
  install(FILES doc/plot_example.svg DESTINATION doc COMPONENT windows_zip EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL windows_zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME vorik-${PROJECT_VERSION}-${VORIK_WINDOWS_WORD_SIZE})
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE vorik)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends: computed from what the executable links: the C library (it links
# the C++ runtime in).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# A description is its synopsis line, then the extended description in lines
# of at most 79 characters, which the control file indents by one; an empty
# line parts paragraphs.
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vorik)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_TOOL_DESCRIPTION [[PSNR of a decoded copy of a 16-bit PCM WAV file against its original
vorik checks that two WAV files have canonical 44-byte headers with the same
sample rate and sample width, then reads both one second of audio at a time
and prints the running peak signal-to-noise ratio of the left and the right
samples, and their mean, on one console line. Its messages are Japanese.

vorik-check reads any 16-bit PCM WAV file, also from a pipe, finds the
copy's delay, gives each channel's and each second's PSNR, the largest
difference and the differing samples as text, JSON or CSV, and passes or
fails the copy against limits for CI.]])

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvorik-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION [[PSNR of 16-bit PCM WAV files as vorik measures it, as a C++ library
The WAV header check, the measurement block by block and the PSNR meter of
the vorik tool, and the chunk walk, the exact per-channel and per-second
comparison and the delay search of vorik-check, as static libraries with
C++17 headers: another program computes the tools' figures in process, to
the last printed digit.

This package holds the headers, the static libraries (libvorik.a, and
libvorik-alignment.a for the delay search), the CMake package
(find_package(vorik), targets vorik::library and vorik::alignment) and the
pkg-config files (vorik, vorik-alignment).]])

# What Debian's packaging tools would add and `cmake --install` does not: the
# licence as /usr/share/doc/<package>/copyright, the changelog, manual pages
# compressed. The script runs in cpack and gets these CPACK_ variables.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian_package_files.cmake)
set(CPACK_VORIK_LICENSE_FILE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_VORIK_CHANGELOG_TEMPLATE ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.in)
set(CPACK_VORIK_RELEASE_DATE ${VORIK_RELEASE_DATE})
include(CPack)
# --- End of Debian packages ---------------------------------------------------------
