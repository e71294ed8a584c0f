// The two commands of qm-capture on a loaded driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/driver_api.h"
#include "host/host_session.h"
#include "tools/capture/arguments.h"
#include "tools/capture/capture_window.h"

// Exit statuses of qm-capture.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadArguments = 2;

// What the capture loop needs from the world, so tests can stand in for it.
struct CaptureEnvironment : ExposureEnvironment {
    std::function<std::chrono::system_clock::time_point()> utcNow = std::chrono::system_clock::now;
};

// The list command; writes to `out`. Returns an exit status.
int runList(const DriverApi &api, const std::string &driverPath, bool showMessages,
            std::string &out, std::string &error);

// The capture command on a loaded driver. Saved paths are passed to `saved`.
// Returns an exit status; on failure `error` holds the one-line reason.
int runCapture(const DriverApi &api, const Options &options, const CaptureEnvironment &environment,
               const std::function<void(const std::string &path)> &saved, std::string &error);
