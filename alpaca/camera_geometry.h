// The camera as ASCOM describes it: binning factors and readout modes mapped
// onto the driver's five modes, subframes in binned pixels counted from the
// top-left of the image, and the image laid out column by column as ASCOM's
// ImageArray[x][y] is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/camera_modes.h"
#include "host/host_window.h"

namespace alpaca {

inline constexpr int32_t kMaxBin = 4;

// ReadoutMode 0 keeps the colour mosaic at every binning (modes 4, 2, 1: the
// driver sums same-colour samples); ReadoutMode 1 bins in the camera where it
// can (modes 4, 3, 0: neighbouring rows summed, colours mixed).
struct ReadoutModeChoice {
    const char *name;
    uint32_t bin1Mode;
    uint32_t bin2Mode;
    uint32_t bin4Mode;
};
inline constexpr ReadoutModeChoice kReadoutModes[] = {
    {.name = "Colour mosaic kept (driver binning)", .bin1Mode = 4, .bin2Mode = 2, .bin4Mode = 1},
    {.name = "Camera binning (colours mixed)", .bin1Mode = 4, .bin2Mode = 3, .bin4Mode = 0},
};
inline constexpr int32_t kReadoutModeCount = 2;

// True for the factors the camera bins by (1, 2, 4).
bool binSupported(int32_t bin);

// The driver mode for a binning factor and a readout mode; nullopt when
// either is not offered.
std::optional<uint32_t> driverModeFor(int32_t bin, int32_t readoutMode);

// A subframe in binned pixels, origin at the top-left of the image.
struct Subframe {
    int32_t startX = 0;
    int32_t startY = 0;
    int32_t numX = kSensorColumns;
    int32_t numY = kSensorRows;
};

// Checks a subframe against the binned frame (width 2048 / bin, height
// 1536 / bin); the reason names the offending value.
bool checkSubframe(const Subframe &frame, int32_t bin, std::string &error);

// How one subframe is read: the smallest window on the mode's multiple that
// covers it, and where the subframe lies in that window's image.
struct ReadoutPlan {
    uint32_t mode = 4;
    PixelWindow window;  // driver coordinates (y from raw row 0)
    ModeGeometry geometry;
    int32_t cropX = 0;  // subframe origin inside the window's image
    int32_t cropY = 0;
    int32_t numX = 0;
    int32_t numY = 0;
};

// Needs a subframe checkSubframe accepted for the mode's binning factor.
ReadoutPlan planReadout(const Subframe &frame, uint32_t mode);

// An image in ASCOM's element order: column x holds numY samples, top first.
struct ColumnImage {
    int32_t numX = 0;
    int32_t numY = 0;
    std::vector<uint16_t> samples;  // samples[x * numY + y]

    uint16_t at(int32_t x, int32_t y) const { return samples[static_cast<size_t>(x) * numY + y]; }
};

// The plan's subframe out of the window's image (rows of window.width samples,
// top row first, as the driver delivers them). `rows` must hold the window.
ColumnImage cropToColumns(const std::vector<uint16_t> &rows, const ReadoutPlan &plan);

// BayerOffsetX/Y: where the red sample of the colour mosaic sits in the
// full-frame image, which is also where it sits relative to any subframe's
// origin counted in full-frame coordinates.
struct BayerOffset {
    int32_t x = 0;
    int32_t y = 0;
};
BayerOffset sensorBayerOffset();

}  // namespace alpaca
