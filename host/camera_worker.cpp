#include "host/camera_worker.h"

#include <algorithm>
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
                           std::chrono::milliseconds readoutMargin, RecoveryTiming recovery)
    : loader_(std::move(loader)),
      wake_(std::move(wake)),
      readoutMargin_(readoutMargin),
      recoveryTiming_(recovery) {
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
    push({.kind = Command::Kind::Expose,
          .path = {},
          .outcome = {},
          .exposure = request,
          .opening = Opening::Camera,
          .queuedAt = std::chrono::steady_clock::now()});
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
        if (recovery_ && disconnectsPending_.load() == 0) {
            keepReopening();
        }
        Command command;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this] { return stopping_ || !commands_.empty(); };
            if (recovery_) {
                changed_.wait_until(lock, nextWake(), ready);
            } else {
                changed_.wait(lock, ready);
            }
            if (stopping_) {
                break;
            }
            if (commands_.empty()) {
                continue;  // time for an attempt, or a held exposure's wait ran out
            }
            command = std::move(commands_.front());
            commands_.pop_front();
        }
        switch (command.kind) {
            case Command::Kind::Connect: {
                const bool wasReopening = recovery_.has_value();
                endRecovery();
                ConnectOutcome outcome = openCamera(command.path, command.opening);
                if (wasReopening && outcome.connected) {
                    post({.kind = WorkerEvent::Kind::CameraBack,
                          .id = 0,
                          .message = "the camera was opened again by a new connection",
                          .image = {},
                          .time = std::chrono::system_clock::now()});
                }
                command.outcome->set_value(std::move(outcome));
                break;
            }
            case Command::Kind::Disconnect:
                endRecovery();
                closeCamera();
                --disconnectsPending_;
                post(
                    {.kind = WorkerEvent::Kind::Disconnected, .id = 0, .message = {}, .image = {}});
                break;
            case Command::Kind::Expose:
                if (recovery_) {
                    holdOrRefuse(command);
                } else {
                    runExposure(command);
                }
                break;
        }
    }
    recovery_.reset();
    reopening_ = false;
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

void CameraWorker::failExposure(uint64_t id, std::string message, bool recovering) {
    post({.kind = WorkerEvent::Kind::ExposureFailed,
          .id = id,
          .message = std::move(message),
          .image = {},
          .time = {},
          .recovering = recovering});
}

void CameraWorker::loseCamera(const std::string &reason) {
    recovery_ = Recovery{.path = loadedPath_,
                         .reason = reason,
                         .attempts = 0,
                         .nextAttempt = std::chrono::steady_clock::now(),
                         .held = {}};
    reopening_ = true;
    post({.kind = WorkerEvent::Kind::CameraLost,
          .id = 0,
          .message = reason,
          .image = {},
          .time = std::chrono::system_clock::now()});
}

std::chrono::steady_clock::time_point CameraWorker::nextWake() const {
    auto wake = recovery_->nextAttempt;
    for (const Command &held : recovery_->held) {
        wake = std::min(wake, held.queuedAt + held.exposure.waitForCamera);
    }
    return wake;
}

void CameraWorker::holdOrRefuse(const Command &command) {
    const ExposureRequest &request = command.exposure;
    if (discarded(request.id)) {
        return;
    }
    if (std::chrono::steady_clock::now() < command.queuedAt + request.waitForCamera) {
        recovery_->held.push_back(command);
        return;
    }
    failExposure(request.id,
                 request.waitForCamera.count() > 0
                     ? "the camera did not come back within " + seconds(request.waitForCamera) +
                           " (" + recovery_->reason + ")"
                     : "the camera is away and being reopened (" + recovery_->reason + ")",
                 true);
}

void CameraWorker::keepReopening() {
    const auto now = std::chrono::steady_clock::now();
    std::deque<Command> waiting;
    for (Command &held : recovery_->held) {
        if (discarded(held.exposure.id)) {
            continue;  // aborted: it never starts
        }
        if (now >= held.queuedAt + held.exposure.waitForCamera) {
            holdOrRefuse(held);
        } else {
            waiting.push_back(std::move(held));
        }
    }
    recovery_->held.swap(waiting);
    if (now >= recovery_->nextAttempt) {
        attemptReopen();
    }
}

void CameraWorker::attemptReopen() {
    const uint32_t attempt = ++recovery_->attempts;
    // Only a fresh load of the module forgets the exposure whose frame never came.
    closeCamera();
    ConnectOutcome outcome;
    if (loadModule(recovery_->path, outcome) && connectCamera(api_, false, outcome.error)) {
        cameraOpen_ = true;
        endRecovery();
        post({.kind = WorkerEvent::Kind::CameraBack,
              .id = 0,
              .message = "the camera answers again",
              .image = {},
              .time = std::chrono::system_clock::now(),
              .recovering = false,
              .attempt = attempt});
        return;
    }
    closeCamera();
    // 1, 2, 4 ... times the first interval, up to the longest.
    auto interval = recoveryTiming_.firstInterval;
    for (uint32_t i = 1; i < attempt && interval < recoveryTiming_.longestInterval; ++i) {
        interval *= 2;
    }
    interval = std::min(interval, recoveryTiming_.longestInterval);
    recovery_->nextAttempt = std::chrono::steady_clock::now() + interval;
    post({.kind = WorkerEvent::Kind::ReopenFailed,
          .id = 0,
          .message = "the camera could not be opened (" + outcome.error + "); trying again in " +
                     seconds(interval),
          .image = {},
          .time = std::chrono::system_clock::now(),
          .recovering = false,
          .attempt = attempt});
}

void CameraWorker::endRecovery() {
    if (!recovery_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        commands_.insert(commands_.begin(), std::make_move_iterator(recovery_->held.begin()),
                         std::make_move_iterator(recovery_->held.end()));
    }
    recovery_.reset();
    reopening_ = false;
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

void CameraWorker::runExposure(const Command &command) {
    const ExposureRequest &request = command.exposure;
    auto fail = [this, &request](std::string message) {
        failExposure(request.id, std::move(message), false);
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
        // The driver refuses only while it still waits for an earlier frame.
        failExposure(request.id, "the driver refused to start the exposure; reopening the camera",
                     true);
        loseCamera("the driver refused to start an exposure");
        return;
    }
    post({.kind = WorkerEvent::Kind::ExposureStarted,
          .id = request.id,
          .message = {},
          .image = {},
          .time = startedUtc,
          .steadyTime = start});

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
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed);
            failExposure(request.id,
                         "no image from the camera after " + seconds(waited) + " (exposure " +
                             seconds(length) + " + " + seconds(readoutMargin_) +
                             " for readout); reopening the camera",
                         true);
            loseCamera("no frame within " + seconds(readoutMargin_) + " of the exposure's end");
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
