// The setup page's preview of the last image: debayered and stretched by
// qm-capture's preview code, shrunk to at most 640 pixels across, as PNG.
// Built only where libpng is (not in the Windows build, whose page then shows
// no picture).
#pragma once

#include <string>

#include "alpaca/camera_device.h"

namespace alpaca {

// The PNG of status.image; made once per image and kept.
bool previewPngOf(const DeviceStatus &status, std::string &png);

}  // namespace alpaca
