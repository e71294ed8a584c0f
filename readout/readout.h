// Conversion of a raw frame into the host image.
//
// raw: the frame buffer of kRawFrameBytes (samples most significant byte first),
// or nullptr. image: windowWidth x windowHeight samples in native byte order.
// Host row 0 comes from the highest raw row of the window. A raw position whose
// exact sample index lies outside the buffer (or any position when raw is null)
// reads as 0, so no window makes the readout read outside the buffer; each host
// sample is written once and nothing else. A window of zero or negative size
// writes nothing, and so does a mode number above 4.
#pragma once

#include <cstdint>

#include "readout/window.h"

// Chooses the fastest conversion that gives the same image: the row loops of
// the best instruction set this processor offers, picked once, for windows that
// lie wholly inside the buffer; the reference for all others. Built with
// QM_FORCE_REFERENCE_READOUT it always takes the reference.
void readFrame(uint32_t mode, const ReadoutWindow &window, const uint8_t *raw, uint16_t *image);

// Instruction sets the fast conversion has row loops for.
enum class SimdLevel : uint8_t {
    Scalar,  // portable C++, any processor
    Sse2,    // x86 (both widths)
    Avx2,    // x86 (both widths), when the processor and the system support it
    Avx512,  // x86 (both widths), AVX512F, BW and VBMI, likewise; copy and pair sums only
};

inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2,
                                            SimdLevel::Avx512};

const char *simdLevelName(SimdLevel level);

// True when this build has row loops for the level (its compiler takes the
// instruction set).
bool simdLevelBuilt(SimdLevel level);

// True when this build has row loops for the level and this processor runs them.
bool simdLevelAvailable(SimdLevel level);

// The level readFrame uses for windows inside the buffer.
SimdLevel bestSimdLevel();

// The fast conversion with the row loops of one level, for tests and benchmarks;
// same contract and result as readFrame. Returns false, writing nothing, when
// the level is not available.
bool readFrameWith(SimdLevel level, uint32_t mode, const ReadoutWindow &window, const uint8_t *raw,
                   uint16_t *image);

// The straightforward conversion, sample by sample: the reference the fast one
// is checked against, and the one used for windows that reach outside the buffer.
void readFrameReference(uint32_t mode, const ReadoutWindow &window, const uint8_t *raw,
                        uint16_t *image);
