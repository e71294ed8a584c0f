# The Windows installer from the MinGW build, made with NSIS (Debian's nsis):
#   cmake --build --preset mingw --target installer
#     -> build/mingw/packages/qm208x-alpaca-<version>-setup.exe
# It holds what the server zip holds (the alpaca_windows component, staged with
# cmake --install) and the simulated camera (simcam_windows), which it installs
# only when the user picks it instead of the maker's library.
# tests/windows/installer_test.sh installs and uninstalls it under Wine.
if(NOT TARGET qm-alpaca)
  return()
endif()
find_program(QM_MAKENSIS makensis)
if(NOT QM_MAKENSIS)
  message(STATUS "makensis not found (Debian's nsis): no Windows installer")
  return()
endif()

set(qm_installer_stage ${PROJECT_BINARY_DIR}/installer-stage)
set(QM_WINDOWS_INSTALLER
    ${PROJECT_BINARY_DIR}/packages/qm208x-alpaca-${PROJECT_VERSION}-setup.exe
    CACHE INTERNAL "The Windows installer")
set(qm_installer_script ${PROJECT_SOURCE_DIR}/alpaca/windows/qm208x-alpaca.nsi)
add_custom_command(
  OUTPUT ${QM_WINDOWS_INSTALLER}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${qm_installer_stage}
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component alpaca_windows
          --prefix ${qm_installer_stage}/server --strip
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component simcam_windows
          --prefix ${qm_installer_stage}/simulated --strip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packages
  COMMAND ${QM_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION}
          "-DPUBLISHER=${CPACK_PACKAGE_VENDOR}"
          -DSTAGE=${qm_installer_stage}/server -DSIMULATED=${qm_installer_stage}/simulated
          -DOUTFILE=${QM_WINDOWS_INSTALLER} ${qm_installer_script}
  DEPENDS qm-alpaca D_QM208X CCDVideoAPI ${qm_installer_script}
          ${PROJECT_SOURCE_DIR}/alpaca/windows/README-qm-alpaca.txt
          ${PROJECT_SOURCE_DIR}/alpaca/windows/README-simulated-camera.txt
  COMMENT "NSIS installer qm208x-alpaca-${PROJECT_VERSION}-setup.exe"
  VERBATIM)
add_custom_target(installer DEPENDS ${QM_WINDOWS_INSTALLER})
