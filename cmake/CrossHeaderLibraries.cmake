# cpp-httplib, nlohmann-json and CLI11 for the Windows cross build, the same
# versions the Linux build uses. nlohmann-json and CLI11 are header-only in
# Debian's nlohmann-json3-dev and libcli11-dev; cpp-httplib's Debian package
# keeps its code in a Linux library, so its whole header comes from Debian's
# source package of the same version (scripts/ci/fetch-cpp-httplib.sh, run by scripts/ci/windows.sh).
# Only copies of these headers in the build tree are added to the include path,
# never /usr/include with its Linux system headers. Defines the targets the
# Linux build gets from pkg-config and find_package.

set(QM_CPP_HTTPLIB_DIR ${PROJECT_BINARY_DIR}/third-party/cpp-httplib CACHE PATH
    "Folder holding cpp-httplib's whole httplib.h (scripts/ci/fetch-cpp-httplib.sh)")
find_path(QM_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH)
find_path(QM_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT EXISTS ${QM_CPP_HTTPLIB_DIR}/httplib.h OR NOT QM_NLOHMANN_INCLUDE OR NOT QM_CLI11_INCLUDE)
  message(STATUS "qm-alpaca.exe needs ${QM_CPP_HTTPLIB_DIR}/httplib.h "
                 "(scripts/ci/fetch-cpp-httplib.sh ${QM_CPP_HTTPLIB_DIR}), "
                 "nlohmann-json3-dev and libcli11-dev")
  return()
endif()

set(qm_cross_include ${PROJECT_BINARY_DIR}/cross-include)
file(COPY ${QM_CPP_HTTPLIB_DIR}/httplib.h DESTINATION ${qm_cross_include})
file(COPY ${QM_NLOHMANN_INCLUDE}/nlohmann DESTINATION ${qm_cross_include})
file(COPY ${QM_CLI11_INCLUDE}/CLI DESTINATION ${qm_cross_include})

# System include folders: the libraries' own warnings are not ours to fix under -Werror.
add_library(PkgConfig::CPPHTTPLIB INTERFACE IMPORTED)
set_target_properties(PkgConfig::CPPHTTPLIB PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${qm_cross_include}
  INTERFACE_INCLUDE_DIRECTORIES ${qm_cross_include}
  # Winsock; the #pragma comment(lib) in httplib.h is MSVC's alone.
  INTERFACE_LINK_LIBRARIES ws2_32)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${qm_cross_include}
  INTERFACE_INCLUDE_DIRECTORIES ${qm_cross_include})
set(CPPHTTPLIB_FOUND TRUE)
set(nlohmann_json_FOUND TRUE)
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${qm_cross_include}
    INTERFACE_INCLUDE_DIRECTORIES ${qm_cross_include})
endif()
set(CLI11_FOUND TRUE)
