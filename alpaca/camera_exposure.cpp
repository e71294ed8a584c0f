// Exposures: starting and aborting one, the state and progress clients poll
// (the host's exposure tracker, in ASCOM's numbers), the worker's reports and
// the image they leave for ImageArray.
#include <cstdio>

#include "alpaca/camera_device.h"
#include "host/utc_time.h"

namespace alpaca {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

MemberResult intValue(int64_t value) { return MemberResult::value(std::to_string(value)); }

}  // namespace

CameraState CameraDevice::currentState() const {
    switch (exposure_.phase()) {
        case ExposurePhase::Waiting:
            return CameraState::Waiting;
        case ExposurePhase::Exposing:
            return CameraState::Exposing;
        case ExposurePhase::Reading:
            return CameraState::Reading;
        case ExposurePhase::Error:
            return CameraState::Error;
        case ExposurePhase::Idle:
            break;
    }
    if (croppingId_ != 0) {
        return CameraState::Reading;  // the frame has arrived and is being cut for ImageArray
    }
    return cameraAway_ ? CameraState::Error : CameraState::Idle;
}

std::optional<MemberResult> CameraDevice::trouble() const {
    const bool failed = exposure_.phase() == ExposurePhase::Error;
    if (cameraAway_ && !exposure_.running()) {
        return MemberResult::fail(
            ErrorCode::CameraReconnecting,
            (failed ? "the exposure failed: " + exposure_.failure() + "; " : std::string()) +
                cameraAway_->message());
    }
    if (failed) {
        return MemberResult::fail(ErrorCode::CameraFailure,
                                  "the exposure failed: " + exposure_.failure());
    }
    return std::nullopt;
}

MemberResult CameraDevice::getCameraState(const Call &) {
    return intValue(static_cast<int32_t>(currentState()));
}

MemberResult CameraDevice::getDeviceState(const Call &) {
    std::string value = "[{\"Name\":\"CameraState\",\"Value\":" +
                        std::to_string(static_cast<int32_t>(currentState())) +
                        "},{\"Name\":\"ImageReady\",\"Value\":" + jsonBool(image_ != nullptr) + "}";
    if (const auto percent = exposure_.percentDone()) {
        value += ",{\"Name\":\"PercentCompleted\",\"Value\":" + std::to_string(*percent) + "}";
    }
    value += ",{\"Name\":\"TimeStamp\",\"Value\":\"" +
             utcTimeText(std::chrono::system_clock::now()) + "\"}]";
    return MemberResult::value(std::move(value));
}

MemberResult CameraDevice::getPercentCompleted(const Call &) {
    const auto percent = exposure_.percentDone();
    if (!percent) {
        return MemberResult::fail(ErrorCode::InvalidOperation,
                                  "the last exposure failed: " + exposure_.failure());
    }
    return intValue(*percent);
}

MemberResult CameraDevice::getImageReady(const Call &) {
    // An error rather than false, so a program waiting for the image learns at
    // once that none is coming.
    if (!image_) {
        if (auto why = trouble()) {
            return std::move(*why);
        }
    }
    return MemberResult::value(jsonBool(image_ != nullptr));
}

MemberResult CameraDevice::getLastExposureDuration(const Call &) {
    if (!exposure_.lastExposure()) {
        return MemberResult::fail(ErrorCode::ValueNotSet, "no exposure has been started yet");
    }
    return MemberResult::value(jsonNumber(exposure_.lastExposure()->seconds));
}

MemberResult CameraDevice::getLastExposureStartTime(const Call &) {
    if (!exposure_.lastExposure()) {
        return MemberResult::fail(ErrorCode::ValueNotSet, "no exposure has been started yet");
    }
    return MemberResult::value(jsonString(utcTimeText(exposure_.lastExposure()->startUtc)));
}

