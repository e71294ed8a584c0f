// The frame plan: how a subframe a user or client asks for is read and cut.
//
// Contract: a Subframe is in binned pixels of the chosen mode, counted from the
// top-left of the image (x right, y down), any values inside the binned frame.
// planFrame turns it into the driver window (on the mode's multiple, in the
// driver's coordinates: y from raw row 0, host row 0 from the window's highest
// raw row) that covers it, and the crop that cuts it out of the delivered
// image. cropToSubframe makes that cut. subframeColours gives the colour
// pattern of the cut image. Every program (CCD_FRAME, StartX/StartY/NumX/NumY,
// qm-capture --window) goes through here, so one subframe of one exposure is
// the same image in each of them.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

#include "host/camera_modes.h"
#include "host/host_window.h"

// A subframe in binned pixels, origin at the image's top-left.
struct Subframe {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;

    bool operator==(const Subframe &) const = default;
};

// "x,y WxH": a rectangle of pixels as every message names it.
std::string rectangleText(int64_t x, int64_t y, int64_t width, int64_t height);
inline std::string subframeText(const Subframe &s) {
    return rectangleText(s.x, s.y, s.width, s.height);
}

// A value that is not negative, rounded down or up to a whole multiple of a
// positive step.
template <std::integral T>
constexpr T roundDown(T value, T step) {
    return value / step * step;
}
template <std::integral T>
constexpr T roundUp(T value, T step) {
    return (value + step - 1) / step * step;
}

// The whole binned frame of a mode.
Subframe fullSubframe(const CameraMode &mode);

// True when the subframe lies inside the binned frame and is not empty;
// otherwise false with a one-line reason naming the values and the frame.
bool checkSubframe(const Subframe &subframe, const CameraMode &mode, std::string &error);

struct FramePlan {
    uint32_t mode = 4;
    ModeGeometry geometry;
    PixelWindow window;  // what d_Subframe selects (through hostUnitsFor)
    int32_t cropX = 0;   // the subframe's origin inside the delivered image
    int32_t cropY = 0;
    Subframe subframe;  // as asked

    bool operator==(const FramePlan &) const = default;
    // True when the delivered image is the subframe itself (no cut needed).
    bool deliversSubframe() const {
        return cropX == 0 && cropY == 0 && window.width == subframe.width &&
               window.height == subframe.height;
    }
};

// The smallest window on the mode's multiple covering the subframe, and the
// crop. Needs a subframe checkSubframe accepted and a mode the camera has.
FramePlan planFrame(const Subframe &subframe, uint32_t mode);

// The subframe out of the delivered image (rows of plan.window.width samples,
// host row 0 first, as d_ReadImage fills them), in the same row order. Returns
// the delivered image unchanged when the plan delivers the subframe itself.
// `delivered` must hold the window's samples.
std::vector<uint16_t> cropToSubframe(const std::vector<uint16_t> &delivered, const FramePlan &plan);

// The colour mosaic of the cut image. `pattern` names the colours of its first
// two samples of its first two rows (FITS BAYERPAT, INDI CCD_CFA, with offsets
// 0). `fullFramePattern` is the same for the mode's full frame, and
// offsetX/offsetY (0 or 1, FITS XBAYROFF/YBAYROFF style) shift it onto the
// subframe: sample (r, c) of the subframe has the colour of
// (r + offsetY, c + offsetX) in fullFramePattern. All empty/0 in the modes
// whose frames mix colours.
struct SubframeColours {
    std::string pattern;
    std::string fullFramePattern;
    int32_t offsetX = 0;
    int32_t offsetY = 0;
};
SubframeColours subframeColours(const FramePlan &plan);
