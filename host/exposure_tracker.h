// What a client sees of one exposure at a time, over CameraWorker's events.
//
// Contract: a program asks begin() for a request (it checks the length and
// that no exposure is running, and gives the request a new id), hands the
// request to CameraWorker::expose, and passes every WorkerEvent it takes to
// onEvent(), which says what the event means for the exposure being tracked;
// events of aborted or older requests come back Stale and change nothing.
// phase(), percentDone() and secondsLeft() answer from the clock, which tests
// stand in for. Not thread-safe: the program calls it under its own lock or
// from its one event loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "host/camera_worker.h"
#include "host/frame_plan.h"

enum class ExposurePhase {
    Idle,      // nothing running (the last exposure's frame, if any, delivered)
    Waiting,   // requested, the camera has not started it yet
    Exposing,  // started, its length has not passed
    Reading,   // its length has passed, the frame has not arrived
    Error,     // the last exposure failed (failure() says why) until the next begins
               // or an abort
};

struct ExposureClock {
    std::function<std::chrono::steady_clock::time_point()> steadyNow =
        std::chrono::steady_clock::now;
    std::function<std::chrono::system_clock::time_point()> utcNow =
        std::chrono::system_clock::now;
};

// One exposure as it was asked for and taken.
struct TrackedExposure {
    uint64_t id = 0;
    double seconds = 0;
    FramePlan plan;
    // When the camera started it, as the worker stamped it just before
    // d_StartExposure (the request's time until then).
    std::chrono::system_clock::time_point startUtc;
    std::chrono::steady_clock::time_point startSteady;
    bool started = false;
};

class ExposureTracker {
public:
    explicit ExposureTracker(ExposureClock clock = {});

    // The request for CameraWorker::expose, or nullopt with a one-line reason:
    // a length outside 0 to kLongestExposureSeconds, or an exposure running.
    std::optional<ExposureRequest> begin(double seconds, const FramePlan &plan,
                                         std::string &error);
    // Stops tracking the running exposure (its later events are stale) and
    // forgets a failure: the camera is idle again, as after connecting. False
    // when no exposure was running.
    bool abort();
    // An id for another request to the same worker (live video's frames),
    // above every id given so far, so ids keep increasing across both.
    uint64_t takeId() { return ++lastId_; }

    enum class Meaning {
        Stale,    // of an aborted or older request, or a kind without meaning here
        Started,  // the camera started it: the start time is now the worker's stamp
        Frame,    // its frame: the exposure is done (lastExposure() describes it)
        Failed,   // it failed: failure() says why
    };
    Meaning onEvent(const WorkerEvent &event);

    ExposurePhase phase() const;
    bool running() const { return current_.has_value(); }
    // 0 to 100 while running (by time), 100 once a frame arrived, 0 before any;
    // nullopt after a failure.
    std::optional<int32_t> percentDone() const;
    // Seconds of the running exposure's length still to pass; 0 when none runs.
    double secondsLeft() const;

    const std::optional<TrackedExposure> &current() const { return current_; }
    // The latest exposure begun (running, done or failed): LastExposureDuration,
    // LastExposureStartTime, and DATE-OBS of its frame.
    const std::optional<TrackedExposure> &lastExposure() const { return last_; }
    bool frameDelivered() const { return frameDelivered_; }
    const std::string &failure() const { return failure_; }

private:
    ExposureClock clock_;
    uint64_t lastId_ = 0;
    std::optional<TrackedExposure> current_;
    std::optional<TrackedExposure> last_;
    bool frameDelivered_ = false;
    bool failed_ = false;
    std::string failure_;
};
