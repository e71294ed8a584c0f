#include <algorithm>
#include <cstddef>

#include "readout/binning_mode.h"
#include "readout/frame_geometry.h"
#include "readout/readout.h"

namespace {

constexpr uint32_t kSampleLimit = 0xFFFF;

// Sample at an exact linear index (row * 2048 + column, rows and columns free to
// run past the sensor's edges); 0 outside the buffer.
uint32_t sampleAt(const uint8_t *raw, int64_t index) {
    if (raw == nullptr || index < 0 || index >= static_cast<int64_t>(kRawFrameSamples)) {
        return 0;
    }
    const uint8_t *bytes = raw + 2 * index;
    return static_cast<uint32_t>(bytes[0]) << 8 | bytes[1];
}

int64_t sampleIndex(int64_t row, int64_t column) { return row * kSensorWidth + column; }

// Host sample (row, column) of each conversion. `top` is the raw row of host row 0
// before scaling, windowY + windowHeight.
uint32_t straightCopy(const uint8_t *raw, int64_t top, int64_t left, int64_t row, int64_t column) {
    return sampleAt(raw, sampleIndex(top - row, left + column));
}

uint32_t pairSum(const uint8_t *raw, int64_t top, int64_t left, int64_t row, int64_t column) {
    const int64_t first = sampleIndex(top - row, 2 * left + 2 * column);
    return std::min(sampleAt(raw, first) + sampleAt(raw, first + 2), kSampleLimit);
}

// Sums the a x b Bayer cells of one host cell at the position (u, v) of the host
// sample; the anchor of cell (dy, dx) is dy rows up and dx columns right.
uint32_t bayerCellSum(const uint8_t *raw, const BinningMode &mode, int64_t top, int64_t left,
                      int64_t row, int64_t column) {
    const int64_t a = mode.cellRows;
    const int64_t b = mode.cellColumns;
    const int64_t anchorRow = a * top - 2 * a * (row / 2) - row % 2;
    const int64_t anchorColumn = b * left + 2 * b * (column / 2) + column % 2;
    uint32_t sum = 0;
    for (int64_t dy = 0; dy < 2 * a; dy += 2) {
        for (int64_t dx = 0; dx < 2 * b; dx += 2) {
            sum += sampleAt(raw, sampleIndex(anchorRow - dy, anchorColumn + dx));
        }
    }
    return std::min(sum, kSampleLimit);
}

}  // namespace

void readFrameReference(uint32_t modeNumber, const ReadoutWindow &window, const uint8_t *raw,
                        uint16_t *image) {
    const BinningMode *mode = findBinningMode(modeNumber);
    if (mode == nullptr || image == nullptr || window.width <= 0 || window.height <= 0) {
        return;
    }
    const int64_t top = static_cast<int64_t>(window.y) + window.height;
    const int64_t left = window.x;
    std::size_t out = 0;
    for (int64_t row = 0; row < window.height; ++row) {
        for (int64_t column = 0; column < window.width; ++column) {
            uint32_t value = 0;
            switch (mode->conversion) {
            case Conversion::StraightCopy: value = straightCopy(raw, top, left, row, column); break;
            case Conversion::PairSum: value = pairSum(raw, top, left, row, column); break;
            case Conversion::BayerCells:
                value = bayerCellSum(raw, *mode, top, left, row, column);
                break;
            }
            image[out++] = static_cast<uint16_t>(value);
        }
    }
}
