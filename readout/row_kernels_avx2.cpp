// AVX2 row loops. Built with -mavx2; readout.cpp calls them only on a processor
// and system that run AVX2.
#include "readout/row_kernels.h"

#if defined(__AVX2__)

#include <immintrin.h>

#include "readout/row_kernels_portable.h"

namespace {

inline __m256i load(const uint8_t *bytes) {
    traceRead(bytes, 32);
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes));
}

inline void store(uint16_t *out, __m256i samples) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), samples);
}

inline __m256i swapBytes(__m256i v) {
    const __m256i order = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1,
                                           0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    return _mm256_shuffle_epi8(v, order);
}

// Packing and the lane shuffles below work within each 128-bit half; this puts
// the four 64-bit quarters back in order (0, 2, 1, 3).
inline __m256i joinHalves(__m256i v) {
    return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 1, 2, 0));
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
        store(out + i, swapBytes(load(first + 2 * i)));
        store(out + i + 16, swapBytes(load(first + 2 * i + 32)));
    }
    for (; i + 16 <= count; i += 16) {
        store(out + i, swapBytes(load(first + 2 * i)));
    }
    copyRowPortable(first + 2 * i, out + i, count - i);
}

// The 16 samples at even distances from p, of the 32 there, in order.
// Values are below 65536, so the unsigned pack keeps them whole.
inline __m256i evenSamples(const uint8_t *p) {
    const __m256i lowHalves = _mm256_set1_epi32(0xFFFF);
    return swapBytes(joinHalves(_mm256_packus_epi32(_mm256_and_si256(load(p), lowHalves),
                                                    _mm256_and_si256(load(p + 32), lowHalves))));
}

// Terms 1 to 15, then the first of the following terms.
inline __m256i followingTerms(__m256i terms, __m256i nextTerms) {
    return _mm256_alignr_epi8(_mm256_permute2x128_si256(terms, nextTerms, 0x21), terms, 2);
}

// Output i adds terms i and i + 1 of the row's even samples. Sixteen outputs per
// step from the 16 terms at hand and the first of the next 16, loaded a step
// ahead; the last step takes that one term alone, so no load passes the row's
// last sample (term `count`).
void pairSumRow(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    std::size_t i = 0;
    if (count >= 16) {
        __m256i terms = evenSamples(first);
        for (; i + 32 <= count; i += 16) {
            prefetch(ahead + 4 * i);
            const __m256i nextTerms = evenSamples(first + 4 * i + 64);
            store(out + i, _mm256_adds_epu16(terms, followingTerms(terms, nextTerms)));
            terms = nextTerms;
        }
        if (i + 16 <= count) {
            const __m256i lastTerm = _mm256_castsi128_si256(
                _mm_cvtsi32_si128(static_cast<int>(loadSample(first + 4 * i + 64))));
            store(out + i, _mm256_adds_epu16(terms, followingTerms(terms, lastTerm)));
            i += 16;
        }
    }
    pairSumRowPortable(first + 4 * i, out + i, count - i);
}

// Sixteen samples of each of the cell's rows (2 raw rows apart), added column
// by column. Saturating adds of values that are never negative give
// min(65535, sum) in any order.
template <int kCellRows>
inline __m256i columnSums(const uint8_t *top) {
    __m256i sum = swapBytes(load(top));
    for (int dy = 1; dy < kCellRows; ++dy) {
        sum = _mm256_adds_epu16(sum, swapBytes(load(top - 2 * dy * kRowStride)));
    }
    return sum;
}

// Adds neighbouring 32-bit lanes (0 + 1, 2 + 3) of a, then of b, within each
// 128-bit half, as pairs of 16-bit sums.
inline __m256i addLanePairs(__m256i a, __m256i b) {
    const __m256 fa = _mm256_castsi256_ps(a);
    const __m256 fb = _mm256_castsi256_ps(b);
    return _mm256_adds_epu16(
        _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
        _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

// Sixteen host samples, eight host cells, per step: 16b raw columns of each row.
template <int kCellRows, int kCellColumns>
void cellsRow(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const std::size_t offset = 2 * kCellColumns * k;  // 64 or 128 bytes a step
        const uint8_t *p = first + offset;
        for (int dy = 0; dy < kCellRows; ++dy) {
            for (int line = 0; line < kCellColumns / 2; ++line) {
                prefetch(ahead + offset - 2 * dy * kRowStride + 64 * line);
            }
        }
        __m256i cells;
        if constexpr (kCellColumns == 2) {
            // Halves hold cells 0 1 4 5 | 2 3 6 7.
            cells =
                joinHalves(addLanePairs(columnSums<kCellRows>(p), columnSums<kCellRows>(p + 32)));
        } else {
            // Halves hold cells 0 2 4 6 | 1 3 5 7, one cell per 32-bit lane.
            const __m256i interleaved = addLanePairs(
                addLanePairs(columnSums<kCellRows>(p), columnSums<kCellRows>(p + 32)),
                addLanePairs(columnSums<kCellRows>(p + 64), columnSums<kCellRows>(p + 96)));
            cells =
                _mm256_permutevar8x32_epi32(interleaved, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        }
        store(out + k, cells);
    }
    cellsRowPortable<kCellRows, kCellColumns>(first + 2 * kCellColumns * k, out + k, count - k);
}

}  // namespace

void cells2x2Avx2(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    cellsRow<2, 2>(first, out, count, ahead);
}

void cells4x4Avx2(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    cellsRow<4, 4>(first, out, count, ahead);
}

void cells2x4Avx2(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    cellsRow<2, 4>(first, out, count, ahead);
}

const RowKernels *avx2RowKernels() {
    static constexpr RowKernels kKernels{
        .copy = copyRow,
        .pairSum = pairSumRow,
        .cells2x2 = cells2x2Avx2,
        .cells4x4 = cells4x4Avx2,
        .cells2x4 = cells2x4Avx2,
    };
    return &kKernels;
}

#else

const RowKernels *avx2RowKernels() { return nullptr; }

#endif
