#include "readout/window.h"

#include "readout/frame_geometry.h"

namespace {

uint32_t scaleToBinned(uint32_t binnedSize, uint32_t hostValue, uint32_t roundMask) {
    return ((binnedSize * hostValue) / kWindowScale) & ~roundMask;
}

// Wrap-around increment: the window fields are 32-bit two's complement.
int32_t step(int32_t value, int32_t delta) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(delta));
}

}  // namespace

ReadoutWindow windowFromHostUnits(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                  const BinningMode &mode) {
    const uint32_t binnedWidth = kSensorWidth / mode.binFactor;
    const uint32_t binnedHeight = kSensorHeight / mode.binFactor;
    // Each result is below 2^32 / 100000, so it fits a signed field.
    return {static_cast<int32_t>(scaleToBinned(binnedWidth, x, mode.roundMask)),
            static_cast<int32_t>(scaleToBinned(binnedHeight, y, mode.roundMask)),
            static_cast<int32_t>(scaleToBinned(binnedWidth, width, mode.roundMask)),
            static_cast<int32_t>(scaleToBinned(binnedHeight, height, mode.roundMask))};
}

ReadoutWindow movedWindow(ReadoutWindow window, int32_t direction) {
    switch (direction) {
    case 1: window.y = step(window.y, 1); break;
    case 2: window.y = step(window.y, -1); break;
    case 3: window.x = step(window.x, -1); break;
    case 4: window.x = step(window.x, 1); break;
    default: break;
    }
    return window;
}
