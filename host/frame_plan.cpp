#include "host/frame_plan.h"

#include <algorithm>

#include "host/bayer_pattern.h"

namespace {

// The colours of the first two samples of the first two rows of an image whose
// first 2x2 colours are `pattern`, after cutting `x` columns and `y` rows off.
std::string shifted(const std::string &pattern, int32_t x, int32_t y) {
    if (pattern.empty()) {
        return {};
    }
    return {colourAt(pattern, y, x), colourAt(pattern, y, x + 1), colourAt(pattern, y + 1, x),
            colourAt(pattern, y + 1, x + 1)};
}

}  // namespace

std::string rectangleText(int64_t x, int64_t y, int64_t width, int64_t height) {
    return std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(width) + "x" +
           std::to_string(height);
}

Subframe fullSubframe(const CameraMode &mode) {
    const ModeGeometry geometry = geometryOf(mode);
    return {.x = 0, .y = 0, .width = geometry.frameWidth, .height = geometry.frameHeight};
}

bool checkSubframe(const Subframe &subframe, const CameraMode &mode, std::string &error) {
    const ModeGeometry geometry = geometryOf(mode);
    const std::string frame = " (the binned frame is " + std::to_string(geometry.frameWidth) +
                              "x" + std::to_string(geometry.frameHeight) + ")";
    if (subframe.width < 1 || subframe.height < 1) {
        error = "subframe " + subframeText(subframe) + " is empty" + frame;
        return false;
    }
    if (subframe.x < 0 || subframe.y < 0) {
        error = "subframe " + subframeText(subframe) + " starts outside the frame (origin below 0)" +
                frame;
        return false;
    }
    if (int64_t{subframe.x} + subframe.width > geometry.frameWidth ||
        int64_t{subframe.y} + subframe.height > geometry.frameHeight) {
        error = "subframe " + subframeText(subframe) + " reaches past the frame" + frame;
        return false;
    }
    return true;
}

FramePlan planFrame(const Subframe &subframe, uint32_t mode) {
    const ModeGeometry geometry = geometryOf(*findCameraMode(mode));
    const int32_t step = geometry.multiple;
    const int32_t left = roundDown(subframe.x, step);
    const int32_t top = roundDown(subframe.y, step);
    const int32_t right = roundUp(subframe.x + subframe.width, step);
    const int32_t bottom = roundUp(subframe.y + subframe.height, step);
    // The driver counts y from raw row 0 and delivers the window's highest raw
    // row first, so the image's row `top` is host row 0 of a window starting
    // frameHeight - bottom rows above raw row 0.
    return {.mode = mode,
            .geometry = geometry,
            .window = {.x = left,
                       .y = geometry.frameHeight - bottom,
                       .width = right - left,
                       .height = bottom - top},
            .cropX = subframe.x - left,
            .cropY = subframe.y - top,
            .subframe = subframe};
}

std::vector<uint16_t> cropToSubframe(const std::vector<uint16_t> &delivered, const FramePlan &plan) {
    if (plan.deliversSubframe()) {
        return delivered;
    }
    const Subframe &s = plan.subframe;
    std::vector<uint16_t> image(static_cast<size_t>(s.width) * static_cast<size_t>(s.height));
    const size_t stride = static_cast<size_t>(plan.window.width);
    for (int32_t row = 0; row < s.height; ++row) {
        const auto first = delivered.begin() +
                           static_cast<std::ptrdiff_t>((plan.cropY + row) * stride + plan.cropX);
        std::copy(first, first + s.width,
                  image.begin() + static_cast<std::ptrdiff_t>(row) * s.width);
    }
    return image;
}

SubframeColours subframeColours(const FramePlan &plan) {
    const CameraMode &mode = *findCameraMode(plan.mode);
    if (!mode.keepsMosaic) {
        return {};
    }
    const Subframe full = fullSubframe(mode);
    const std::string fullPattern = bayerPatternFor(
        mode, {.x = 0, .y = 0, .width = full.width, .height = full.height});
    // The delivered image of the window, cut at the crop.
    const std::string pattern =
        shifted(bayerPatternFor(mode, plan.window), plan.cropX, plan.cropY);
    return {.pattern = pattern,
            .fullFramePattern = fullPattern,
            .offsetX = plan.subframe.x % 2,
            .offsetY = plan.subframe.y % 2};
}
