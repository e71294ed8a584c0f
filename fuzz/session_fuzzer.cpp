// Fuzzes what a host can do through the twenty exports: every export, any
// argument, in any order, against the recording SDK double, whose answers and
// frame contents come from the input too (encoding: session_script.h).
//
// Properties, checked after every call:
// - no call touches memory the driver does not own (AddressSanitizer, with each
//   host image allocated at exactly d_GetWidth x d_GetHeight samples);
// - every result is the one the host contract gives, tracked by a model of the
//   driver's state kept here from the calls alone;
// - every image equals the reference conversion of the model's mode and window
//   over the same frame buffer, and a rejected mode leaves the image untouched.
//
// The driver's units are linked into this program rather than loaded at run
// time: libFuzzer keeps the coverage counters of every instrumented module for
// the whole run, so a module cannot be unloaded between inputs. Each input
// starts from the state of a freshly loaded module instead: with the frame state
// answering "delivered", one poll ends any exposure, d_Finalize releases the
// buffer and disconnects, and d_Subframe(0, 0, 0, 0, 0) sets mode 0 and the
// empty window at 0, 0. That is every field's initial value except the two bin
// factors, which only d_Subframe reads, right after setting them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "D_QM208X.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/session_script.h"
#include "readout/frame_geometry.h"
#include "readout/readout.h"
#include "readout/window.h"
#include "tests/support/sdk_double.h"

namespace {

using fuzz::check;
using session::Call;

constexpr uint16_t kCanary = 0xA5C3;
constexpr uint32_t kModeCount = 5;
constexpr uint32_t kBinFactor[kModeCount] = {4, 4, 2, 2, 1};
constexpr int32_t kPreviewMode[kModeCount] = {2, 0, 0, 2, 0};
constexpr const char *kModeNames[kModeCount] = {"4x4 HW bw", "4x4 SW cl/bw", "2x2 SW cl/bw",
                                                "2x2 HW bw", "1x1 HW cl/bw"};
// d_MoveFrame calls per input, so that a run of long moves stays fast.
constexpr uint32_t kMoveBudget = 1u << 20;

// What the driver must hold, derived from the calls made so far.
struct Model {
    bool hasBuffer = false;
    const uint8_t *frame = nullptr;  // the buffer, once the driver has handed it to the SDK
    bool connected = false;
    uint32_t mode = 0;
    ReadoutWindow window;
    bool exposing = false;
    uint32_t movesLeft = kMoveBudget;
};

// The window d_Subframe sets: binned size x host value in unsigned 32 bits,
// divided by the full scale, rounded down to the mode's multiple (its factor).
int32_t binnedValue(int32_t sensorSize, uint32_t factor, uint32_t hostValue) {
    const uint32_t value = static_cast<uint32_t>(sensorSize) / factor * hostValue / kWindowScale;
    return static_cast<int32_t>(value - value % factor);
}

int32_t wrapped(int32_t value, int32_t delta) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(delta));
}

const uint8_t *zeroFrame() {
    static const auto *const kZeros = static_cast<const uint8_t *>(std::calloc(1, kRawFrameBytes));
    return kZeros;
}

sdk_double::Record &record() { return sdk_double::record(); }

void expectNoSdkCall(const char *call) {
    check(record().calls.empty(), "%s made %zu SDK calls, first %s", call, record().calls.size(),
          record().calls.empty() ? "" : record().calls.front().c_str());
}

// After a call that may request a frame: the request goes to the one buffer,
// with the preview mode of its settings, and the SDK fills it right away (it
// owns the buffer from the request until the poll that finds the frame).
void deliverRequestedFrame(Model &model, bool requested, int32_t previewMode, uint32_t seed) {
    const sdk_double::Record &r = record();
    check(r.frames.size() == (requested ? 1u : 0u), "%zu frame requests, expected %d",
          r.frames.size(), requested ? 1 : 0);
    if (!requested) {
        return;
    }
    auto *frame = static_cast<uint8_t *>(r.frames.front());
    check(frame != nullptr, "frame requested into a null buffer");
    check(model.frame == nullptr || model.frame == frame, "frame requested into a second buffer");
    const std::string expected = "YCCDGetImageData(" + std::to_string(previewMode) + ")";
    check(r.calls.back() == expected, "request %s, expected %s", r.calls.back().c_str(),
          expected.c_str());
    model.frame = frame;
    fuzz::deliverFrame(frame, previewMode, seed);
}

// Modes 0 and 3 hand the SDK twice the length, limited to the signed 32-bit
// range; the others half of it, rounded toward zero.
void checkExposureValue(uint32_t mode, int32_t length) {
    const int64_t doubled = std::clamp<int64_t>(int64_t{2} * length, INT32_MIN, INT32_MAX);
    const int64_t value = kPreviewMode[mode] == 2 ? doubled : length / 2;
    const std::string expected = "YCCDSetExposure(" + std::to_string(value) + ")";
    const std::vector<std::string> &calls = record().calls;
    check(std::find(calls.begin(), calls.end(), expected) != calls.end(),
          "mode %u length %d: no %s", mode, length, expected.c_str());
}

