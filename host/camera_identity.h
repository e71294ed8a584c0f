// Who the camera is and what it accepts, the same in every program.
//
// Contract: qm-capture, the INDI driver and qm-alpaca name the camera, bound
// exposure lengths, pixel sizes and readout margins, and wait for a connection
// with these values and checks, so a user moving between them meets one camera.
// The sensor's size and mosaic live in host/camera_modes.h.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>

// The camera's name as clients list it (INDI device, Alpaca DeviceName).
inline constexpr char kCameraName[] = "QM-208X VESK";
inline constexpr char kCameraMaker[] = "Vantrel";
// One line for the camera, at most 68 characters (what ASCOM clients show).
inline constexpr char kCameraDescription[] = "Vantrel QM-208X VESK one-shot colour CCD camera";

// Exposure lengths reach the driver in whole milliseconds. Up to 2^29 - 1 ms
// (about 149 hours) every mode turns the length into the camera's exposure
// value exactly; past it the driver limits the value, so that is the longest
// exposure any program accepts. The shortest is 0 (a bias frame).
inline constexpr int32_t kLongestExposureMs = (1 << 29) - 1;
inline constexpr double kLongestExposureSeconds = kLongestExposureMs / 1000.0;
inline constexpr double kExposureResolutionSeconds = 0.001;

// A length in seconds a program may start: finite, 0 to kLongestExposureSeconds.
inline bool exposureAcceptable(double seconds) {
    return std::isfinite(seconds) && seconds >= 0 && seconds <= kLongestExposureSeconds;
}
// The whole milliseconds of an accepted length (rounded to the nearest).
inline int32_t exposureMilliseconds(double seconds) {
    return static_cast<int32_t>(std::llround(seconds * 1000.0));
}

// The largest sample value (16-bit frames).
inline constexpr int32_t kMaxSampleValue = 65535;

// The sensor's pixel pitch is not known to the driver; the user gives it, in
// micrometres, above 0 and at most this. 0 (INDI) or none means unknown.
inline constexpr double kMaxPixelSizeMicrons = 100.0;
inline bool pixelSizeAcceptable(double microns) {
    return std::isfinite(microns) && microns > 0 && microns <= kMaxPixelSizeMicrons;
}

// How long a program waits for the module to load and the camera to open.
inline constexpr std::chrono::seconds kConnectTimeout{60};
// How long past its length an exposure may take to arrive before it counts as
// failed: the default, and the range a user may choose from.
inline constexpr std::chrono::milliseconds kDefaultReadoutMargin{30000};
inline constexpr std::chrono::milliseconds kShortestReadoutMargin{100};
inline constexpr std::chrono::milliseconds kLongestReadoutMargin{3600 * 1000};
inline bool readoutMarginAcceptable(double seconds) {
    return std::isfinite(seconds) && seconds * 1000.0 >= kShortestReadoutMargin.count() &&
           seconds * 1000.0 <= kLongestReadoutMargin.count();
}
