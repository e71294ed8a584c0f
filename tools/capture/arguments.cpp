// The words are split by CLI11 (Debian's libcli11-dev, header-only), as
// qm-alpaca's are: option names, values given as "-m 2", "--mode 2" or
// "--mode=2", flags, unknown words. Each value is checked here, so the reasons
// and the help text stay this program's own.
#include "tools/capture/arguments.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

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

// A value refused: the reason reaches the user unchanged.
struct Refusal {
    std::string reason;
};

void check(bool ok, const std::string &reason) {
    if (!ok) {
        throw Refusal{reason};
    }
}

bool printableAscii(const std::string &text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

// CLI11's reason for a word it could not take, as this program says it.
std::string reasonOf(const CLI::ArgumentMismatch &e) {
    const std::string what = e.what();
    // "--mode: 1 required TEXT missing", "--png was given a disallowed flag override"
    std::string name = what.substr(0, what.find_first_of(": "));
    if (name.rfind('-', 0) != 0) {
        name = "--" + name;  // a flag is named without its dashes there
    }
    if (what.find("flag override") != std::string::npos) {
        return "option " + name + " takes no value";
    }
    return "option " + name + " needs a value";
}

// The options, each checking its value as CLI11 hands it over, every time it
// is given (the last one counts). `captureOnly` collects those list refuses.
class OptionTable {
public:
    OptionTable(CLI::App &app, Options &options) : app_(app), o_(options) {}

    void flag(const char *names, bool &value, bool forCapture) {
        CLI::Option *option = app_.add_flag(names, value)->disable_flag_override();
        if (forCapture) {
            captureOnly.push_back(option);
        }
    }
    CLI::Option *value(const char *names, bool forCapture,
                       std::function<void(const std::string &)> take) {
        CLI::Option *option = app_.add_option(names)->check(CLI::Validator(
            [take = std::move(take)](std::string &text) {
                take(text);
                return std::string();
            },
            ""));
        if (forCapture) {
            captureOnly.push_back(option);
        }
        return option;
    }
    void addAll();
    // Values are checked option by option; of --window and --window-fraction
    // the one given last counts.
    void takeLastWindow(const std::vector<CLI::Option *> &order) {
        const auto last = std::find_if(order.rbegin(), order.rend(), [this](CLI::Option *o) {
            return o == window || o == windowFraction;
        });
        if (last != order.rend()) {
            std::string unused;  // checked already
            parseWindow(
                (*last)->results().back(),
                *last == window ? WindowRequest::Kind::Pixels : WindowRequest::Kind::Fractions,
                o_.window, unused);
        }
    }

    std::vector<CLI::Option *> captureOnly;
    CLI::Option *exposure = nullptr;
    CLI::Option *window = nullptr;
    CLI::Option *windowFraction = nullptr;

private:
    CLI::App &app_;
    Options &o_;
};

void OptionTable::addAll() {
    Options &o = o_;
    flag("--show-driver-messages", o.showDriverMessages, false);
    value("-d,--driver", false, [&o](const std::string &v) {
        check(!v.empty(), "--driver needs a path");
        o.driverPath = v;
    });
    value("-m,--mode", true, [&o](const std::string &v) {
        check(!v.empty(), "--mode needs a mode number or name");
        o.mode = v;
    });
    window = value("-w,--window", true, [&o](const std::string &v) {
        std::string error;
        check(parseWindow(v, WindowRequest::Kind::Pixels, o.window, error), error);
    });
    windowFraction = value("-f,--window-fraction", true, [&o](const std::string &v) {
        std::string error;
        check(parseWindow(v, WindowRequest::Kind::Fractions, o.window, error), error);
    });
    exposure = value("-e,--exposure", true, [&o](const std::string &v) {
        std::string error;
        check(parseSeconds(v, kMaxExposureMs, o.exposureMs, error), error);
    });
    value("-t,--type", true, [&o](const std::string &v) {
        check(frameTypeNamed(v, o.type),
              "--type must be light, dark, flat or bias, not '" + v + "'");
    });
    value("--pixel-size", true, [&o](const std::string &v) {
        check(parseDecimal(v, o.pixelSizeMicrons) && pixelSizeAcceptable(o.pixelSizeMicrons),
              "--pixel-size must be the sensor's pixel pitch in micrometres, above 0 and at most "
              "100 (such as 3.75), not '" +
                  v + "'");
    });
    value("-n,--count", true, [&o](const std::string &v) {
        check(parseWhole(v, o.count) && o.count >= 1 && o.count <= kMaxFrameCount,
              "--count must be a whole number from 1 to " + std::to_string(kMaxFrameCount));
    });
    value("-o,--output", true, [&o](const std::string &v) {
        check(!v.empty(), "--output needs a file name template");
        o.output = v;
    });
    value("--start-number", true, [&o](const std::string &v) {
        check(parseWhole(v, o.startNumber) && o.startNumber <= 999999999999ull,
              "--start-number must be a whole number from 0 to 999999999999");
    });
    flag("--png", o.png, true);
    flag("--overwrite", o.overwrite, true);
    value("--timeout-margin", true, [&o](const std::string &v) {
        std::string error;
        const auto longest = static_cast<int32_t>(kLongestReadoutMargin.count());
        const bool ok = parseSeconds(v, longest, o.timeoutMarginMs, error);
        check(ok, "--timeout-margin: " + error);
        check(o.timeoutMarginMs >= kShortestReadoutMargin.count(),
              "--timeout-margin: '" + v + "' seconds is shorter than the shortest allowed, 0.1 s");
    });
    value("--camera-wait", true, [&o](const std::string &v) {
        std::string error;
        const bool ok = parseSeconds(v, kLongestWaitMs, o.cameraWaitMs, error);
        check(ok, "--camera-wait: " + error);
    });
    value("--object", true, [&o](const std::string &v) {
        check(v.size() <= 68 && printableAscii(v),
              "--object must be at most 68 printable ASCII characters");
        o.object = v;
    });
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

namespace {

// The command among the words CLI11 did not take, or false with the reason.
bool takeCommand(const std::vector<std::string> &words, Options &options, bool &haveCommand,
                 std::string &error) {
    for (const std::string &word : words) {
        if (word.size() >= 2 && word[0] == '-') {
            error = "unknown option '" + word + "' (see --help)";
            return false;
        }
        if (haveCommand) {
            error = "unexpected argument '" + word + "'";
            return false;
        }
        if (word == "list") {
            options.command = Command::List;
        } else if (word == "capture") {
            options.command = Command::Capture;
        } else if (word == "help") {
            options.command = Command::Help;
        } else if (word == "version") {
            options.command = Command::Version;
        } else {
            error = "unknown command '" + word + "' (commands: list, capture, help)";
            return false;
        }
        haveCommand = true;
    }
    return true;
}

}  // namespace

bool parseArguments(const std::vector<std::string> &arguments, Options &options,
                    std::string &error) {
    Options result;
    CLI::App app;
    app.set_help_flag();  // --help prints usageText(), our own
    app.allow_extras();   // commands and unknown words are taken below
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    bool help = false, version = false;
    CLI::Option *helpFlag = app.add_flag("-h,--help", help)->disable_flag_override();
    app.add_flag("--version", version)->disable_flag_override();
    OptionTable table(app, result);
    table.addAll();

    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());  // CLI11 takes them so
    try {
        app.parse(reversed);
    } catch (const Refusal &refusal) {
        error = refusal.reason;
        return false;
    } catch (const CLI::ArgumentMismatch &e) {
        error = reasonOf(e);
        return false;
    } catch (const CLI::ParseError &e) {
        error = e.what();
        return false;
    }
    table.takeLastWindow(app.parse_order());
    bool haveCommand = false;
    if (!takeCommand(app.remaining(), result, haveCommand, error)) {
        return false;
    }
    if (help || version) {
        // The later of the two, as given.
        const std::vector<CLI::Option *> order = app.parse_order();
        const auto last = std::find_if(order.rbegin(), order.rend(), [&](CLI::Option *o) {
            return o == helpFlag || o->get_name() == "--version";
        });
        result.command = *last == helpFlag ? Command::Help : Command::Version;
        options = result;
        return true;
    }
    if (!haveCommand) {
        error = "no command given (commands: list, capture; see --help)";
        return false;
    }
    if (result.command == Command::List) {
        for (CLI::Option *given : app.parse_order()) {
            if (std::find(table.captureOnly.begin(), table.captureOnly.end(), given) !=
                table.captureOnly.end()) {
                error = "option " + given->get_name() + " applies to capture only";
                return false;
            }
        }
    }
    if (result.type == FrameType::Bias) {
        if (table.exposure->count() > 0 && result.exposureMs != 0) {
            error = "a bias frame is a zero-length exposure: leave out --exposure or give 0";
            return false;
        }
        result.exposureMs = 0;
    }
    options = result;
    return true;
}
