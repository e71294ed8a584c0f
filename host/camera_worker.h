// The one thread that calls the driver module. The module's calls block (a
// pending d_IsExposing pauses 200 ms) and must never run concurrently, so a
// host's own threads (the INDI event loop, an HTTP server's) hand every request
// to this thread and get results back as events, without ever waiting on the
// camera during an exposure.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
};

struct WorkerEvent {
    enum class Kind {
        ExposureStarted,  // d_StartExposure accepted the request
        FrameReady,       // `image` holds window.width x window.height samples
        ExposureFailed,   // `message` says why
        FrameDiscarded,   // an aborted exposure's frame arrived and was dropped
        Disconnected,     // the camera was closed and the module unloaded
    };
    Kind kind;
    uint64_t id = 0;
    std::string message;
    std::vector<uint16_t> image;
    // ExposureStarted: the moment just before d_StartExposure.
    std::chrono::system_clock::time_point time{};
};

class CameraWorker {
public:
    // `wake` is called on the worker thread whenever events are waiting.
    CameraWorker(ModuleLoader loader, std::function<void()> wake,
                 std::chrono::milliseconds readoutMargin = std::chrono::seconds(30));
    // Ends the thread after the call in progress; a connected camera is finalized.
    ~CameraWorker();

    CameraWorker(const CameraWorker &) = delete;
    CameraWorker &operator=(const CameraWorker &) = delete;

    // Loads the module (unless this module is loaded already and its camera
    // not open) and checks its modes; then, unless `opening` is ModuleOnly,
    // runs d_Initialize, d_SetupCCD (quiet unless CameraWithMessages), d_GetOK.
    std::future<ConnectOutcome> connect(const std::string &modulePath,
                                        Opening opening = Opening::Camera);
    // Abandons any exposure, runs d_Finalize and unloads the module.
    void disconnect();
    // Queued behind whatever the camera is doing.
    void expose(const ExposureRequest &request);
    // Every exposure requested so far is discarded: one not started yet never
    // starts; a running one is polled to completion (the module cannot stop
    // the camera) and its frame dropped. Later requests are untouched.
    void abort();

    std::vector<WorkerEvent> takeEvents();

private:
    struct Command {
        enum class Kind { Connect, Disconnect, Expose } kind;
        std::string path;
        std::shared_ptr<std::promise<ConnectOutcome>> outcome;
        ExposureRequest exposure;
        Opening opening = Opening::Camera;
    };

    void run();
    void push(Command command);
    void post(WorkerEvent event);
    bool discarded(uint64_t id) const { return id <= abortedUpTo_.load(); }
    bool shouldLeaveExposure() const { return stopping_.load() || disconnectsPending_.load() > 0; }

    ConnectOutcome openCamera(const std::string &path, Opening opening);
    bool loadModule(const std::string &path, ConnectOutcome &outcome);
    void closeCamera();
    void runExposure(const ExposureRequest &request);
    // Sleeps until `until` without calling the module; false when the camera
    // is about to be closed instead.
    bool waitUntil(std::chrono::steady_clock::time_point until);

    ModuleLoader loader_;
    std::function<void()> wake_;
    std::chrono::milliseconds readoutMargin_;

    // Worker thread only.
    DriverApi api_;
    bool loaded_ = false;
    bool cameraOpen_ = false;
    std::string loadedPath_;
    ConnectOutcome identity_;  // what the loaded module told of itself
    DeliveryEstimate delivery_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Command> commands_;
    std::vector<WorkerEvent> events_;
    uint64_t lastRequestedId_ = 0;
    std::atomic<uint64_t> abortedUpTo_{0};
    std::atomic<int> disconnectsPending_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
