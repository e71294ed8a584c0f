// Shared helpers of the simulated camera's tests: environment settings, an opened
// camera, frame buffers with guard bytes, and waiting for frames. The camera is
// called through its C exports only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera/ccd_video_api.h"
#include "readout/frame_geometry.h"
#include "simcam/sensor_frame.h"
#include "simcam/star_field.h"

namespace simtest {

// Bytes kept after the frame buffer to catch writes past its end.
inline constexpr std::size_t kGuardBytes = 4096;
inline constexpr uint8_t kFillByte = 0xA5;
inline constexpr std::size_t kFullFrameBytes = std::size_t{kSensorHeight} * kRawRowBytes;
inline constexpr std::size_t kRowPairFrameBytes = kFullFrameBytes / 2;
// A frame that is not there after this long is not coming.
inline constexpr auto kCompletionTimeout = std::chrono::seconds(60);

inline void setVariable(const char *name, const std::string &value) {
    ::setenv(name, value.c_str(), 1);
}

inline void clearVariable(const char *name) { ::unsetenv(name); }

// A frame buffer of kRawFrameBytes followed by guard bytes, all set to kFillByte.
struct FrameBuffer {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kRawFrameBytes + kGuardBytes, kFillByte);

    uint8_t *data() { return bytes.data(); }

    // The sample at row, column, read most significant byte first.
    uint32_t sample(int32_t row, int32_t column) const {
        const std::size_t offset = (std::size_t(row) * kSensorWidth + column) * 2;
        return uint32_t{bytes[offset]} << 8 | bytes[offset + 1];
    }

    // Offset of the first byte at or after `from` that no longer holds kFillByte,
    // or bytes.size() when all still do.
    std::size_t firstWrittenFrom(std::size_t from) const {
        for (std::size_t i = from; i < bytes.size(); ++i) {
            if (bytes[i] != kFillByte) {
                return i;
            }
        }
        return bytes.size();
    }

    bool untouched() const { return firstWrittenFrom(0) == bytes.size(); }
};

// Waits until the camera reports the frame complete; false after kCompletionTimeout.
inline bool waitForFrame() {
    const auto giveUp = std::chrono::steady_clock::now() + kCompletionTimeout;
    while (YCCDGetImageDataState() == 0) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Sets the exposure value, requests a frame and waits for it.
inline bool captureFrame(int32_t previewMode, int32_t exposureValue, FrameBuffer &buffer) {
    YCCDSetPreviewMode(previewMode);
    YCCDSetExposure(exposureValue);
    if (YCCDGetImageData(previewMode, buffer.data()) == 0) {
        return false;
    }
    return waitForFrame();
}

// The opening sequence the driver makes; true when every call succeeded.
inline bool openCamera() {
    const bool opened = YCCDInitialVideo(0) != 0;
    const bool started = YCCDStartView() != 0;
    const bool configured = YCCDEnableAE(0) != 0;
    return opened && started && configured;
}

// Each test starts with instant exposures, the default seed, no fault, fixed noise
// (so that frames of separate exposures compare sample for sample), the telescope
// open and an open camera, and closes the camera at its end.
class SimCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        setVariable("QM_SIM_TIME_SCALE", "0");
        setVariable("QM_SIM_SEED", std::to_string(simcam::kDefaultSeed));
        setVariable("QM_SIM_NOISE", "fixed");
        clearVariable("QM_SIM_COVERED");
        clearVariable("QM_SIM_FAULT");
        ASSERT_TRUE(openCamera());
    }

    void TearDown() override {
        YCCDReleaseVideo();
        clearVariable("QM_SIM_FAULT");
    }
};

}  // namespace simtest
