#include "alpaca/camera_geometry.h"

#include <algorithm>

#include "host/bayer_pattern.h"

namespace alpaca {

namespace {

int32_t roundDown(int32_t value, int32_t step) { return value / step * step; }
int32_t roundUp(int32_t value, int32_t step) { return (value + step - 1) / step * step; }

}  // namespace

bool binSupported(int32_t bin) { return bin == 1 || bin == 2 || bin == 4; }

std::optional<uint32_t> driverModeFor(int32_t bin, int32_t readoutMode) {
    if (readoutMode < 0 || readoutMode >= kReadoutModeCount) {
        return std::nullopt;
    }
    const ReadoutModeChoice &choice = kReadoutModes[readoutMode];
    switch (bin) {
        case 1:
            return choice.bin1Mode;
        case 2:
            return choice.bin2Mode;
        case 4:
            return choice.bin4Mode;
        default:
            return std::nullopt;
    }
}

bool checkSubframe(const Subframe &frame, int32_t bin, std::string &error) {
    const int64_t width = kSensorColumns / bin;
    const int64_t height = kSensorRows / bin;
    const std::string binned = " (binned frame " + std::to_string(width) + " x " +
                               std::to_string(height) + " at bin " + std::to_string(bin) + ")";
    if (frame.numX < 1 || frame.numY < 1) {
        error = "NumX " + std::to_string(frame.numX) + " and NumY " + std::to_string(frame.numY) +
                " must both be at least 1";
        return false;
    }
    if (frame.startX < 0 || frame.startY < 0) {
        error = "StartX " + std::to_string(frame.startX) + " and StartY " +
                std::to_string(frame.startY) + " must not be negative";
        return false;
    }
    if (int64_t{frame.startX} + frame.numX > width) {
        error = "StartX + NumX = " + std::to_string(int64_t{frame.startX} + frame.numX) +
                " reaches past the frame" + binned;
        return false;
    }
    if (int64_t{frame.startY} + frame.numY > height) {
        error = "StartY + NumY = " + std::to_string(int64_t{frame.startY} + frame.numY) +
                " reaches past the frame" + binned;
        return false;
    }
    return true;
}

ReadoutPlan planReadout(const Subframe &frame, uint32_t mode) {
    const CameraMode &cameraMode = *findCameraMode(mode);
    const ModeGeometry geometry = geometryOf(cameraMode);
    const int32_t step = geometry.multiple;
    const int32_t left = roundDown(frame.startX, step);
    const int32_t top = roundDown(frame.startY, step);
    const int32_t right = roundUp(frame.startX + frame.numX, step);
    const int32_t bottom = roundUp(frame.startY + frame.numY, step);
    // The driver counts y from raw row 0 and delivers the window's highest raw
    // row first, so the image's top row `top` is window row frameHeight - bottom.
    return {.mode = mode,
            .window = {.x = left,
                       .y = geometry.frameHeight - bottom,
                       .width = right - left,
                       .height = bottom - top},
            .geometry = geometry,
            .cropX = frame.startX - left,
            .cropY = frame.startY - top,
            .numX = frame.numX,
            .numY = frame.numY};
}

ColumnImage cropToColumns(const std::vector<uint16_t> &rows, const ReadoutPlan &plan) {
    ColumnImage image{.numX = plan.numX,
                      .numY = plan.numY,
                      .samples = std::vector<uint16_t>(static_cast<size_t>(plan.numX) * plan.numY)};
    const size_t stride = static_cast<size_t>(plan.window.width);
    // Blocks of rows keep both the reads and the transposed writes in cache.
    constexpr int32_t kBlock = 64;
    for (int32_t y0 = 0; y0 < plan.numY; y0 += kBlock) {
        const int32_t y1 = std::min(plan.numY, y0 + kBlock);
        for (int32_t x = 0; x < plan.numX; ++x) {
            const uint16_t *source =
                rows.data() + static_cast<size_t>(plan.cropY) * stride + plan.cropX + x;
            uint16_t *column = image.samples.data() + static_cast<size_t>(x) * plan.numY;
            for (int32_t y = y0; y < y1; ++y) {
                column[y] = source[static_cast<size_t>(y) * stride];
            }
        }
    }
    return image;
}

BayerOffset sensorBayerOffset() {
    const CameraMode &fullResolution = kCameraModes[4];
    const ModeGeometry geometry = geometryOf(fullResolution);
    const std::string pattern = bayerPatternFor(
        fullResolution,
        {.x = 0, .y = 0, .width = geometry.frameWidth, .height = geometry.frameHeight});
    // pattern holds the colours of (0,0), (1,0), (0,1), (1,1).
    const size_t red = pattern.find('R');
    return {.x = static_cast<int32_t>(red % 2), .y = static_cast<int32_t>(red / 2)};
}

}  // namespace alpaca
