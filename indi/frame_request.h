// What CCD_FRAME and CCD_BINNING ask for, in the host's terms: CCD_FRAME counts
// unbinned sensor pixels from the top-left of the delivered full-frame image,
// the host's frame plan binned pixels from the same corner; CCD_BINNING's
// factors choose a mode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/camera_modes.h"
#include "host/frame_plan.h"

// A frame in unbinned sensor pixels; y counts rows down from the top row of the
// delivered full-frame image.
struct SensorFrame {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = kSensorWidth;
    int32_t height = kSensorHeight;

    bool operator==(const SensorFrame &) const = default;
};

// Checks a requested frame (values as a client sent them) before anything
// changes: finite, origin at or past 0, size above 0, inside the sensor.
// The reason names the offending value.
bool checkFrameRequest(double x, double y, double width, double height, std::string &error);

// The smallest frame of whole binned pixels that covers `frame`: its left and
// top edges rounded down to the binning factor, its right and bottom edges up.
// A frame already on that grid stays as it is. Stays inside the sensor for
// every frame checkFrameRequest accepts.
SensorFrame onBinningGrid(const SensorFrame &frame, const CameraMode &mode);

// The host's plan for a frame on the mode's binning grid: the subframe in
// binned pixels, the driver window that covers it and the crop.
FramePlan framePlanFor(const SensorFrame &frame, uint32_t mode);

// The mode for a CCD_BINNING request: equal factors only; 1, 2 or 4 choose the
// mode that keeps the colour mosaic (4, 2 or 1), unless the current mode
// already bins by that factor. Refused with a reason for anything else.
std::optional<uint32_t> modeForBinning(double horizontal, double vertical, uint32_t currentMode,
                                       std::string &error);
