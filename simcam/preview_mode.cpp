#include "simcam/preview_mode.h"

#include <algorithm>

namespace simcam {

namespace {

static_assert(static_cast<std::size_t>(kSensorHeight) * kRawRowBytes <= kRawFrameBytes,
              "a full frame fits the frame buffer");

void storeBigEndian(uint8_t *destination, uint32_t value) {
    destination[0] = static_cast<uint8_t>(value >> 8);
    destination[1] = static_cast<uint8_t>(value);
}

}  // namespace

std::optional<PreviewMode> previewModeFrom(int32_t number) {
    switch (number) {
        case static_cast<int32_t>(PreviewMode::FullFrame):
            return PreviewMode::FullFrame;
        case static_cast<int32_t>(PreviewMode::RowPairs):
            return PreviewMode::RowPairs;
        default:
            return std::nullopt;
    }
}

int32_t frameRows(PreviewMode mode) {
    return mode == PreviewMode::RowPairs ? kSensorHeight / 2 : kSensorHeight;
}

double exposureMilliseconds(PreviewMode mode, int32_t value) {
    if (value < 0) {
        return 0.0;
    }
    return mode == PreviewMode::RowPairs ? value / 2.0 : value * 2.0;
}

void writeFrame(PreviewMode mode, const std::vector<uint16_t> &sensor, uint8_t *frame) {
    constexpr uint32_t kLargestSample = 0xFFFF;
    const uint16_t *samples = sensor.data();
    if (mode == PreviewMode::FullFrame) {
        for (std::size_t i = 0; i < kSensorWidth * static_cast<std::size_t>(kSensorHeight); ++i) {
            storeBigEndian(frame + 2 * i, samples[i]);
        }
        return;
    }
    for (int32_t row = 0; row < frameRows(mode); ++row) {
        const uint16_t *evenRow = samples + static_cast<std::size_t>(2 * row) * kSensorWidth;
        const uint16_t *oddRow = evenRow + kSensorWidth;
        uint8_t *out = frame + static_cast<std::size_t>(row) * kRawRowBytes;
        for (int32_t column = 0; column < kSensorWidth; ++column) {
            const uint32_t sum = uint32_t{evenRow[column]} + oddRow[column];
            storeBigEndian(out + 2 * column, std::min(sum, kLargestSample));
        }
    }
}

}  // namespace simcam