void checkText(const char *text, const char *expected, const char *call) {
    check(text != nullptr && std::strcmp(text, expected) == 0, "%s gave \"%s\"", call,
          text != nullptr ? text : "(null)");
}

void readImage(const Model &model, uint8_t flags) {
    const int32_t width = d_GetWidth(0);
    const int32_t height = d_GetHeight(0);
    check(width == model.window.width && height == model.window.height,
          "image of %d x %d samples, window %d x %d", width, height, model.window.width,
          model.window.height);
    if ((flags & session::kNullImage) != 0) {
        check(d_ReadImage(nullptr) == 1, "d_ReadImage(null) did not return 1");
        return;
    }
    const uint64_t samples = fuzz::imageSamples(width, height);
    if (samples > fuzz::kMaxImageSamples) {
        return;
    }
    auto image = fuzz::hostImage(samples, kCanary);
    check(d_ReadImage(image.get()) == 1, "d_ReadImage did not return 1");

    // The reference over the same buffer; a buffer the SDK never wrote into is
    // still zero-filled, and no buffer reads as zeros.
    const uint8_t *raw = !model.hasBuffer ? nullptr : model.frame ? model.frame : zeroFrame();
    auto expected = fuzz::hostImage(samples, kCanary);
    readFrameReference(model.mode, model.window, raw, expected.get());
    const uint64_t i = fuzz::firstDifference(image.get(), expected.get(), samples);
    check(i == samples,
          "mode %u window %d,%d,%d,%d: sample %llu (row %llu) is 0x%04X, reference 0x%04X",
          model.mode, model.window.x, model.window.y, model.window.width, model.window.height,
          static_cast<unsigned long long>(i),
          static_cast<unsigned long long>(width > 0 ? i / static_cast<uint64_t>(width) : 0),
          i < samples ? image[i] : 0, i < samples ? expected[i] : 0);
}

