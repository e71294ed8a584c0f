// The setup page's preview of the last image: debayered and stretched by
// qm-capture's preview code, shrunk to at most 640 pixels across, as PNG.
// Built only where libpng is (not in the Windows build, whose page then shows
// no picture).
#pragma once

#include <string>

#include "alpaca/camera_device.h"

namespace alpaca {

// The colours of the image's first two samples of its first two rows, as
// bayerPatternFor gives them, for an image read in `mode` from (startX,
// startY) of the binned frame; empty where the mode mixes the colours.
std::string imageBayerPattern(uint32_t mode, int32_t startX, int32_t startY);

// The PNG of status.image; made once per image and kept.
bool previewPngOf(const DeviceStatus &status, std::string &png);

}  // namespace alpaca
