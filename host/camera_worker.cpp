#include "host/camera_worker.h"

#include <cstdio>

#include "host/host_session.h"

namespace {

std::string seconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", duration.count() / 1000.0);
    return text;
}

}  // namespace

ModuleLoader dynamicModuleLoader() {
    auto module = std::make_shared<DriverModule>();
    return {.load =
                [module](const std::string &path, DriverApi &api, std::string &error) {
                    if (!loadDriver(path, *module, error)) {
                        return false;
                    }
                    api = module->api;
                    return true;
                },
            .unload = [module] { unloadDriver(*module); }};
}

CameraWorker::CameraWorker(ModuleLoader loader, std::function<void()> wake,
                           std::chrono::milliseconds readoutMargin)
    : loader_(std::move(loader)), wake_(std::move(wake)), readoutMargin_(readoutMargin) {
    thread_ = std::thread([this] { run(); });
}

CameraWorker::~CameraWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::future<ConnectOutcome> CameraWorker::connect(const std::string &modulePath,
                                                  Opening opening) {
    auto outcome = std::make_shared<std::promise<ConnectOutcome>>();
    auto future = outcome->get_future();
    push({.kind = Command::Kind::Connect,
          .path = modulePath,
          .outcome = outcome,
          .exposure = {},
          .opening = opening});
    return future;
}

void CameraWorker::disconnect() {
    abort();
    ++disconnectsPending_;
    push({.kind = Command::Kind::Disconnect, .path = {}, .outcome = {}, .exposure = {}});
}

void CameraWorker::expose(const ExposureRequest &request) {
    {
        std::lock_guard lock(mutex_);
        lastRequestedId_ = std::max(lastRequestedId_, request.id);
    }
    push({.kind = Command::Kind::Expose, .path = {}, .outcome = {}, .exposure = request});
}

void CameraWorker::abort() {
    std::lock_guard lock(mutex_);
    abortedUpTo_ = lastRequestedId_;
}

std::vector<WorkerEvent> CameraWorker::takeEvents() {
    std::lock_guard lock(mutex_);
    std::vector<WorkerEvent> taken;
    taken.swap(events_);
    return taken;
}

void CameraWorker::push(Command command) {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back(std::move(command));
    }
    changed_.notify_all();
}

void CameraWorker::post(WorkerEvent event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    if (wake_) {
        wake_();
    }
}

void CameraWorker::run() {
    for (;;) {
        Command command;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !commands_.empty(); });
            if (stopping_) {
                break;
            }
            command = std::move(commands_.front());
            commands_.pop_front();
        }
        switch (command.kind) {
            case Command::Kind::Connect:
                command.outcome->set_value(openCamera(command.path, command.opening));
                break;
            case Command::Kind::Disconnect:
                closeCamera();
                --disconnectsPending_;
                post(
                    {.kind = WorkerEvent::Kind::Disconnected, .id = 0, .message = {}, .image = {}});
                break;
            case Command::Kind::Expose:
                runExposure(command.exposure);
                break;
        }
    }
    closeCamera();
    // Connections still queued are answered, so no one waits for ever.
    for (Command &command : commands_) {
        if (command.kind == Command::Kind::Connect) {
            ConnectOutcome refused;
            refused.error = "the driver is shutting down";
            command.outcome->set_value(refused);
        }
    }
}

bool CameraWorker::waitUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, until, [this] { return shouldLeaveExposure(); });
    return !shouldLeaveExposure();
}

bool CameraWorker::loadModule(const std::string &path, ConnectOutcome &outcome) {
    if (loaded_ && !cameraOpen_ && path == loadedPath_) {
        outcome = identity_;
        return true;
    }
    closeCamera();
    if (!loader_.load(path, api_, outcome.moduleError)) {
        outcome.error = "cannot use the driver module: " + outcome.moduleError;
        return false;
    }
    loaded_ = true;
    loadedPath_ = path;
    delivery_.forget();  // perhaps another camera, or another module
    const char *name = api_.GetName();
    const char *info = api_.GetInfo();
    outcome.driverName = name != nullptr ? name : "";
    outcome.driverInfo = info != nullptr ? info : "";
    outcome.modeNames = driverModeNames(api_);
    if (!checkModeSizes(api_, outcome.error)) {
        closeCamera();
        return false;
    }
    outcome.moduleLoaded = true;
    identity_ = outcome;
    return true;
}

ConnectOutcome CameraWorker::openCamera(const std::string &path, Opening opening) {
    ConnectOutcome outcome;
    if (!loadModule(path, outcome) || opening == Opening::ModuleOnly) {
        return outcome;
    }
    if (!connectCamera(api_, opening == Opening::CameraWithMessages, outcome.error)) {
        outcome.moduleLoaded = false;
        closeCamera();
        return outcome;
    }
    cameraOpen_ = true;
    outcome.connected = true;
    return outcome;
}

void CameraWorker::closeCamera() {
    if (!loaded_) {
        return;
    }
    api_.Finalize();
    loader_.unload();
    api_ = DriverApi{};
    loaded_ = false;
    cameraOpen_ = false;
    loadedPath_.clear();
}

void CameraWorker::runExposure(const ExposureRequest &request) {
    auto fail = [this, &request](std::string message) {
        post({.kind = WorkerEvent::Kind::ExposureFailed,
              .id = request.id,
              .message = std::move(message),
              .image = {}});
    };
    if (discarded(request.id)) {
        return;
    }
    if (!cameraOpen_) {
        fail("the camera is not connected");
        return;
    }
    std::string error;
    if (!selectWindow(api_, request.mode, request.window, request.geometry, error)) {
        fail(error);
        return;
    }
    const DeliveryKey key{
        .mode = request.mode, .width = request.window.width, .height = request.window.height};
    const std::chrono::milliseconds length(request.lengthMs);
    const auto startedUtc = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    if (api_.StartExposure(request.lengthMs, 0) == 0) {
        fail(
            "the driver refused to start the exposure (a frame it started earlier never "
            "arrived; reconnect the camera)");
        return;
    }
    post({.kind = WorkerEvent::Kind::ExposureStarted,
          .id = request.id,
          .message = {},
          .image = {},
          .time = startedUtc});

    // No module call until the frame is expected: each pending poll pauses
    // 200 ms, so a poll too early would deliver the frame up to 200 ms late.
    if (!waitUntil(start + delivery_.firstCheckAfter(key, length))) {
        return;  // the camera is about to be closed; the frame is abandoned
    }
    const auto limit = length + readoutMargin_;
    DeliveryChecks checks;
    checks.firstCheck = std::chrono::steady_clock::now() - start;
    for (auto check = checks.firstCheck;; check = std::chrono::steady_clock::now() - start) {
        if (shouldLeaveExposure()) {
            return;  // the camera is about to be closed; the frame is abandoned
        }
        if (api_.IsExposing() == 0) {
            checks.delivered = check;
            break;
        }
        checks.lastPending = check;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed > limit) {
            fail("no image from the camera after " +
                 seconds(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed)) +
                 " (exposure " + seconds(length) + " + " + seconds(readoutMargin_) +
                 " for readout)");
            return;
        }
    }
    delivery_.record(key, length, checks);
    if (discarded(request.id)) {
        post({.kind = WorkerEvent::Kind::FrameDiscarded,
              .id = request.id,
              .message = {},
              .image = {}});
        return;
    }
    std::vector<uint16_t> image(static_cast<size_t>(request.window.width) * request.window.height);
    downloadImage(api_, image);
    post({.kind = WorkerEvent::Kind::FrameReady,
          .id = request.id,
          .message = {},
          .image = std::move(image)});
}
