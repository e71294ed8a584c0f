// Placeholder until the simulated camera lands: opens, never delivers.
#include "camera/ccd_video_api.h"
extern "C" {
int32_t YCCDInitialVideo(int32_t) { return 1; }
int32_t YCCDStartView(void) { return 1; }
int32_t YCCDEnableAE(int32_t) { return 1; }
int32_t YCCDEnableAWB(int32_t) { return 1; }
int32_t YCCDSetPreviewMode(int32_t) { return 1; }
int32_t YCCDPauseView(void) { return 1; }
int32_t YCCDSetExposure(int32_t) { return 1; }
int32_t YCCDSetColorGain(float, float, float) { return 1; }
int32_t YCCDGetImageData(int32_t, void *) { return 1; }
int32_t YCCDGetImageDataState(void) { return 1; }
int32_t YCCDStopView(void) { return 1; }
int32_t YCCDReleaseVideo(void) { return 1; }
}
