// qm-alpaca: the QM-208X VESK camera as ASCOM Alpaca camera 0.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alpaca/alpaca_server.h"
#include "alpaca/arguments.h"
#include "alpaca/camera_device.h"
#include "alpaca/server_config.h"
#include "alpaca/windows/console_window.h"
#include "host/module_path.h"

#if __has_include("alpaca/discovery.h")
#include "alpaca/discovery.h"
#define QM_ALPACA_HAS_DISCOVERY 1
#endif
#ifdef QM_ALPACA_PREVIEW
#include "alpaca/preview_png.h"
#endif

using namespace alpaca;

namespace {

std::atomic<bool> stopRequested{false};

void onStopSignal(int) { stopRequested = true; }

std::mutex logMutex;

void logLine(const std::string &line) {
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char stamp[32];
    // Under the lock: localtime's result is shared by every thread.
    std::lock_guard lock(logMutex);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::fprintf(stderr, "%s qm-alpaca: %s\n", stamp, line.c_str());
    std::fflush(stderr);
}

// The saved settings: read only from the command line's file or the default
// place, and written back when the setup page changes them.
struct Settings {
    std::string path;  // empty: nowhere to save, the settings last this run only
    ServerConfig config;
    std::mutex mutex;  // the setup page saves from a request thread
};

// Reads the settings, gives a new server its UniqueID and takes the command
// line's pixel size; false with a reason when the file cannot be read.
bool loadSettings(const Arguments &arguments, Settings &settings, std::string &error) {
    settings.path = arguments.configPath.empty() ? defaultConfigPath() : arguments.configPath;
    if (settings.path.empty()) {
        logLine("no configuration file (no home folder known): the UniqueID lasts this run only");
    } else if (!loadConfig(settings.path, settings.config, error)) {
        return false;
    }
    bool changed = false;
    if (settings.config.uniqueId.empty()) {
        settings.config.uniqueId = makeUniqueId();
        changed = true;
    }
    if (arguments.pixelSizeMicrons &&
        settings.config.pixelSizeMicrons != arguments.pixelSizeMicrons) {
        settings.config.pixelSizeMicrons = arguments.pixelSizeMicrons;
        changed = true;
    }
    if (changed && !settings.path.empty() && !saveConfig(settings.path, settings.config, error)) {
        logLine("warning: " + error + " (settings last this run only)");
    }
    return true;
}

std::chrono::milliseconds milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

ServerOptions serverOptions(const Arguments &arguments, Settings &settings) {
    ServerOptions options;
    options.bindAddress = arguments.bindAddress;
    options.port = arguments.port;
    options.uniqueId = settings.config.uniqueId;
    options.readTimeout = milliseconds(arguments.requestTimeoutSeconds);
    options.savePixelSize = [&settings](double microns, std::string &why) {
        std::lock_guard lock(settings.mutex);
        if (settings.path.empty()) {
            why = "no configuration file to save it in";
            return false;
        }
        ServerConfig updated = settings.config;
        updated.pixelSizeMicrons = microns;
        if (!saveConfig(settings.path, updated, why)) {
            return false;
        }
        settings.config = updated;
        logLine("pixel size set to " + std::to_string(microns) + " microns");
        return true;
    };
#ifdef QM_ALPACA_PREVIEW
    options.previewPng = previewPngOf;
#endif
    return options;
}

// Serves until SIGINT, SIGTERM or the console window's close; false when the
// server stopped by itself.
bool serveUntilStopped(AlpacaServer &server, const Arguments &arguments,
                       int port) {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    dressConsoleWindow(consoleTitle(arguments.bindAddress, port), stopRequested);
    std::atomic<bool> serving{true};
    std::thread watcher([&] {
        while (serving && !stopRequested) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        server.stop();
    });
    std::printf("qm-alpaca: listening on %s:%d\n", arguments.bindAddress.c_str(), port);
    std::fflush(stdout);
    const bool served = server.run();
    serving = false;
    watcher.join();
    return served || stopRequested;
}

}  // namespace

int main(int argc, char **argv) {
    Arguments arguments;
    std::string error;
    if (!parseArguments(std::vector<std::string>(argv + 1, argv + argc), arguments, error)) {
        std::fprintf(stderr, "qm-alpaca: %s\n", error.c_str());
        return 2;
    }
    if (arguments.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (arguments.version) {
        std::printf("qm-alpaca %s\n", QM_ALPACA_VERSION);
        return 0;
    }
    Settings settings;
    if (!loadSettings(arguments, settings, error)) {
        std::fprintf(stderr, "qm-alpaca: %s\n", error.c_str());
        return 1;
    }

    const std::string driverPath = findDriverModule({.option = arguments.driverPath,
                                                     .configured = settings.config.driverPath})
                                       .path;
    CameraDevice device(dynamicModuleLoader(), driverPath, settings.config.pixelSizeMicrons,
                        logLine,
                        {.readoutMargin = milliseconds(arguments.readoutMarginSeconds),
                         .reconnectWait = milliseconds(arguments.reconnectWaitSeconds)});
    AlpacaServer server(device, serverOptions(arguments, settings));
    const int port = server.bind();
    if (port < 0) {
        std::fprintf(stderr, "qm-alpaca: %s\n", server.error().c_str());
        return 1;
    }
#ifdef QM_ALPACA_HAS_DISCOVERY
    std::unique_ptr<DiscoveryResponder> discovery;
    if (arguments.discovery) {
        discovery = std::make_unique<DiscoveryResponder>(static_cast<uint16_t>(port),
                                                         arguments.bindAddress);
        if (!discovery->running()) {
            logLine("warning: discovery is off: " + discovery->error());
        }
    }
#endif
    logLine("driver module " + driverPath + ", configuration " +
            (settings.path.empty() ? "(none)" : settings.path));
    const bool stoppedByRequest = serveUntilStopped(server, arguments, port);
    logLine("stopped");
    return stoppedByRequest ? 0 : 1;
}
