#include "simcam/sim_camera.h"

#include <array>
#include <cmath>

#include "simcam/frame_worker.h"
#include "simcam/preview_mode.h"
#include "simcam/sim_settings.h"

namespace simcam {

namespace {

constexpr int32_t kDefaultExposureValue = 200;
constexpr float kLargestColourGain = 16.0f;

// Everything the simulated camera keeps between calls. Calls come from one host
// thread at a time; only `frames` is shared with the camera's own thread.
struct SimCamera {
    bool open = false;
    bool streaming = false;
    PreviewMode previewMode = PreviewMode::FullFrame;
    int32_t exposureValue = kDefaultExposureValue;
    // The simulated sensor has no automatic exposure or white balance: the flags
    // are kept and answered, and change no frame.
    bool autoExposure = true;
    bool autoWhiteBalance = false;
    std::array<float, 3> colourGains{1.0f, 1.0f, 1.0f};
    // Frames requested (and accepted) since the camera was opened: the number of
    // the latest exposure, which chooses its noise, so that a run of the same
    // calls repeats frame for frame.
    uint64_t exposuresSinceOpening = 0;
    // What the control file said at the last call.
    Presence presence = Presence::Present;
    FrameWorker frames;
};

// Destroyed when the library is unloaded: the worker is joined, never left running.
SimCamera &camera() {
    static SimCamera instance;
    return instance;
}

void stopStream(SimCamera &cam) {
    cam.frames.cancel();
    cam.streaming = false;
}

void close(SimCamera &cam) {
    stopStream(cam);
    cam.open = false;
}

// Called first in every SDK call, so a change of the control file takes effect at
// the next call: a camera unplugged since the last call is closed, losing its
// frame in flight; one that stalls loses its frame unless already written.
Presence followControl(SimCamera &cam) {
    const Presence now = readPresence();
    if (now != cam.presence) {
        if (now == Presence::Absent) {
            close(cam);
        } else if (now == Presence::Stalled) {
            cam.frames.dropUndelivered();
        }
        cam.presence = now;
    }
    return now;
}

void resetSettings(SimCamera &cam) {
    cam.previewMode = PreviewMode::FullFrame;
    cam.exposureValue = kDefaultExposureValue;
    cam.autoExposure = true;
    cam.autoWhiteBalance = false;
    cam.colourGains = {1.0f, 1.0f, 1.0f};
    cam.exposuresSinceOpening = 0;
}

// Fresh noise: exposure n since opening (from 1) gets draw n. Fixed noise: every
// exposure gets draw 0, which no fresh exposure uses.
uint64_t noiseDraw(Noise noise, uint64_t exposureNumber) {
    return noise == Noise::Fixed ? 0 : exposureNumber;
}

bool usableGain(float gain) {
    return std::isfinite(gain) && gain >= 0.0f && gain <= kLargestColourGain;
}

}  // namespace

int32_t initialVideo(int32_t) {
    SimCamera &cam = camera();
    const Presence presence = followControl(cam);
    const Fault fault = readFault();
    if (presence == Presence::Absent || fault == Fault::NoCamera || fault == Fault::InitialVideo) {
        close(cam);
        return 0;
    }
    if (!cam.open) {
        resetSettings(cam);
        // Opening takes the time of building the scene, not the first frame.
        cam.frames.prepare(readSettings().seed);
        cam.open = true;
    }
    return 1;
}

int32_t startView() {
    SimCamera &cam = camera();
    followControl(cam);
    if (!cam.open) {
        return 0;
    }
    if (readFault() == Fault::StartView) {
        stopStream(cam);
        return 0;
    }
    cam.streaming = true;
    return 1;
}

int32_t enableAutoExposure(int32_t enable) {
    SimCamera &cam = camera();
    followControl(cam);
    if (!cam.open) {
        return 0;
    }
    if (readFault() == Fault::EnableAe) {
        stopStream(cam);
        return 0;
    }
    cam.autoExposure = enable != 0;
    return 1;
}

int32_t enableAutoWhiteBalance(int32_t enable) {
    SimCamera &cam = camera();
    followControl(cam);
    if (!cam.open) {
        return 0;
    }
    cam.autoWhiteBalance = enable != 0;
    return 1;
}

int32_t setPreviewMode(int32_t previewMode) {
    SimCamera &cam = camera();
    followControl(cam);
    const auto mode = previewModeFrom(previewMode);
    if (!cam.open || !mode) {
        return 0;
    }
    cam.previewMode = *mode;
    return 1;
}

int32_t pauseView() {
    // Stills are taken from the sensor directly, so pausing the live view changes
    // nothing here.
    SimCamera &cam = camera();
    followControl(cam);
    return cam.open ? 1 : 0;
}

int32_t setExposure(int32_t value) {
    SimCamera &cam = camera();
    followControl(cam);
    if (!cam.open) {
        return 0;
    }
    cam.exposureValue = value;
    return 1;
}

int32_t setColourGain(float red, float green, float blue) {
    SimCamera &cam = camera();
    followControl(cam);
    if (!cam.open || !usableGain(red) || !usableGain(green) || !usableGain(blue)) {
        return 0;
    }
    cam.colourGains = {red, green, blue};
    return 1;
}

int32_t requestFrame(int32_t previewMode, void *frame) {
    SimCamera &cam = camera();
    const Presence presence = followControl(cam);
    // A new request replaces the pending one, whether or not it is accepted.
    cam.frames.cancel();
    const auto mode = previewModeFrom(previewMode);
    if (!cam.open || !cam.streaming || !mode || frame == nullptr) {
        return 0;
    }
    const SimSettings settings = readSettings();
    const double milliseconds = exposureMilliseconds(*mode, cam.exposureValue);
    const uint64_t exposureNumber = cam.exposuresSinceOpening + 1;
    const FrameRequest request{
        .frame = static_cast<uint8_t *>(frame),
        .mode = *mode,
        .exposure = {.seconds = milliseconds / 1000.0,
                     .gains = cam.colourGains,
                     .covered = settings.covered,
                     .noiseDraw = noiseDraw(settings.noise, exposureNumber)},
        .waitMilliseconds = milliseconds * settings.timeScale,
        .seed = settings.seed,
        .delivers = settings.fault != Fault::NeverCompletes && presence != Presence::Stalled,
    };
    if (!cam.frames.submit(request)) {
        return 0;
    }
    cam.exposuresSinceOpening = exposureNumber;
    return 1;
}

int32_t frameState() {
    SimCamera &cam = camera();
    followControl(cam);
    return cam.frames.complete() ? 1 : 0;
}

int32_t stopView() {
    SimCamera &cam = camera();
    followControl(cam);
    stopStream(cam);
    return 1;
}

int32_t releaseVideo() {
    SimCamera &cam = camera();
    followControl(cam);
    close(cam);
    return 1;
}

}  // namespace simcam
