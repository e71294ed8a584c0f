// The simulated camera's only platform-specific part: one background thread and a
// signal it can wait on with a timeout. worker_thread_std.cpp builds them on the
// standard library's threads, worker_thread_win32.cpp on the Windows API (MinGW's
// default threading model has no std::thread).
#pragma once

#include <memory>

namespace simcam {

// Runs one task at a time on a thread of its own.
class WorkerThread {
public:
    using Task = void (*)(void *context);

    WorkerThread();
    ~WorkerThread();  // joins
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // Runs task(context) on a new thread. A task started before must have been
    // joined. Returns false, running nothing, when no thread can be created.
    bool start(Task task, void *context);

    // Waits for the task to return. Does nothing when none was started.
    void join();

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

// A flag one thread raises and another waits for.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    void raise();
    void clear();

    // Waits until the signal is raised or `milliseconds` have passed; true when
    // it was raised.
    bool waitFor(double milliseconds);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace simcam
