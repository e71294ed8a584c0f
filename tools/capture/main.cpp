// qm-capture: loads the camera driver as a host does and saves frames as FITS.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "host/driver_api.h"
#include "host/module_path.h"
#include "tools/capture/arguments.h"
#include "tools/capture/capture_session.h"

namespace {

std::atomic<bool> interruptRequested{false};

void onInterrupt(int) { interruptRequested = true; }

// One line on a terminal, rewritten in place; nothing when stderr is not one.
struct ProgressLine {
    bool shown = false;

    void show(uint32_t frame, uint32_t count, double elapsed, double exposure) {
        char text[160];
        if (elapsed < exposure) {
            std::snprintf(text, sizeof text,
                          "\rframe %u/%u: exposing %.1f s of %.1f s, %.1f s left ", frame, count,
                          elapsed, exposure, exposure - elapsed);
        } else {
            std::snprintf(text, sizeof text,
                          "\rframe %u/%u: reading out, %.1f s past the exposure ", frame, count,
                          elapsed - exposure);
        }
        std::fputs(text, stderr);
        std::fputs("\033[K", stderr);
        shown = true;
    }
    void clear() {
        if (shown) {
            std::fputs("\r\033[K", stderr);
            shown = false;
        }
    }
};

int fail(int status, const std::string &message) {
    std::fprintf(stderr, "qm-capture: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char **argv) {
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

    std::string driverPath = options.driverPath.empty() ? defaultDriverModulePath() : options.driverPath;
    // A bare file name means the file here, not a search of the library path.
    if (driverPath.find('/') == std::string::npos) {
        driverPath = "./" + driverPath;
    }
    DriverModule driver;
    if (!loadDriver(driverPath, driver, error)) {
        return fail(kExitFailure, "cannot use driver: " + error);
    }

    int status = kExitDone;
    if (options.command == Command::Version) {
        const char *name = driver.api.GetName();
        std::printf("driver: %s (%s)\n", name != nullptr ? name : "", driverPath.c_str());
    } else if (options.command == Command::List) {
        std::string listing;
        status = runList(driver.api, driverPath, options.showDriverMessages, listing, error);
        std::fputs(listing.c_str(), stdout);
    } else {
        std::signal(SIGINT, onInterrupt);
        std::signal(SIGTERM, onInterrupt);
        ProgressLine progress;
        CaptureEnvironment environment;
        environment.interrupted = &interruptRequested;
        if (isatty(STDERR_FILENO) != 0) {
            environment.progress = [&progress](uint32_t frame, uint32_t count, double elapsed,
                                               double exposure) {
                progress.show(frame, count, elapsed, exposure);
            };
        }
        status = runCapture(
            driver.api, options, environment,
            [&progress](const std::string &path) {
                progress.clear();
                std::printf("%s\n", path.c_str());
                std::fflush(stdout);
            },
            error);
        progress.clear();
    }
    unloadDriver(driver);
    if (status != kExitDone) {
        return fail(status, error);
    }
    return kExitDone;
}
