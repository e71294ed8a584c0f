// Driving the camera through the driver's twenty exports in the order a host
// follows: connect, choose mode and window, expose, poll, read, finalize.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/driver_api.h"
#include "tools/capture/arguments.h"
#include "tools/capture/capture_window.h"

// Exit statuses of qm-capture.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadArguments = 2;

// What the capture loop needs from the world, so tests can stand in for it.
struct CaptureEnvironment {
    std::function<std::chrono::steady_clock::time_point()> steadyNow =
        std::chrono::steady_clock::now;
    std::function<std::chrono::system_clock::time_point()> utcNow = std::chrono::system_clock::now;
    // Called after each pending poll; empty for none.
    std::function<void(uint32_t frame, uint32_t count, double elapsedSeconds,
                       double exposureSeconds)>
        progress;
    const std::atomic<bool> *interrupted = nullptr;
};

// The modes as the driver names them, indexed by number.
std::vector<std::string> driverModeNames(const DriverApi &api);

// d_Initialize, d_SetupCCD (quiet unless showMessages), d_GetOK.
bool connectCamera(const DriverApi &api, bool showMessages, std::string &error);

// Selects the mode and window with d_Subframe and checks with d_GetWidth and
// d_GetHeight that the driver made exactly that window.
bool selectWindow(const DriverApi &api, uint32_t mode, const PixelWindow &window,
                  const ModeGeometry &geometry, std::string &error);

// One exposure: d_StartExposure, d_IsExposing until 0, d_StartDownload,
// d_ReadImage, d_EndDownload. Gives up once the exposure length plus the margin
// has passed without a frame. `image` must hold width x height samples.
bool exposeFrame(const DriverApi &api, int32_t exposureMs, int32_t timeoutMarginMs, uint32_t frame,
                 uint32_t count, const CaptureEnvironment &environment,
                 std::vector<uint16_t> &image, std::string &error);

// The list command; writes to `out`. Returns an exit status.
int runList(const DriverApi &api, const std::string &driverPath, bool showMessages,
            std::string &out, std::string &error);

// The capture command on a loaded driver. Saved paths are passed to `saved`.
// Returns an exit status; on failure `error` holds the one-line reason.
int runCapture(const DriverApi &api, const Options &options, const CaptureEnvironment &environment,
               const std::function<void(const std::string &path)> &saved, std::string &error);
