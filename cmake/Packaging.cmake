# Debian packages, one per purpose (cpack --preset default):
#   qm208x-driver            D_QM208X.so, its platform library, qm-capture
#   indi-qm208x              the INDI driver and its driver XML
#   qm208x-simulated-camera  the simulated camera, a stand-in for the maker's SDK
# The driver package carries no CCDVideoAPI library and depends on none: the
# maker's SDK is no Debian package, and a simulation installed on its own
# accord would take the real one's place (RUNPATH $ORIGIN is searched first).

set(CPACK_PACKAGE_NAME qm208x)
set(CPACK_PACKAGE_VENDOR "D_QM208X developers")
set(CPACK_PACKAGE_CONTACT "D_QM208X developers <qm208x@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# The packages install where the programs look for the module (compiled in).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_COMPONENTS_ALL driver simcam)
if(TARGET qm-capture)
  list(APPEND CPACK_COMPONENTS_ALL capture)
endif()
if(TARGET indi_qm208x_ccd)
  list(APPEND CPACK_COMPONENTS_ALL indi)
endif()
set(CPACK_COMPONENT_DRIVER_GROUP base)
set(CPACK_COMPONENT_CAPTURE_GROUP base)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the files link (libc6, libstdc++6, libcfitsio10,
# libpng16-16, libindidriver1, ...). D_QM208X.so names libCCDVideoAPI.so, which
# no Debian package holds: the build's copy answers the lookup and adds nothing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(qm_module_dir ${CMAKE_INSTALL_FULL_LIBDIR}/qm208x)
set(qm_exact_version "(= ${CPACK_PACKAGE_VERSION})")

set(CPACK_DEBIAN_BASE_PACKAGE_NAME qm208x-driver)
set(CPACK_DEBIAN_BASE_PACKAGE_SUGGESTS "qm208x-simulated-camera")
set(CPACK_DEBIAN_BASE_DESCRIPTION
  "Driver for the Vantrel QM-208X VESK camera, and qm-capture
D_QM208X.so, the camera driver module for hosts that load d_ modules, and
qm-capture, which captures FITS frames and PNG previews through it.

The module loads the camera maker's CCDVideoAPI library (libCCDVideoAPI.so),
which this package does not contain. Place the maker's library on the
loader's path (e.g. /usr/local/lib, then run ldconfig), or, to run without
the camera, install qm208x-simulated-camera.")

set(CPACK_DEBIAN_INDI_PACKAGE_NAME indi-qm208x)
set(CPACK_DEBIAN_INDI_PACKAGE_DEPENDS "qm208x-driver ${qm_exact_version}, indi-bin")
set(CPACK_COMPONENT_INDI_DESCRIPTION
  "INDI driver for the Vantrel QM-208X VESK camera
indi_qm208x_ccd serves the camera to INDI clients (KStars/Ekos and others)
through D_QM208X.so, locally or across a network, and lists it under CCDs
as \"QM-208X VESK\".")

set(CPACK_DEBIAN_SIMCAM_PACKAGE_NAME qm208x-simulated-camera)
set(CPACK_DEBIAN_SIMCAM_PACKAGE_ENHANCES "qm208x-driver")
set(CPACK_COMPONENT_SIMCAM_DESCRIPTION
  "Simulated QM-208X VESK camera, not the maker's SDK
A simulation written for the D_QM208X driver's tests and demonstrations: it
drives no camera and is not software of the camera's maker. It renders a
synthetic star field through the CCDVideoAPI functions the driver calls.

It installs libCCDVideoAPI.so beside D_QM208X.so, in
${qm_module_dir}, where the driver finds it before any
other CCDVideoAPI library: remove this package to use the maker's library
with a real camera.")

include(CPack)
