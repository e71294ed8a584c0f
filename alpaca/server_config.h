// What qm-alpaca keeps between runs, in one JSON file chosen by the person
// who starts the server (never by a network client): the device's UniqueID,
// made once, the pixel size, and optionally the driver module's path.
#pragma once

#include <optional>
#include <string>

#include "host/camera_identity.h"  // pixelSizeAcceptable

namespace alpaca {

struct ServerConfig {
    std::string uniqueId;
    std::optional<double> pixelSizeMicrons;
    std::string driverPath;  // empty: not set in the file
};

// $XDG_CONFIG_HOME/qm208x/qm-alpaca.json (or ~/.config/...), on Windows
// %APPDATA%\qm208x\qm-alpaca.json; empty when none of these is known.
std::string defaultConfigPath();


// Reads the file; a missing file gives an empty configuration. A file that
// exists but cannot be read or parsed is an error, so nothing overwrites it.
bool loadConfig(const std::string &path, ServerConfig &config, std::string &error);

// Writes the whole file through a temporary beside it and a rename, creating
// its folder when missing.
bool saveConfig(const std::string &path, const ServerConfig &config, std::string &error);

// A random version 4 UUID in its usual text form.
std::string makeUniqueId();

}  // namespace alpaca
