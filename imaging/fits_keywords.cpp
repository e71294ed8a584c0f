#include "imaging/fits_keywords.h"

#include <algorithm>

#include "host/utc_time.h"

namespace {

// Significant digits of a micrometre value, written without trailing zeros.
constexpr int kMicronDigits = 7;

class KeywordList {
public:
    void text(const char *name, const std::string &value, const char *comment) {
        if (!value.empty()) {
            add(name, FitsKeyword::Kind::Text, comment).text = value;
        }
    }
    void integer(const char *name, int64_t value, const char *comment) {
        add(name, FitsKeyword::Kind::Integer, comment).integer = value;
    }
    void fixed(const char *name, double value, int decimals, const char *comment) {
        FitsKeyword &k = add(name, FitsKeyword::Kind::Fixed, comment);
        k.real = value;
        k.digits = decimals;
    }
    void microns(const char *name, double value, const char *comment) {
        FitsKeyword &k = add(name, FitsKeyword::Kind::Real, comment);
        k.real = value;
        k.digits = kMicronDigits;
    }
    std::vector<FitsKeyword> take() { return std::move(keywords_); }

private:
    FitsKeyword &add(const char *name, FitsKeyword::Kind kind, const char *comment) {
        FitsKeyword &k = keywords_.emplace_back();
        k.name = name;
        k.kind = kind;
        k.comment = comment;
        return k;
    }
    std::vector<FitsKeyword> keywords_;
};

}  // namespace

const char *imageTypeText(FrameType type) {
    switch (type) {
        case FrameType::Dark:
            return "Dark Frame";
        case FrameType::Flat:
            return "Flat Field";
        case FrameType::Bias:
            return "Bias Frame";
        case FrameType::Light:
            break;
    }
    return "Light Frame";
}

std::vector<FitsKeyword> frameKeywords(const FrameDescription &frame) {
    const CameraMode &mode = *findCameraMode(frame.plan.mode);
    const Subframe &subframe = frame.plan.subframe;
    KeywordList k;
    k.text("IMAGETYP", frame.imageType, "frame type");
    k.fixed("EXPTIME", frame.exposureSeconds, 3, "[s] exposure length");
    k.text("DATE-OBS", utcTimeText(frame.startUtc), "exposure start (UTC)");
    k.text("TIMESYS", "UTC", "time scale of DATE-OBS and DATE");
    k.text("INSTRUME", frame.instrument, "camera, as the driver names it");
    k.text("DRIVER", frame.driverName, "camera driver");
    k.text("SWCREATE", frame.program, "program that wrote this file");
    k.text("READOUTM", frame.modeName, "binning mode");
    k.integer("BINMODE", frame.plan.mode, "binning mode number");
    k.integer("XBINNING", mode.binFactor, "binning factor, columns");
    k.integer("YBINNING", mode.binFactor, "binning factor, rows");
    k.integer("XORGSUBF", subframe.x, "subframe origin, binned columns from the left");
    k.integer("YORGSUBF", subframe.y, "subframe origin, binned rows from the top");
    if (frame.pixelSizeMicrons > 0) {
        const double binned = frame.pixelSizeMicrons * mode.binFactor;
        k.microns("PIXSIZE1", frame.pixelSizeMicrons, "[um] sensor pixel size, columns");
        k.microns("PIXSIZE2", frame.pixelSizeMicrons, "[um] sensor pixel size, rows");
        k.microns("XPIXSZ", binned, "[um] binned pixel size, columns");
        k.microns("YPIXSZ", binned, "[um] binned pixel size, rows");
    }
    k.text("ROWORDER", "TOP-DOWN", "first stored row is the image's top row");
    const SubframeColours colours = subframeColours(frame.plan);
    if (!colours.pattern.empty()) {
        k.text("BAYERPAT", colours.pattern, "colours of the first two stored rows");
        k.integer("XBAYROFF", 0, "BAYERPAT starts at the first column");
        k.integer("YBAYROFF", 0, "BAYERPAT starts at the first stored row");
    }
    k.text("OBJECT", frame.object, "target");
    return k.take();
}

const FitsKeyword *findKeyword(const std::vector<FitsKeyword> &keywords, const std::string &name) {
    const auto found = std::find_if(keywords.begin(), keywords.end(),
                                    [&name](const FitsKeyword &k) { return k.name == name; });
    return found == keywords.end() ? nullptr : &*found;
}
