// The INDI side of the camera's geometry: CCD_FRAME in unbinned sensor pixels
// with its origin at the top-left of the delivered full-frame image, CCD_BINNING
// and the binning modes, and the colour pattern clients debayer with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/camera_modes.h"
#include "host/host_window.h"

// A frame in unbinned sensor pixels; y counts rows down from the top row of the
// delivered full-frame image.
struct SensorFrame {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = kSensorColumns;
    int32_t height = kSensorRows;

    bool operator==(const SensorFrame &) const = default;
};

// Sensor pixels every frame value of a mode is a multiple of: the window
// multiple of the binned frame times the binning factor.
int32_t frameStep(const CameraMode &mode);

// Checks a requested frame (values as a client sent them) before anything
// changes: finite, origin at or past 0, size above 0, inside the sensor.
// The reason names the offending value.
bool checkFrameRequest(double x, double y, double width, double height, std::string &error);

// The smallest frame on the mode's step that covers `frame`: its left and top
// edges rounded down, its right and bottom edges up. Stays inside the sensor
// for every frame checkFrameRequest accepts.
SensorFrame roundedFrame(const SensorFrame &frame, const CameraMode &mode);

// The driver window (binned pixels, y from raw row 0) whose image is exactly
// the frame's crop of the full-frame image. Needs a frame on the mode's step.
PixelWindow driverWindowFor(const SensorFrame &frame, const CameraMode &mode);

// The mode for a CCD_BINNING request: equal factors only; 1, 2 or 4 choose
// modes 4, 2 or 1, unless the current mode already bins by that factor.
// Refused with a reason for anything else.
std::optional<uint32_t> modeForBinning(double horizontal, double vertical, uint32_t currentMode,
                                       std::string &error);

// CCD_CFA of the image of `frame`: the colours of the stored image's first two
// samples of its first two rows, offsets 0; none in the modes that mix colours.
struct ColourFilter {
    std::string pattern;  // empty: no mosaic
    int32_t offsetX = 0;
    int32_t offsetY = 0;
};
ColourFilter colourFilterFor(const SensorFrame &frame, const CameraMode &mode);
