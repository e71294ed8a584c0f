#include "host/exposure_tracker.h"

#include <algorithm>
#include <cstdio>

#include "host/camera_identity.h"

ExposureTracker::ExposureTracker(ExposureClock clock) : clock_(std::move(clock)) {}

std::optional<ExposureRequest> ExposureTracker::begin(double seconds, const FramePlan &plan,
                                                      std::string &error) {
    if (!exposureAcceptable(seconds)) {
        char text[160];
        std::snprintf(text, sizeof text, "an exposure of %g s is refused: exposures last 0 to %.3f s",
                      seconds, kLongestExposureSeconds);
        error = text;
        return std::nullopt;
    }
    if (current_) {
        error = "an exposure is already in progress";
        return std::nullopt;
    }
    current_ = TrackedExposure{.id = ++lastId_,
                               .seconds = seconds,
                               .plan = plan,
                               .startUtc = clock_.utcNow(),
                               .startSteady = clock_.steadyNow(),
                               .started = false};
    last_ = current_;
    frameDelivered_ = false;
    failed_ = false;
    failure_.clear();
    return ExposureRequest{.id = current_->id,
                           .lengthMs = exposureMilliseconds(seconds),
                           .mode = plan.mode,
                           .window = plan.window,
                           .geometry = plan.geometry};
}

bool ExposureTracker::abort() {
    const bool wasRunning = current_.has_value();
    current_.reset();
    failed_ = false;
    failure_.clear();
    return wasRunning;
}

ExposureTracker::Meaning ExposureTracker::onEvent(const WorkerEvent &event) {
    if (!current_ || event.id == 0 || event.id != current_->id) {
        return Meaning::Stale;
    }
    switch (event.kind) {
        case WorkerEvent::Kind::ExposureStarted:
            if (current_->started) {
                return Meaning::Stale;
            }
            current_->started = true;
            // The worker's stamps: the program may handle the event late.
            current_->startUtc = event.time;
            current_->startSteady = event.steadyTime;
            last_ = current_;
            return Meaning::Started;
        case WorkerEvent::Kind::FrameReady:
            last_ = current_;
            current_.reset();
            frameDelivered_ = true;
            return Meaning::Frame;
        case WorkerEvent::Kind::ExposureFailed:
            last_ = current_;
            current_.reset();
            failed_ = true;
            failure_ = event.message;
            return Meaning::Failed;
        case WorkerEvent::Kind::FrameDiscarded:
        case WorkerEvent::Kind::Disconnected:
        case WorkerEvent::Kind::CameraLost:
        case WorkerEvent::Kind::ReopenFailed:
        case WorkerEvent::Kind::CameraBack:
            return Meaning::Stale;
    }
    return Meaning::Stale;
}

ExposurePhase ExposureTracker::phase() const {
    if (!current_) {
        return failed_ ? ExposurePhase::Error : ExposurePhase::Idle;
    }
    if (!current_->started) {
        return ExposurePhase::Waiting;
    }
    return secondsLeft() > 0 ? ExposurePhase::Exposing : ExposurePhase::Reading;
}

std::optional<int32_t> ExposureTracker::percentDone() const {
    if (!current_) {
        if (failed_) {
            return std::nullopt;
        }
        return frameDelivered_ ? 100 : 0;
    }
    if (!current_->started) {
        return 0;
    }
    if (current_->seconds <= 0) {
        return 100;
    }
    const double done = 1.0 - secondsLeft() / current_->seconds;
    return static_cast<int32_t>(std::clamp(done * 100.0, 0.0, 100.0));
}

double ExposureTracker::secondsLeft() const {
    if (!current_) {
        return 0;
    }
    if (!current_->started) {
        return current_->seconds;
    }
    const double elapsed =
        std::chrono::duration<double>(clock_.steadyNow() - current_->startSteady).count();
    return std::max(0.0, current_->seconds - elapsed);
}
