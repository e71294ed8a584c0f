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
inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

// What the capture loop needs from the world, so tests can stand in for it.
// The inherited `interrupted` abandons the frame in progress; `stopRequested`
// lets it finish and be saved, then ends the sequence.
struct CaptureEnvironment : ExposureEnvironment {
    std::function<std::chrono::system_clock::time_point()> utcNow = std::chrono::system_clock::now;
    const std::atomic<bool> *stopRequested = nullptr;
};

// What a capture run tells its user while it goes on.
struct CaptureReports {
    // A saved file: FITS files on the calling thread, previews on the preview thread.
    std::function<void(const std::string &path)> saved;
    // Something that went wrong without ending the run, from either thread.
    std::function<void(const std::string &message)> warning;
};

// The list command; writes to `out`. Returns an exit status.
int runList(const DriverApi &api, const std::string &driverPath, bool showMessages,
            std::string &out, std::string &error);

// The capture command on a loaded driver. Returns an exit status; unless it is
// kExitDone, `error` holds the one-line reason.
int runCapture(const DriverApi &api, const Options &options, const CaptureEnvironment &environment,
               const CaptureReports &reports, std::string &error);
