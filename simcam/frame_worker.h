// The frame in flight: one request at a time, rendered and delivered on the
// camera's own thread once its exposure time has passed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "simcam/preview_mode.h"
#include "simcam/sensor_frame.h"
#include "simcam/star_field.h"
#include "simcam/worker_thread.h"

namespace simcam {

struct FrameRequest {
    uint8_t *frame = nullptr;  // destination, kRawFrameBytes long
    PreviewMode mode = PreviewMode::FullFrame;
    Exposure exposure;              // its noise draw and cover included
    double waitMilliseconds = 0.0;  // wall-clock time until the frame is delivered
    uint32_t seed = kDefaultSeed;
    bool delivers = true;  // false: the frame never arrives
};

class FrameWorker {
public:
    FrameWorker() = default;
    ~FrameWorker();  // cancels
    FrameWorker(const FrameWorker &) = delete;
    FrameWorker &operator=(const FrameWorker &) = delete;

    // Cancels the pending request and starts this one. Returns false when the
    // camera's thread cannot be started; nothing is then pending.
    bool submit(const FrameRequest &request);

    // Drops the pending request. Once it returns, nothing more is written.
    void cancel();

    // Drops the pending request unless its frame is already written, which then
    // stays complete. Once it returns, nothing more is written.
    void dropUndelivered();

    // Drops the pending request and builds the star field of `seed` on the calling
    // thread, so that the first frame of that seed need not wait for it.
    void prepare(uint32_t seed);

    // True once the latest request's frame is entirely in its buffer.
    bool complete() const { return complete_.load(std::memory_order_acquire); }

private:
    static void run(void *self);
    void stopThread();
    bool prepareField(uint32_t seed);

    // Written before the thread starts, read by it.
    FrameRequest request_;
    std::chrono::steady_clock::time_point deadline_;

    std::atomic<bool> cancelled_{false};
    std::atomic<bool> complete_{false};
    WakeSignal wake_;
    WorkerThread thread_;

    // Used by the camera's thread, or by prepare() while none runs; kept from one
    // frame to the next.
    std::unique_ptr<StarField> field_;
    std::vector<uint16_t> sensor_;
};

}  // namespace simcam
