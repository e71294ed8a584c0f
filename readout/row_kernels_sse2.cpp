// SSE2 row loops. Built with -msse2 where the compiler needs it (32-bit x86);
// readout.cpp calls them only on a processor that has SSE2.
#include "readout/row_kernels.h"

#if defined(__SSE2__)

#include <emmintrin.h>

#include "readout/row_kernels_portable.h"

namespace {

inline __m128i load(const uint8_t *bytes) {
    traceRead(bytes, 16);
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
}

inline void store(uint16_t *out, __m128i samples) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), samples);
}

inline __m128i swapBytes(__m128i v) {
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// The low 16 bits of each 32-bit lane of a, then of b. Sign extension first
// keeps the signed pack from saturating, so every bit pattern goes through.
inline __m128i packLowHalves(__m128i a, __m128i b) {
    return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                           _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
}

inline void prefetch(const uint8_t *line) {
    traceRead(line, 1);
    _mm_prefetch(reinterpret_cast<const char *>(line), _MM_HINT_T0);
}

// The loops prefetch one 64-byte line of the row ahead for each line they read.
void copyRow(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        prefetch(ahead + 2 * i);
        for (std::size_t part = 0; part < 32; part += 8) {
            store(out + i + part, swapBytes(load(first + 2 * (i + part))));
        }
    }
    for (; i + 8 <= count; i += 8) {
        store(out + i, swapBytes(load(first + 2 * i)));
    }
    copyRowPortable(first + 2 * i, out + i, count - i);
}

// The 8 samples at even distances from p, of the 16 there, in order.
inline __m128i evenSamples(const uint8_t *p) {
    return swapBytes(packLowHalves(load(p), load(p + 16)));
}

// Terms 1 to 7, then the first of the following terms.
inline __m128i followingTerms(__m128i terms, __m128i nextTerms) {
    return _mm_or_si128(_mm_srli_si128(terms, 2), _mm_slli_si128(nextTerms, 14));
}

// Output i adds terms i and i + 1 of the row's even samples. Eight outputs per
// step from the 8 terms at hand and the first of the next 8, loaded a step
// ahead; the last step takes that one term alone, so no load passes the row's
// last sample (term `count`).
void pairSumRow(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    std::size_t i = 0;
    if (count >= 8) {
        __m128i terms = evenSamples(first);
        for (; i + 16 <= count; i += 8) {
            if (i % 16 == 0) {
                prefetch(ahead + 4 * i);
            }
            const __m128i nextTerms = evenSamples(first + 4 * i + 32);
            store(out + i, _mm_adds_epu16(terms, followingTerms(terms, nextTerms)));
            terms = nextTerms;
        }
        if (i + 8 <= count) {
            const __m128i lastTerm =
                _mm_cvtsi32_si128(static_cast<int>(loadSample(first + 4 * i + 32)));
            store(out + i, _mm_adds_epu16(terms, followingTerms(terms, lastTerm)));
            i += 8;
        }
    }
    pairSumRowPortable(first + 4 * i, out + i, count - i);
}

// Eight samples of each of the cell's rows (2 raw rows apart), added column by
// column. Saturating adds of values that are never negative give
// min(65535, sum) in any order.
template <int kCellRows>
inline __m128i columnSums(const uint8_t *top) {
    __m128i sum = swapBytes(load(top));
    for (int dy = 1; dy < kCellRows; ++dy) {
        sum = _mm_adds_epu16(sum, swapBytes(load(top - 2 * dy * kRowStride)));
    }
    return sum;
}

// Adds neighbouring 32-bit lanes (0 + 1, 2 + 3) of a, then of b, as pairs of
// 16-bit sums: a lane holds one sample of each of the two colours of a row.
inline __m128i addLanePairs(__m128i a, __m128i b) {
    const __m128 fa = _mm_castsi128_ps(a);
    const __m128 fb = _mm_castsi128_ps(b);
    return _mm_adds_epu16(_mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
                          _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

// Eight host samples, four host cells, per step: 8b raw columns of each row.
template <int kCellRows, int kCellColumns>
void cellsRow(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const std::size_t offset = 2 * kCellColumns * k;  // 32 or 64 bytes a step
        const uint8_t *p = first + offset;
        if (offset % 64 == 0) {
            for (int dy = 0; dy < kCellRows; ++dy) {
                prefetch(ahead + offset - 2 * dy * kRowStride);
            }
        }
        __m128i sums;
        if constexpr (kCellColumns == 2) {
            sums = addLanePairs(columnSums<kCellRows>(p), columnSums<kCellRows>(p + 16));
        } else {
            sums = addLanePairs(
                addLanePairs(columnSums<kCellRows>(p), columnSums<kCellRows>(p + 16)),
                addLanePairs(columnSums<kCellRows>(p + 32), columnSums<kCellRows>(p + 48)));
        }
        store(out + k, sums);
    }
    cellsRowPortable<kCellRows, kCellColumns>(first + 2 * kCellColumns * k, out + k, count - k);
}

}  // namespace

const RowKernels *sse2RowKernels() {
    static constexpr RowKernels kKernels{
        .copy = copyRow,
        .pairSum = pairSumRow,
        .cells2x2 = cellsRow<2, 2>,
        .cells4x4 = cellsRow<4, 4>,
        .cells2x4 = cellsRow<2, 4>,
    };
    return &kKernels;
}

#else

const RowKernels *sse2RowKernels() { return nullptr; }

#endif
