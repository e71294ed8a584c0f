// The one thread that calls the driver module. The module's calls block (a
// pending d_IsExposing pauses 200 ms) and must never run concurrently, so a
// host's own threads (the INDI event loop, an HTTP server's) hand every request
// to this thread and get results back as events, without ever waiting on the
// camera during an exposure.
//
// A camera that stops answering is brought back without the program's help.
// When a frame has not arrived within the exposure's length and the readout
// margin, or the driver refuses to start an exposure, the worker fails that
// exposure (ExposureFailed, `recovering` set), reports CameraLost, and reopens
// the camera as a host application would: d_Finalize, the module unloaded (only
// a fresh load clears the driver's pending exposure), loaded again, d_Initialize,
// d_SetupCCD(quiet), d_GetOK. The first attempt follows at once; after each
// failed one (ReopenFailed) the next waits RecoveryTiming::firstInterval, doubling
// up to longestInterval, for as long as it takes. When one succeeds, CameraBack:
// exposures are taken again. Throughout, the program's connection stands: a
// connect() or disconnect() ends the reopening, and so does the destructor,
// each without waiting for more than the module call in progress.
//
// While the camera is away an exposure request fails at once (ExposureFailed,
// `recovering` set) unless it allows a wait (ExposureRequest::waitForCamera):
// it is then held, in order, and taken when the camera is back, or fails when
// its wait runs out. No request is ever retried by the worker, and a frame the
// camera delivered is read once and posted once (FrameReady) or, aborted,
// dropped once (FrameDiscarded).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/camera_identity.h"
#include "host/delivery_estimate.h"
#include "host/driver_api.h"
#include "host/host_window.h"

// How the worker obtains the module's exports; tests stand in a scripted set.
struct ModuleLoader {
    std::function<bool(const std::string &path, DriverApi &api, std::string &error)> load;
    std::function<void()> unload;
};

// Loads the module by path with dlopen, as qm-capture does.
ModuleLoader dynamicModuleLoader();

// How far a connect goes: the module alone (its identity and modes, to check
// a user's choices before the camera is touched), or the camera too.
enum class Opening { ModuleOnly, Camera, CameraWithMessages };

struct ConnectOutcome {
    bool connected = false;     // the camera is open
    bool moduleLoaded = false;  // the module is loaded and makes this camera's modes
    std::string error;          // why not, in one line
    std::string moduleError;    // why the module could not be loaded, when it could not
    std::string driverName;
    std::string driverInfo;
    std::vector<std::string> modeNames;
};

struct ExposureRequest {
    uint64_t id = 0;  // increasing from one request to the next
    int32_t lengthMs = 0;
    uint32_t mode = 0;
    PixelWindow window;  // driver coordinates
    ModeGeometry geometry;
    // How long, from expose(), the request may wait for a camera being reopened
    // to come back; 0 fails it at once while the camera is away.
    std::chrono::milliseconds waitForCamera{0};
};

// The pace of reopening a camera that stopped answering.
struct RecoveryTiming {
    std::chrono::milliseconds firstInterval = std::chrono::seconds(2);  // after the first failure
    std::chrono::milliseconds longestInterval = std::chrono::seconds(10);
};

struct WorkerEvent {
    enum class Kind {
        ExposureStarted,  // d_StartExposure accepted the request
        FrameReady,       // `image` holds window.width x window.height samples
        ExposureFailed,   // `message` says why
        FrameDiscarded,   // an aborted exposure's frame arrived and was dropped
        Disconnected,     // the camera was closed and the module unloaded
        // The camera's own events carry id 0; the connection stands throughout.
        CameraLost,    // it stopped answering (`message`: what happened); reopening begins
        ReopenFailed,  // attempt `attempt` failed (`message`: why, and when the next comes)
        CameraBack,    // reopened after `attempt` attempts: exposures are taken again
    };
    Kind kind;
    uint64_t id = 0;
    std::string message;
    std::vector<uint16_t> image;
    // ExposureStarted: the moment just before d_StartExposure, the shutter's
    // time however late the program handles the event. The camera's own
    // events: when it happened.
    std::chrono::system_clock::time_point time{};
    // ExposureStarted: the same moment on the steady clock, for the countdown.
    std::chrono::steady_clock::time_point steadyTime{};
    // ExposureFailed: the camera is away and being reopened, so the same request
    // may succeed after CameraBack.
    bool recovering = false;
    uint32_t attempt = 0;  // ReopenFailed, CameraBack: attempts so far, from 1
};

