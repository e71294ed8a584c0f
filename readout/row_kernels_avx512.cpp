// AVX-512 row loops for the copy and the pair sums (AVX512F, BW and VBMI). Built
// with those instruction sets; readout.cpp calls them only on a processor and
// system that run all three.
//
// Each step loads and stores whole 64-byte registers, as the processor's memcpy
// does. Parts of fewer than 32 samples use masked loads and stores, which
// neither read nor write a byte outside the mask, so no loop reads past its
// row's last raw sample.
#include "readout/row_kernels.h"

#if defined(__AVX512BW__) && defined(__AVX512VBMI__)

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "readout/row_kernels_portable.h"

namespace {

constexpr std::size_t kStepSamples = 32;  // 16-bit samples in one 64-byte register

// The first `count` 16-bit lanes, count up to 32.
inline __mmask32 firstLanes(std::size_t count) {
    return count >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << count) - 1);
}

// Samples from `out` to its next 64-byte boundary, none when it lies on one.
inline std::size_t samplesToLineStart(const uint16_t *out) {
    return (64 - (reinterpret_cast<std::uintptr_t>(out) & 63)) % 64 / 2;
}

inline __m512i load(const uint8_t *bytes) {
    traceRead(bytes, 64);
    return _mm512_loadu_si512(bytes);
}

// The first `count` samples from `bytes`, up to 32, the other lanes zero.
inline __m512i loadFirstLanes(const uint8_t *bytes, std::size_t count) {
    traceRead(bytes, 2 * std::min(count, kStepSamples));
    return _mm512_maskz_loadu_epi16(firstLanes(count), bytes);
}

inline void store(uint16_t *out, __m512i samples) { _mm512_storeu_si512(out, samples); }

inline __m512i swapBytes(__m512i v) {
    // Bytes 1 0 3 2 .. 15 14 of each 128-bit lane.
    const __m512i order = _mm512_set4_epi32(0x0E0F0C0D, 0x0A0B0809, 0x06070405, 0x02030001);
    return _mm512_shuffle_epi8(v, order);
}

inline void prefetch(const uint8_t *line) {
    traceRead(line, 1);
    _mm_prefetch(reinterpret_cast<const char *>(line), _MM_HINT_T0);
}

// Up to 32 samples with masks: the row's first and last step.
inline void copyPart(const uint8_t *first, uint16_t *out, std::size_t count) {
    _mm512_mask_storeu_epi16(out, firstLanes(count), swapBytes(loadFirstLanes(first, count)));
}

// Bytes of the row ahead the copy prefetches, from its start, a line at a time:
// enough for the processor's own prefetcher to take up the rest of that row.
// Prefetching every line, as the pair sums do, made the copy slower.
constexpr std::size_t kCopyPrefetchBytes = 512;

// Prefetches the lines of the first 512 bytes of the row ahead, or of all its
// bytes when it is shorter: every address stays within the samples it reads, so
// none passes the buffer's end on the last row.
inline void prefetchRowStart(const uint8_t *ahead, std::size_t count) {
    const std::size_t bytes = std::min(2 * count, kCopyPrefetchBytes);
    for (std::size_t offset = 0; offset < bytes; offset += 64) {
        prefetch(ahead + offset);
    }
}

// The first part ends on a 64-byte boundary of the host row, so each following
// store fills one cache line instead of parts of two (the copy writes as many
// bytes as it reads, and split stores cost it several per cent). Then two lines
// a step, both loaded before either is stored.
void copyRow(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    prefetchRowStart(ahead, count);
    std::size_t i = std::min(count, samplesToLineStart(out));
    copyPart(first, out, i);
    for (; i + 2 * kStepSamples <= count; i += 2 * kStepSamples) {
        const __m512i low = load(first + 2 * i);
        const __m512i high = load(first + 2 * i + 64);
        store(out + i, swapBytes(low));
        store(out + i + kStepSamples, swapBytes(high));
    }
    for (; i < count; i += kStepSamples) {
        copyPart(first + 2 * i, out + i, std::min(count - i, kStepSamples));
    }
}

// Byte indices for vpermt2b over 128 bytes (64 samples): the 32 samples at even
// distances from the first, most significant byte last, so each 16-bit lane
// holds the sample's value.
constexpr uint8_t evenSampleByte(int lane) {
    return static_cast<uint8_t>(lane % 2 == 0 ? 2 * lane + 1 : 2 * lane - 2);
}

