# Debian's hardening for every target of the build: the flags dpkg-buildflags
# gives with every hardening feature on (fortified libc calls, stack protector,
# format checks, full RELRO with immediate binding), and position-independent
# executables. The packages are made from such a build, as a Debian package
# built by dpkg-buildpackage would be. Optimisation and debug information stay
# with the build type.
#
# Off by default with sanitizers (ASan replaces the fortified calls' checks and
# reports them itself) and in the fuzz build.
set(qm_hardening_default ON)
if(QM_SANITIZE OR QM_BUILD_FUZZ OR WIN32)
  set(qm_hardening_default OFF)
endif()
option(QM_HARDENING "Debian's hardening flags (dpkg-buildflags, hardening=+all)"
       ${qm_hardening_default})

include(CheckPIESupported)
check_pie_supported()

if(NOT QM_HARDENING)
  return()
endif()

find_program(QM_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT QM_DPKG_BUILDFLAGS)
  message(FATAL_ERROR "QM_HARDENING needs dpkg-buildflags (Debian package dpkg-dev); "
                      "configure with -DQM_HARDENING=OFF to build without it")
endif()

# One dpkg-buildflags value as a list, less what the build type decides.
function(qm_buildflags kind out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${QM_DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-g|^-O|^-ffile-prefix-map=")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

qm_buildflags(CPPFLAGS qm_cppflags)
qm_buildflags(CXXFLAGS qm_cxxflags)
qm_buildflags(LDFLAGS qm_ldflags)
# glibc's fortified calls need optimisation: a Debug build (-O0) goes without.
foreach(flag IN LISTS qm_cppflags)
  if(flag MATCHES "^-D_FORTIFY_SOURCE")
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
  else()
    add_compile_options(${flag})
  endif()
endforeach()
# The C and C++ flags are the same on Debian; the C++ ones serve both.
add_compile_options(${qm_cxxflags})
add_link_options(${qm_ldflags})
message(STATUS "Hardening (dpkg-buildflags): ${qm_cppflags} ${qm_cxxflags} ${qm_ldflags}")
