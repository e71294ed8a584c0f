// The SDK's preview modes as the simulated camera implements them: the frame each
// delivers and how each reads the exposure value.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "readout/frame_geometry.h"
#include "simcam/sensor_frame.h"
#include "simcam/star_field.h"

namespace simcam {

enum class PreviewMode : int32_t {
    FullFrame = 0,  // all 1536 sensor rows
    RowPairs = 2,   // 768 rows, each the sum of two sensor rows (vertical charge binning)
};

// The mode of an SDK preview mode number; nothing for numbers without one.
std::optional<PreviewMode> previewModeFrom(int32_t number);

// Rows of 2048 samples a frame of `mode` has.
int32_t frameRows(PreviewMode mode);

// Bytes a frame of `mode` occupies at the start of the frame buffer.
inline std::size_t frameBytes(PreviewMode mode) {
    return static_cast<std::size_t>(frameRows(mode)) * kRawRowBytes;
}

// Exposure length, milliseconds, of the SDK exposure value `value` in `mode`: 2 x value
// in the full frame, value / 2 with row pairs; a negative value is no exposure.
double exposureMilliseconds(PreviewMode mode, int32_t value);

// Renders the frame of `mode` into `samples` (renderSensor or renderRowPairs):
// frameRows(mode) rows of kSensorWidth samples, native order. False once
// `cancelled` reads true.
bool renderFrame(PreviewMode mode, const StarField &field, const Exposure &exposure,
                 std::vector<uint16_t> &samples, const std::atomic<bool> *cancelled);

// Writes the frame of `mode` from its rendered samples into `frame`, each sample
// most significant byte first. Writes exactly frameBytes(mode) bytes, never more
// than kRawFrameBytes, and nothing past the frame.
void writeFrame(PreviewMode mode, const std::vector<uint16_t> &samples, uint8_t *frame);

}  // namespace simcam
