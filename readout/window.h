// The readout window: where in the binned frame the host image lies.
#pragma once

#include <cstdint>

#include "readout/binning_mode.h"

struct ReadoutWindow {
    int32_t x = 0;       // binned columns
    int32_t y = 0;       // binned rows
    int32_t width = 0;
    int32_t height = 0;
};

// Scales a host window (parts of 100000 of the sensor) to binned pixels, in
// unsigned 32-bit arithmetic: products wrap, divisions truncate, then each
// value is rounded down to the mode's multiple.
ReadoutWindow windowFromHostUnits(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                  const BinningMode &mode);

// Moves the window one binned pixel for direction codes 1 to 4 (y+1, y-1, x-1,
// x+1), without bounds or rounding; other codes leave it as it is.
ReadoutWindow movedWindow(ReadoutWindow window, int32_t direction);
