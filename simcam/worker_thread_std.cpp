#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "simcam/worker_thread.h"

namespace simcam {

struct WorkerThread::Handle {
    std::thread thread;
};

WorkerThread::WorkerThread() : handle_(std::make_unique<Handle>()) {}

WorkerThread::~WorkerThread() { join(); }

bool WorkerThread::start(Task task, void *context) {
    try {
        handle_->thread = std::thread(task, context);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void WorkerThread::join() {
    if (handle_->thread.joinable()) {
        handle_->thread.join();
    }
}

struct WakeSignal::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool raised = false;
};

WakeSignal::WakeSignal() : state_(std::make_unique<State>()) {}

WakeSignal::~WakeSignal() = default;

void WakeSignal::raise() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->raised = true;
    }
    state_->changed.notify_all();
}

void WakeSignal::clear() {
    const std::lock_guard lock(state_->mutex);
    state_->raised = false;
}

bool WakeSignal::waitFor(double milliseconds) {
    std::unique_lock lock(state_->mutex);
    const auto timeout = std::chrono::duration<double, std::milli>(milliseconds);
    return state_->changed.wait_for(lock, timeout, [this] { return state_->raised; });
}

}  // namespace simcam
