// Row loops of the fast readout, one set per instruction set.
//
// Each loop writes `count` samples of one host row from the raw frame. `first`
// points at the first byte of the first raw sample the row reads. The loops
// read only raw samples of the row's own raw area (the columns and rows the
// reference reads for it), so a caller that has checked the window's sample
// span against the buffer needs no further test. `ahead` is the `first` of a
// later host row of the same window: the loops only prefetch from it, at the
// offsets they read from `first`.
#pragma once

#include <cstddef>
#include <cstdint>

using RowLoop = void (*)(const uint8_t *first, uint16_t *out, std::size_t count,
                         const uint8_t *ahead);

struct RowKernels {
    // Mode 4: sample i is raw sample i from `first`.
    RowLoop copy;
    // Mode 3: sample i is min(65535, raw 2i + raw 2i + 2), counted from `first`.
    RowLoop pairSum;
    // Bayer-cell modes, a x b cells per host cell (rows x columns), named by
    // a and b. `first` is the anchor of the row's first host cell at the row's
    // position u (the raw row r0 - 2a i - u, column c0). Sample k sums the raw
    // samples dy = 0, 2 .. 2a - 2 rows lower and 2b (k / 2) + k % 2 + dx columns
    // right, dx = 0, 2 .. 2b - 2, limited to 65535.
    RowLoop cells2x2;
    RowLoop cells4x4;
    RowLoop cells2x4;
    // How many host rows after the current one `ahead` lies for the copy and
    // the pair sums, tuned per set: the Bayer cells read a whole host row of
    // two or four raw rows and always prefetch the next one.
    int32_t copyRowsAhead = 2;
    int32_t pairSumRowsAhead = 2;
};

const RowKernels &portableRowKernels();
// nullptr when this build has no loops for the instruction set.
const RowKernels *sse2RowKernels();
const RowKernels *avx2RowKernels();
const RowKernels *avx512RowKernels();

// The AVX2 Bayer-cell loops, which the AVX-512 set shares; defined only in
// builds that have the AVX2 loops.
void cells2x2Avx2(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead);
void cells4x4Avx2(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead);
void cells2x4Avx2(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead);
