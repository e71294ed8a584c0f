// The command line of qm-capture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/camera_identity.h"
#include "tools/capture/capture_window.h"
#include "tools/capture/frame_type.h"

enum class Command { List, Capture, Help, Version };

// Longest exposure and largest pixel size: as every program of this camera.
inline constexpr int32_t kMaxExposureMs = kLongestExposureMs;
inline constexpr uint32_t kMaxFrameCount = 1000000;
inline constexpr const char *kDefaultOutput = "captures/qm_{n:04}_{utc}.fits";
// A power dip or a hub's reset brings a camera back within seconds; one away
// for an hour needs a person. Up to a day may be asked for.
inline constexpr int32_t kDefaultCameraWaitMs = 60 * 60 * 1000;
inline constexpr int32_t kLongestWaitMs = 24 * 60 * 60 * 1000;

struct Options {
    Command command = Command::Help;
    std::string driverPath;  // empty: D_QM208X.so beside the program
    bool showDriverMessages = false;
    std::string mode = "4";  // number or name, resolved against the driver
    WindowRequest window;
    int32_t exposureMs = 1000;  // 0 for bias frames
    FrameType type = FrameType::Light;
    double pixelSizeMicrons = 0;  // sensor pixel pitch; 0: not known, no keyword
    uint32_t count = 1;
    std::string output = kDefaultOutput;
    uint64_t startNumber = 1;
    bool png = false;
    bool overwrite = false;
    int32_t timeoutMarginMs = static_cast<int32_t>(kDefaultReadoutMargin.count());
    // How long a sequence waits for a camera that stopped delivering frames to
    // deliver again, from its first failed exposure; 0 ends the run there.
    int32_t cameraWaitMs = kDefaultCameraWaitMs;
    std::string object;
};

// Parses argv[1..]. False with a one-line reason for anything it cannot take.
bool parseArguments(const std::vector<std::string> &arguments, Options &options,
                    std::string &error);

// Seconds with up to millisecond precision ("30", "1.5", "0.001") to milliseconds.
bool parseSeconds(const std::string &text, int32_t maxMs, int32_t &milliseconds,
                  std::string &error);

// "X,Y,W,H": whole binned pixels, or fractions of the frame.
bool parseWindow(const std::string &text, WindowRequest::Kind kind, WindowRequest &window,
                 std::string &error);

std::string usageText();
