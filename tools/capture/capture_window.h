// Choosing a binning mode and a readout window the way a person thinks of them
// (a mode number or name; a window in binned pixels or as fractions of the frame)
// and turning the window into the host units that d_Subframe takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "readout/binning_mode.h"

// Size of the binned full frame of one mode and the multiple every window value
// of that mode must be on.
struct ModeGeometry {
    int32_t frameWidth = 0;  // binned pixels
    int32_t frameHeight = 0;
    int32_t multiple = 1;
};

ModeGeometry geometryOf(const BinningMode &mode);

// A window as the user wrote it.
struct WindowRequest {
    enum class Kind { WholeFrame, Pixels, Fractions };
    Kind kind = Kind::WholeFrame;
    double values[4] = {0, 0, 0, 0};  // x, y, width, height
};

// A window in pixels of the binned frame.
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

// Turns a request into a window of the binned frame. Pixel windows must lie on
// the mode's multiple and inside the frame; fractions are rounded down to the
// multiple. An empty or outlying window is refused with a one-line reason.
bool resolveWindow(const WindowRequest &request, const ModeGeometry &geometry, PixelWindow &window,
                   std::string &error);

// The host units for which d_Subframe yields exactly `window`: the smallest
// value v with (frameSize x v) / 100000 = pixels, which is
// ceil(pixels x 100000 / frameSize). Needs a window that resolveWindow accepted.
HostWindow hostUnitsFor(const PixelWindow &window, const ModeGeometry &geometry);

// The mode a user named: a number 0..count-1, a full mode name or an
// unambiguous start of one, compared without regard to case.
bool resolveMode(const std::string &text, const std::vector<std::string> &modeNames, uint32_t &mode,
                 std::string &error);
