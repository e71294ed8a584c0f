// The twelve SDK exports of the simulated camera.
#include "camera/ccd_video_api.h"

#include "simcam/sim_camera.h"

extern "C" {

int32_t YCCD_CALL YCCDInitialVideo(int32_t flag) { return simcam::initialVideo(flag); }
int32_t YCCD_CALL YCCDStartView(void) { return simcam::startView(); }
int32_t YCCD_CALL YCCDEnableAE(int32_t enable) { return simcam::enableAutoExposure(enable); }
int32_t YCCD_CALL YCCDEnableAWB(int32_t enable) { return simcam::enableAutoWhiteBalance(enable); }
int32_t YCCD_CALL YCCDSetPreviewMode(int32_t previewMode) {
    return simcam::setPreviewMode(previewMode);
}
int32_t YCCD_CALL YCCDPauseView(void) { return simcam::pauseView(); }
int32_t YCCD_CALL YCCDSetExposure(int32_t value) { return simcam::setExposure(value); }
int32_t YCCD_CALL YCCDSetColorGain(float red, float green, float blue) {
    return simcam::setColourGain(red, green, blue);
}
int32_t YCCD_CALL YCCDGetImageData(int32_t previewMode, void *frame) {
    return simcam::requestFrame(previewMode, frame);
}
int32_t YCCD_CALL YCCDGetImageDataState(void) { return simcam::frameState(); }
int32_t YCCD_CALL YCCDStopView(void) { return simcam::stopView(); }
int32_t YCCD_CALL YCCDReleaseVideo(void) { return simcam::releaseVideo(); }
}
