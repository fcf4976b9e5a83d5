# What `cmake --install` puts under the prefix, the CMake package that lets
# another project find_package(vorik), and the Debian package built by CPack.
include(CMakePackageConfigHelpers)

set(VORIK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorik)

install(TARGETS vorik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/vorik.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(TARGETS vorik_library EXPORT vorik_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/vorik ${VORIK_GENERATED_INCLUDE_DIR}/vorik
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vorik_targets
  NAMESPACE vorik::
  FILE vorik-targets.cmake
  DESTINATION ${VORIK_PACKAGE_DIR})

configure_package_config_file(cmake/vorik-config.cmake.in
  ${PROJECT_BINARY_DIR}/vorik-config.cmake
  INSTALL_DESTINATION ${VORIK_PACKAGE_DIR})
# Before 1.0 a minor version may change the API, so only the same minor matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorik-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/vorik-config.cmake
  ${PROJECT_BINARY_DIR}/vorik-config-version.cmake
  DESTINATION ${VORIK_PACKAGE_DIR})

# `cpack` in the build folder writes vorik_<version>_<architecture>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorik)
set(CPACK_PACKAGE_VENDOR "The vorik developers")
set(CPACK_PACKAGE_CONTACT "The vorik developers <vorik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "running PSNR of one 16-bit PCM WAV file against another")
set(CPACK_PACKAGE_DESCRIPTION
  "vorik checks that two WAV files have canonical headers with the same sample rate and width, \
then reads both one second at a time and prints the running peak signal-to-noise ratio of the \
left and right samples and their mean. The package also holds the header check and the meter \
as a static C++ library with a CMake package (find_package(vorik)).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# Depends: computed from what the executable links (libc6, libstdc++6, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
