// The steps of the driver contract that CameraWorker, the one caller of the
// module, puts together: connect, check the modes, choose mode and window, read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/driver_api.h"
#include "host/host_window.h"

// The modes as the driver names them, indexed by number.
std::vector<std::string> driverModeNames(const DriverApi &api);

// d_Initialize, d_SetupCCD (quiet unless showMessages), d_GetOK.
bool connectCamera(const DriverApi &api, bool showMessages, std::string &error);

// Checks through d_Subframe, d_GetWidth and d_GetHeight that every mode of the
// module makes the full frame this host's description of the camera expects,
// so a module built for another camera is refused rather than misread.
bool checkModeSizes(const DriverApi &api, std::string &error);

// Selects the mode and window with d_Subframe and checks with d_GetWidth and
// d_GetHeight that the driver made exactly that window.
bool selectWindow(const DriverApi &api, uint32_t mode, const PixelWindow &window,
                  const ModeGeometry &geometry, std::string &error);

// The readout of a completed exposure: d_StartDownload, d_ReadImage,
// d_EndDownload. `image` must hold width x height samples.
void downloadImage(const DriverApi &api, std::vector<uint16_t> &image);
