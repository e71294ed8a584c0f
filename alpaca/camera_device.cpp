// The device's life, its connections and what the setup page shows; the
// member table is in camera_members.cpp, the handlers in camera_settings.cpp
// and camera_exposure.cpp.
#include "alpaca/camera_device.h"

namespace alpaca {

namespace {}  // namespace

CameraDevice::CameraDevice(ModuleLoader loader, std::string modulePath,
                           std::optional<double> pixelSizeMicrons, Log log, CameraTiming timing)
    : modulePath_(std::move(modulePath)),
      log_(std::move(log)),
      reconnectWait_(timing.reconnectWait),
      clients_(
          [this](uint32_t clientId) {
              log_("client " + std::to_string(clientId) +
                   " connecting: opening the camera through " + modulePath_);
              return worker_->connect(modulePath_).share();
          },
          [this] { worker_->disconnect(); }, log_),
      pixelSizeMicrons_(pixelSizeMicrons) {
    worker_ = std::make_unique<CameraWorker>(
        std::move(loader), [this] { onWorkerEvents(); }, timing.readoutMargin);
    reportingWorker_ = worker_.get();
}

CameraDevice::~CameraDevice() { worker_.reset(); }

void CameraDevice::closed() {
    // The last client left: an exposure in progress is abandoned with the camera.
    exposure_.abort();
    croppingId_ = 0;
    image_.reset();
    cameraAway_.reset();  // the worker gives up reconnecting it
    log_("camera closed");
}

MemberResult CameraDevice::getConnected(const Call &call) {
    return MemberResult::value(jsonBool(clients_.connected(call.clientId)));
}

MemberResult CameraDevice::putConnected(const Call &call) {
    if (!call.flag(0)) {
        return putDisconnect(call);
    }
    clients_.join(call.clientId);
    if (clients_.connected(call.clientId)) {
        return MemberResult::done();
    }
    // Connected=true is synchronous in ASCOM: wait for the camera to open,
    // without holding the lock, so other clients go on being served.
    std::shared_future<ConnectOutcome> pending = clients_.pending();
    mutex_.unlock();
    const bool settled = pending.wait_for(kConnectTimeout) == std::future_status::ready;
    mutex_.lock();
    clients_.settle();
    if (clients_.connected(call.clientId)) {
        return MemberResult::done();
    }
    if (!settled) {
        return MemberResult::fail(
            ErrorCode::CameraFailure,
            "the camera did not open within " + std::to_string(kConnectTimeout.count()) + " s");
    }
    const std::string why = clients_.takeFailure(call.clientId).value_or("disconnected meanwhile");
    return MemberResult::fail(ErrorCode::CameraFailure, "cannot connect the camera: " + why);
}

MemberResult CameraDevice::getConnecting(const Call &call) {
    if (const auto why = clients_.takeFailure(call.clientId)) {
        return MemberResult::fail(ErrorCode::CameraFailure, "cannot connect the camera: " + *why);
    }
    return MemberResult::value(jsonBool(clients_.joining(call.clientId)));
}

MemberResult CameraDevice::putConnect(const Call &call) {
    clients_.join(call.clientId);
    return MemberResult::done();
}

MemberResult CameraDevice::putDisconnect(const Call &call) {
    if (clients_.leave(call.clientId)) {
        closed();
    }
    return MemberResult::done();
}

DeviceStatus CameraDevice::status() {
    std::lock_guard lock(mutex_);
    clients_.settle();
    const auto why = trouble();
    return {.open = clients_.open(),
            .connecting = clients_.opening(),
            .clients = clients_.count(),
            .driverName = clients_.opened().driverName,
            .driverInfo = clients_.opened().driverInfo,
            .modeNames = clients_.opened().modeNames,
            .state = currentState(),
            .bin = bin_,
            .readoutMode = readoutMode_,
            .pixelSizeMicrons = pixelSizeMicrons_,
            .lastError = why ? why->message : std::string(),
            .image = image_,
            .imageMode = imagePlan_.mode,
            .imageStartX = imagePlan_.subframe.x,
            .imageStartY = imagePlan_.subframe.y,
            .imagePattern = imagePattern_};
}

void CameraDevice::setPixelSize(double microns) {
    std::lock_guard lock(mutex_);
    pixelSizeMicrons_ = microns;
}

}  // namespace alpaca
