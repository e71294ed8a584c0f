// A captured frame as a FITS file: one unsigned 16-bit image (BITPIX 16,
// BZERO 32768), rows stored as the driver delivers them (host row 0 first,
// ROWORDER = 'TOP-DOWN'), with CHECKSUM and DATASUM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FrameDescription {
    int32_t width = 0;
    int32_t height = 0;
    double exposureSeconds = 0;
    std::string dateObs;     // exposure start, UTC, "YYYY-MM-DDThh:mm:ss.sss"
    std::string date;        // file written, same format
    std::string instrument;  // the driver's camera info
    std::string driverName;
    std::string modeName;
    uint32_t mode = 0;
    int32_t binning = 1;  // both axes
    int32_t originX = 0;  // window origin, binned pixels
    int32_t originY = 0;
    std::string bayerPattern;               // empty: no BAYERPAT (the colours are mixed)
    std::string object;                     // empty: no OBJECT
    std::string imageType = "Light Frame";  // IMAGETYP
    double pixelSizeMicrons = 0;            // sensor pixel pitch; 0: no pixel-size keywords
};

// The complete file in memory, or false with a one-line reason.
bool encodeFits(const FrameDescription &frame, const std::vector<uint16_t> &pixels,
                std::vector<uint8_t> &file, std::string &error);
