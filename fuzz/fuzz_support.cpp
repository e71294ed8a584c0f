#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace fuzz {

namespace {

// splitmix64: fast, and every seed gives a different stream.
uint64_t nextRandom(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

}  // namespace

std::unique_ptr<uint16_t[]> hostImage(uint64_t samples, uint16_t fill) {
    std::unique_ptr<uint16_t[]> image(new uint16_t[samples]);
    std::fill_n(image.get(), samples, fill);
    return image;
}

uint64_t firstDifference(const uint16_t *image, const uint16_t *expected, uint64_t samples) {
    if (std::memcmp(image, expected, samples * sizeof *image) == 0) {
        return samples;
    }
    return static_cast<uint64_t>(std::mismatch(image, image + samples, expected).first - image);
}

void check(bool holds, const char *format, ...) {
    if (holds) {
        return;
    }
    std::va_list arguments;
    va_start(arguments, format);
    std::fputs("property violated: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
    __builtin_trap();
}

void deliverFrame(uint8_t *frame, int32_t previewMode, uint32_t seed) {
    const std::size_t rows = previewMode == 2 ? kSensorHeight / 2 : kSensorHeight;
    const std::size_t bytes = rows * kRawRowBytes;
    // One block of content repeated over the frame: 16 rows and one sample, so
    // that each repeat starts one sample further along its row.
    constexpr std::size_t kBlockBytes = 16 * kRawRowBytes + 2;
    static uint8_t block[kBlockBytes];
    uint64_t state = seed;
    switch (seed & 3) {
    case 0:
    case 3: {
        const uint8_t highBit = (seed & 3) == 3 ? 0x80 : 0;
        for (std::size_t i = 0; i < kBlockBytes; ++i) {
            block[i] = static_cast<uint8_t>(nextRandom(state)) | (i % 2 == 0 ? highBit : 0);
        }
        break;
    }
    case 1:
    case 2: {
        const uint16_t value = (seed & 3) == 1 ? 0xFFFF : static_cast<uint16_t>(seed >> 16);
        for (std::size_t i = 0; i < kBlockBytes; i += 2) {
            block[i] = static_cast<uint8_t>(value >> 8);
            block[i + 1] = static_cast<uint8_t>(value);
        }
        break;
    }
    }
    for (std::size_t filled = 0; filled < bytes; filled += kBlockBytes) {
        std::memcpy(frame + filled, block, std::min(kBlockBytes, bytes - filled));
    }
}

}  // namespace fuzz
