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

bool renderFrame(PreviewMode mode, const StarField &field, const Exposure &exposure,
                 std::vector<uint16_t> &samples, const std::atomic<bool> *cancelled) {
    if (mode == PreviewMode::RowPairs) {
        return renderRowPairs(field, exposure, samples, cancelled);
    }
    return renderSensor(field, exposure, samples, cancelled);
}

void writeFrame(PreviewMode mode, const std::vector<uint16_t> &samples, uint8_t *frame) {
    const std::size_t count =
        std::min(samples.size(), static_cast<std::size_t>(frameRows(mode)) * kSensorWidth);
    for (std::size_t i = 0; i < count; ++i) {
        storeBigEndian(frame + 2 * i, samples[i]);
    }
}

}  // namespace simcam
