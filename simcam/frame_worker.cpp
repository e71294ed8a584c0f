#include "simcam/frame_worker.h"

#include <algorithm>
#include <new>

namespace simcam {

namespace {

// Longest wall-clock wait, about 31 years: keeps the clock arithmetic in range.
constexpr double kLongestWaitMilliseconds = 1e12;

}  // namespace

FrameWorker::~FrameWorker() { cancel(); }

bool FrameWorker::submit(const FrameRequest &request) {
    cancel();
    if (!request.delivers) {
        return true;
    }
    request_ = request;
    const double wait = std::clamp(request.waitMilliseconds, 0.0, kLongestWaitMilliseconds);
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double, std::milli>(wait));
    return thread_.start(&FrameWorker::run, this);
}

void FrameWorker::cancel() {
    stopThread();
    complete_.store(false);
}

void FrameWorker::dropUndelivered() { stopThread(); }

void FrameWorker::stopThread() {
    cancelled_.store(true);
    wake_.raise();
    thread_.join();
    cancelled_.store(false);
    wake_.clear();
}

void FrameWorker::prepare(uint32_t seed) {
    cancel();
    prepareField(seed);
}

bool FrameWorker::prepareField(uint32_t seed) {
    if (field_ != nullptr && field_->seed() == seed) {
        return true;
    }
    try {
        field_.reset();
        field_ = std::make_unique<StarField>(seed);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void FrameWorker::run(void *self) {
    auto &worker = *static_cast<FrameWorker *>(self);
    // Rendering is the readout: the frame is ready when the exposure ends.
    if (!worker.prepareField(worker.request_.seed)) {
        return;
    }
    try {
        if (!renderFrame(worker.request_.mode, *worker.field_, worker.request_.exposure,
                         worker.sensor_, &worker.cancelled_)) {
            return;
        }
    } catch (const std::bad_alloc &) {
        return;
    }
    const auto remaining = std::chrono::duration<double, std::milli>(
        worker.deadline_ - std::chrono::steady_clock::now());
    if (remaining.count() > 0.0 && worker.wake_.waitFor(remaining.count())) {
        return;
    }
    // cancel() joins this thread, so a cancel arriving past this test waits for
    // the write to finish: nothing is written after cancel() returns.
    if (worker.cancelled_.load()) {
        return;
    }
    writeFrame(worker.request_.mode, worker.sensor_, worker.request_.frame);
    worker.complete_.store(true, std::memory_order_release);
}

}  // namespace simcam
