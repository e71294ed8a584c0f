#include "readout/readout.h"

void readFrame(uint32_t mode, const ReadoutWindow &window, const uint8_t *raw, uint16_t *image) {
    readFrameReference(mode, window, raw, image);
}
