// The five binning modes a host can choose, indexed by mode number.
#pragma once

#include <array>
#include <cstdint>

enum class Conversion : uint8_t {
    StraightCopy,  // mode 4: one raw sample per host sample
    PairSum,       // mode 3: two samples of one raw row, two columns apart
    BayerCells,    // modes 2, 1, 0: same-colour sums that keep the mosaic
};

struct BinningMode {
    const char *name;
    uint32_t binFactor;      // divisor of the sensor size, both axes
    uint32_t roundMask;      // cleared from every window value
    int32_t previewMode;     // SDK preview mode of the exposure
    double exposureScale;    // host length x scale, truncated, halved = SDK value
    Conversion conversion;
    int32_t cellRows;        // Bayer cells summed per host cell, vertically (a)
    int32_t cellColumns;     // and horizontally (b)
};

inline constexpr std::array<BinningMode, 5> kBinningModes{{
    {.name = "4x4 HW bw", .binFactor = 4, .roundMask = 3, .previewMode = 2,
     .exposureScale = 4.0, .conversion = Conversion::BayerCells, .cellRows = 2, .cellColumns = 4},
    {.name = "4x4 SW cl/bw", .binFactor = 4, .roundMask = 3, .previewMode = 0,
     .exposureScale = 1.0, .conversion = Conversion::BayerCells, .cellRows = 4, .cellColumns = 4},
    {.name = "2x2 SW cl/bw", .binFactor = 2, .roundMask = 1, .previewMode = 0,
     .exposureScale = 1.0, .conversion = Conversion::BayerCells, .cellRows = 2, .cellColumns = 2},
    {.name = "2x2 HW bw", .binFactor = 2, .roundMask = 1, .previewMode = 2,
     .exposureScale = 4.0, .conversion = Conversion::PairSum, .cellRows = 1, .cellColumns = 2},
    {.name = "1x1 HW cl/bw", .binFactor = 1, .roundMask = 0, .previewMode = 0,
     .exposureScale = 1.0, .conversion = Conversion::StraightCopy, .cellRows = 1, .cellColumns = 1},
}};
static_assert(kBinningModes.size() == 5);

// The mode of a mode number, or nullptr for a number above 4.
inline const BinningMode *findBinningMode(uint32_t mode) {
    return mode < kBinningModes.size() ? &kBinningModes[mode] : nullptr;
}
