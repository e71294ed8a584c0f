// The colour arrangement of a saved image (FITS BAYERPAT).
#pragma once

#include <cstdint>
#include <string>

#include "readout/binning_mode.h"
#include "tools/capture/capture_window.h"

// The sensor's mosaic is RGGB at raw row 0, column 0.
inline constexpr char kSensorMosaic[] = "RGGB";

// The colours of the first two samples of the image's first two rows, as the
// driver delivers them (host row 0 first), e.g. "GBRG"; empty for the modes
// whose frames mix the colours of neighbouring sensor rows (preview mode 2).
//
// Host row 0 comes from raw row cellRows x (y + height) and host column 0 from
// raw column cellColumns x x; each following host row lies one raw row lower.
// In the Bayer-cell modes both factors are 2 or 4, so the pattern is RGGB
// wherever the window is; in mode 4 it follows the parity of that raw row and
// column, which a one-pixel move changes.
std::string bayerPatternFor(const BinningMode &mode, const PixelWindow &window);

// The colour ('R', 'G' or 'B') of the stored sample at (row, column) of an image
// whose first 2x2 colours are `pattern`.
char colourAt(const std::string &pattern, int64_t row, int64_t column);
