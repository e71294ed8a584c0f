#include "simcam/sim_settings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "simcam/star_field.h"

namespace simcam {

namespace {

struct FaultName {
    std::string_view name;
    Fault fault;
};

constexpr FaultName kFaultNames[] = {
    {"no-camera", Fault::NoCamera},
    {"initial-video", Fault::InitialVideo},
    {"start-view", Fault::StartView},
    {"enable-ae", Fault::EnableAe},
    {"never-completes", Fault::NeverCompletes},
};

struct PresenceName {
    std::string_view name;
    Presence presence;
};

constexpr PresenceName kPresenceNames[] = {
    {"present", Presence::Present},
    {"absent", Presence::Absent},
    {"stall", Presence::Stalled},
};

// The control file as last read: it is read again only when one of these changes.
struct ControlFile {
    std::string path;
    std::filesystem::file_time_type modified{};
    std::uintmax_t size = 0;
    Presence presence = Presence::Present;
};

// Longest text read from the control file: a word and some white space.
constexpr std::streamsize kLongestControlText = 256;

// The unusable value last reported per variable: each is reported once, not at
// every call that reads it, and again only after the variable has changed.
std::map<std::string, std::string> &reportedValues() {
    static std::map<std::string, std::string> reported;
    return reported;
}

void reportUnusable(const char *variable, const char *value, const char *treatedAs) {
    const auto [entry, added] = reportedValues().try_emplace(variable, value);
    if (added || entry->second != value) {
        entry->second = value;
        std::fprintf(stderr, "simulated camera: ignoring %s=\"%s\", using %s\n", variable, value,
                     treatedAs);
    }
}

// The variable's parsed value, its default when unset or empty, and its default
// (reported) when unusable.
template <typename T, typename Parse>
T readVariable(const char *variable, T fallback, Parse parse, const char *fallbackText) {
    const char *value = std::getenv(variable);
    if (value == nullptr || *value == '\0') {
        reportedValues().erase(variable);
        return fallback;
    }
    if (const auto parsed = parse(value)) {
        reportedValues().erase(variable);
        return *parsed;
    }
    reportUnusable(variable, value, fallbackText);
    return fallback;
}

std::string_view firstWord(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_first_of(kSpace, first);
    return text.substr(first, end == std::string_view::npos ? std::string_view::npos : end - first);
}

ControlFile &controlFile() {
    static ControlFile file;
    return file;
}

Presence readControlFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(kLongestControlText, '\0');
    in.read(text.data(), kLongestControlText);
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (const auto presence = parsePresence(text)) {
        reportedValues().erase(kControlVariable);
        return *presence;
    }
    const std::string value = path + ": " + std::string(firstWord(text));
    reportUnusable(kControlVariable, value.c_str(), "present");
    return Presence::Present;
}

}  // namespace

std::optional<double> parseTimeScale(std::string_view text) {
    // from_chars, unlike strtod, ignores the host's locale.
    double value = 0.0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) ||
        value < 0.0) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> parseSeed(std::string_view text) {
    uint32_t value = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<Fault> parseFault(std::string_view text) {
    for (const FaultName &entry : kFaultNames) {
        if (entry.name == text) {
            return entry.fault;
        }
    }
    return std::nullopt;
}

std::optional<Noise> parseNoise(std::string_view text) {
    if (text == "fresh") {
        return Noise::Fresh;
    }
    if (text == "fixed") {
        return Noise::Fixed;
    }
    return std::nullopt;
}

std::optional<bool> parseCovered(std::string_view text) {
    if (text == "1") {
        return true;
    }
    if (text == "0") {
        return false;
    }
    return std::nullopt;
}

std::optional<Presence> parsePresence(std::string_view text) {
    const std::string_view word = firstWord(text);
    if (word.empty()) {
        return Presence::Present;
    }
    for (const PresenceName &entry : kPresenceNames) {
        if (entry.name == word) {
            return entry.presence;
        }
    }
    return std::nullopt;
}

Presence readPresence() {
    ControlFile &file = controlFile();
    const char *path = std::getenv(kControlVariable);
    if (path != nullptr && *path != '\0') {
        std::error_code error;
        const auto modified = std::filesystem::last_write_time(path, error);
        const auto size = error ? 0 : std::filesystem::file_size(path, error);
        if (!error) {
            if (file.path != path || file.modified != modified || file.size != size) {
                file = ControlFile{.path = path,
                                   .modified = modified,
                                   .size = size,
                                   .presence = readControlFile(path)};
            }
            return file.presence;
        }
    }
    // No control file: the camera is there.
    file = ControlFile{};
    return Presence::Present;
}

Fault readFault() { return readVariable(kFaultVariable, Fault::None, parseFault, "no fault"); }

SimSettings readSettings() {
    return {
        .timeScale = readVariable(kTimeScaleVariable, 1.0, parseTimeScale, "1"),
        .seed = readVariable(kSeedVariable, kDefaultSeed, parseSeed, "the default seed"),
        .fault = readFault(),
        .noise = readVariable(kNoiseVariable, Noise::Fresh, parseNoise, "fresh noise"),
        .covered = readVariable(kCoveredVariable, false, parseCovered, "0, not covered"),
    };
}

}  // namespace simcam
