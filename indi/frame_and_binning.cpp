// CCD_FRAME, CCD_BINNING and QM_BINNING_MODE, and the colour pattern that
// follows them (CCD_CFA).
#include <cmath>

#include "indi/qm208x_ccd.h"

std::string Qm208xCcd::frameText(const SensorFrame &f) {
    return rectangleText(f.x, f.y, f.width, f.height);
}

bool Qm208xCcd::applyFrame(double x, double y, double width, double height) {
    if (frameLocked()) {
        refuse("CCD_FRAME", "The frame cannot change during an exposure or a recording: abort or "
                            "stop it, or wait for its image.");
        return false;
    }
    std::string error;
    if (!checkFrameRequest(x, y, width, height, error)) {
        refuse("CCD_FRAME", "Frame refused: " + error + ".");
        return false;
    }
    // Whole binned pixels: the origin rounds down, the far edges up; a frame
    // on the binning grid is taken as it is.
    const auto left = static_cast<int32_t>(std::floor(x));
    const auto top = static_cast<int32_t>(std::floor(y));
    const SensorFrame asked{left, top, static_cast<int32_t>(std::ceil(x + width)) - left,
                            static_cast<int32_t>(std::ceil(y + height)) - top};
    frame_ = onBinningGrid(asked, cameraMode());
    // The colour pattern follows the frame; the frame's answer comes last.
    publishColourFilter();
    INDI::PropertyNumber property = getNumber("CCD_FRAME");
    if (property.isValid()) {
        property.setState(IPS_OK);
    }
    PrimaryCCD.setFrame(frame_.x, frame_.y, frame_.width, frame_.height);
    if (!(frame_ == asked)) {
        LOGF_INFO("Frame set to %s: mode %u reads whole %dx%d binned pixels.",
                  frameText(frame_).c_str(), mode_, cameraMode().binFactor,
                  cameraMode().binFactor);
    }
    restartStream();
    return true;
}

bool Qm208xCcd::UpdateCCDFrame(int x, int y, int w, int h) { return applyFrame(x, y, w, h); }

bool Qm208xCcd::UpdateCCDBin(int hor, int ver) {
    std::string error;
    const std::optional<uint32_t> mode = modeForBinning(hor, ver, mode_, error);
    if (!mode || frameLocked()) {
        LOG_ERROR(mode ? "Binning cannot change during an exposure or a recording." : error.c_str());
        return false;
    }
    selectMode(*mode, Answer::Binning);
    return true;
}

void Qm208xCcd::selectMode(uint32_t mode, Answer last) {
    mode_ = mode;
    for (size_t i = 0; i < kCameraModes.size(); ++i) {
        modeS_[i].s = i == mode ? ISS_ON : ISS_OFF;
    }
    modeSP_.s = IPS_OK;
    const auto announceMode = [this] { IDSetSwitch(&modeSP_, nullptr); };
    const auto announceBinning = [this] {
        INDI::PropertyNumber binning = getNumber("CCD_BINNING");
        if (binning.isValid()) {
            binning.setState(IPS_OK);
        }
        const int factor = cameraMode().binFactor;
        PrimaryCCD.setBin(factor, factor);
    };
    // The answer to the property the client set comes last, after everything
    // that follows from it.
    if (last == Answer::Mode) {
        announceBinning();
    } else {
        announceMode();
    }

    // The frame stays where it was, in whole pixels of the new binning.
    const SensorFrame before = frame_;
    frame_ = onBinningGrid(frame_, cameraMode());
    INDI::PropertyNumber frame = getNumber("CCD_FRAME");
    if (frame.isValid()) {
        frame.setState(IPS_OK);
    }
    PrimaryCCD.setFrame(frame_.x, frame_.y, frame_.width, frame_.height);
    if (!(frame_ == before)) {
        LOGF_INFO("Frame set to %s for mode %u (whole %dx%d binned pixels).",
                  frameText(frame_).c_str(), mode_, cameraMode().binFactor,
                  cameraMode().binFactor);
    }
    publishColourFilter();

    if (last == Answer::Mode) {
        announceMode();
    } else {
        announceBinning();
    }
    restartStream();
}

bool Qm208xCcd::updateColourFilter() {
    // The colours of the image's first two samples of its first two rows,
    // offsets 0, so clients need no arithmetic of their own.
    const std::string pattern = subframeColours(framePlan()).pattern;
    if (pattern.empty()) {
        SetCCDCapability(GetCCDCapability() & ~CCD_HAS_BAYER);
        return false;
    }
    SetCCDCapability(GetCCDCapability() | CCD_HAS_BAYER);
    setColourFilter(0, 0, pattern);
    return true;
}

void Qm208xCcd::publishColourFilter() {
    if (!updateColourFilter()) {
        if (colourFilterDefined_) {
            deleteProperty(colourFilterName());
            colourFilterDefined_ = false;
        }
        return;
    }
    if (!colourFilterDefined_ && isConnected()) {
        defineColourFilter();
        colourFilterDefined_ = true;
    } else {
        announceColourFilter();
    }
}

bool Qm208xCcd::cutToSubframe(std::vector<uint16_t> &image, const FramePlan &plan) {
    if (image.size() != static_cast<size_t>(plan.window.width) * plan.window.height) {
        return false;
    }
    if (!plan.deliversSubframe()) {
        image = cropToSubframe(image, plan);
    }
    return true;
}
