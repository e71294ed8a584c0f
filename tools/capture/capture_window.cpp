#include "tools/capture/capture_window.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace {

constexpr const char *kAxisNames[4] = {"x", "y", "width", "height"};

std::string lowerCase(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool checkFits(const Subframe &w, const ModeGeometry &g, std::string &error) {
    char frame[48];
    std::snprintf(frame, sizeof frame, "%dx%d", g.frameWidth, g.frameHeight);
    if (w.width <= 0 || w.height <= 0) {
        error = "window " + subframeText(w) + " is empty (the binned frame is " + frame + ")";
        return false;
    }
    if (static_cast<int64_t>(w.x) + w.width > g.frameWidth ||
        static_cast<int64_t>(w.y) + w.height > g.frameHeight) {
        error = "window " + subframeText(w) + " does not fit the binned frame of " + frame;
        return false;
    }
    return true;
}

}  // namespace

bool resolveWindow(const WindowRequest &request, const ModeGeometry &geometry, Subframe &subframe,
                   std::string &error) {
    const int32_t sizes[4] = {geometry.frameWidth, geometry.frameHeight, geometry.frameWidth,
                              geometry.frameHeight};
    int32_t pixels[4] = {0, 0, geometry.frameWidth, geometry.frameHeight};
    for (int i = 0; i < 4 && request.kind != WindowRequest::Kind::WholeFrame; ++i) {
        const double v = request.values[i];
        if (request.kind == WindowRequest::Kind::Fractions) {
            if (!(v >= 0.0 && v <= 1.0)) {
                error = std::string("window fraction ") + kAxisNames[i] + " must lie in 0..1";
                return false;
            }
            // Rounded down: x + width stays within the frame whenever the
            // fractions add up to at most 1.
            pixels[i] = static_cast<int32_t>(std::floor(v * sizes[i] + 1e-9));
            continue;
        }
        if (!(v >= 0.0) || v != std::floor(v)) {
            error = std::string("window ") + kAxisNames[i] + " must be a whole number of pixels";
            return false;
        }
        if (v > sizes[i]) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "window %s %.0f does not fit the binned frame of %dx%d", kAxisNames[i], v,
                          geometry.frameWidth, geometry.frameHeight);
            error = text;
            return false;
        }
        pixels[i] = static_cast<int32_t>(v);
    }
    const Subframe candidate{pixels[0], pixels[1], pixels[2], pixels[3]};
    if (!checkFits(candidate, geometry, error)) {
        return false;
    }
    subframe = candidate;
    return true;
}

bool resolveMode(const std::string &text, const std::vector<std::string> &modeNames, uint32_t &mode,
                 std::string &error) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        const uint32_t number = text.size() > 9 ? UINT32_MAX : std::stoul(text);
        if (number >= modeNames.size()) {
            error = "mode " + text + " does not exist (modes are 0 to " +
                    std::to_string(modeNames.size() - 1) + ")";
            return false;
        }
        mode = number;
        return true;
    }
    const std::string wanted = lowerCase(text);
    std::vector<uint32_t> matches;
    for (uint32_t i = 0; i < modeNames.size(); ++i) {
        const std::string name = lowerCase(modeNames[i]);
        if (name == wanted) {
            mode = i;
            return true;
        }
        if (!wanted.empty() && name.compare(0, wanted.size(), wanted) == 0) {
            matches.push_back(i);
        }
    }
    if (matches.size() == 1) {
        mode = matches.front();
        return true;
    }
    if (matches.empty()) {
        error = "no binning mode is called '" + text + "' (see the list command)";
    } else {
        error = "mode '" + text + "' is ambiguous: it starts";
        for (size_t i = 0; i < matches.size(); ++i) {
            error += (i == 0 ? " '" : (i + 1 == matches.size() ? "' and '" : "', '")) +
                     modeNames[matches[i]];
        }
        error += "'";
    }
    return false;
}
