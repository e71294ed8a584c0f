// Exposures: starting and aborting one, the state and progress clients poll,
// the worker's reports and the image they leave for ImageArray.
#include "alpaca/camera_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace alpaca {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

MemberResult intValue(int64_t value) { return MemberResult::value(std::to_string(value)); }

}  // namespace

std::string formatAscomTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto milliseconds = time_point_cast<std::chrono::milliseconds>(time);
    const auto day = floor<days>(milliseconds);
    const year_month_day date(day);
    const hh_mm_ss clock(milliseconds - day);
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

bool CameraDevice::exposing() const {
    return phase_ == CameraState::Waiting || phase_ == CameraState::Exposing;
}

CameraState CameraDevice::currentState() const {
    if (phase_ == CameraState::Exposing && std::chrono::steady_clock::now() - exposureStart_ >=
                                               std::chrono::duration<double>(currentDuration_)) {
        return CameraState::Reading;
    }
    return phase_;
}

std::optional<int32_t> CameraDevice::percentCompleted() const {
    switch (phase_) {
        case CameraState::Waiting:
            return 0;
        case CameraState::Exposing: {
            if (currentDuration_ <= 0) {
                return 100;
            }
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - exposureStart_)
                    .count();
            return static_cast<int32_t>(std::clamp(elapsed / currentDuration_ * 100.0, 0.0, 100.0));
        }
        case CameraState::Idle:
            return image_ ? 100 : 0;
        default:
            return std::nullopt;
    }
}

MemberResult CameraDevice::getCameraState(const Call &) {
    return intValue(static_cast<int32_t>(currentState()));
}

MemberResult CameraDevice::getDeviceState(const Call &) {
    std::string value = "[{\"Name\":\"CameraState\",\"Value\":" +
                        std::to_string(static_cast<int32_t>(currentState())) +
                        "},{\"Name\":\"ImageReady\",\"Value\":" + jsonBool(image_ != nullptr) + "}";
    if (const auto percent = percentCompleted()) {
        value += ",{\"Name\":\"PercentCompleted\",\"Value\":" + std::to_string(*percent) + "}";
    }
    value += ",{\"Name\":\"TimeStamp\",\"Value\":\"" +
             formatAscomTime(std::chrono::system_clock::now()) + "\"}]";
    return MemberResult::value(std::move(value));
}

MemberResult CameraDevice::getPercentCompleted(const Call &) {
    const auto percent = percentCompleted();
    if (!percent) {
        return MemberResult::fail(ErrorCode::InvalidOperation,
                                  "the last exposure failed: " + failure_);
    }
    return intValue(*percent);
}

MemberResult CameraDevice::getImageReady(const Call &) {
    return MemberResult::value(jsonBool(image_ != nullptr));
}

MemberResult CameraDevice::getLastExposureDuration(const Call &) {
    if (!lastDuration_) {
        return MemberResult::fail(ErrorCode::ValueNotSet, "no exposure has been started yet");
    }
    return MemberResult::value(jsonNumber(*lastDuration_));
}

MemberResult CameraDevice::getLastExposureStartTime(const Call &) {
    if (!lastStartTime_) {
        return MemberResult::fail(ErrorCode::ValueNotSet, "no exposure has been started yet");
    }
    return MemberResult::value(jsonString(formatAscomTime(*lastStartTime_)));
}

