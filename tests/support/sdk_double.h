// A recording stand-in for the camera SDK and the two platform calls. Linked into
// a test program, it takes the place of libCCDVideoAPI.so and libqm_platform.so
// for a driver loaded at run time, which binds to the first definition it finds.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#define SDK_DOUBLE_API __attribute__((visibility("default")))

namespace sdk_double {

struct MessageBoxCall {
    const void *owner;
    std::string text;
    std::string caption;
    uint32_t style;
};

// What the next calls answer.
struct Script {
    int32_t initialVideo = 1;
    int32_t startView = 1;
    int32_t enableAE = 1;
    std::deque<int32_t> frameStates;  // answers of YCCDGetImageDataState, in turn
    int32_t frameStateAfterScript = 1;
    bool failFrameAllocation = false;  // the frame buffer's allocation returns null
};

// What the driver did.
struct Record {
    std::vector<std::string> calls;  // SDK calls with their arguments, e.g. "YCCDSetExposure(200)"
    std::vector<void *> frames;      // destinations of YCCDGetImageData, in order
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<uint32_t> sleeps;    // Sleep records instead of sleeping
    int failedAllocations = 0;
};

SDK_DOUBLE_API Script &script();
SDK_DOUBLE_API Record &record();
// Back to the default script and an empty record.
SDK_DOUBLE_API void reset();

}  // namespace sdk_double
