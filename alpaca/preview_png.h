// The setup page's preview of the last image: debayered, stretched and coded
// by the image products library (imaging/png_preview.h), the same in the Linux
// and the Windows build, shrunk to at most 640 pixels across, as PNG.
#pragma once

#include <string>

#include "alpaca/camera_device.h"

namespace alpaca {

// The PNG of status.image; made once per image and kept.
bool previewPngOf(const DeviceStatus &status, std::string &png);

}  // namespace alpaca
