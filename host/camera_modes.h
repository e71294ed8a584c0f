// What a host knows of the camera beyond what the exports tell: the sensor, its
// colour mosaic, and per binning mode the window multiple and whether the image
// keeps the mosaic. Mode names come from d_BinningName, binned sizes from
// d_Subframe with d_GetWidth / d_GetHeight.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int32_t kSensorColumns = 2048;
inline constexpr int32_t kSensorRows = 1536;
inline constexpr uint32_t kHostWindowScale = 100000;  // d_Subframe units spanning the sensor

// The sensor's mosaic is RGGB at raw row 0, column 0.
inline constexpr char kSensorMosaic[] = "RGGB";

struct CameraMode {
    int32_t binFactor;  // sensor pixels per binned pixel, both axes
    int32_t multiple;   // every window value, in binned pixels, is a multiple of this
    bool keepsMosaic;   // false where the camera sums neighbouring sensor rows
    // Sensor rows and columns between host rows and columns in the first two
    // of each: 1 for a copy, the Bayer cells summed per host cell otherwise.
    int32_t cellRows;
    int32_t cellColumns;
};

inline constexpr std::array<CameraMode, 5> kCameraModes{{
    {.binFactor = 4, .multiple = 4, .keepsMosaic = false, .cellRows = 2, .cellColumns = 4},
    {.binFactor = 4, .multiple = 4, .keepsMosaic = true, .cellRows = 4, .cellColumns = 4},
    {.binFactor = 2, .multiple = 2, .keepsMosaic = true, .cellRows = 2, .cellColumns = 2},
    {.binFactor = 2, .multiple = 2, .keepsMosaic = false, .cellRows = 1, .cellColumns = 2},
    {.binFactor = 1, .multiple = 1, .keepsMosaic = true, .cellRows = 1, .cellColumns = 1},
}};

// The description of a mode number, or nullptr for one the camera lacks.
inline const CameraMode *findCameraMode(uint32_t mode) {
    return mode < kCameraModes.size() ? &kCameraModes[mode] : nullptr;
}
