// The FITS keywords of a frame, the same in every program that saves one.
//
// Contract: frameKeywords gives, from a frame's description, every keyword the
// frame itself decides, in the order they are written: IMAGETYP, EXPTIME,
// DATE-OBS, TIMESYS, INSTRUME, DRIVER, SWCREATE, READOUTM, BINMODE,
// XBINNING/YBINNING, XORGSUBF/YORGSUBF (the subframe's origin in binned pixels
// from the image's top-left), PIXSIZE1/2 and XPIXSZ/YPIXSZ (with a known pixel
// size), ROWORDER, BAYERPAT with XBAYROFF/YBAYROFF 0 (the colours of the
// stored image's first two samples of its first two rows; none where the mode
// mixes colours), OBJECT. Optional text left empty gives no keyword. The file's
// own keywords (DATE, CHECKSUM) are the writer's. writeFitsKeywords
// (imaging/fits_keyword_writer.h) puts them into a cfitsio file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "host/frame_plan.h"

// What a frame is for: the sky, or one of the calibration frames processing
// software sorts by IMAGETYP.
enum class FrameType { Light, Dark, Flat, Bias };

// IMAGETYP of a frame type, as the common processing programs expect it.
const char *imageTypeText(FrameType type);

struct FrameDescription {
    FramePlan plan;        // mode, subframe origin and size
    std::string modeName;  // d_BinningName of plan.mode
    double exposureSeconds = 0;
    std::chrono::system_clock::time_point startUtc;  // when the camera started
    std::string imageType = "Light Frame";
    double pixelSizeMicrons = 0;  // sensor pixel pitch; 0: unknown, no pixel-size keywords
    std::string instrument;       // the camera's device name (kCameraName)
    std::string driverName;
    std::string program;  // SWCREATE
    std::string object;
};

struct FitsKeyword {
    enum class Kind { Text, Integer, Fixed, Real };
    std::string name;
    Kind kind = Kind::Text;
    std::string text;
    int64_t integer = 0;
    double real = 0;
    int digits = 0;  // Fixed: decimals; Real: significant digits
    std::string comment;

    bool operator==(const FitsKeyword &) const = default;
};

std::vector<FitsKeyword> frameKeywords(const FrameDescription &frame);

// The keyword of that name, or nullptr.
const FitsKeyword *findKeyword(const std::vector<FitsKeyword> &keywords, const std::string &name);
