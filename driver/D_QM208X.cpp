// The twenty exports of the driver and its one state record.
#include "D_QM208X.h"

#include "camera/connection.h"
#include "camera/exposure.h"
#include "driver/driver_state.h"
#include "readout/binning_mode.h"
#include "readout/readout.h"
#include "readout/window.h"

namespace {

DriverState state;

constexpr char kDriverName[] = "QM-208X VESK driver v1.00";
constexpr char kCameraInfo[] = "Vantrel CCD";

ReadoutWindow currentWindow() {
    return {state.windowX, state.windowY, state.windowWidth, state.windowHeight};
}

void storeWindow(const ReadoutWindow &window) {
    state.windowX = window.x;
    state.windowY = window.y;
    state.windowWidth = window.width;
    state.windowHeight = window.height;
}

}  // namespace

extern "C" {

const char *QM_CALL d_GetName(void) { return kDriverName; }

const char *QM_CALL d_GetInfo(void) { return kCameraInfo; }

int32_t QM_CALL d_Initialize(int32_t) { return obtainFrameBuffer(state) ? 1 : 0; }

int32_t QM_CALL d_SetupCCD(int32_t quiet) {
    setupCamera(state, quiet != 0);
    return 1;
}

int32_t QM_CALL d_GetOK(void) { return state.cameraConnected != 0 ? 1 : 0; }

int32_t QM_CALL d_BinningCount(void) { return static_cast<int32_t>(kBinningModes.size()); }

const char *QM_CALL d_BinningName(uint32_t mode) {
    const BinningMode *entry = findBinningMode(mode);
    return entry != nullptr ? entry->name : nullptr;
}

int32_t QM_CALL d_Subframe(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                           uint32_t mode) {
    // The mode is kept even when rejected: it then refuses exposures and readouts.
    state.binningMode = mode;
    const BinningMode *entry = findBinningMode(mode);
    if (entry == nullptr) {
        return 0;
    }
    state.binFactorX = entry->binFactor;
    state.binFactorY = entry->binFactor;
    storeWindow(windowFromHostUnits(x, y, width, height, *entry));
    return 1;
}

int32_t QM_CALL d_GetWidth(int32_t) { return state.windowWidth; }

int32_t QM_CALL d_GetHeight(int32_t) { return state.windowHeight; }

int32_t QM_CALL d_IsColor(void) { return findBinningMode(state.binningMode) != nullptr ? 1 : 0; }

int32_t QM_CALL d_MoveFrame(int32_t direction) {
    storeWindow(movedWindow(currentWindow(), direction));
    return 1;
}

int32_t QM_CALL d_StartExposure(int32_t length, int32_t) {
    return startExposure(state, length) ? 1 : 0;
}

int32_t QM_CALL d_IsExposing(void) { return pollExposure(state) ? 1 : 0; }

int32_t QM_CALL d_InterruptExposure(void) { return 1; }

int32_t QM_CALL d_StartDownload(void) { return 1; }

int32_t QM_CALL d_ReadImage(uint16_t *image) {
    // A host that passes no image gets nothing written rather than a crash.
    if (image != nullptr) {
        readFrame(state.binningMode, currentWindow(), state.rawFrame, image);
    }
    return 1;
}

int32_t QM_CALL d_EndDownload(int32_t) { return 1; }

int32_t QM_CALL d_GetTemperature(void) { return 0; }

int32_t QM_CALL d_Finalize(void) {
    finalizeCamera(state);
    return 1;
}

}  // extern "C"
