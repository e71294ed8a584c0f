// A captured frame as a FITS file: one unsigned 16-bit image (BITPIX 16,
// BZERO 32768), rows stored from the image's top row (ROWORDER = 'TOP-DOWN'),
// the frame's keywords from the image-products library (imaging/fits_keywords.h),
// the same as the INDI driver's, then DATE (file written), CHECKSUM and DATASUM.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/fits_keywords.h"

// The complete file in memory, or false with a one-line reason. The image is
// frame.plan.subframe's size.
bool encodeFits(const FrameDescription &frame, std::chrono::system_clock::time_point written,
                const std::vector<uint16_t> &pixels, std::vector<uint8_t> &file,
                std::string &error);
