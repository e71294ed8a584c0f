#include "simcam/sim_settings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
