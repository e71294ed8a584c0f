#include "tools/capture/arguments.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

enum class Scope { Any, Capture };

struct OptionDefinition {
    const char *longName;
    char shortName;
    bool takesValue;
    Scope scope;
};

constexpr OptionDefinition kOptionDefinitions[] = {
    {"driver", 'd', true, Scope::Any},
    {"show-driver-messages", 0, false, Scope::Any},
    {"help", 'h', false, Scope::Any},
    {"version", 0, false, Scope::Any},
    {"mode", 'm', true, Scope::Capture},
    {"window", 'w', true, Scope::Capture},
    {"window-fraction", 'f', true, Scope::Capture},
    {"exposure", 'e', true, Scope::Capture},
    {"type", 't', true, Scope::Capture},
    {"pixel-size", 0, true, Scope::Capture},
    {"count", 'n', true, Scope::Capture},
    {"output", 'o', true, Scope::Capture},
    {"start-number", 0, true, Scope::Capture},
    {"png", 0, false, Scope::Capture},
    {"overwrite", 0, false, Scope::Capture},
    {"timeout-margin", 0, true, Scope::Capture},
    {"object", 0, true, Scope::Capture},
};

const OptionDefinition *findOption(const std::string &name, bool isShort) {
    for (const OptionDefinition &option : kOptionDefinitions) {
        if (isShort ? (option.shortName != 0 && name.size() == 1 && name[0] == option.shortName)
                    : name == option.longName) {
            return &option;
        }
    }
    return nullptr;
}

template <typename T>
bool parseWhole(const std::string &text, T &value) {
    const char *end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && at == end && !text.empty();
}

bool parseDecimal(const std::string &text, double &value) {
    // Plain decimals only: no signs, exponents, hex, inf or nan.
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    const char *end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    return ec == std::errc() && at == end;
}

bool applyOption(const OptionDefinition &option, const std::string &value, Options &options,
                 std::string &error) {
    const std::string name = std::string("--") + option.longName;
    const std::string key = option.longName;
    if (key == "driver") {
        if (value.empty()) {
            error = "--driver needs a path";
            return false;
        }
        options.driverPath = value;
    } else if (key == "show-driver-messages") {
        options.showDriverMessages = true;
    } else if (key == "help") {
        options.command = Command::Help;
    } else if (key == "version") {
        options.command = Command::Version;
    } else if (key == "mode") {
        if (value.empty()) {
            error = "--mode needs a mode number or name";
            return false;
        }
        options.mode = value;
    } else if (key == "window") {
        return parseWindow(value, WindowRequest::Kind::Pixels, options.window, error);
    } else if (key == "window-fraction") {
        return parseWindow(value, WindowRequest::Kind::Fractions, options.window, error);
    } else if (key == "exposure") {
        return parseSeconds(value, kMaxExposureMs, options.exposureMs, error);
    } else if (key == "type") {
        if (!frameTypeNamed(value, options.type)) {
            error = "--type must be light, dark, flat or bias, not '" + value + "'";
            return false;
        }
    } else if (key == "pixel-size") {
        if (!parseDecimal(value, options.pixelSizeMicrons) || options.pixelSizeMicrons <= 0 ||
            options.pixelSizeMicrons > kMaxPixelSizeMicrons) {
            error =
                "--pixel-size must be the sensor's pixel pitch in micrometres, above 0 and "
                "at most 100 (such as 3.75), not '" +
                value + "'";
            return false;
        }
    } else if (key == "count") {
        if (!parseWhole(value, options.count) || options.count < 1 ||
            options.count > kMaxFrameCount) {
            error = "--count must be a whole number from 1 to " + std::to_string(kMaxFrameCount);
            return false;
        }
    } else if (key == "output") {
        if (value.empty()) {
            error = "--output needs a file name template";
            return false;
        }
        options.output = value;
    } else if (key == "start-number") {
        if (!parseWhole(value, options.startNumber) || options.startNumber > 999999999999ull) {
            error = "--start-number must be a whole number from 0 to 999999999999";
            return false;
        }
    } else if (key == "png") {
        options.png = true;
    } else if (key == "overwrite") {
        options.overwrite = true;
    } else if (key == "timeout-margin") {
        return parseSeconds(value, 24 * 3600 * 1000, options.timeoutMarginMs, error);
    } else if (key == "object") {
        if (value.size() > 68 ||
            value.find_first_not_of(" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVW"
                                    "XYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~") !=
                std::string::npos) {
            error = "--object must be at most 68 printable ASCII characters";
            return false;
        }
        options.object = value;
    }
    return true;
}

}  // namespace

