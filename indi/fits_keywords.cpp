// The keywords this driver adds to the base class's FITS header.
#include "indi/qm208x_ccd.h"

namespace {

void putKey(fitsfile *file, const char *key, long value, const char *comment, int &status) {
    fits_update_key(file, TLONG, key, &value, comment, &status);
}

void putKey(fitsfile *file, const char *key, const std::string &value, const char *comment,
            int &status) {
    fits_update_key(file, TSTRING, key, const_cast<char *>(value.c_str()), comment, &status);
}

}  // namespace

void Qm208xCcd::addFITSKeywords(INDI::CCDChip *chip) {
    INDI::CCD::addFITSKeywords(chip);
    fitsfile *file = *chip->fitsFilePointer();
    if (file == nullptr) {
        return;
    }
    const uint32_t mode = delivery_.plan.mode;
    const Subframe &frame = delivery_.plan.subframe;
    int status = 0;
    putKey(file, "ROWORDER", std::string("TOP-DOWN"), "first stored row is the image's top row",
           status);
    putKey(file, "DRIVER", driverName_, "camera driver module", status);
    putKey(file, "READOUTM", modeNames_.at(mode), "binning mode", status);
    putKey(file, "BINMODE", static_cast<long>(mode), "binning mode number", status);
    putKey(file, "XORGSUBF", static_cast<long>(frame.x),
           "frame origin, binned columns from the left", status);
    putKey(file, "YORGSUBF", static_cast<long>(frame.y),
           "frame origin, binned rows from the top", status);
    if (pixelSizeN_[0].value <= 0) {
        // An unknown pixel size is no size at all, not 0 um.
        for (const char *key : {"PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ", "SCALE"}) {
            int ignored = 0;
            fits_delete_key(file, key, &ignored);
        }
    }
    if (status != 0) {
        char text[FLEN_STATUS];
        fits_get_errstatus(status, text);
        LOGF_ERROR("FITS keywords: %s", text);
    }
}
