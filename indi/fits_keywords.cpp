// The FITS header of a frame: the base class's keywords, then those every
// program of this camera writes for a frame (imaging/fits_keywords.h), which
// replace the base class's of the same name, so qm-capture's and this driver's
// files of one frame say the same.
#include "imaging/fits_keywords.h"
#include "indi/qm208x_ccd.h"

namespace {

// INDI's frame types as the image products name them.
FrameType frameTypeOf(INDI::CCDChip::CCD_FRAME type) {
    switch (type) {
    case INDI::CCDChip::BIAS_FRAME: return FrameType::Bias;
    case INDI::CCDChip::DARK_FRAME: return FrameType::Dark;
    case INDI::CCDChip::FLAT_FRAME: return FrameType::Flat;
    case INDI::CCDChip::LIGHT_FRAME: break;
    }
    return FrameType::Light;
}

}  // namespace

void Qm208xCcd::addDriverKeywords(INDI::CCDChip *chip, FitsKeywords &keywords) {
    const FrameDescription frame{.plan = delivery_.plan,
                                 .modeName = modeNames_.at(delivery_.plan.mode),
                                 .exposureSeconds = delivery_.seconds,
                                 .startUtc = delivery_.startUtc,
                                 .imageType = imageTypeText(frameTypeOf(chip->getFrameType())),
                                 .pixelSizeMicrons = pixelSizeN_[0].value,
                                 // INDI clients know the camera by its device name.
                                 .instrument = getDeviceName(),
                                 .driverName = driverName_,
                                 .program = "indi_qm208x_ccd",
                                 .object = {}};
    keywords.put(frameKeywords(frame));
    if (frame.pixelSizeMicrons <= 0) {
        // An unknown pixel size is no size at all, not the base class's 0 um.
        for (const char *key : {"PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ", "SCALE"}) {
            keywords.remove(key);
        }
    }
    if (!keywords.error().empty()) {
        LOGF_ERROR("FITS keywords: %s", keywords.error().c_str());
    }
}