template <std::size_t... kLanes>
constexpr auto evenSampleBytes(std::index_sequence<kLanes...>) {
    return std::array<uint8_t, 64>{evenSampleByte(static_cast<int>(kLanes))...};
}

alignas(64) constexpr std::array<uint8_t, 64> kEvenSampleBytes =
    evenSampleBytes(std::make_index_sequence<64>{});

inline __m512i evenSampleOrder() { return _mm512_load_si512(kEvenSampleBytes.data()); }

// 16-bit lane indices 1 to 32 for vpermt2w: terms 1 to 31 of one step and
// term 0 of the next.
inline __m512i followingTermOrder() {
    return _mm512_set_epi16(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                            15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
}

// The 32 terms (even samples) of the 128 bytes at p.
inline __m512i terms(const uint8_t *p, __m512i order) {
    return _mm512_permutex2var_epi8(load(p), order, load(p + 64));
}

// Up to 32 pair sums with masks. Terms 0 to count - 1 and 1 to count come from
// samples 0 to 2 count - 2 at p and at p + 4: no sample past the last term
// (sample 2 count) is read. The second line is addressed only when it holds
// samples of the row, so no pointer passes the buffer's end.
inline void pairSumPart(const uint8_t *p, uint16_t *out, std::size_t count, __m512i order) {
    if (count == 0) {
        return;
    }
    const std::size_t samples = 2 * count - 1;
    const auto maskedTerms = [&](const uint8_t *at) {
        const __m512i high = samples > kStepSamples
                                 ? loadFirstLanes(at + 64, samples - kStepSamples)
                                 : _mm512_setzero_si512();
        return _mm512_permutex2var_epi8(loadFirstLanes(at, samples), order, high);
    };
    _mm512_mask_storeu_epi16(out, firstLanes(count),
                             _mm512_adds_epu16(maskedTerms(p), maskedTerms(p + 4)));
}

// Output i adds terms i and i + 1. Each step loads the next step's 32 terms
// (two lines) and takes term 0 of those as its own term 32, so every raw line
// is loaded once. Steps run while those loads stay within the row (sample
// 2 count is its last); a last full step takes its term 32 alone, and masked
// part takes fewer than 32 outputs. The stores are not aligned to lines: a
// masked first part to do so cost more here than the split stores.
void pairSumRow(const uint8_t *first, uint16_t *out, std::size_t count, const uint8_t *ahead) {
    const __m512i order = evenSampleOrder();
    const __m512i following = followingTermOrder();
    std::size_t i = 0;
    if (count >= kStepSamples) {
        __m512i current = terms(first, order);
        for (; i + 2 * kStepSamples <= count; i += kStepSamples) {
            prefetch(ahead + 4 * i);
            prefetch(ahead + 4 * i + 64);
            const __m512i next = terms(first + 4 * i + 128, order);
            store(out + i,
                  _mm512_adds_epu16(current, _mm512_permutex2var_epi16(current, following, next)));
            current = next;
        }
        if (i + kStepSamples <= count) {
            const __m512i lastTerm = _mm512_castsi128_si512(
                _mm_cvtsi32_si128(static_cast<int>(loadSample(first + 4 * i + 128))));
            store(out + i, _mm512_adds_epu16(
                               current, _mm512_permutex2var_epi16(current, following, lastTerm)));
            i += kStepSamples;
        }
    }
    pairSumPart(first + 4 * i, out + i, count - i, order);
}

}  // namespace

// The Bayer-cell loops are AVX2's (built with this unit whenever the compiler
// takes these instruction sets): they read and write less than the copy and
// meet their goal with room to spare.
const RowKernels *avx512RowKernels() {
    static constexpr RowKernels kKernels{
        .copy = copyRow,
        .pairSum = pairSumRow,
        .cells2x2 = cells2x2Avx2,
        .cells4x4 = cells4x4Avx2,
        .cells2x4 = cells2x4Avx2,
        .copyRowsAhead = 1,
        .pairSumRowsAhead = 1,
    };
    return &kKernels;
}

#else

const RowKernels *avx512RowKernels() { return nullptr; }

#endif
