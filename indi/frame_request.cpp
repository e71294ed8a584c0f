#include "indi/frame_request.h"

#include <cmath>
#include <cstdio>

namespace {

std::string number(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

bool checkFrameRequest(double x, double y, double width, double height, std::string &error) {
    const struct {
        const char *name;
        double value;
    } values[] = {{"X", x}, {"Y", y}, {"WIDTH", width}, {"HEIGHT", height}};
    for (const auto &v : values) {
        if (!std::isfinite(v.value)) {
            error = std::string("frame ") + v.name + " is not a number";
            return false;
        }
    }
    const std::string frame = "frame " + number(x) + "," + number(y) + " " + number(width) +
                              "x" + number(height);
    if (x < 0 || y < 0) {
        error = frame + " starts outside the sensor (origin below 0)";
        return false;
    }
    if (width < 1 || height < 1) {
        error = frame + " is empty";
        return false;
    }
    if (x + width > kSensorWidth || y + height > kSensorHeight) {
        error = frame + " reaches past the sensor of " + std::to_string(kSensorWidth) + "x" +
                std::to_string(kSensorHeight) + " pixels";
        return false;
    }
    return true;
}

SensorFrame onBinningGrid(const SensorFrame &frame, const CameraMode &mode) {
    const int64_t bin = mode.binFactor;
    const int64_t left = roundDown(int64_t{frame.x}, bin);
    const int64_t top = roundDown(int64_t{frame.y}, bin);
    const int64_t right = roundUp(int64_t{frame.x} + frame.width, bin);
    const int64_t bottom = roundUp(int64_t{frame.y} + frame.height, bin);
    return {static_cast<int32_t>(left), static_cast<int32_t>(top),
            static_cast<int32_t>(right - left), static_cast<int32_t>(bottom - top)};
}

FramePlan framePlanFor(const SensorFrame &frame, uint32_t mode) {
    const int32_t bin = kCameraModes[mode].binFactor;
    return planFrame({.x = frame.x / bin,
                      .y = frame.y / bin,
                      .width = frame.width / bin,
                      .height = frame.height / bin},
                     mode);
}

std::optional<uint32_t> modeForBinning(double horizontal, double vertical, uint32_t currentMode,
                                       std::string &error) {
    const std::string asked = number(horizontal) + "x" + number(vertical);
    if (horizontal != vertical) {
        error = "binning " + asked + " refused: the camera bins both axes by the same factor";
        return std::nullopt;
    }
    const CameraMode *current = findCameraMode(currentMode);
    if (current != nullptr && horizontal == current->binFactor) {
        return currentMode;
    }
    // Cast only what fits: the camera's factors are small whole numbers.
    if (horizontal >= 1 && horizontal <= 64 && std::floor(horizontal) == horizontal) {
        const auto factor = static_cast<int32_t>(horizontal);
        if (const std::optional<uint32_t> mode = modeForBinning(factor, BinningKind::ColourKept)) {
            return mode;
        }
    }
    error = "binning " + asked + " refused: the camera bins 1x1, 2x2 or 4x4";
    return std::nullopt;
}
