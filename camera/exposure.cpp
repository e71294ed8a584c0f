#include "camera/exposure.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "camera/ccd_video_api.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kPollPauseMs = 200;

void requestFrame(const BinningMode &mode, int32_t exposureValue, uint8_t *rawFrame) {
    YCCDSetPreviewMode(mode.previewMode);
    YCCDPauseView();
    // Colour handling is only set for the frames that keep the full mosaic.
    if (mode.previewMode == 0) {
        YCCDSetColorGain(1.0f, 1.0f, 1.0f);
        YCCDEnableAE(0);
        YCCDEnableAWB(1);
    }
    YCCDSetExposure(exposureValue);
    YCCDGetImageData(mode.previewMode, rawFrame);
}

}  // namespace

int32_t sdkExposureValue(int32_t length, const BinningMode &mode) {
    // |length x 4| < 2^34: exact in a double and in 64 bits.
    const auto scaled = static_cast<int64_t>(static_cast<double>(length) * mode.exposureScale);
    const int64_t halved = scaled / 2;
    return static_cast<int32_t>(std::clamp<int64_t>(halved, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

bool startExposure(DriverState &state, int32_t length) {
    const BinningMode *mode = findBinningMode(state.binningMode);
    if (state.exposureActive != 0 || mode == nullptr || state.rawFrame == nullptr) {
        return false;
    }
    requestFrame(*mode, sdkExposureValue(length, *mode), state.rawFrame);
    state.exposureActive = 1;
    return true;
}

bool pollExposure(DriverState &state) {
    if (state.exposureActive == 0) {
        return false;
    }
    if (YCCDGetImageDataState() != 0) {
        state.exposureActive = 0;
        return false;
    }
    Sleep(kPollPauseMs);
    return true;
}
