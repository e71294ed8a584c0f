// qm-capture: loads the camera driver as a host does and saves frames as FITS.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/camera_worker.h"
#include "host/module_path.h"
#include "tools/capture/arguments.h"
#include "tools/capture/capture_session.h"

namespace {

// Set by the signal handler; lock-free, so safe to touch there.
std::atomic<bool> stopRequested{false};
std::atomic<bool> abandonRequested{false};
// Set by the capture loop while the camera is awaited: nothing to finish then.
std::atomic<bool> awaitingCamera{false};
bool stderrIsTerminal = false;

// Only async-signal-safe calls: the handler may run in the middle of anything.
void sayFromHandler(const char *text) {
    if (stderrIsTerminal) {
        (void)!write(STDERR_FILENO, "\r\033[K", 4);
    }
    (void)!write(STDERR_FILENO, text, std::strlen(text));
}

// The first interrupt lets the frame in progress finish and be saved, the
// second abandons it, a third ends the program the ordinary way.
void onInterrupt(int) {
    if (!stopRequested.exchange(true)) {
        sayFromHandler(awaitingCamera.load()
                           ? "qm-capture: stopping: no frame is in progress while the camera is "
                             "awaited\n"
                           : "qm-capture: stopping once the frame in progress is saved (interrupt "
                             "again to abandon it)\n");
        return;
    }
    abandonRequested = true;
    sayFromHandler("qm-capture: abandoning the frame in progress\n");
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// One line on a terminal, rewritten in place; nothing when stderr is not one.
struct ProgressLine {
    bool shown = false;

    void show(uint32_t frame, uint32_t count, double elapsed, double exposure, bool stopping) {
        char text[200];
        if (elapsed < exposure) {
            std::snprintf(text, sizeof text,
                          "\rframe %u/%u: exposing %.1f s of %.1f s, %.1f s left", frame, count,
                          elapsed, exposure, exposure - elapsed);
        } else {
            std::snprintf(text, sizeof text, "\rframe %u/%u: reading out, %.1f s past the exposure",
                          frame, count, elapsed - exposure);
        }
        std::fputs(text, stderr);
        if (stopping) {
            std::fputs("; the last frame (interrupt again to abandon it)", stderr);
        }
        std::fputs(" \033[K", stderr);
        shown = true;
    }
    void showWaiting(uint32_t frame, uint32_t count, double waited, double limit) {
        std::fprintf(stderr, "\rframe %u/%u: waiting for the camera, %.0f s of at most %.0f s \033[K",
                     frame, count, waited, limit);
        shown = true;
    }
    void clear() {
        if (shown) {
            std::fputs("\r\033[K", stderr);
            shown = false;
        }
    }
};

// Standard output and error, shared by the capture loop and the preview thread.
class Console {
public:
    void progress(uint32_t frame, uint32_t count, double elapsed, double exposure) {
        const std::lock_guard lock(mutex_);
        line_.show(frame, count, elapsed, exposure, stopRequested.load());
    }
    void waiting(uint32_t frame, uint32_t count, double waited, double limit) {
        const std::lock_guard lock(mutex_);
        line_.showWaiting(frame, count, waited, limit);
    }
    void saved(const std::string &path) {
        const std::lock_guard lock(mutex_);
        line_.clear();
        if (!listing_) {
            return;
        }
        // With SIGPIPE ignored, a reader gone away shows as a failed write:
        // the frames still count, so the run goes on without the listing.
        if (std::printf("%s\n", path.c_str()) < 0 || std::fflush(stdout) != 0) {
            listing_ = false;
            std::fprintf(stderr,
                         "qm-capture: warning: standard output is closed (%s); saved files are "
                         "no longer listed there\n",
                         std::strerror(errno));
        }
    }
    void warning(const std::string &message) {
        const std::lock_guard lock(mutex_);
        line_.clear();
        std::fprintf(stderr, "qm-capture: warning: %s\n", message.c_str());
    }
    void camera(const std::string &message) {
        const std::lock_guard lock(mutex_);
        line_.clear();
        std::fprintf(stderr, "qm-capture: %s\n", message.c_str());
    }
    void clear() {
        const std::lock_guard lock(mutex_);
        line_.clear();
    }

private:
    std::mutex mutex_;
    ProgressLine line_;
    bool listing_ = true;
};

int fail(int status, const std::string &message) {
    std::fprintf(stderr, "qm-capture: %s\n", message.c_str());
    return status;
}

int capture(CameraWorker &worker, WorkerEvents &events, const std::string &driverPath,
            const ConnectOutcome &module, const Options &options, std::string &error) {
    stderrIsTerminal = isatty(STDERR_FILENO) != 0;
    catchInterrupts();
    Console console;
    CaptureEnvironment environment;
    environment.interrupted = &abandonRequested;
    environment.stopRequested = &stopRequested;
    environment.awaitingCamera = &awaitingCamera;
    if (stderrIsTerminal) {
        environment.progress = [&console](uint32_t frame, uint32_t count, double elapsed,
                                          double exposure) {
            console.progress(frame, count, elapsed, exposure);
        };
        environment.waiting = [&console](uint32_t frame, uint32_t count, double waited,
                                         double limit) {
            console.waiting(frame, count, waited, limit);
        };
    }
    const CaptureReports reports{
        .saved = [&console](const std::string &path) { console.saved(path); },
        .warning = [&console](const std::string &message) { console.warning(message); },
        .camera = [&console](const std::string &message) { console.camera(message); },
    };
    const int status =
        runCapture(worker, events, driverPath, module, options, environment, reports, error);
    console.clear();
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    // Output to a closed pipe is an error to handle, not the end of a sequence.
    std::signal(SIGPIPE, SIG_IGN);
    // Every frame allocates and frees tens of megabytes (the frame, its FITS
    // file, its preview's stages). Kept in the heap, they are reused; mapped
    // afresh each time, their page faults and zeroing doubled what a preview
    // costs a sequence (bench/capture_sequence_bench.sh).
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    Options options;
    std::string error;
    if (!parseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        return fail(kExitBadArguments, error);
    }
    if (options.command == Command::Help) {
        std::fputs(usageText().c_str(), stdout);
        return kExitDone;
    }
    if (options.command == Command::Version) {
        std::printf("qm-capture %s\n", QM_CAPTURE_VERSION);
        std::fflush(stdout);
    }

    const std::string driverPath =
        findDriverModule({.option = options.driverPath, .configured = ""}).path;
    // The worker is the one caller of the module, for every command.
    WorkerEvents events;
    CameraWorker worker(dynamicModuleLoader(), events.wake(),
                        std::chrono::milliseconds(options.timeoutMarginMs));
    const ConnectOutcome module = worker.connect(driverPath, Opening::ModuleOnly).get();
    if (!module.moduleLoaded) {
        return fail(kExitFailure, module.moduleError.empty()
                                      ? module.error
                                      : "cannot use driver: " + module.moduleError);
    }

    int status = kExitDone;
    if (options.command == Command::Version) {
        std::printf("driver: %s (%s)\n", module.driverName.c_str(), driverPath.c_str());
    } else if (options.command == Command::List) {
        std::string listing;
        status = runList(worker, driverPath, module, options.showDriverMessages, listing);
        std::fputs(listing.c_str(), stdout);
    } else {
        status = capture(worker, events, driverPath, module, options, error);
    }
    if (status != kExitDone) {
        return fail(status, error);
    }
    return kExitDone;
}
