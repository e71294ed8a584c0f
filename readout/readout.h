// Conversion of a raw frame into the host image.
//
// raw: the frame buffer of kRawFrameBytes (samples most significant byte first),
// or nullptr. image: windowWidth x windowHeight samples in native byte order.
// Host row 0 comes from the highest raw row of the window. A raw position whose
// exact sample index lies outside the buffer (or any position when raw is null)
// reads as 0, so no window makes the readout read outside the buffer; each host
// sample is written once and nothing else. A window of zero or negative size
// writes nothing, and so does a mode number above 4.
#pragma once

#include <cstdint>

#include "readout/window.h"

// Chooses the fastest conversion that gives the same image.
void readFrame(uint32_t mode, const ReadoutWindow &window, const uint8_t *raw, uint16_t *image);

// The straightforward conversion, sample by sample: the reference the fast one
// is checked against, and the one used for windows that reach outside the buffer.
void readFrameReference(uint32_t mode, const ReadoutWindow &window, const uint8_t *raw,
                        uint16_t *image);
