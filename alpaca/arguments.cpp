// The words are split by CLI11 (Debian's libcli11-dev, header-only, also in
// the Windows build): option names, values given as "--port 5" or
// "--port=5", unknown words. Each value is checked here, so the reasons and
// the help text stay this program's own.
#include "alpaca/arguments.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "alpaca/alpaca_protocol.h"
#include "alpaca/server_config.h"
#include "host/camera_identity.h"

namespace alpaca {

namespace {

// A value refused: CLI11 stops and hands the reason back unchanged.
[[noreturn]] void refuse(const std::string &reason) { throw CLI::ValidationError(reason); }

double seconds(const std::string &option, const std::string &text, double least, double most) {
    double value = 0;
    if (!parseFiniteDouble(text, value) || value < least || value > most) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", least, most);
        refuse(option + " '" + text + "' is not a number of seconds from " + range);
    }
    return value;
}

}  // namespace

bool parseArguments(const std::vector<std::string> &words, Arguments &arguments,
                    std::string &error) {
    arguments = {};
    CLI::App app;
    app.set_help_flag();  // --help prints usageText(), our own
    app.allow_extras();   // and unknown words are named below
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    Arguments &a = arguments;
    app.add_flag("-h,--help", a.help);
    app.add_flag("--version", a.version);
    app.add_flag_callback("--no-discovery", [&a] { a.discovery = false; });
    const auto text = [&app](const char *name, std::function<void(const std::string &)> take) {
        app.add_option_function<std::string>(name, std::move(take));
    };
    text("--port", [&a](const std::string &value) {
        uint32_t port = 0;
        if (!parseUint32(value, port) || port > 65535) {
            refuse("--port '" + value + "' is not a port number from 0 to 65535");
        }
        a.port = static_cast<int>(port);
    });
    text("--bind", [&a](const std::string &value) {
        if (value.empty()) refuse("--bind needs an address");
        a.bindAddress = value;
    });
    text("--driver", [&a](const std::string &value) {
        if (value.empty()) refuse("--driver needs the path of D_QM208X");
        a.driverPath = value;
    });
    text("--config", [&a](const std::string &value) {
        if (value.empty()) refuse("--config needs a file name");
        a.configPath = value;
    });
    text("--pixel-size", [&a](const std::string &value) {
        double microns = 0;
        if (!parseFiniteDouble(value, microns) || !pixelSizeAcceptable(microns)) {
            refuse("--pixel-size '" + value + "' is not a size above 0 and at most 100 microns");
        }
        a.pixelSizeMicrons = microns;
    });
    text("--timeout", [&a](const std::string &value) {
        a.requestTimeoutSeconds = seconds("--timeout", value, 0.05, 600);
    });
    text("--readout-margin", [&a](const std::string &value) {
        a.readoutMarginSeconds =
            seconds("--readout-margin", value, kShortestReadoutMargin.count() / 1000.0,
                    kLongestReadoutMargin.count() / 1000.0);
    });
    text("--reconnect-wait", [&a](const std::string &value) {
        a.reconnectWaitSeconds =
            seconds("--reconnect-wait", value, 0, kLongestReconnectWait.count() / 1000.0);
    });

    std::vector<std::string> reversed(words.rbegin(), words.rend());  // CLI11 takes them so
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch &e) {
        // "--port: 1 required TEXT missing": the option's name comes first.
        const std::string what = e.what();
        error = what.substr(0, what.find(':')) + " needs a value";
        return false;
    } catch (const CLI::ParseError &e) {
        error = e.what();
        return false;
    }
    if (!app.remaining().empty()) {
        error = "unknown argument '" + app.remaining().front() + "' (see --help)";
        return false;
    }
    return true;
}

std::string usageText() {
    return "Usage: qm-alpaca [OPTION]...\n"
           "Serve the Vantrel QM-208X VESK camera to ASCOM clients over the network (ASCOM Alpaca\n"
           "camera 0, with discovery, the management API and a setup page at /setup).\n"
           "\n"
           "  --port N           TCP port of the Alpaca API (default 11111; 0 picks a free one)\n"
           "  --bind ADDRESS     listen only on this address (default 0.0.0.0: every IPv4\n"
           "                     interface); 127.0.0.1 keeps the camera to this computer\n"
           "  --no-discovery     do not answer Alpaca discovery (UDP port 32227)\n"
           "  --driver PATH      the driver module D_QM208X to load (default: the environment\n"
           "                     variable QM_DRIVER_MODULE, the configuration file, the module\n"
           "                     beside qm-alpaca, then the installed module)\n"
           "  --pixel-size UM    pixel size in microns, saved in the configuration file\n"
           "  --config FILE      configuration file (default ~/.config/qm208x/qm-alpaca.json,\n"
           "                     on Windows %APPDATA%\\qm208x\\qm-alpaca.json)\n"
           "  --timeout SECONDS  how long a client may fall silent in mid-request (default 5)\n"
           "  --readout-margin SECONDS\n"
           "                     how long past its length an exposure may take to arrive\n"
           "                     before it is reported failed (default 30)\n"
           "  --reconnect-wait SECONDS\n"
           "                     while a camera that stopped answering is being reconnected,\n"
           "                     how long an exposure started meanwhile waits for it before it\n"
           "                     is reported failed (default 30; 0: StartExposure is refused)\n"
           "  --help             show this help and exit\n"
           "  --version          show the version and exit\n"
           "\n"
           "The Alpaca protocol has no authentication: anyone who can reach the port can use\n"
           "the camera. Use --bind to limit the server to one interface.\n"
           "Once listening, the server prints \"qm-alpaca: listening on ADDRESS:PORT\".\n";
}

}  // namespace alpaca
