// Portable row loops (contracts in row_kernels.h): the whole portable set, and
// the tails of the vector sets, which include this file. Internal linkage on
// purpose: every unit keeps its own copy, built for that unit's instruction
// set, so no copy built for a newer processor can stand in for another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "readout/frame_geometry.h"
#include "readout/row_loop_trace.h"

namespace {

constexpr std::ptrdiff_t kRowStride = kRawRowBytes;  // bytes from one raw row to the next

// Samples are stored most significant byte first, whatever the processor.
inline uint32_t loadSample(const uint8_t *bytes) {
    traceRead(bytes, 2);
    return static_cast<uint32_t>(bytes[0]) << 8 | bytes[1];
}

inline uint16_t limitSample(uint32_t sum) {
    return sum > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(sum);
}

inline void copyRowPortable(const uint8_t *first, uint16_t *out, std::size_t count,
                            const uint8_t * = nullptr) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint16_t>(loadSample(first + 2 * i));
    }
}

inline void pairSumRowPortable(const uint8_t *first, uint16_t *out, std::size_t count,
                               const uint8_t * = nullptr) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = limitSample(loadSample(first + 4 * i) + loadSample(first + 4 * i + 4));
    }
}

template <int kCellRows, int kCellColumns>
void cellsRowPortable(const uint8_t *first, uint16_t *out, std::size_t count,
                      const uint8_t * = nullptr) {
    for (std::size_t k = 0; k < count; ++k) {
        const uint8_t *anchor = first + 2 * (2 * kCellColumns * (k / 2) + k % 2);
        uint32_t sum = 0;
        for (int dy = 0; dy < kCellRows; ++dy) {
            for (int dx = 0; dx < kCellColumns; ++dx) {
                sum += loadSample(anchor - 2 * dy * kRowStride + 4 * dx);
            }
        }
        out[k] = limitSample(sum);
    }
}

}  // namespace
