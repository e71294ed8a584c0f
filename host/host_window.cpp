#include "host/host_window.h"

namespace {

uint32_t hostUnits(int32_t pixels, int32_t frameSize) {
    const uint64_t scaled = static_cast<uint64_t>(pixels) * kWindowScale;
    return static_cast<uint32_t>((scaled + static_cast<uint64_t>(frameSize) - 1) / frameSize);
}

}  // namespace

ModeGeometry geometryOf(const CameraMode &mode) {
    return {.frameWidth = kSensorWidth / mode.binFactor,
            .frameHeight = kSensorHeight / mode.binFactor,
            .multiple = mode.multiple};
}

HostWindow hostUnitsFor(const PixelWindow &window, const ModeGeometry &geometry) {
    return {hostUnits(window.x, geometry.frameWidth), hostUnits(window.y, geometry.frameHeight),
            hostUnits(window.width, geometry.frameWidth),
            hostUnits(window.height, geometry.frameHeight)};
}
