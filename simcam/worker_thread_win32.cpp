#include <windows.h>

#include <algorithm>
#include <cmath>

#include "simcam/worker_thread.h"

namespace simcam {

namespace {

struct ThreadStart {
    WorkerThread::Task task;
    void *context;
    HMODULE module;
};

DWORD WINAPI runTask(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart *>(parameter);
    delete static_cast<ThreadStart *>(parameter);
    start.task(start.context);
    // The thread holds a reference to this module, so that a host unloading it
    // while a task runs leaves the code in place until the task has returned.
    FreeLibraryAndExitThread(start.module, 0);
}

}  // namespace

struct WorkerThread::Handle {
    HANDLE thread = nullptr;
    DWORD id = 0;
};

WorkerThread::WorkerThread() : handle_(std::make_unique<Handle>()) {}

WorkerThread::~WorkerThread() { join(); }

bool WorkerThread::start(Task task, void *context) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&runTask), &module)) {
        return false;
    }
    auto *start = new ThreadStart{task, context, module};
    handle_->thread = CreateThread(nullptr, 0, runTask, start, 0, &handle_->id);
    if (handle_->thread == nullptr) {
        delete start;
        FreeLibrary(module);
        return false;
    }
    return true;
}

void WorkerThread::join() {
    if (handle_->thread == nullptr) {
        return;
    }
    // The last reference to the module can be the worker's own: its unloading then
    // runs on the worker, which must not wait for itself.
    if (handle_->id != GetCurrentThreadId()) {
        WaitForSingleObject(handle_->thread, INFINITE);
    }
    CloseHandle(handle_->thread);
    handle_->thread = nullptr;
    handle_->id = 0;
}

struct WakeSignal::State {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

WakeSignal::WakeSignal() : state_(std::make_unique<State>()) {}

WakeSignal::~WakeSignal() {
    if (state_->event != nullptr) {
        CloseHandle(state_->event);
    }
}

void WakeSignal::raise() { SetEvent(state_->event); }

void WakeSignal::clear() { ResetEvent(state_->event); }

bool WakeSignal::waitFor(double milliseconds) {
    // WaitForSingleObject takes at most 2^32 - 2 milliseconds: wait in hours.
    constexpr double kLongestWait = 3600.0 * 1000.0;
    double remaining = std::ceil(std::max(milliseconds, 0.0));
    do {
        const double chunk = std::min(remaining, kLongestWait);
        if (WaitForSingleObject(state_->event, static_cast<DWORD>(chunk)) == WAIT_OBJECT_0) {
            return true;
        }
        remaining -= chunk;
    } while (remaining > 0.0);
    return false;
}

}  // namespace simcam
