#include "alpaca/arguments.h"

#include "alpaca/alpaca_protocol.h"
#include "alpaca/server_config.h"

namespace alpaca {

bool parseArguments(const std::vector<std::string> &words, Arguments &arguments,
                    std::string &error) {
    arguments = {};
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= words.size()) {
                error = word + " needs a value";
                return false;
            }
            out = words[++i];
            return true;
        };
        std::string text;
        if (word == "--help" || word == "-h") {
            arguments.help = true;
        } else if (word == "--version") {
            arguments.version = true;
        } else if (word == "--no-discovery") {
            arguments.discovery = false;
        } else if (word == "--port") {
            uint32_t port = 0;
            if (!value(text)) return false;
            if (!parseUint32(text, port) || port > 65535) {
                error = "--port '" + text + "' is not a port number from 0 to 65535";
                return false;
            }
            arguments.port = static_cast<int>(port);
        } else if (word == "--bind") {
            if (!value(arguments.bindAddress)) return false;
            if (arguments.bindAddress.empty()) {
                error = "--bind needs an address";
                return false;
            }
        } else if (word == "--driver") {
            if (!value(arguments.driverPath)) return false;
            if (arguments.driverPath.empty()) {
                error = "--driver needs the path of D_QM208X";
                return false;
            }
        } else if (word == "--config") {
            if (!value(arguments.configPath)) return false;
            if (arguments.configPath.empty()) {
                error = "--config needs a file name";
                return false;
            }
        } else if (word == "--pixel-size") {
            double microns = 0;
            if (!value(text)) return false;
            if (!parseFiniteDouble(text, microns) || !pixelSizeAcceptable(microns)) {
                error = "--pixel-size '" + text + "' is not a size above 0 and at most 100 microns";
                return false;
            }
            arguments.pixelSizeMicrons = microns;
        } else if (word == "--timeout") {
            double seconds = 0;
            if (!value(text)) return false;
            if (!parseFiniteDouble(text, seconds) || seconds < 0.05 || seconds > 600) {
                error = "--timeout '" + text + "' is not a number of seconds from 0.05 to 600";
                return false;
            }
            arguments.requestTimeoutSeconds = seconds;
        } else if (word == "--readout-margin") {
            double seconds = 0;
            if (!value(text)) return false;
            if (!parseFiniteDouble(text, seconds) || seconds < 0.1 || seconds > 3600) {
                error =
                    "--readout-margin '" + text + "' is not a number of seconds from 0.1 to 3600";
                return false;
            }
            arguments.readoutMarginSeconds = seconds;
        } else {
            error = "unknown argument '" + word + "' (see --help)";
            return false;
        }
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
           "                     variable QM_DRIVER_MODULE, the configuration file, then the\n"
           "                     installed module)\n"
           "  --pixel-size UM    pixel size in microns, saved in the configuration file\n"
           "  --config FILE      configuration file (default ~/.config/qm208x/qm-alpaca.json,\n"
           "                     on Windows %APPDATA%\\qm208x\\qm-alpaca.json)\n"
           "  --timeout SECONDS  how long a client may fall silent in mid-request (default 5)\n"
           "  --readout-margin SECONDS\n"
           "                     how long past its length an exposure may take to arrive\n"
           "                     before it is reported failed (default 30)\n"
           "  --help             show this help and exit\n"
           "  --version          show the version and exit\n"
           "\n"
           "The Alpaca protocol has no authentication: anyone who can reach the port can use\n"
           "the camera. Use --bind to limit the server to one interface.\n"
           "Once listening, the server prints \"qm-alpaca: listening on ADDRESS:PORT\".\n";
}

}  // namespace alpaca