bool parseSeconds(const std::string &text, int32_t maxMs, int32_t &milliseconds,
                  std::string &error) {
    double seconds = 0;
    char limit[32];
    std::snprintf(limit, sizeof limit, "%.3f", maxMs / 1000.0);
    if (!parseDecimal(text, seconds)) {
        error = "'" + text + "' is not a length in seconds (such as 30 or 1.5)";
        return false;
    }
    const double ms = seconds * 1000.0;
    if (ms > maxMs) {
        error = "'" + text + "' seconds is longer than the longest allowed, " + limit + " s";
        return false;
    }
    if (std::fabs(ms - std::round(ms)) > 1e-6 * std::max(1.0, ms)) {
        error = "'" + text + "' seconds is finer than a millisecond";
        return false;
    }
    milliseconds = static_cast<int32_t>(std::llround(ms));
    return true;
}

bool parseWindow(const std::string &text, WindowRequest::Kind kind, WindowRequest &window,
                 std::string &error) {
    WindowRequest result;
    result.kind = kind;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = text.find(',', start);
        const bool last = i == 3;
        if (last != (comma == std::string::npos)) {
            error = "window '" + text + "' must be four values X,Y,W,H";
            return false;
        }
        const std::string field = text.substr(start, last ? std::string::npos : comma - start);
        bool ok = false;
        if (kind == WindowRequest::Kind::Pixels) {
            int32_t pixels = 0;
            ok = parseWhole(field, pixels) && pixels >= 0;
            result.values[i] = pixels;
        } else {
            ok = parseDecimal(field, result.values[i]);
        }
        if (!ok) {
            error = kind == WindowRequest::Kind::Pixels
                        ? "window '" + text + "' must be four whole binned pixel counts X,Y,W,H"
                        : "window fraction '" + text + "' must be four decimals X,Y,W,H in 0..1";
            return false;
        }
        start = comma + 1;
    }
    window = result;
    return true;
}

bool parseArguments(const std::vector<std::string> &arguments, Options &options,
                    std::string &error) {
    Options result;
    bool haveCommand = false;
    bool helpOrVersion = false;
    std::vector<const OptionDefinition *> captureOnly;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-') {
            if (haveCommand) {
                error = "unexpected argument '" + argument + "'";
                return false;
            }
            if (argument == "list") {
                result.command = Command::List;
            } else if (argument == "capture") {
                result.command = Command::Capture;
            } else if (argument == "help") {
                result.command = Command::Help;
            } else {
                error = "unknown command '" + argument + "' (commands: list, capture, help)";
                return false;
            }
            haveCommand = true;
            continue;
        }
        const bool isLong = argument.compare(0, 2, "--") == 0;
        std::string name = argument.substr(isLong ? 2 : 1);
        std::string value;
        bool inlineValue = false;
        if (isLong && name.find('=') != std::string::npos) {
            value = name.substr(name.find('=') + 1);
            name.erase(name.find('='));
            inlineValue = true;
        }
        const OptionDefinition *option = findOption(name, !isLong);
        if (option == nullptr) {
            error = "unknown option '" + argument + "' (see --help)";
            return false;
        }
        if (option->takesValue && !inlineValue) {
            if (i + 1 >= arguments.size()) {
                error = "option --" + std::string(option->longName) + " needs a value";
                return false;
            }
            value = arguments[++i];
        } else if (!option->takesValue && inlineValue) {
            error = "option --" + std::string(option->longName) + " takes no value";
            return false;
        }
        if (!applyOption(*option, value, result, error)) {
            return false;
        }
        if (option->scope == Scope::Capture) {
            captureOnly.push_back(option);
        }
        const std::string key = option->longName;
        helpOrVersion = helpOrVersion || key == "help" || key == "version";
    }
    if (helpOrVersion) {
        options = result;
        return true;
    }
    if (!haveCommand) {
        error = "no command given (commands: list, capture; see --help)";
        return false;
    }
    if (result.command == Command::List && !captureOnly.empty()) {
        error =
            "option --" + std::string(captureOnly.front()->longName) + " applies to capture only";
        return false;
    }
    const bool exposureGiven = std::any_of(
        captureOnly.begin(), captureOnly.end(),
        [](const OptionDefinition *o) { return std::string(o->longName) == "exposure"; });
    if (result.type == FrameType::Bias) {
        if (exposureGiven && result.exposureMs != 0) {
            error = "a bias frame is a zero-length exposure: leave out --exposure or give 0";
            return false;
        }
        result.exposureMs = 0;
    }
    options = result;
    return true;
}