void runCall(session::Reader &in, Model &model) {
    static const char *const kName = d_GetName();
    static const char *const kInfo = d_GetInfo();
    record() = {};
    const Call call = in.call();
    switch (call) {
    case Call::GetName:
        check(d_GetName() == kName, "d_GetName moved its text");
        checkText(kName, "QM-208X VESK driver v1.00", "d_GetName");
        break;
    case Call::GetInfo:
        check(d_GetInfo() == kInfo, "d_GetInfo moved its text");
        checkText(kInfo, "Vantrel CCD", "d_GetInfo");
        break;
    case Call::Initialize: {
        const auto unused = in.take<int32_t>();
        check(d_Initialize(unused) == 1, "d_Initialize did not obtain the buffer");
        model.hasBuffer = true;
        expectNoSdkCall("d_Initialize");
        break;
    }
    case Call::SetupCCD: {
        const auto quiet = in.take<int32_t>();
        sdk_double::Script &script = sdk_double::script();
        script.initialVideo = in.take<int8_t>();
        script.startView = in.take<int8_t>();
        script.enableAE = in.take<int8_t>();
        const auto seed = in.take<uint32_t>();
        check(d_SetupCCD(quiet) == 1, "d_SetupCCD did not return 1");
        model.connected = script.initialVideo != 0 && script.startView != 0 && script.enableAE != 0;
        check(record().messageBoxes.size() == (quiet == 0 ? 1u : 0u), "%zu message boxes",
              record().messageBoxes.size());
        deliverRequestedFrame(model, model.hasBuffer, 2, seed);
        break;
    }
    case Call::GetOK:
        check(d_GetOK() == (model.connected ? 1 : 0), "d_GetOK answered %d", d_GetOK());
        break;
    case Call::BinningCount:
        check(d_BinningCount() == 5, "d_BinningCount answered %d", d_BinningCount());
        break;
    case Call::BinningName: {
        const auto mode = in.take<uint32_t>();
        const char *name = d_BinningName(mode);
        if (mode < kModeCount) {
            checkText(name, kModeNames[mode], "d_BinningName");
        } else {
            check(name == nullptr, "d_BinningName(%u) gave a name", mode);
        }
        break;
    }
    case Call::Subframe: {
        const auto x = in.take<uint32_t>();
        const auto y = in.take<uint32_t>();
        const auto width = in.take<uint32_t>();
        const auto height = in.take<uint32_t>();
        const auto mode = in.take<uint32_t>();
        const int32_t result = d_Subframe(x, y, width, height, mode);
        model.mode = mode;
        check(result == (mode < kModeCount ? 1 : 0), "d_Subframe mode %u answered %d", mode,
              result);
        if (mode < kModeCount) {
            const uint32_t f = kBinFactor[mode];
            model.window = {binnedValue(kSensorWidth, f, x), binnedValue(kSensorHeight, f, y),
                            binnedValue(kSensorWidth, f, width),
                            binnedValue(kSensorHeight, f, height)};
        }
        expectNoSdkCall("d_Subframe");
        break;
    }
    case Call::GetWidth: {
        const int32_t width = d_GetWidth(in.take<int32_t>());
        check(width == model.window.width, "d_GetWidth %d, expected %d", width,
              model.window.width);
        break;
    }
    case Call::GetHeight: {
        const int32_t height = d_GetHeight(in.take<int32_t>());
        check(height == model.window.height, "d_GetHeight %d, expected %d", height,
              model.window.height);
        break;
    }
    case Call::IsColor:
        check(d_IsColor() == (model.mode < kModeCount ? 1 : 0), "d_IsColor with mode %u",
              model.mode);
        break;
    case Call::MoveFrame: {
        const auto direction = in.take<int32_t>();
        const uint32_t calls = std::min<uint32_t>(in.take<uint16_t>() + 1u, model.movesLeft);
        model.movesLeft -= calls;
        for (uint32_t i = 0; i < calls; ++i) {
            check(d_MoveFrame(direction) == 1, "d_MoveFrame(%d) did not return 1", direction);
            switch (direction) {
            case 1: model.window.y = wrapped(model.window.y, 1); break;
            case 2: model.window.y = wrapped(model.window.y, -1); break;
            case 3: model.window.x = wrapped(model.window.x, -1); break;
            case 4: model.window.x = wrapped(model.window.x, 1); break;
            default: break;
            }
        }
        break;
    }
    case Call::StartExposure: {
        const auto length = in.take<int32_t>();
        const auto unused = in.take<int32_t>();
        const auto seed = in.take<uint32_t>();
        const bool starts = !model.exposing && model.mode < kModeCount && model.hasBuffer;
        const int32_t result = d_StartExposure(length, unused);
        check(result == (starts ? 1 : 0), "d_StartExposure answered %d", result);
        if (!starts) {
            expectNoSdkCall("a refused d_StartExposure");
            break;
        }
        model.exposing = true;
        checkExposureValue(model.mode, length);
        deliverRequestedFrame(model, true, kPreviewMode[model.mode], seed);
        break;
    }
    case Call::IsExposing: {
        const auto frameState = in.take<int8_t>();
        sdk_double::script().frameStateAfterScript = frameState;
        const int32_t result = d_IsExposing();
        if (!model.exposing) {
            check(result == 0, "d_IsExposing answered %d with no exposure", result);
            expectNoSdkCall("d_IsExposing with no exposure");
        } else {
            const bool pending = frameState == 0;
            check(result == (pending ? 1 : 0), "d_IsExposing answered %d", result);
            check(record().sleeps.size() == (pending ? 1u : 0u), "%zu pauses",
                  record().sleeps.size());
            model.exposing = pending;
        }
        break;
    }
    case Call::InterruptExposure:
        check(d_InterruptExposure() == 1, "d_InterruptExposure did not return 1");
        expectNoSdkCall("d_InterruptExposure");
        break;
    case Call::StartDownload:
        check(d_StartDownload() == 1, "d_StartDownload did not return 1");
        break;
    case Call::ReadImage:
        readImage(model, in.take<uint8_t>());
        expectNoSdkCall("d_ReadImage");
        break;
    case Call::EndDownload:
        check(d_EndDownload(in.take<int32_t>()) == 1, "d_EndDownload did not return 1");
        break;
    case Call::GetTemperature:
        check(d_GetTemperature() == 0, "d_GetTemperature answered %d", d_GetTemperature());
        break;
    case Call::Finalize: {
        check(d_Finalize() == 1, "d_Finalize did not return 1");
        const std::size_t closing = model.connected ? 2 : 0;
        check(record().calls.size() == closing, "d_Finalize made %zu SDK calls",
              record().calls.size());
        model.hasBuffer = false;
        model.frame = nullptr;
        model.connected = false;
        break;
    }
    }
}

void startFromLoadState() {
    sdk_double::reset();  // frame state: delivered
    d_IsExposing();
    d_Finalize();
    d_Subframe(0, 0, 0, 0, 0);
    sdk_double::reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The double must stand in for the SDK: a driver bound to the real library
    // would call a camera and these checks would mean nothing.
    sdk_double::reset();
    d_SetupCCD(1);
    fuzz::check(!sdk_double::record().calls.empty(),
                "the driver's SDK calls do not reach the recording double");
    startFromLoadState();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    startFromLoadState();
    session::Reader in(data, size);
    Model model;
    while (!in.done()) {
        runCall(in, model);
    }
    return 0;
}
