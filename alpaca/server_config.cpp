#include "alpaca/server_config.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

namespace alpaca {

namespace {

constexpr char kUniqueIdKey[] = "UniqueID";
constexpr char kPixelSizeKey[] = "PixelSizeMicrons";
constexpr char kDriverKey[] = "Driver";

std::string environment(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string defaultConfigPath() {
    namespace fs = std::filesystem;
#ifdef _WIN32
    const std::string base = environment("APPDATA");
    return base.empty() ? "" : (fs::path(base) / "qm208x" / "qm-alpaca.json").string();
#else
    std::string base = environment("XDG_CONFIG_HOME");
    if (base.empty()) {
        const std::string home = environment("HOME");
        if (home.empty()) {
            return "";
        }
        base = (fs::path(home) / ".config").string();
    }
    return (fs::path(base) / "qm208x" / "qm-alpaca.json").string();
#endif
}

bool loadConfig(const std::string &path, ServerConfig &config, std::string &error) {
    config = {};
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return true;
    }
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    if (!file) {
        error = "cannot read the configuration " + path;
        return false;
    }
    const nlohmann::json document = nlohmann::json::parse(text.str(), nullptr, false);
    if (!document.is_object()) {
        error = "the configuration " + path + " is not a JSON object";
        return false;
    }
    if (auto id = document.find(kUniqueIdKey); id != document.end() && id->is_string()) {
        config.uniqueId = id->get<std::string>();
    }
    if (auto size = document.find(kPixelSizeKey); size != document.end() && size->is_number()) {
        const double microns = size->get<double>();
        if (!pixelSizeAcceptable(microns)) {
            error = "the configuration " + path + " gives a pixel size outside 0 to 100 microns";
            return false;
        }
        config.pixelSizeMicrons = microns;
    }
    if (auto driver = document.find(kDriverKey); driver != document.end() && driver->is_string()) {
        config.driverPath = driver->get<std::string>();
    }
    return true;
}

bool saveConfig(const std::string &path, const ServerConfig &config, std::string &error) {
    namespace fs = std::filesystem;
    nlohmann::json document = nlohmann::json::object();
    document[kUniqueIdKey] = config.uniqueId;
    if (config.pixelSizeMicrons) {
        document[kPixelSizeKey] = *config.pixelSizeMicrons;
    }
    if (!config.driverPath.empty()) {
        document[kDriverKey] = config.driverPath;
    }
    const fs::path target(path);
    std::error_code ec;
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), ec);
    }
    const fs::path temporary = target.string() + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << document.dump(2) << '\n';
        file.flush();
        if (!file) {
            error = "cannot write " + temporary.string();
            return false;
        }
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        error = "cannot replace " + path + ": " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

std::string makeUniqueId() {
    std::random_device source;
    std::mt19937_64 generator((static_cast<uint64_t>(source()) << 32) ^ source());
    uint8_t bytes[16];
    for (uint8_t &byte : bytes) {
        byte = static_cast<uint8_t>(generator());
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

}  // namespace alpaca