std::string usageText() {
    return R"(qm-capture captures frames from the Vantrel QM-208X VESK camera through its
driver, D_QM208X.so, loaded as an imaging application loads it, and saves them
as FITS files (and PNG previews).

Usage: qm-capture list [--driver PATH]
  or:  qm-capture capture [--driver PATH] [options]

Commands:
  list                     driver name and info, camera status, binning modes
                           with their numbers, names and binned frame sizes
  capture                  expose and save frames as FITS (and PNG with --png)

Options:
  -d, --driver PATH        driver module (default: $QM_DRIVER_MODULE, then
                           D_QM208X.so beside qm-capture, else the installed one)
      --show-driver-messages
                           let the driver show its own "camera found" message
  -m, --mode MODE          binning mode: number 0-4 or (start of) its name,
                           e.g. 2 or "2x2 SW" (default 4, "1x1 HW cl/bw")
  -w, --window X,Y,W,H     subframe in pixels of the binned frame, any values
                           inside it: X from the left, Y from the top of the
                           image (earlier versions counted Y from the bottom)
  -f, --window-fraction X,Y,W,H
                           the same as fractions 0..1 of the frame, rounded
                           down to whole pixels (default: whole frame)
  -e, --exposure SECONDS   exposure length, e.g. 30 or 0.25 (default 1)
  -t, --type TYPE          light, dark, flat or bias (default light): the FITS
                           IMAGETYP; bias is a zero-length exposure; cover the
                           telescope for darks and biases yourself
      --pixel-size MICRONS
                           sensor pixel pitch: PIXSIZE1/PIXSIZE2, and the binned
                           pixel's XPIXSZ/YPIXSZ (default: none written)
  -n, --count N            number of frames (default 1)
  -o, --output TEMPLATE    file name template (default captures/qm_{n:04}_{utc}.fits)
                           tokens: {n} or {n:04} frame number, {utc} exposure
                           start (20261207T232013.123Z), {mode} mode number,
                           {type} frame type; numbering resumes past existing
                           files and skips numbers another program takes
      --start-number N     lowest frame number (default 1)
      --png                also save a debayered, stretched 8-bit PNG preview;
                           one that cannot be saved is a warning, the FITS stands
      --overwrite          replace existing files instead of refusing; numbering
                           then starts at --start-number instead of resuming
      --timeout-margin SECONDS
                           time allowed beyond the exposure for readout before
                           a frame is given up (default 30)
      --object NAME        OBJECT keyword
  -h, --help               this text
      --version            program version and the driver's name

Examples:
  qm-capture list
                           the driver, the camera and its binning modes
  qm-capture capture -m 2 -e 30 -n 20 --png -o 'm31/{type}_{n:03}.fits'
                           twenty 30 s frames of 2x2 binning, with previews
  qm-capture capture -m 2 -e 30 -n 20 -t dark -o 'cal/{type}_{n:03}.fits'
                           twenty darks to match (telescope covered)
  qm-capture capture -m 2 -n 50 -t bias -o 'cal/{type}_{n:03}.fits'
                           fifty bias frames
  qm-capture capture -m 4 -w 512,384,1024,768 -e 0.5 --pixel-size 3.75
                           one unbinned frame of the middle quarter

Interrupting:
  The first Ctrl-C (or SIGTERM) lets the frame in progress finish and be
  saved, then ends the sequence; a second one abandons that frame. A file is
  complete and on disk when its name is printed.

Simulated camera:
  With the simulated camera (libCCDVideoAPI.so of the qm208x simulated camera
  package) in place of the maker's SDK, these variables steer it:

  QM_SIM_TIME_SCALE        factor on the wall-clock wait of every exposure
                           (default 1; 0 delivers as soon as rendered)
  QM_SIM_SEED              seed of the star field and the noise, 0 to 4294967295
                           (default 20800)
  QM_SIM_FAULT             no-camera, initial-video, start-view, enable-ae or
                           never-completes: make the camera fail that way
  QM_SIM_NOISE             fresh (default): new noise in every exposure, repeated
                           by the same seed and exposure number since opening;
                           fixed: the same noise in every exposure
  QM_SIM_COVERED           1: telescope covered, no sky and no stars (default 0)

Exit status:
  0 done, 1 failure (camera, driver, exposure, file), 2 bad arguments,
  130 ended by an interrupt
)";
}
