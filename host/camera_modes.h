// What a host knows of the camera beyond what the exports tell: the sensor (the
// same size the module and the simulated camera use), its colour mosaic, and per
// binning mode the window multiple and whether the image keeps the mosaic. Mode names come from d_BinningName, binned sizes from
// d_Subframe with d_GetWidth / d_GetHeight.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

// The sensor's size (kSensorWidth x kSensorHeight) and the d_Subframe units
// spanning it (kWindowScale).
#include "readout/frame_geometry.h"

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

// How a binning factor is reached: ColourKept sums same-colour samples in the
// driver and keeps the colour mosaic (modes 4, 2, 1); CameraBinning lets the
// camera sum neighbouring sensor rows where it can, mixing the colours (modes 4,
// 3, 0). Factor 1 is mode 4 either way.
enum class BinningKind { ColourKept, CameraBinning };

inline constexpr int32_t kBinningFactors[] = {1, 2, 4};
inline constexpr int32_t kLargestBinFactor = std::ranges::max(kBinningFactors);

// The mode for a binning factor reached the given way; nullopt for a factor
// the camera does not bin by (anything but 1, 2 and 4).
inline std::optional<uint32_t> modeForBinning(int32_t factor, BinningKind kind) {
    const bool colourKept = kind == BinningKind::ColourKept;
    switch (factor) {
        case 1:
            return 4;
        case 2:
            return colourKept ? 2 : 3;
        case 4:
            return colourKept ? 1 : 0;
        default:
            return std::nullopt;
    }
}

// The way a mode bins: CameraBinning for the modes that mix colours.
inline BinningKind binningKindOf(const CameraMode &mode) {
    return mode.keepsMosaic ? BinningKind::ColourKept : BinningKind::CameraBinning;
}
