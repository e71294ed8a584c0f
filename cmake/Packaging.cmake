# Debian packages, one per purpose (cpack --preset default):
#   qm208x-driver            D_QM208X.so, its platform library, qm-capture
#   indi-qm208x              the INDI driver and its driver XML
#   qm208x-simulated-camera  the simulated camera, a stand-in for the maker's SDK
# The driver package carries no CCDVideoAPI library and depends on none: the
# maker's SDK is no Debian package, and a simulation installed on its own
# accord would take the real one's place (RUNPATH $ORIGIN is searched first).
#
# Each package is one qm_debian_package() call below; another package is one
# more call naming its install components. Every package gets the copyright
# file and changelog Debian asks for, and its binaries are stripped as dh_strip
# does (cmake/debian/strip-sections.cmake). scripts/ci/packages.sh runs lintian
# on every package built.

set(CPACK_PACKAGE_NAME qm208x)
set(CPACK_PACKAGE_VENDOR "QM208X driver maintainers")
set(CPACK_PACKAGE_CONTACT "QM208X driver maintainers <maintainers@qm208x.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A Debian revision: the packaging is versioned apart from the sources.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/strip-sections.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Packages install under /usr whatever prefix the build was configured with;
# the programs find the module relative to themselves (host/module_path.cpp).
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies from the libraries the files link (libc6, libstdc++6, libcfitsio10,
# libpng16-16, libindidriver1, ...). D_QM208X.so names libCCDVideoAPI.so, which
# no Debian package holds: the build's copy answers the lookup and adds nothing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(qm_deb_version ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(qm_exact_version "(= ${qm_deb_version})")
set(qm_module_dir ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/qm208x)
set(CPACK_COMPONENTS_ALL "")

# qm_debian_package(NAME COMPONENTS component...
#                   DESCRIPTION "synopsis\nextended description"
#                   [DEPENDS ...] [SUGGESTS ...] [ENHANCES ...] [CONTROL_EXTRA file...])
# One package of the install components named. Its CPack variables are those of
# the first component, upper-cased (CPACK_DEBIAN_<FIRST>_...), for anything
# further. Lines of the description stay within 80 columns.
function(qm_debian_package name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION;DEPENDS;SUGGESTS;ENHANCES"
                        "COMPONENTS;CONTROL_EXTRA")
  list(GET arg_COMPONENTS 0 group)
  string(TOUPPER ${group} id)
  foreach(component IN LISTS arg_COMPONENTS)
    string(TOUPPER ${component} c)
    set(CPACK_COMPONENT_${c}_GROUP ${group} PARENT_SCOPE)
  endforeach()
  set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${arg_COMPONENTS} PARENT_SCOPE)
  set(CPACK_DEBIAN_${id}_PACKAGE_NAME ${name} PARENT_SCOPE)
  set(CPACK_DEBIAN_${id}_DESCRIPTION "${arg_DESCRIPTION}" PARENT_SCOPE)
  foreach(field DEPENDS SUGGESTS ENHANCES CONTROL_EXTRA)
    if(arg_${field})
      set(CPACK_DEBIAN_${id}_PACKAGE_${field} "${arg_${field}}" PARENT_SCOPE)
    endif()
  endforeach()

  # /usr/share/doc/NAME: the DEP-5 copyright file and the Debian changelog,
  # compressed without name or time stamp.
  set(qm_package ${name})
  set(qm_maintainer ${CPACK_PACKAGE_CONTACT})
  set(doc ${PROJECT_BINARY_DIR}/debian/${name})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${doc}/changelog @ONLY)
  execute_process(COMMAND gzip -9nc INPUT_FILE ${doc}/changelog
                  OUTPUT_FILE ${doc}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${doc}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${group})
  # The packages are not uploaded to Debian's archive, so their first changelog
  # entry closes no "intent to package" bug.
  file(WRITE ${doc}/lintian-overrides
       "# Not uploaded to Debian: no ITP bug for the first entry to close.\n"
       "${name}: initial-upload-closes-no-bugs\n")
  install(FILES ${doc}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME ${name} COMPONENT ${group})
endfunction()

set(qm_driver_components driver)
if(TARGET qm-capture)
  list(APPEND qm_driver_components capture)
endif()
qm_debian_package(qm208x-driver
  COMPONENTS ${qm_driver_components}
  SUGGESTS qm208x-simulated-camera
  DESCRIPTION "driver module for the Vantrel QM-208X VESK camera, and qm-capture
D_QM208X.so, the camera driver module for hosts that load d_ modules, and
qm-capture, which captures FITS frames and PNG previews through it.

The module loads the camera maker's CCDVideoAPI library (libCCDVideoAPI.so),
which this package does not contain. Place the maker's library on the
loader's path (e.g. /usr/local/lib, then run ldconfig), or, to run without
the camera, install qm208x-simulated-camera.")

if(TARGET indi_qm208x_ccd)
  qm_debian_package(indi-qm208x
    COMPONENTS indi
    DEPENDS "qm208x-driver ${qm_exact_version}, indi-bin"
    DESCRIPTION "INDI driver for the Vantrel QM-208X VESK camera
indi_qm208x_ccd serves the camera to INDI clients (KStars/Ekos and others)
through D_QM208X.so, locally or across a network, and lists it under CCDs
as \"QM-208X VESK\".")
endif()

if(TARGET qm-alpaca)
  install(FILES ${PROJECT_SOURCE_DIR}/alpaca/debian/qm208x-alpaca.service
          DESTINATION ${QM_SYSTEMD_UNIT_DIR} COMPONENT alpaca)
  set(qm_alpaca_scripts ${PROJECT_SOURCE_DIR}/alpaca/debian)
  qm_debian_package(qm208x-alpaca
    COMPONENTS alpaca
    DEPENDS "qm208x-driver ${qm_exact_version}, adduser"
    CONTROL_EXTRA ${qm_alpaca_scripts}/postinst ${qm_alpaca_scripts}/prerm
                  ${qm_alpaca_scripts}/postrm
    DESCRIPTION "ASCOM Alpaca server for the Vantrel QM-208X VESK camera
qm-alpaca serves the camera through D_QM208X.so as ASCOM Alpaca camera 0
(ICameraV4) to ASCOM clients on this computer or across the network, with
Alpaca discovery and a setup page in the browser.

The package installs a systemd unit, qm208x-alpaca.service, that runs the
server as the unprivileged system user qm208x-alpaca. It is not enabled:
'systemctl enable --now qm208x-alpaca' starts it now and at every boot. The
Alpaca protocol has no authentication.")
endif()

qm_debian_package(qm208x-simulated-camera
  COMPONENTS simcam
  ENHANCES qm208x-driver
  DESCRIPTION "simulated QM-208X VESK camera, not the maker's SDK
A simulation written for the D_QM208X driver's tests and demonstrations: it
drives no camera and is not software of the camera's maker. It renders a
synthetic star field through the CCDVideoAPI functions the driver calls.

It installs libCCDVideoAPI.so beside D_QM208X.so, in
${qm_module_dir}, where the driver finds it before any
other CCDVideoAPI library: remove this package to use the maker's library
with a real camera.")

include(CPack)
