// Fuzzes the readout alone on raw window fields: readFrame (the conversion the
// driver uses) and the row loops of every instruction set this processor runs
// must each give exactly the reference's image, write nothing outside a host
// image of exactly width x height samples, and read nothing outside the frame
// buffer (allocated at exactly its size, so AddressSanitizer sees both ends).
//
// Input: mode (uint32), then windowX, windowY, windowWidth, windowHeight (int32),
// all little-endian; the rest is the frame content, repeated over the whole
// buffer. With no rest there is no buffer (a null frame pointer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "readout/frame_geometry.h"
#include "readout/readout.h"
#include "readout/window.h"

namespace {

using fuzz::check;

constexpr std::size_t kHeaderBytes = 20;
constexpr uint16_t kCanary = 0x5AC3;

uint32_t littleEndian32(const uint8_t *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint8_t *frameBuffer() {
    static auto *const kFrame = static_cast<uint8_t *>(std::malloc(kRawFrameBytes));
    return kFrame;
}

// Repeats `pattern` over the buffer, doubling the filled part each step.
void tile(uint8_t *frame, const uint8_t *pattern, std::size_t length) {
    std::size_t filled = std::min(length, kRawFrameBytes);
    std::memcpy(frame, pattern, filled);
    while (filled < kRawFrameBytes) {
        const std::size_t step = std::min(filled, kRawFrameBytes - filled);
        std::memcpy(frame + filled, frame, step);
        filled += step;
    }
}

void compare(const char *conversion, const uint16_t *image, const uint16_t *expected,
             uint64_t samples, uint32_t mode, const ReadoutWindow &window) {
    const uint64_t i = fuzz::firstDifference(image, expected, samples);
    check(i == samples, "%s, mode %u window %d,%d,%d,%d: sample %llu is 0x%04X, reference 0x%04X",
          conversion, mode, window.x, window.y, window.width, window.height,
          static_cast<unsigned long long>(i), i < samples ? image[i] : 0,
          i < samples ? expected[i] : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < kHeaderBytes) {
        return -1;  // not a window: keep it out of the corpus
    }
    const uint32_t mode = littleEndian32(data);
    ReadoutWindow window;
    window.x = static_cast<int32_t>(littleEndian32(data + 4));
    window.y = static_cast<int32_t>(littleEndian32(data + 8));
    window.width = static_cast<int32_t>(littleEndian32(data + 12));
    window.height = static_cast<int32_t>(littleEndian32(data + 16));
    const uint64_t samples = fuzz::imageSamples(window.width, window.height);
    if (samples > fuzz::kMaxImageSamples) {
        return -1;
    }

    const uint8_t *raw = nullptr;
    if (size > kHeaderBytes) {
        tile(frameBuffer(), data + kHeaderBytes, size - kHeaderBytes);
        raw = frameBuffer();
    }

    auto expected = fuzz::hostImage(samples, kCanary);
    readFrameReference(mode, window, raw, expected.get());

    auto image = fuzz::hostImage(samples, kCanary);
    readFrame(mode, window, raw, image.get());
    compare("readFrame", image.get(), expected.get(), samples, mode, window);

    for (SimdLevel level : kSimdLevels) {
        if (!simdLevelAvailable(level)) {
            continue;
        }
        auto levelImage = fuzz::hostImage(samples, kCanary);
        check(readFrameWith(level, mode, window, raw, levelImage.get()),
              "%s is available but did not run", simdLevelName(level));
        compare(simdLevelName(level), levelImage.get(), expected.get(), samples, mode, window);
    }
    return 0;
}
