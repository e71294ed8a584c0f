// The fast readout: whole host rows through one set of row loops.
#pragma once

#include <cstdint>

#include "readout/binning_mode.h"
#include "readout/row_kernels.h"
#include "readout/window.h"

// The lowest and highest sample index that the conversion of a window of at
// least 1 x 1 reads, computed exactly from the window fields.
struct SampleSpan {
    int64_t first;
    int64_t last;
};

SampleSpan sampleSpan(const BinningMode &mode, const ReadoutWindow &window);

// readFrame's contract, row by row through `kernels` when the window's span
// lies inside the buffer, through the reference otherwise.
void readFrameFast(const RowKernels &kernels, uint32_t mode, const ReadoutWindow &window,
                   const uint8_t *raw, uint16_t *image);
