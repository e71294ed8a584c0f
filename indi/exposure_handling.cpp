// CCD_EXPOSURE and its abort: requests to the worker, the countdown, and the
// image handed to the base class to send.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "indi/qm208x_ccd.h"

namespace {

constexpr int kCountdownPeriodMs = 1000;

}  // namespace

bool Qm208xCcd::StartExposure(float duration) {
    if (std::this_thread::get_id() != loopThread_) {
        // The base class starts the next frame of a fast sequence from its
        // upload thread; this class's state belongs to the event loop.
        fastExposureSeconds_ = duration;
        wake();
        return true;
    }
    return requestExposure(duration);
}

bool Qm208xCcd::requestExposure(double seconds) {
    char text[200];
    if (!isConnected()) {
        refuse("CCD_EXPOSURE", "Exposure refused: the camera is not connected.");
        return false;
    }
    if (!exposureAcceptable(seconds)) {
        std::snprintf(text, sizeof text,
                      "Exposure of %g s refused: exposures last from 0 to %g s.", seconds,
                      kLongestExposureSeconds);
        refuse("CCD_EXPOSURE", text);
        return false;
    }
    if (exposures_.running()) {
        refuse("CCD_EXPOSURE",
               "Exposure refused: one is already running; abort it or wait for its image.");
        return false;
    }
    if (stream_) {
        refuse("CCD_EXPOSURE", "Exposure refused: live video is running; stop it first.");
        return false;
    }
    // The client has the previous image, or has given up on it.
    uploading_ = false;
    if (PrimaryCCD.getFrameType() == INDI::CCDChip::BIAS_FRAME) {
        seconds = 0;
    }
    std::string error;
    std::optional<ExposureRequest> request = exposures_.begin(seconds, framePlan(), error);
    if (!request) {
        refuse("CCD_EXPOSURE", "Exposure refused: " + error + ".");
        return false;
    }
    request->waitForCamera = absence_.waitForCamera(
        std::chrono::milliseconds(std::llround(cameraWaitN_[0].value * 1000)),
        std::chrono::steady_clock::now());
    if (absence_.away() && request->waitForCamera.count() > 0) {
        LOGF_INFO("The camera is away: this exposure waits up to %.0f s for it to come back.",
                  std::ceil(request->waitForCamera.count() / 1000.0));
    }
    InExposure = true;
    ExposureTime = seconds;
    PrimaryCCD.setExposureDuration(seconds);
    PrimaryCCD.setExposureLeft(seconds);
    worker_->expose(*request);
    armCountdown();
    return true;
}

bool Qm208xCcd::AbortExposure() {
    // An abort stops live video too: a client aborting wants the camera free.
    endStream("Live video stopped by the abort.");
    const bool started = exposures_.current() && exposures_.current()->started;
    if (exposures_.abort()) {
        InExposure = false;
        if (started) {
            LOG_INFO(
                "Exposure aborted. The camera cannot stop a frame: it is finished out of "
                "sight and discarded, and a new exposure starts once the camera is free.");
        } else {
            LOG_INFO("Exposure aborted before the camera started it.");
        }
    }
    worker_->abort();
    return true;
}

void Qm208xCcd::armCountdown() {
    if (countdownTimer_ < 0) {
        countdownTimer_ = SetTimer(kCountdownPeriodMs);
    }
}

void Qm208xCcd::TimerHit() {
    countdownTimer_ = -1;
    const std::optional<TrackedExposure> &running = exposures_.current();
    if (!running) {
        return;
    }
    if (running->started) {
        PrimaryCCD.setExposureLeft(exposures_.secondsLeft());
    }
    armCountdown();
}

void Qm208xCcd::onExposureEvent(WorkerEvent &event) {
    switch (exposures_.onEvent(event)) {
    case ExposureTracker::Meaning::Started: onExposureStarted(); break;
    case ExposureTracker::Meaning::Frame: onFrameReady(event.image); break;
    case ExposureTracker::Meaning::Failed: onExposureFailed(); break;
    case ExposureTracker::Meaning::Stale:
        if (event.kind == WorkerEvent::Kind::FrameDiscarded) {
            LOG_DEBUG("The aborted exposure's frame arrived and was discarded.");
        } else if (event.kind == WorkerEvent::Kind::Disconnected) {
            LOG_DEBUG("Camera closed, module unloaded.");
        }
        break;
    }
}

void Qm208xCcd::onExposureStarted() {
    const double seconds = exposures_.current()->seconds;
    // DATE-OBS: the start of the exposure the camera took, not of the request.
    PrimaryCCD.setExposureDuration(seconds);
    PrimaryCCD.setExposureLeft(seconds);
}

void Qm208xCcd::onFrameReady(std::vector<uint16_t> &image) {
    const TrackedExposure done = *exposures_.lastExposure();
    InExposure = false;
    if (!cutToSubframe(image, done.plan)) {
        refuse("CCD_EXPOSURE", "Exposure failed: the camera delivered an image of another size.");
        return;
    }
    const size_t bytes = image.size() * sizeof(uint16_t);
    {
        // Waits for the previous image's upload, which reads the buffer.
        std::lock_guard<std::mutex> guard(ccdBufferLock);
        // A new buffer for every frame: one sent as it is (the native transfer
        // format) is shared with indiserver, and libindi seals it read-only.
        IDSharedBlobFree(PrimaryCCD.getFrameBuffer());
        PrimaryCCD.setFrameBuffer(static_cast<uint8_t *>(IDSharedBlobAlloc(bytes)));
        PrimaryCCD.setFrameBufferSize(PrimaryCCD.getFrameBuffer() != nullptr
                                          ? static_cast<uint32_t>(bytes)
                                          : 0,
                                      false);
        if (PrimaryCCD.getFrameBuffer() == nullptr) {
            refuse("CCD_EXPOSURE", "Exposure failed: no memory for its image.");
            return;
        }
        std::memcpy(PrimaryCCD.getFrameBuffer(), image.data(), bytes);
        delivery_ = done;
    }
    // The base class encodes and sends the image on a thread of its own.
    uploading_ = true;
    ExposureComplete(&PrimaryCCD);
}

void Qm208xCcd::UploadComplete(INDI::CCDChip *) {
    uploadFinished_ = true;
    wake();
}

void Qm208xCcd::onUploadFinished() {
    uploading_ = false;
    // The base class has just reported the sent image's exposure done; one
    // requested meanwhile is still running.
    if (exposures_.running()) {
        PrimaryCCD.setExposureLeft(exposures_.secondsLeft());
    }
}

void Qm208xCcd::onExposureFailed() {
    InExposure = false;
    refuse("CCD_EXPOSURE", "Exposure failed: " + exposures_.failure() + ".");
}
