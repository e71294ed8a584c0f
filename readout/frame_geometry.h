// Sensor and frame buffer geometry shared by the camera code and the readout.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int32_t kSensorWidth = 2048;
inline constexpr int32_t kSensorHeight = 1536;
inline constexpr uint32_t kWindowScale = 100000;  // host coordinates spanning the sensor

// Size of the frame buffer handed to the SDK: 1653 whole rows and 112 samples,
// room for a full frame plus the row just past it that full-height windows read.
inline constexpr std::size_t kRawFrameBytes = 6770912;
inline constexpr std::size_t kRawFrameSamples = kRawFrameBytes / 2;  // 3,385,456
inline constexpr std::size_t kRawRowBytes = kSensorWidth * 2;
