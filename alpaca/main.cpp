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

}  // namespace

int main(int argc, char **argv) {
    using namespace alpaca;
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

    // The configuration: only from the command line or the default place.
    const std::string configPath =
        arguments.configPath.empty() ? defaultConfigPath() : arguments.configPath;
    ServerConfig config;
    if (configPath.empty()) {
        logLine("no configuration file (no home folder known): the UniqueID lasts this run only");
    } else if (!loadConfig(configPath, config, error)) {
        std::fprintf(stderr, "qm-alpaca: %s\n", error.c_str());
        return 1;
    }
    bool changed = false;
    if (config.uniqueId.empty()) {
        config.uniqueId = makeUniqueId();
        changed = true;
    }
    if (arguments.pixelSizeMicrons && config.pixelSizeMicrons != arguments.pixelSizeMicrons) {
        config.pixelSizeMicrons = arguments.pixelSizeMicrons;
        changed = true;
    }
    std::mutex configMutex;
    if (changed && !configPath.empty() && !saveConfig(configPath, config, error)) {
        logLine("warning: " + error + " (settings last this run only)");
    }

    const std::string driverPath =
        findDriverModule({.option = arguments.driverPath, .configured = config.driverPath}).path;

    const auto milliseconds = [](double seconds) {
        return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    };
    CameraDevice device(dynamicModuleLoader(), driverPath, config.pixelSizeMicrons, logLine,
                        {.readoutMargin = milliseconds(arguments.readoutMarginSeconds),
                         .reconnectWait = milliseconds(arguments.reconnectWaitSeconds)});

    ServerOptions options;
    options.bindAddress = arguments.bindAddress;
    options.port = arguments.port;
    options.uniqueId = config.uniqueId;
    options.readTimeout =
        std::chrono::milliseconds(static_cast<int64_t>(arguments.requestTimeoutSeconds * 1000));
    options.savePixelSize = [&](double microns, std::string &why) {
        std::lock_guard lock(configMutex);
        if (configPath.empty()) {
            why = "no configuration file to save it in";
            return false;
        }
        ServerConfig updated = config;
        updated.pixelSizeMicrons = microns;
        if (!saveConfig(configPath, updated, why)) {
            return false;
        }
        config = updated;
        logLine("pixel size set to " + std::to_string(microns) + " microns");
        return true;
    };
#ifdef QM_ALPACA_PREVIEW
    options.previewPng = previewPngOf;
#endif
    AlpacaServer server(device, options);
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

    logLine("driver module " + driverPath + ", configuration " +
            (configPath.empty() ? "(none)" : configPath));
    std::printf("qm-alpaca: listening on %s:%d\n", arguments.bindAddress.c_str(), port);
    std::fflush(stdout);
    const bool served = server.run();
    serving = false;
    watcher.join();
    logLine("stopped");
    return served || stopRequested ? 0 : 1;
}
