// One exposure of the simulated sensor: the star field's mean signal with photon
// noise, read noise, bias and saturation, as the sensor's 2048 x 1536 samples.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "readout/frame_geometry.h"
#include "simcam/star_field.h"

namespace simcam {

inline constexpr std::size_t kSensorSamples =
    static_cast<std::size_t>(kSensorWidth) * kSensorHeight;

struct Exposure {
    double seconds = 0.0;                          // light and dark current collected
    std::array<float, 3> gains{1.0f, 1.0f, 1.0f};  // red, green, blue, applied to the light
};

// Renders the exposure into `samples`, resized to kSensorSamples: row-major,
// kSensorWidth per row, row 0 first, native byte order. Each pixel's noise depends
// only on the field's seed and the pixel, so equal fields and exposures give equal
// samples. Returns false, leaving `samples` incomplete, once `cancelled` (may be
// null) reads true; it is checked every few rows.
bool renderSensor(const StarField &field, const Exposure &exposure, std::vector<uint16_t> &samples,
                  const std::atomic<bool> *cancelled = nullptr);

}  // namespace simcam
