// One exposure of the simulated sensor: the star field's mean signal with photon
// noise, read noise, bias and saturation, read out as the sensor's 2048 x 1536
// samples or as 768 rows of vertically binned row pairs.
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
inline constexpr std::size_t kRowPairSamples = kSensorSamples / 2;

struct Exposure {
    double seconds = 0.0;                          // light and dark current collected
    std::array<float, 3> gains{1.0f, 1.0f, 1.0f};  // red, green, blue, applied to the light
    bool covered = false;                          // no sky and no starlight reach the sensor
    // Which noise the frame gets: frames of equal draws (and equal fields and
    // exposures) are equal sample for sample, frames of different draws carry
    // independent photon and read noise. Bias, dark current and hot pixels never
    // depend on it.
    uint64_t noiseDraw = 0;
};

// Renders the exposure into `samples`, resized to kSensorSamples: row-major,
// kSensorWidth per row, row 0 first, native byte order. Returns false, leaving
// `samples` incomplete, once `cancelled` (may be null) reads true; it is checked
// every few rows.
bool renderSensor(const StarField &field, const Exposure &exposure, std::vector<uint16_t> &samples,
                  const std::atomic<bool> *cancelled = nullptr);

// As renderSensor, read out in row pairs: `samples` is resized to kRowPairSamples,
// row k holding the charge of sensor rows 2k and 2k + 1 together. A binned sample
// has the statistics of the sum of the two samples a full frame would hold there
// (bias and read noise twice, one photon draw of both pixels' signal), limited to
// full scale, and costs half the rendering.
bool renderRowPairs(const StarField &field, const Exposure &exposure,
                    std::vector<uint16_t> &samples, const std::atomic<bool> *cancelled = nullptr);

}  // namespace simcam
