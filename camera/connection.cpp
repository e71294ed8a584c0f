#include "camera/connection.h"

#include <cstdlib>

#include "camera/ccd_video_api.h"
#include "platform/platform.h"
#include "readout/frame_geometry.h"

namespace {

constexpr int32_t kPrimingPreviewMode = 2;
constexpr int32_t kPrimingExposure = 200;

bool openCamera() {
    return YCCDInitialVideo(0) != 0 && YCCDStartView() != 0 && YCCDEnableAE(0) != 0;
}

void primeCamera(uint8_t *rawFrame) {
    YCCDSetPreviewMode(kPrimingPreviewMode);
    YCCDPauseView();
    YCCDSetExposure(kPrimingExposure);
    // Without a buffer the SDK would be handed nowhere to write.
    if (rawFrame != nullptr) {
        YCCDGetImageData(kPrimingPreviewMode, rawFrame);
    }
}

void reportConnection(bool connected) {
    if (connected) {
        MessageBoxA(nullptr, "Vantrel camera connected.", "Found CCD camera",
                    platform::kSystemModal | platform::kIconInformation);
    } else {
        MessageBoxA(nullptr, "Error: Failed to find Vantrel camera.", "Camera Not Found",
                    platform::kSystemModal | platform::kIconError);
    }
}

}  // namespace

bool obtainFrameBuffer(DriverState &state) {
    if (state.rawFrame == nullptr) {
        // Zero-filled: full-height windows read the row just past the frame.
        state.rawFrame = static_cast<uint8_t *>(std::calloc(1, kRawFrameBytes));
    }
    return state.rawFrame != nullptr;
}

void setupCamera(DriverState &state, bool quiet) {
    state.cameraConnected = 0;
    state.cameraConnected = openCamera() ? 1 : 0;
    primeCamera(state.rawFrame);
    if (!quiet) {
        reportConnection(state.cameraConnected != 0);
    }
}

void finalizeCamera(DriverState &state) {
    if (state.cameraConnected != 0) {
        YCCDStopView();
        YCCDReleaseVideo();
    }
    // Cleared so that a second finalize makes no camera call.
    state.cameraConnected = 0;
    std::free(state.rawFrame);
    state.rawFrame = nullptr;
}
