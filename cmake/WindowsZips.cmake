# Zips from the MinGW build (cpack in build/mingw):
#   qm208x-alpaca-<version>-win32.zip            qm-alpaca.exe, D_QM208X.dll, a text for users
#   qm208x-simulated-camera-<version>-win32.zip  the simulated CCDVideoAPI.dll and a text that
#                                                says it is not the maker's SDK
# The simulation ships in its own, plainly named zip so that nothing passes it
# off as the camera maker's library. tests/windows/check_zips.sh checks both.

set(qm_zip_readme ${PROJECT_SOURCE_DIR}/alpaca/windows)
install(TARGETS D_QM208X RUNTIME DESTINATION . COMPONENT alpaca_windows)
install(FILES ${qm_zip_readme}/README-qm-alpaca.txt DESTINATION . COMPONENT alpaca_windows)
if(TARGET qm-alpaca)
  install(TARGETS qm-alpaca RUNTIME DESTINATION . COMPONENT alpaca_windows)
endif()
# The licences of what the programs carry inside: ours, and those of the code
# linked in statically (cpp-httplib, nlohmann-json, CLI11, MinGW-w64's runtime and
# winpthreads), from the Debian packages that provide it.
set(qm_licences ${PROJECT_SOURCE_DIR}/cmake/debian/copyright)
set(qm_mingw_runtime_licence /usr/share/doc/mingw-w64-i686-dev/copyright)
foreach(component alpaca_windows simcam_windows)
  install(FILES ${qm_licences} DESTINATION licenses RENAME D_QM208X.txt COMPONENT ${component})
  if(EXISTS ${qm_mingw_runtime_licence})
    install(FILES ${qm_mingw_runtime_licence} DESTINATION licenses RENAME mingw-w64-runtime.txt
            COMPONENT ${component})
  endif()
endforeach()
if(TARGET qm-alpaca)
  install(FILES ${QM_CPP_HTTPLIB_DIR}/LICENSE DESTINATION licenses RENAME cpp-httplib.txt
          COMPONENT alpaca_windows)
  install(FILES /usr/share/doc/nlohmann-json3-dev/copyright DESTINATION licenses
          RENAME nlohmann-json.txt COMPONENT alpaca_windows)
  install(FILES /usr/share/doc/libcli11-dev/copyright DESTINATION licenses RENAME CLI11.txt
          COMPONENT alpaca_windows)
endif()
install(TARGETS CCDVideoAPI RUNTIME DESTINATION . COMPONENT simcam_windows)
install(FILES ${qm_zip_readme}/README-simulated-camera.txt DESTINATION . COMPONENT simcam_windows)

set(CPACK_PACKAGE_NAME qm208x)
set(CPACK_PACKAGE_VENDOR "QM208X driver maintainers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR ZIP)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL alpaca_windows simcam_windows)
set(CPACK_ARCHIVE_ALPACA_WINDOWS_FILE_NAME qm208x-alpaca-${PROJECT_VERSION}-win32)
set(CPACK_ARCHIVE_SIMCAM_WINDOWS_FILE_NAME qm208x-simulated-camera-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
include(${CMAKE_CURRENT_LIST_DIR}/WindowsInstaller.cmake)
