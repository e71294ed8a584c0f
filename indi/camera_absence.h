// The camera being away, as the INDI device tells its clients: from the first
// sign that the host lost it (CameraLost, or an exposure failed while it is
// reopened) until CameraBack. The host reopens it by itself and the device stays
// connected throughout; this says what is worth a message, and how long a new
// exposure may wait for the camera.
//
// Contract: the device calls lose() for every CameraLost and every exposure
// failed with `recovering`, reopenFailed() for every ReopenFailed, back() at
// CameraBack and forget() when the connection ends. Times come from the caller,
// so tests stand in for the clock. Not thread-safe: INDI's event loop owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class CameraAbsence {
public:
    using Clock = std::chrono::steady_clock;

    // Failed reopen attempts reported one by one; after them, one a minute.
    static constexpr uint32_t kAttemptsReportedEach = 3;
    static constexpr std::chrono::seconds kReportInterval{60};

    // True when this begins an absence (the one sign worth a message).
    bool lose(Clock::time_point now);
    // The line to log for a failed attempt (the worker's `why`), or nullopt
    // when it is one too many to report.
    std::optional<std::string> reopenFailed(uint32_t attempt, const std::string &why,
                                            Clock::time_point now);
    // The line to log, once the camera answers again after `attempts` attempts.
    std::string back(uint32_t attempts, Clock::time_point now);
    void forget() { awaySince_.reset(); }

    bool away() const { return awaySince_.has_value(); }
    // How long an exposure asked for now may wait for the camera: what is left
    // of `allowed` counted from the loss, so an exposure asked in the first
    // seconds of a reopening waits for it and one asked later fails at once.
    // While the camera is present, all of `allowed` (the host counts it from the
    // request, should the camera be lost before this loop hears of it).
    std::chrono::milliseconds waitForCamera(std::chrono::milliseconds allowed,
                                            Clock::time_point now) const;

private:
    std::optional<Clock::time_point> awaySince_;
    Clock::time_point lastReport_{};
};

// The readout margin given by the environment (QM_READOUT_MARGIN, seconds):
// kDefaultReadoutMargin when `text` is null or empty; nullopt when it is not a
// number of seconds readoutMarginAcceptable takes.
std::optional<std::chrono::milliseconds> readoutMarginFromText(const char *text);