MemberResult CameraDevice::putStartExposure(const Call &call) {
    const double duration = call.number(0);
    const bool light = call.flag(1);
    if (duration < 0 || duration > kExposureMaxSeconds) {
        return MemberResult::fail(
            ErrorCode::InvalidValue,
            "Duration " + number(duration) + " s refused: exposures last 0 to 3600 s");
    }
    if (exposing()) {
        return MemberResult::fail(ErrorCode::InvalidOperation,
                                  "an exposure is already in progress");
    }
    const uint32_t mode = *modeForBinning(bin_, kReadoutModes[readoutMode_].kind);
    std::string error;
    if (!checkSubframe(subframe_, kCameraModes[mode], error)) {
        return MemberResult::fail(ErrorCode::InvalidValue, "StartX, StartY, NumX, NumY: " + error);
    }
    currentPlan_ = planFrame(subframe_, mode);
    currentId_ = ++lastId_;
    currentDuration_ = duration;
    phase_ = CameraState::Waiting;
    failure_.clear();
    image_.reset();
    lastDuration_ = duration;
    lastStartTime_ = std::chrono::system_clock::now();
    exposureStart_ = std::chrono::steady_clock::now();
    const auto lengthMs = static_cast<int32_t>(std::llround(duration * 1000));
    worker_->expose({.id = currentId_,
                     .lengthMs = lengthMs,
                     .mode = mode,
                     .window = currentPlan_.window,
                     .geometry = currentPlan_.geometry});
    log_("exposure " + std::to_string(currentId_) + ": " + number(duration) + " s, " +
         (light ? "light" : "dark") + ", mode " + std::to_string(mode) + ", " +
         std::to_string(subframe_.width) + " x " + std::to_string(subframe_.height) + " at " +
         std::to_string(subframe_.x) + "," + std::to_string(subframe_.y) + ", client " +
         std::to_string(call.clientId));
    return MemberResult::done();
}

MemberResult CameraDevice::putAbortExposure(const Call &) {
    if (exposing()) {
        // The module cannot stop the camera: the worker polls the frame out of
        // sight and drops it, while the camera is ready for the next request.
        worker_->abort();
        log_("exposure " + std::to_string(currentId_) + " aborted");
        currentId_ = 0;
    }
    phase_ = CameraState::Idle;
    return MemberResult::done();
}

void CameraDevice::onWorkerEvents() {
    CameraWorker *worker = reportingWorker_.load();
    if (worker == nullptr) {
        return;  // reported before construction finished: taken with the next report
    }
    for (WorkerEvent &event : worker->takeEvents()) {
        FramePlan plan;
        {
            std::lock_guard lock(mutex_);
            if (event.id == 0 || event.id != currentId_) {
                continue;
            }
            switch (event.kind) {
                case WorkerEvent::Kind::ExposureStarted:
                    if (phase_ == CameraState::Waiting) {
                        phase_ = CameraState::Exposing;
                        exposureStart_ = std::chrono::steady_clock::now();
                        lastStartTime_ = std::chrono::system_clock::now();
                    }
                    continue;
                case WorkerEvent::Kind::ExposureFailed:
                    phase_ = CameraState::Error;
                    failure_ = event.message;
                    currentId_ = 0;
                    log_("exposure " + std::to_string(event.id) + " failed: " + event.message);
                    continue;
                case WorkerEvent::Kind::FrameReady:
                    plan = currentPlan_;
                    break;
                default:
                    continue;
            }
        }
        // The crop runs outside the lock: requests go on being answered.
        auto image = std::make_shared<const ColumnImage>(cropToColumns(event.image, plan));
        std::lock_guard lock(mutex_);
        if (event.id != currentId_) {
            continue;  // aborted or disconnected meanwhile
        }
        image_ = std::move(image);
        imagePlan_ = plan;
        imagePattern_ = subframeColours(plan).pattern;
        phase_ = CameraState::Idle;
        currentId_ = 0;
        log_("exposure " + std::to_string(event.id) + ": image ready");
    }
}

std::shared_ptr<const ColumnImage> CameraDevice::image(uint32_t clientId, MemberResult &refusal) {
    std::lock_guard lock(mutex_);
    clients_.settle();
    if (!clients_.connected(clientId)) {
        refusal = MemberResult::fail(
            ErrorCode::NotConnected,
            "the camera is not connected for this client: set Connected or call Connect first");
        return nullptr;
    }
    if (phase_ == CameraState::Error) {
        refusal = MemberResult::fail(ErrorCode::CameraFailure, "the exposure failed: " + failure_);
        return nullptr;
    }
    if (!image_) {
        refusal =
            MemberResult::fail(ErrorCode::InvalidOperation,
                               exposing() ? "the exposure is not finished: wait for ImageReady"
                                          : "there is no image: start an exposure first");
        return nullptr;
    }
    return image_;
}

}  // namespace alpaca
