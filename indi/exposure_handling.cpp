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
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxExposureSeconds) {
        std::snprintf(text, sizeof text,
                      "Exposure of %g s refused: exposures last from 0 to %g s.", seconds,
                      kMaxExposureSeconds);
        refuse("CCD_EXPOSURE", text);
        return false;
    }
    if (exposure_) {
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
    const FramePlan plan = framePlan();
    const ExposureRequest request{.id = ++nextExposureId_,
                                  .lengthMs = static_cast<int32_t>(std::llround(seconds * 1000)),
                                  .mode = plan.mode,
                                  .window = plan.window,
                                  .geometry = plan.geometry};
    exposure_ = Exposure{.id = request.id,
                         .seconds = seconds,
                         .frame = frame_,
                         .plan = plan,
                         .started = false,
                         .startedAt = {}};
    InExposure = true;
    ExposureTime = seconds;
    PrimaryCCD.setExposureDuration(seconds);
    PrimaryCCD.setExposureLeft(seconds);
    worker_->expose(request);
    armCountdown();
    return true;
}

bool Qm208xCcd::AbortExposure() {
    // An abort stops live video too: a client aborting wants the camera free.
    endStream("Live video stopped by the abort.");
    if (exposure_) {
        exposure_.reset();
        InExposure = false;
        LOG_INFO("Exposure aborted. The camera cannot stop a frame: it is finished out of sight "
                 "and discarded, and a new exposure starts once the camera is free.");
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
    if (!exposure_) {
        return;
    }
    if (exposure_->started) {
        PrimaryCCD.setExposureLeft(secondsLeft());
    }
    armCountdown();
}

void Qm208xCcd::onExposureStarted(uint64_t id) {
    if (!exposure_ || exposure_->id != id) {
        return;
    }
    exposure_->started = true;
    exposure_->startedAt = std::chrono::steady_clock::now();
    // DATE-OBS: the start of the exposure the camera took, not of the request.
    PrimaryCCD.setExposureDuration(exposure_->seconds);
    PrimaryCCD.setExposureLeft(exposure_->seconds);
}

void Qm208xCcd::onFrameReady(uint64_t id, std::vector<uint16_t> &image) {
    if (!exposure_ || exposure_->id != id) {
        return;
    }
    const Exposure done = *exposure_;
    exposure_.reset();
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
        delivery_ = Delivery{.mode = done.plan.mode, .frame = done.frame};
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
    if (exposure_) {
        PrimaryCCD.setExposureLeft(secondsLeft());
    }
}

double Qm208xCcd::secondsLeft() const {
    if (!exposure_->started) {
        return exposure_->seconds;
    }
    const auto elapsed = std::chrono::steady_clock::now() - exposure_->startedAt;
    return std::max(0.0, exposure_->seconds - std::chrono::duration<double>(elapsed).count());
}

void Qm208xCcd::onExposureFailed(uint64_t id, const std::string &message) {
    if (!exposure_ || exposure_->id != id) {
        return;
    }
    exposure_.reset();
    InExposure = false;
    refuse("CCD_EXPOSURE", "Exposure failed: " + message + ".");
}
