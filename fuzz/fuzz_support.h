// What the fuzz targets share: the check that ends a run, the cap on the host
// images they allocate, image comparison and frame content. These helpers are
// built without coverage tracing: they are not under test, and tracing the
// comparisons of their sample loops would slow every input down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "readout/frame_geometry.h"

namespace fuzz {

// Host images are allocated at exactly the window's size on the heap, so that
// AddressSanitizer reports the first sample written past them. Reads of windows
// above this many samples (8 MiB) are skipped. Every window that the row loops
// convert lies inside the frame buffer and so has at most 3,385,456 samples:
// all of them fit, the whole frame in every mode included. Larger windows reach
// out of the buffer and are converted sample by sample, like the reference they
// are compared with; at up to 16 reads per sample and five conversions per
// input, a larger cap would only make single inputs take seconds.
inline constexpr uint64_t kMaxImageSamples = uint64_t{1} << 22;

// Samples of a window's host image, or 0 for an empty one.
inline uint64_t imageSamples(int32_t width, int32_t height) {
    return width > 0 && height > 0 ? static_cast<uint64_t>(width) * static_cast<uint64_t>(height)
                                   : 0;
}

// A heap block of exactly `samples` samples (a valid pointer to none for 0),
// every sample `fill`.
std::unique_ptr<uint16_t[]> hostImage(uint64_t samples, uint16_t fill);

// Index of the first sample where two images differ, or `samples` when equal.
uint64_t firstDifference(const uint16_t *image, const uint16_t *expected, uint64_t samples);

// Prints the failed property and stops with a crash, which libFuzzer records
// together with the input.
[[gnu::format(printf, 2, 3)]] void check(bool holds, const char *format, ...);

// Writes the rows a frame request delivers (1536 in preview mode 0, 768 in
// preview mode 2, most significant byte first) from a seed. Its low two bits
// choose random samples, every sample 0xFFFF, every sample the value in bits 16
// to 31, or random samples of at least 0x8000; random content repeats every 16
// rows, shifted by one sample.
void deliverFrame(uint8_t *frame, int32_t previewMode, uint32_t seed);

}  // namespace fuzz
