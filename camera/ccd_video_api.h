// The camera maker's SDK (CCDVideoAPI) as the driver calls it. Bound at load time;
// the simulated camera implements the same twelve functions.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define YCCD_CALL __cdecl
#else
#define YCCD_CALL
#endif

#if defined(_WIN32) && defined(QM_BUILDING_SDK)
#define YCCD_API __declspec(dllexport)
#elif defined(_WIN32)
#define YCCD_API __declspec(dllimport)
#else
#define YCCD_API __attribute__((visibility("default")))
#endif

extern "C" {
YCCD_API int32_t YCCD_CALL YCCDInitialVideo(int32_t flag);
YCCD_API int32_t YCCD_CALL YCCDStartView(void);
YCCD_API int32_t YCCD_CALL YCCDEnableAE(int32_t enable);
YCCD_API int32_t YCCD_CALL YCCDEnableAWB(int32_t enable);
YCCD_API int32_t YCCD_CALL YCCDSetPreviewMode(int32_t previewMode);
YCCD_API int32_t YCCD_CALL YCCDPauseView(void);
YCCD_API int32_t YCCD_CALL YCCDSetExposure(int32_t value);
YCCD_API int32_t YCCD_CALL YCCDSetColorGain(float red, float green, float blue);
YCCD_API int32_t YCCD_CALL YCCDGetImageData(int32_t previewMode, void *frame);
YCCD_API int32_t YCCD_CALL YCCDGetImageDataState(void);
YCCD_API int32_t YCCD_CALL YCCDStopView(void);
YCCD_API int32_t YCCD_CALL YCCDReleaseVideo(void);
}
