#include "indi/camera_absence.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "host/camera_identity.h"

namespace {

long long wholeSeconds(CameraAbsence::Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

}  // namespace

bool CameraAbsence::lose(Clock::time_point now) {
    if (awaySince_) {
        return false;
    }
    awaySince_ = now;
    lastReport_ = now;
    return true;
}

std::optional<std::string> CameraAbsence::reopenFailed(uint32_t attempt, const std::string &why,
                                                       Clock::time_point now) {
    lose(now);
    if (attempt > kAttemptsReportedEach && now - lastReport_ < kReportInterval) {
        return std::nullopt;
    }
    lastReport_ = now;
    std::string line = "Camera still away after " +
                       std::to_string(wholeSeconds(now - *awaySince_)) + " s: reopen attempt " +
                       std::to_string(attempt) + " failed: " + why + ".";
    if (attempt == kAttemptsReportedEach) {
        line += " Further attempts are reported once a minute.";
    }
    return line;
}

std::string CameraAbsence::back(uint32_t attempts, Clock::time_point now) {
    const long long away = awaySince_ ? wholeSeconds(now - *awaySince_) : 0;
    awaySince_.reset();
    return "Camera back after " + std::to_string(away) + " s away (reopened at attempt " +
           std::to_string(attempts) + "): exposures are taken again.";
}

std::chrono::milliseconds CameraAbsence::waitForCamera(std::chrono::milliseconds allowed,
                                                       Clock::time_point now) const {
    if (!awaySince_) {
        return allowed;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*awaySince_ + allowed - now);
    return std::max(left, std::chrono::milliseconds(0));
}

std::optional<std::chrono::milliseconds> readoutMarginFromText(const char *text) {
    if (text == nullptr || *text == '\0') {
        return kDefaultReadoutMargin;
    }
    char *end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !readoutMarginAcceptable(seconds)) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}
