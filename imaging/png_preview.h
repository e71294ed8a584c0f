// An 8-bit PNG a person can look at: colour mosaics are debayered (bilinear),
// and every image is stretched from its background to its brightest stars.
// Made for every frame of a sequence, so it costs a small part of a frame's time.
// Contract: makePreview turns the 16-bit samples of any frame (its colour
// pattern from the frame plan, empty for none) into the 8-bit image that
// encodePng (imaging/png_encoder.h) writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/png_encoder.h"

// Bilinear debayer of a mosaic whose first 2x2 colours are `bayerPattern`: a
// sample keeps its own colour; each missing colour is the mean, rounded to the
// nearest count, of the 3x3 neighbours of that colour inside the image.
// Output is RGB, row-major.
std::vector<uint16_t> debayerBilinear(const std::vector<uint16_t> &mosaic, int32_t width,
                                      int32_t height, const std::string &bayerPattern);

// Grey for an empty pattern, debayered colour otherwise; each channel's
// background (its 25th percentile) goes to black and the 99.95th percentile of
// the brightest channel to white, with an asinh curve between.
PreviewImage makePreview(const std::vector<uint16_t> &pixels, int32_t width, int32_t height,
                         const std::string &bayerPattern);
