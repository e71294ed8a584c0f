#include "host/delivery_estimate.h"

#include <algorithm>

namespace {

using std::chrono::nanoseconds;

nanoseconds atLeastZero(nanoseconds t) { return std::max<nanoseconds>(t, {}); }

// While the bounds are further apart than this (a twelfth of the delivery
// time, at least 2 ms), the next check probes between them.
nanoseconds probeWidth(nanoseconds target) {
    return std::max<nanoseconds>(std::chrono::milliseconds(2), atLeastZero(target) / 12);
}

// How far the check moves after a frame that came later than it: an eighth
// of the delivery time, at least 2 ms, twice that for each late frame among
// the last hundred (the camera's spread, not a creep past its edge). A late
// frame costs a 200 ms pause and a later check only a few milliseconds, so the
// check steps clear of the spread rather than onto its edge.
nanoseconds lateStep(nanoseconds pending, int recentLate) {
    const nanoseconds step =
        std::max<nanoseconds>(std::chrono::milliseconds(2), atLeastZero(pending) / 8);
    return step * (int64_t{1} << std::min(recentLate, 8));
}

// How much earlier the next check comes after one that found the frame: a
// ten-thousandth, so a camera that became faster is followed, slowly, and a
// steady camera sees the check reach its edge (one late frame) only after
// hundreds of frames.
nanoseconds creep(nanoseconds target) {
    return std::max<nanoseconds>(std::chrono::microseconds(2), atLeastZero(target) / 10000);
}

constexpr int kRecentFrames = 100;

}  // namespace

nanoseconds DeliveryEstimate::firstCheckAfter(const DeliveryKey &key,
                                              std::chrono::milliseconds length) const {
    const auto found = learned_.find(key);
    if (found == learned_.end()) {
        return {};
    }
    const Bounds &b = found->second;
    const nanoseconds beyond = b.tracking ? b.target : b.pending + (b.target - b.pending) / 2;
    return std::max<nanoseconds>(length + beyond, {});
}

void DeliveryEstimate::record(const DeliveryKey &key, std::chrono::milliseconds length,
                              const DeliveryChecks &checks) {
    const nanoseconds first = checks.firstCheck - length;
    const nanoseconds delivered = checks.delivered - length;
    const auto found = learned_.find(key);
    if (found == learned_.end()) {
        // Polled from the start: the frame came between the last pending check
        // and the one that found it.
        const nanoseconds pending =
            checks.lastPending ? *checks.lastPending - length : delivered - probeWidth(delivered);
        Bounds b{.pending = pending,
                 .target = delivered,
                 .lateLastTime = false,
                 .tracking = false,
                 .sinceLate = kRecentFrames + 1,
                 .recentLate = 0};
        settle(b);
        learned_[key] = b;
        return;
    }
    Bounds &b = found->second;
    b.sinceLate = std::min(b.sinceLate + 1, kRecentFrames + 1);
    if (!checks.lastPending) {
        b.lateLastTime = false;
        b.target = std::min(b.target, first);
        if (b.tracking) {
            b.target -= creep(b.target);
        } else {
            settle(b);
        }
        return;
    }
    // Late: the frame came after the last pending check and by the check that
    // found it.
    const nanoseconds pending = *checks.lastPending - length;
    b.pending = pending;
    if (b.tracking && !b.lateLastTime) {
        // The camera's spread reached past the check, which steps clear of it.
        b.recentLate = b.sinceLate <= kRecentFrames ? b.recentLate + 1 : 0;
        b.sinceLate = 0;
        b.lateLastTime = true;
        b.target = std::min(pending + lateStep(pending, b.recentLate), delivered);
        return;
    }
    b.lateLastTime = true;
    if (b.tracking || b.target <= pending) {
        // Late again, or later than a frame found before: the camera turned
        // slower, and its new edge is probed for from the check that found
        // this frame down.
        b.target = delivered;
        b.tracking = false;
    }
    settle(b);
}

void DeliveryEstimate::settle(Bounds &b) {
    // The edge lies between the bounds once they are close; checks then come
    // a probe's width above the upper one, clear of the edge.
    if (b.target - b.pending <= probeWidth(b.target)) {
        b.tracking = true;
        b.target += probeWidth(b.target);
    }
}
