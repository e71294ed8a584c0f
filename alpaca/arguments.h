// qm-alpaca's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "alpaca/camera_timing.h"
#include "host/camera_identity.h"

namespace alpaca {

struct Arguments {
    int port = 11111;  // 0: any free port
    std::string bindAddress = "0.0.0.0";
    bool discovery = true;
    std::string driverPath;  // empty: the environment, the configuration, then the default
    std::optional<double> pixelSizeMicrons;
    std::string configPath;  // empty: the default place
    double requestTimeoutSeconds = 5;
    double readoutMarginSeconds = kDefaultReadoutMargin.count() / 1000.0;
    double reconnectWaitSeconds = kDefaultReconnectWait.count() / 1000.0;
    bool help = false;
    bool version = false;
};

// False with a one-line reason for anything not understood.
bool parseArguments(const std::vector<std::string> &words, Arguments &arguments,
                    std::string &error);

std::string usageText();

}  // namespace alpaca
