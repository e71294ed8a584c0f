// When to ask the module whether a frame has arrived. Each d_IsExposing that
// finds the frame still pending pauses 200 ms before it answers, so a host that
// polls from the start of a short exposure sees the frame up to 200 ms late.
// This learns, for each mode and window size, how long after d_StartExposure
// (beyond the exposure's own length) the camera delivers, so the host can wait
// without calling the module until about then and usually find the frame with
// one call. A frame later than expected costs one pause more, never a frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>

struct DeliveryKey {
    uint32_t mode = 0;
    int32_t width = 0;  // of the window, in the mode's pixels
    int32_t height = 0;
    auto operator<=>(const DeliveryKey &) const = default;
};

// What the polls of one exposure found, each time measured from just before
// d_StartExposure. A check is the moment a d_IsExposing call began.
struct DeliveryChecks {
    std::chrono::nanoseconds firstCheck{0};
    std::optional<std::chrono::nanoseconds> lastPending;  // latest check that found it pending
    std::chrono::nanoseconds delivered{0};                // the check that found it delivered
};

class DeliveryEstimate {
public:
    // How long after d_StartExposure the first d_IsExposing should come: zero
    // while nothing is known of this mode and window (poll from the start).
    std::chrono::nanoseconds firstCheckAfter(const DeliveryKey &key,
                                             std::chrono::milliseconds length) const;
    // Learns from one exposure of `length` that ended in a delivered frame.
    void record(const DeliveryKey &key, std::chrono::milliseconds length,
                const DeliveryChecks &checks);
    // Everything learned is dropped, as for another camera.
    void forget() { learned_.clear(); }

private:
    // Bounds on the delivery time beyond the exposure length: a check at
    // `pending` found the frame pending, one at `target` is expected to find
    // it delivered. While they are far apart, each check probes between them;
    // once close, the estimate tracks: checks come at `target`, which creeps
    // earlier after each frame found with one check and steps clear of the
    // camera's spread after a late one. A second late frame in a row means
    // the camera turned slower: probing starts again.
    struct Bounds {
        std::chrono::nanoseconds pending;
        std::chrono::nanoseconds target;
        bool lateLastTime;
        bool tracking;
        int sinceLate;   // frames since the last late one
        int recentLate;  // late frames, each within a hundred of the one before
    };
    static void settle(Bounds &b);
    std::map<DeliveryKey, Bounds> learned_;
};
