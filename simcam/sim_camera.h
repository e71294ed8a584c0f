// What each of the twelve SDK functions does in the simulated camera; the exports
// in ccd_video_api.cpp forward to these.
//
// The camera is closed until initialVideo succeeds, and delivers frames only while
// it is open and streaming (startView succeeded, no stopView, no opening fault
// since). Calls that need an open camera return 0 on a closed one and change
// nothing. Results: 1 done, 0 refused. Every call first follows the control file
// (QM_SIM_CONTROL, sim_settings.h): the camera may vanish, stall and come back
// between any two calls.
#pragma once

#include <cstdint>

namespace simcam {

int32_t initialVideo(int32_t flag);
int32_t startView();
int32_t enableAutoExposure(int32_t enable);
int32_t enableAutoWhiteBalance(int32_t enable);
int32_t setPreviewMode(int32_t previewMode);
int32_t pauseView();
int32_t setExposure(int32_t value);
int32_t setColourGain(float red, float green, float blue);
int32_t requestFrame(int32_t previewMode, void *frame);
int32_t frameState();
int32_t stopView();
int32_t releaseVideo();

}  // namespace simcam
