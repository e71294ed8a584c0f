#include "tests/support/sdk_double.h"

#include <cstdio>
#include <cstdlib>

#include "camera/ccd_video_api.h"
#include "platform/platform.h"
#include "readout/frame_geometry.h"

namespace sdk_double {

namespace {
Script currentScript;
Record currentRecord;

int32_t called(const std::string &call, int32_t result = 1) {
    currentRecord.calls.push_back(call);
    return result;
}

std::string withArgument(const char *name, int32_t value) {
    return std::string(name) + "(" + std::to_string(value) + ")";
}
}  // namespace

Script &script() { return currentScript; }
Record &record() { return currentRecord; }
void reset() {
    currentScript = Script{};
    currentRecord = Record{};
}

}  // namespace sdk_double

using sdk_double::called;
using sdk_double::currentRecord;
using sdk_double::currentScript;
using sdk_double::withArgument;

extern "C" {

int32_t YCCDInitialVideo(int32_t flag) {
    return called(withArgument("YCCDInitialVideo", flag), currentScript.initialVideo);
}
int32_t YCCDStartView(void) { return called("YCCDStartView()", currentScript.startView); }
int32_t YCCDEnableAE(int32_t enable) {
    return called(withArgument("YCCDEnableAE", enable), currentScript.enableAE);
}
int32_t YCCDEnableAWB(int32_t enable) { return called(withArgument("YCCDEnableAWB", enable)); }
int32_t YCCDSetPreviewMode(int32_t mode) { return called(withArgument("YCCDSetPreviewMode", mode)); }
int32_t YCCDPauseView(void) { return called("YCCDPauseView()"); }
int32_t YCCDSetExposure(int32_t value) { return called(withArgument("YCCDSetExposure", value)); }
int32_t YCCDSetColorGain(float red, float green, float blue) {
    char text[96];
    std::snprintf(text, sizeof text, "YCCDSetColorGain(%.9g,%.9g,%.9g)", red, green, blue);
    return called(text);
}
int32_t YCCDGetImageData(int32_t previewMode, void *frame) {
    currentRecord.frames.push_back(frame);
    return called(withArgument("YCCDGetImageData", previewMode));
}
int32_t YCCDGetImageDataState(void) {
    int32_t state = currentScript.frameStateAfterScript;
    if (!currentScript.frameStates.empty()) {
        state = currentScript.frameStates.front();
        currentScript.frameStates.pop_front();
    }
    return called("YCCDGetImageDataState()", state);
}
int32_t YCCDStopView(void) { return called("YCCDStopView()"); }
int32_t YCCDReleaseVideo(void) { return called("YCCDReleaseVideo()"); }

int32_t MessageBoxA(void *owner, const char *text, const char *caption, uint32_t style) {
    currentRecord.messageBoxes.push_back({owner, text ? text : "(null)", caption ? caption : "(null)", style});
    return 1;
}

void Sleep(uint32_t milliseconds) { currentRecord.sleeps.push_back(milliseconds); }

// Lets a test make the frame buffer's allocation fail. glibc's own allocator
// stays in charge of everything else.
extern void *__libc_calloc(size_t count, size_t size) noexcept;
extern void *__libc_malloc(size_t size) noexcept;

SDK_DOUBLE_API void *calloc(size_t count, size_t size) noexcept {
    if (currentScript.failFrameAllocation && count * size == kRawFrameBytes) {
        ++currentRecord.failedAllocations;
        return nullptr;
    }
    return __libc_calloc(count, size);
}

SDK_DOUBLE_API void *malloc(size_t size) noexcept {
    if (currentScript.failFrameAllocation && size == kRawFrameBytes) {
        ++currentRecord.failedAllocations;
        return nullptr;
    }
    return __libc_malloc(size);
}

}  // extern "C"
