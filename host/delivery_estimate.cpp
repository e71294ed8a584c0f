#include "host/delivery_estimate.h"

#include <algorithm>

namespace {

using std::chrono::nanoseconds;

// How far a check moves after a late frame: a twelfth of the delivery time,
// at least 2 ms. A late frame costs a 200 ms pause, so stepping clear of the
// jitter is cheaper than finding the edge again.
nanoseconds lateStep(nanoseconds target) {
    return std::max<nanoseconds>(std::chrono::milliseconds(2),
                                 std::max<nanoseconds>(target, {}) / 12);
}

// How much earlier the next check comes after one that found the frame: a
// thousandth, so a camera that became faster is followed, at the price of
// about one late frame in eighty.
nanoseconds creep(nanoseconds target) {
    return std::max<nanoseconds>(std::chrono::microseconds(20),
                                 std::max<nanoseconds>(target, {}) / 1000);
}

}  // namespace

nanoseconds DeliveryEstimate::firstCheckAfter(const DeliveryKey &key,
                                              std::chrono::milliseconds length) const {
    const auto found = learned_.find(key);
    if (found == learned_.end()) {
        return {};
    }
    const Bounds &b = found->second;
    const bool settled = b.target - b.pending <= lateStep(b.target);
    const nanoseconds beyond = settled ? b.target : b.pending + (b.target - b.pending) / 2;
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
            checks.lastPending ? *checks.lastPending - length : delivered - lateStep(delivered);
        learned_[key] = {.pending = pending, .target = delivered, .lateInARow = 0};
        return;
    }
    Bounds &b = found->second;
    if (!checks.lastPending) {
        const bool settled = b.target - b.pending <= lateStep(b.target);
        b.target = std::min(b.target, first);
        if (settled) {
            b.target -= creep(b.target);
        }
        b.lateInARow = 0;
        return;
    }
    // Late: the frame came after the last pending check and by the check that
    // found it. One late frame after another means the camera turned slower:
    // each step is twice the last, and probing finds the new edge from above.
    const nanoseconds pending = *checks.lastPending - length;
    const nanoseconds step = lateStep(pending) * (int64_t{1} << std::min(b.lateInARow, 10));
    b.lateInARow += 1;
    b.pending = pending;
    b.target = std::min(std::max(b.target, pending + step), delivered);
}
