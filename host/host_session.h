// The host side of the driver contract: the exports called in the order a host
// follows: connect, choose mode and window, expose, poll, read, finalize.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/delivery_estimate.h"
#include "host/driver_api.h"
#include "host/host_window.h"

// What the exposure cycle needs from the world, so tests can stand in for it.
struct ExposureEnvironment {
    std::function<std::chrono::steady_clock::time_point()> steadyNow =
        std::chrono::steady_clock::now;
    // Called after each pending poll; empty for none.
    std::function<void(uint32_t frame, uint32_t count, double elapsedSeconds,
                       double exposureSeconds)>
        progress;
    const std::atomic<bool> *interrupted = nullptr;
    std::function<void(std::chrono::steady_clock::time_point)> sleepUntil =
        [](std::chrono::steady_clock::time_point until) { std::this_thread::sleep_until(until); };
    // When set, the first d_IsExposing waits until the frame is expected (and
    // what the polls find is learned); else polling starts with the exposure.
    // `progress` keeps being called while the host waits.
    DeliveryEstimate *delivery = nullptr;
    DeliveryKey deliveryKey;
};

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

// One exposure: d_StartExposure, d_IsExposing until 0, d_StartDownload,
// d_ReadImage, d_EndDownload. Gives up once the exposure length plus the margin
// has passed without a frame. `image` must hold width x height samples.
bool exposeFrame(const DriverApi &api, int32_t exposureMs, int32_t timeoutMarginMs, uint32_t frame,
                 uint32_t count, const ExposureEnvironment &environment,
                 std::vector<uint16_t> &image, std::string &error);
