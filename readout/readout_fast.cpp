#include "readout/readout_fast.h"

#include <cstddef>

#include "readout/frame_geometry.h"
#include "readout/readout.h"

namespace {

int64_t sampleIndex(int64_t row, int64_t column) { return row * kSensorWidth + column; }

// How many host rows ahead the Bayer-cell loops prefetch: one host row, two or
// four raw rows. The copy and the pair sums take theirs from the row loops.
constexpr int32_t kPrefetchRowsCells = 1;

RowLoop cellsKernel(const RowKernels &kernels, const BinningMode &mode) {
    if (mode.cellRows == 2 && mode.cellColumns == 2) {
        return kernels.cells2x2;
    }
    if (mode.cellRows == 4 && mode.cellColumns == 4) {
        return kernels.cells4x4;
    }
    return kernels.cells2x4;
}

// Host rows one after another; rowFirst(h) is the first raw byte host row h
// reads. Each row also gets the first byte of a row further on to prefetch:
// raw rows are visited downwards, which the processor's own prefetcher does not
// foresee at the start of each row.
template <typename RowFirst>
void convertRows(RowLoop kernel, int32_t prefetchRows, const ReadoutWindow &window, uint16_t *image,
                 RowFirst rowFirst) {
    const auto width = static_cast<std::size_t>(window.width);
    for (int32_t h = 0; h < window.height; ++h) {
        const int32_t ahead =
            window.height - h > prefetchRows ? h + prefetchRows : window.height - 1;
        kernel(rowFirst(h), image + h * width, width, rowFirst(ahead));
    }
}

}  // namespace

// Each conversion reads every combination of a set of raw rows and a set of raw
// columns, so the extremes of the index are those of the rows and the columns.
SampleSpan sampleSpan(const BinningMode &mode, const ReadoutWindow &window) {
    const int64_t top = static_cast<int64_t>(window.y) + window.height;
    const int64_t left = window.x;
    const int64_t width = window.width;
    const int64_t height = window.height;
    switch (mode.conversion) {
        case Conversion::StraightCopy:
            return {sampleIndex(top - height + 1, left), sampleIndex(top, left + width - 1)};
        case Conversion::PairSum:
            return {sampleIndex(top - height + 1, 2 * left),
                    sampleIndex(top, 2 * left + 2 * width)};
        case Conversion::BayerCells:
            break;
    }
    // Host row h starts at raw row a top - 2a (h / 2) - h % 2 and reaches 2a - 2
    // rows lower; host column k starts at raw column b left + 2b (k / 2) + k % 2
    // and reaches 2b - 2 columns further. The last row and column give the far
    // ends, odd sizes included.
    const int64_t a = mode.cellRows;
    const int64_t b = mode.cellColumns;
    const int64_t lastRow = height - 1;
    const int64_t lastColumn = width - 1;
    const int64_t lowestRow = a * top - 2 * a * (lastRow / 2) - lastRow % 2 - (2 * a - 2);
    const int64_t highestColumn =
        b * left + 2 * b * (lastColumn / 2) + lastColumn % 2 + (2 * b - 2);
    return {sampleIndex(lowestRow, b * left), sampleIndex(a * top, highestColumn)};
}

void readFrameFast(const RowKernels &kernels, uint32_t modeNumber, const ReadoutWindow &window,
                   const uint8_t *raw, uint16_t *image) {
    const BinningMode *mode = findBinningMode(modeNumber);
    if (mode == nullptr || image == nullptr || window.width <= 0 || window.height <= 0) {
        return;
    }
    const SampleSpan span = sampleSpan(*mode, window);
    if (raw == nullptr || span.first < 0 || span.last >= static_cast<int64_t>(kRawFrameSamples)) {
        readFrameReference(modeNumber, window, raw, image);
        return;
    }
    // From here every row start lies inside the buffer, so each index fits a
    // pointer offset even on 32-bit processors.
    const int64_t top = static_cast<int64_t>(window.y) + window.height;
    const int64_t left = window.x;
    const auto rowStart = [raw](int64_t row, int64_t column) {
        return raw + 2 * static_cast<std::ptrdiff_t>(sampleIndex(row, column));
    };
    switch (mode->conversion) {
        case Conversion::StraightCopy:
            convertRows(kernels.copy, kernels.copyRowsAhead, window, image,
                        [&](int32_t h) { return rowStart(top - h, left); });
            break;
        case Conversion::PairSum:
            convertRows(kernels.pairSum, kernels.pairSumRowsAhead, window, image,
                        [&](int32_t h) { return rowStart(top - h, 2 * left); });
            break;
        case Conversion::BayerCells: {
            const int64_t a = mode->cellRows;
            const int64_t b = mode->cellColumns;
            convertRows(
                cellsKernel(kernels, *mode), kPrefetchRowsCells, window, image,
                [&](int32_t h) { return rowStart(a * top - 2 * a * (h / 2) - h % 2, b * left); });
            break;
        }
    }
}
