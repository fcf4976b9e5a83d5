# The header-only libraries of vorik-check, found as Debian installs them:
# CLI11 and nlohmann-json. Their headers lie right in the system's include
# folder, which a cross compiler must not search (it would take the build
# machine's C library headers for its own); so only their own folders are
# copied into the build tree, and the targets include that. Sets
# VORIK_CHECK_DEPENDENCIES_FOUND and the interface target
# vorik_check_dependencies.
set(VORIK_CHECK_DEPENDENCIES_FOUND OFF)
if(VORIK_BUILD_CHECK STREQUAL OFF)
  return()
endif()
find_path(VORIK_CLI11_INCLUDE_DIR CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH)
find_path(VORIK_NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
set(missing)
if(NOT VORIK_CLI11_INCLUDE_DIR)
  list(APPEND missing "CLI11 (libcli11-dev)")
endif()
if(NOT VORIK_NLOHMANN_JSON_INCLUDE_DIR)
  list(APPEND missing "nlohmann-json (nlohmann-json3-dev)")
endif()
if(NOT TARGET vorik::alignment)
  list(APPEND missing "Eigen (libeigen3-dev), for the delay search")
endif()
if(missing)
  list(JOIN missing ", " missing)
  if(VORIK_BUILD_CHECK STREQUAL ON)
    message(FATAL_ERROR "vorik-check needs ${missing}")
  endif()
  message(STATUS "vorik-check is not built: it needs ${missing}")
  return()
endif()
set(check_include ${PROJECT_BINARY_DIR}/check_include)
file(COPY ${VORIK_CLI11_INCLUDE_DIR}/CLI ${VORIK_NLOHMANN_JSON_INCLUDE_DIR}/nlohmann DESTINATION ${check_include})
add_library(vorik_check_dependencies INTERFACE)
target_include_directories(vorik_check_dependencies SYSTEM INTERFACE ${check_include})
set(VORIK_CHECK_DEPENDENCIES_FOUND ON)