class CameraWorker {
public:
    // `wake` is called on the worker thread whenever events are waiting.
    CameraWorker(ModuleLoader loader, std::function<void()> wake,
                 std::chrono::milliseconds readoutMargin = kDefaultReadoutMargin,
                 RecoveryTiming recovery = {});
    // Ends the thread after the call in progress (a reopening is abandoned); a
    // connected camera is finalized.
    ~CameraWorker();

    CameraWorker(const CameraWorker &) = delete;
    CameraWorker &operator=(const CameraWorker &) = delete;

    // Loads the module (unless this module is loaded already and its camera
    // not open) and checks its modes; then, unless `opening` is ModuleOnly,
    // runs d_Initialize, d_SetupCCD (quiet unless CameraWithMessages), d_GetOK.
    // A camera that cannot be opened here is not reopened: the outcome says why.
    // During a reopening it takes the reopening's place (CameraBack follows when
    // it opens the camera).
    std::future<ConnectOutcome> connect(const std::string &modulePath,
                                        Opening opening = Opening::Camera);
    // Abandons any exposure and any reopening, runs d_Finalize and unloads the
    // module.
    void disconnect();
    // Queued behind whatever the camera is doing.
    void expose(const ExposureRequest &request);
    // Every exposure requested so far is discarded: one not started yet never
    // starts (nor one held for the camera's return); a running one is polled to
    // completion (the module cannot stop the camera) and its frame dropped.
    // Later requests are untouched. A reopening goes on.
    void abort();

    std::vector<WorkerEvent> takeEvents();

    // True from CameraLost until CameraBack (or a connect or disconnect).
    bool reopening() const { return reopening_.load(); }

private:
    struct Command {
        enum class Kind { Connect, Disconnect, Expose } kind;
        std::string path;
        std::shared_ptr<std::promise<ConnectOutcome>> outcome;
        ExposureRequest exposure;
        Opening opening = Opening::Camera;
        std::chrono::steady_clock::time_point queuedAt{};
    };

    // A camera that stopped answering, from CameraLost to CameraBack.
    struct Recovery {
        std::string path;    // the module to load again
        std::string reason;  // what happened, as CameraLost said it
        uint32_t attempts = 0;
        std::chrono::steady_clock::time_point nextAttempt;
        std::deque<Command> held;  // exposures waiting for the camera, in order
    };

    void run();
    void push(Command command);
    void post(WorkerEvent event);
    bool discarded(uint64_t id) const { return id <= abortedUpTo_.load(); }
    bool shouldLeaveExposure() const { return stopping_.load() || disconnectsPending_.load() > 0; }

    ConnectOutcome openCamera(const std::string &path, Opening opening);
    bool loadModule(const std::string &path, ConnectOutcome &outcome);
    void closeCamera();
    void runExposure(const Command &command);
    void loseCamera(const std::string &reason);
    // Fails held exposures whose wait has run out and, when it is due, makes
    // the next attempt to reopen the camera.
    void keepReopening();
    void attemptReopen();
    // Ends the reopening; held exposures go back to the front of the queue.
    void endRecovery();
    void holdOrRefuse(const Command &command);
    std::chrono::steady_clock::time_point nextWake() const;
    void failExposure(uint64_t id, std::string message, bool recovering);
    // Sleeps until `until` without calling the module; false when the camera
    // is about to be closed instead.
    bool waitUntil(std::chrono::steady_clock::time_point until);

    ModuleLoader loader_;
    std::function<void()> wake_;
    std::chrono::milliseconds readoutMargin_;
    RecoveryTiming recoveryTiming_;

    // Worker thread only.
    DriverApi api_;
    bool loaded_ = false;
    bool cameraOpen_ = false;
    std::string loadedPath_;
    ConnectOutcome identity_;  // what the loaded module told of itself
    DeliveryEstimate delivery_;
    std::optional<Recovery> recovery_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Command> commands_;
    std::vector<WorkerEvent> events_;
    uint64_t lastRequestedId_ = 0;
    std::atomic<uint64_t> abortedUpTo_{0};
    std::atomic<int> disconnectsPending_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> reopening_{false};
    std::thread thread_;
};