MemberResult CameraDevice::putStartExposure(const Call &call) {
    const double duration = call.number(0);
    const bool light = call.flag(1);
    const uint32_t mode = *modeForBinning(bin_, kReadoutModes[readoutMode_].kind);
    std::string error;
    if (!checkSubframe(subframe_, kCameraModes[mode], error)) {
        return MemberResult::fail(ErrorCode::InvalidValue, "StartX, StartY, NumX, NumY: " + error);
    }
    if (cameraAway_ && reconnectWait_.count() == 0) {
        return MemberResult::fail(ErrorCode::CameraReconnecting,
                                  "no exposure can start now: " + cameraAway_->message());
    }
    auto request = exposure_.begin(duration, planFrame(subframe_, mode), error);
    if (!request) {
        // Refused for its length, or for an exposure in progress.
        return MemberResult::fail(
            exposureAcceptable(duration) ? ErrorCode::InvalidOperation : ErrorCode::InvalidValue,
            error);
    }
    croppingId_ = 0;
    image_.reset();
    request->waitForCamera = reconnectWait_;
    worker_->expose(*request);
    log_("exposure " + std::to_string(request->id) + ": " + number(duration) + " s, " +
         (light ? "light" : "dark") + ", mode " + std::to_string(mode) + ", " +
         std::to_string(subframe_.width) + " x " + std::to_string(subframe_.height) + " at " +
         std::to_string(subframe_.x) + "," + std::to_string(subframe_.y) + ", client " +
         std::to_string(call.clientId) +
         (cameraAway_ ? ", waiting for the camera to be reconnected" : ""));
    return MemberResult::done();
}

MemberResult CameraDevice::putAbortExposure(const Call &) {
    const uint64_t id = exposure_.current() ? exposure_.current()->id : croppingId_;
    if (exposure_.abort()) {
        // The module cannot stop the camera: the worker polls the frame out of
        // sight and drops it, while the camera is ready for the next request.
        worker_->abort();
    }
    if (id != 0) {
        log_("exposure " + std::to_string(id) + " aborted");
    }
    croppingId_ = 0;
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
            if (noteCameraEvent(event)) {
                continue;
            }
            switch (exposure_.onEvent(event)) {
                case ExposureTracker::Meaning::Failed:
                    log_("exposure " + std::to_string(event.id) + " failed: " + event.message);
                    continue;
                case ExposureTracker::Meaning::Frame:
                    plan = exposure_.lastExposure()->plan;
                    croppingId_ = event.id;
                    break;
                default:
                    continue;
            }
        }
        // The crop runs outside the lock: requests go on being answered.
        auto image = std::make_shared<const ColumnImage>(cropToColumns(event.image, plan));
        std::lock_guard lock(mutex_);
        if (event.id != croppingId_) {
            continue;  // aborted, disconnected or replaced meanwhile
        }
        image_ = std::move(image);
        imagePlan_ = plan;
        imagePattern_ = subframeColours(plan).pattern;
        croppingId_ = 0;
        log_("exposure " + std::to_string(event.id) + ": image ready");
    }
}

std::string CameraDevice::CameraAway::message() const {
    return "the camera stopped answering (" + reason + ") and is being reconnected" +
           (lastAttempt.empty() ? "" : "; " + lastAttempt);
}

bool CameraDevice::noteCameraEvent(const WorkerEvent &event) {
    switch (event.kind) {
        case WorkerEvent::Kind::CameraLost:
            cameraAway_ = CameraAway{.reason = event.message, .lastAttempt = {}};
            log_("camera lost: " + event.message + "; reconnecting it, clients stay connected");
            return true;
        case WorkerEvent::Kind::ReopenFailed:
            if (cameraAway_) {
                cameraAway_->lastAttempt =
                    "attempt " + std::to_string(event.attempt) + ": " + event.message;
                log_("reconnecting the camera, " + cameraAway_->lastAttempt);
            }
            return true;
        case WorkerEvent::Kind::CameraBack:
            if (cameraAway_) {
                log_("camera reconnected after " + std::to_string(event.attempt) +
                     " attempt(s): " + event.message);
            }
            cameraAway_.reset();
            return true;
        case WorkerEvent::Kind::Disconnected:
            cameraAway_.reset();
            return true;
        default:
            return false;
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
    if (image_) {
        return image_;
    }
    if (auto why = trouble()) {
        refusal = std::move(*why);
    } else {
        refusal = MemberResult::fail(ErrorCode::InvalidOperation,
                                     exposure_.running() || croppingId_ != 0
                                         ? "the exposure is not finished: wait for ImageReady"
                                         : "there is no image: start an exposure first");
    }
    return nullptr;
}

}  // namespace alpaca
