#include "indi/sensor_frame.h"

#include <cmath>
#include <cstdio>

#include "host/bayer_pattern.h"

namespace {

int64_t roundDown(int64_t value, int64_t step) { return value / step * step; }
int64_t roundUp(int64_t value, int64_t step) { return (value + step - 1) / step * step; }

std::string number(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

int32_t frameStep(const CameraMode &mode) { return mode.binFactor * mode.multiple; }

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
    if (x + width > kSensorColumns || y + height > kSensorRows) {
        error = frame + " reaches past the sensor of " + std::to_string(kSensorColumns) + "x" +
                std::to_string(kSensorRows) + " pixels";
        return false;
    }
    return true;
}

SensorFrame roundedFrame(const SensorFrame &frame, const CameraMode &mode) {
    const int64_t step = frameStep(mode);
    const int64_t left = roundDown(frame.x, step);
    const int64_t top = roundDown(frame.y, step);
    const int64_t right = roundUp(int64_t{frame.x} + frame.width, step);
    const int64_t bottom = roundUp(int64_t{frame.y} + frame.height, step);
    return {static_cast<int32_t>(left), static_cast<int32_t>(top),
            static_cast<int32_t>(right - left), static_cast<int32_t>(bottom - top)};
}

PixelWindow driverWindowFor(const SensorFrame &frame, const CameraMode &mode) {
    const int32_t bin = mode.binFactor;
    const int32_t binnedHeight = kSensorRows / bin;
    // Host row 0 is the window's highest raw row: the image's top row lies
    // binnedHeight - (y + height) binned rows below the full frame's top.
    const int32_t height = frame.height / bin;
    return {.x = frame.x / bin,
            .y = binnedHeight - frame.y / bin - height,
            .width = frame.width / bin,
            .height = height};
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
    // The modes that keep the colour mosaic, one per factor.
    const struct {
        double factor;
        uint32_t mode;
    } choices[] = {{1, 4}, {2, 2}, {4, 1}};
    for (const auto &choice : choices) {
        if (horizontal == choice.factor) {
            return choice.mode;
        }
    }
    error = "binning " + asked + " refused: the camera bins 1x1, 2x2 or 4x4";
    return std::nullopt;
}

ColourFilter colourFilterFor(const SensorFrame &frame, const CameraMode &mode) {
    return {.pattern = bayerPatternFor(mode, driverWindowFor(frame, mode))};
}
