// A readout window in binned pixels and the host units d_Subframe takes for it.
#pragma once

#include <cstdint>

#include "host/camera_modes.h"

// Size of the binned full frame of one mode and the multiple every window value
// of that mode must be on.
struct ModeGeometry {
    int32_t frameWidth = 0;  // binned pixels
    int32_t frameHeight = 0;
    int32_t multiple = 1;

    bool operator==(const ModeGeometry &) const = default;
};

ModeGeometry geometryOf(const CameraMode &mode);

// A window in pixels of the binned frame, in the driver's coordinates: y counts
// from raw row 0, and host row 0 of the image comes from the window's highest
// raw row.
struct PixelWindow {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;

    bool operator==(const PixelWindow &) const = default;
};

// The four d_Subframe arguments (parts of 100000 of the sensor).
struct HostWindow {
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;

    bool operator==(const HostWindow &) const = default;
};

// The host units for which d_Subframe yields exactly `window`: the smallest
// value v with (frameSize x v) / 100000 = pixels, which is
// ceil(pixels x 100000 / frameSize). Needs a window inside the binned frame
// on the mode's multiple.
HostWindow hostUnitsFor(const PixelWindow &window, const ModeGeometry &geometry);
