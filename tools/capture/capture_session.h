// The two commands of qm-capture, run through the camera worker: the one
// thread that calls the driver module, which reports back in events.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/camera_worker.h"
#include "tools/capture/arguments.h"
#include "tools/capture/capture_window.h"

// Exit statuses of qm-capture.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadArguments = 2;
// Every frame asked for was saved, but some exposures failed on the way (the
// camera dropped out or stalled) and were taken again.
inline constexpr int kExitFramesRetaken = 3;
// The camera delivered no frame within --camera-wait of a failed exposure:
// the frames saved until then are kept.
inline constexpr int kExitCameraGone = 4;
inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

// What the capture loop needs from the world. `interrupted` abandons the
// frame in progress; `stopRequested` lets it finish and be saved, then ends
// the sequence, at once when no frame is in progress because the camera is
// awaited. Both are looked at as often as the progress is shown.
struct CaptureEnvironment {
    std::function<std::chrono::system_clock::time_point()> utcNow = std::chrono::system_clock::now;
    // Called while a frame is awaited, every 200 ms at most; empty for none.
    std::function<void(uint32_t frame, uint32_t count, double elapsedSeconds,
                       double exposureSeconds)>
        progress;
    // Called instead while the camera is awaited after a failed exposure.
    std::function<void(uint32_t frame, uint32_t count, double waitedSeconds, double limitSeconds)>
        waiting;
    const std::atomic<bool> *interrupted = nullptr;
    const std::atomic<bool> *stopRequested = nullptr;
    // Set while the camera is awaited (no frame in progress); may be null.
    std::atomic<bool> *awaitingCamera = nullptr;
};

// The worker's events as they come: `wake` is the worker's wake-up call, and
// `next` waits for events up to `timeout`.
class WorkerEvents {
public:
    std::function<void()> wake() {
        return [this] {
            {
                const std::lock_guard lock(mutex_);
                woken_ = true;
            }
            arrived_.notify_all();
        };
    }
    std::vector<WorkerEvent> next(CameraWorker &worker, std::chrono::milliseconds timeout) {
        {
            std::unique_lock lock(mutex_);
            arrived_.wait_for(lock, timeout, [this] { return woken_; });
            woken_ = false;
        }
        return worker.takeEvents();
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    bool woken_ = false;
};

// What a capture run tells its user while it goes on.
struct CaptureReports {
    // A saved file: FITS files on the calling thread, previews on the preview thread.
    std::function<void(const std::string &path)> saved;
    // Something that went wrong without ending the run, from either thread.
    std::function<void(const std::string &message)> warning;
    // The camera's part in the night, on the calling thread: a failed
    // exposure that will be taken again, the camera back.
    std::function<void(const std::string &message)> camera;
};

// The list command for the module at `driverPath`, which `module` describes
// (loaded by the worker with Opening::ModuleOnly); writes to `out`. Returns an
// exit status.
int runList(CameraWorker &worker, const std::string &driverPath, const ConnectOutcome &module,
            bool showMessages, std::string &out);

// The capture command, likewise. A failed exposure whose camera may answer
// again (it dropped out or stalled) is reported and taken again, so the files
// stay numbered without a gap; the sequence waits up to options.cameraWaitMs,
// from the first failure, for a frame. Returns an exit status; unless it is
// kExitDone, `error` holds the one-line reason.
int runCapture(CameraWorker &worker, WorkerEvents &events, const std::string &driverPath,
               const ConnectOutcome &module, const Options &options,
               const CaptureEnvironment &environment, const CaptureReports &reports,
               std::string &error);
