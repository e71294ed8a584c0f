// The keywords this driver adds to the base class's FITS header.
#include "indi/qm208x_ccd.h"

void Qm208xCcd::addDriverKeywords(INDI::CCDChip *, FitsKeywords &keywords) {
    const uint32_t mode = delivery_.plan.mode;
    const Subframe &frame = delivery_.plan.subframe;
    keywords.put("ROWORDER", std::string("TOP-DOWN"), "first stored row is the image's top row");
    keywords.put("DRIVER", driverName_, "camera driver module");
    keywords.put("READOUTM", modeNames_.at(mode), "binning mode");
    keywords.put("BINMODE", static_cast<long>(mode), "binning mode number");
    keywords.put("XORGSUBF", static_cast<long>(frame.x),
                 "frame origin, binned columns from the left");
    keywords.put("YORGSUBF", static_cast<long>(frame.y), "frame origin, binned rows from the top");
    if (pixelSizeN_[0].value <= 0) {
        // An unknown pixel size is no size at all, not 0 um.
        for (const char *key : {"PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ", "SCALE"}) {
            keywords.remove(key);
        }
    }
    if (!keywords.error().empty()) {
        LOGF_ERROR("FITS keywords: %s", keywords.error().c_str());
    }
}
