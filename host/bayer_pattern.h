// The colour arrangement of a stored image (FITS BAYERPAT, INDI CCD_CFA).
#pragma once

#include <cstdint>
#include <string>

#include "host/camera_modes.h"
#include "host/host_window.h"

// The colours of the first two samples of the image's first two rows, as the
// driver delivers them (host row 0 first), e.g. "GBRG"; empty for the modes
// whose frames mix the colours of neighbouring sensor rows.
//
// Host row 0 comes from raw row cellRows x (y + height) and host column 0 from
// raw column cellColumns x x; each following host row lies one raw row lower.
// In the Bayer-cell modes both factors are 2 or 4, so the pattern is RGGB
// wherever the window is; in mode 4 it follows the parity of that raw row and
// column, which a one-pixel move changes.
std::string bayerPatternFor(const CameraMode &mode, const PixelWindow &window);

// The colour ('R', 'G' or 'B') of the stored sample at (row, column) of an image
// whose first 2x2 colours are `pattern`.
char colourAt(const std::string &pattern, int64_t row, int64_t column);
