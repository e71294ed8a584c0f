// Choosing a binning mode and a readout window the way a person thinks of them:
// a mode number or name; a window in binned pixels or as fractions of the frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/frame_plan.h"

// A window as the user wrote it.
struct WindowRequest {
    enum class Kind { WholeFrame, Pixels, Fractions };
    Kind kind = Kind::WholeFrame;
    double values[4] = {0, 0, 0, 0};  // x, y, width, height
};

// Turns a request into a subframe of the binned frame, counted from the
// image's top-left: pixel values as given, any whole numbers inside the frame;
// fractions of the frame's width and height rounded down to whole pixels. An
// empty or outlying window is refused with a one-line reason.
bool resolveWindow(const WindowRequest &request, const ModeGeometry &geometry, Subframe &subframe,
                   std::string &error);

// The mode a user named: a number 0..count-1, a full mode name or an
// unambiguous start of one, compared without regard to case.
bool resolveMode(const std::string &text, const std::vector<std::string> &modeNames, uint32_t &mode,
                 std::string &error);
