// The setup page: one self-contained HTML page (no scripts, styles or images
// from elsewhere) with the connection state, the module's and the camera's
// names, the modes, the pixel size form and the last image's preview.
#pragma once

#include <string>

#include "alpaca/camera_device.h"

namespace alpaca {

inline constexpr char kSetupPath[] = "/setup/v1/camera/0/setup";
inline constexpr char kPreviewPath[] = "/setup/v1/camera/0/preview.png";

// `notice` is shown above the form (the outcome of the last change), empty
// for none; the preview appears when `withPreview` and an image exists.
std::string setupPageHtml(const DeviceStatus &status, const std::string &notice, bool withPreview);

// Text made safe inside HTML elements and attribute values.
std::string escapeHtml(const std::string &text);

}  // namespace alpaca
