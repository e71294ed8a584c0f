// The learned moment of the first poll against simulated cameras: a host that
// follows it sees each frame soon after delivery with one poll, pays a pause
// hardly ever once it has learned (a steady, a jittery and a loaded camera),
// and follows a camera that turns slower or faster.
#include "host/delivery_estimate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr milliseconds kPollPause{200};

// One exposure as the host runs it: the first check when the estimate says,
// then a check after every pause until the frame is there.
struct Outcome {
    int pendingChecks = 0;
    nanoseconds foundLate{0};  // from delivery to the check that found the frame
};

Outcome expose(DeliveryEstimate &estimate, const DeliveryKey &key, milliseconds length,
               nanoseconds deliveredAfter) {
    DeliveryChecks checks;
    nanoseconds check = estimate.firstCheckAfter(key, length);
    checks.firstCheck = check;
    Outcome outcome;
    while (check < deliveredAfter) {
        checks.lastPending = check;
        ++outcome.pendingChecks;
        check += kPollPause;
    }
    checks.delivered = check;
    estimate.record(key, length, checks);
    outcome.foundLate = check - deliveredAfter;
    return outcome;
}

// A deterministic spread of delivery times: up to `spread` later at random,
// and one frame in `outlierEvery` another `outlier` later (0: none), as a
// loaded machine delivers.
struct Jitter {
    uint32_t state = 12345;
    int frame = 0;
    nanoseconds operator()(milliseconds spread, int outlierEvery = 0,
                           milliseconds outlier = milliseconds(0)) {
        state = state * 1103515245u + 12345u;
        ++frame;
        const bool late = outlierEvery > 0 && frame % outlierEvery == 0;
        return spread * static_cast<int64_t>((state >> 16) % 1001) / 1000 +
               (late ? nanoseconds(outlier) : nanoseconds(0));
    }
};

struct SteadyCase {
    const char *name;
    milliseconds length;
    milliseconds readout;  // delivery beyond the length
    milliseconds spread;   // up to this much later, at random
    int outlierEvery;      // one frame in this many comes `outlier` later still (0: none)
    milliseconds outlier;
    int settleFrames;      // frames allowed to find the edge
    int maxLateAfter;      // of the next 100 frames, at most this many pay a pause
    milliseconds waited;   // average from delivery to the check that found the frame
};

using ms = milliseconds;
const SteadyCase kSteady[] = {
    {"ShortExposureQuickReadout", ms(10), ms(40), ms(0), 0, ms(0), 12, 0, ms(6)},
    {"ShortExposureFullFrame", ms(10), ms(120), ms(0), 0, ms(0), 12, 0, ms(22)},
    {"LongExposure", ms(30000), ms(120), ms(0), 0, ms(0), 12, 0, ms(22)},
    {"SlowerThanAPause", ms(10), ms(450), ms(0), 0, ms(0), 12, 0, ms(75)},
    {"Jittery", ms(10), ms(60), ms(8), 0, ms(0), 12, 1, ms(25)},
    // A loaded machine: a spread half the delivery time, and now and then a
    // frame much later still. The check learns to stay clear of both, which
    // the typical frame pays for in waiting.
    {"JitteryUnderLoad", ms(10), ms(40), ms(25), 0, ms(0), 12, 1, ms(40)},
    {"OutliersUnderLoad", ms(10), ms(40), ms(10), 7, ms(30), 30, 1, ms(60)},
    // A camera that delivers before the nominal length (a simulation run fast).
    {"EarlierThanItsLength", ms(3000), ms(-2950), ms(0), 0, ms(0), 12, 0, ms(10)},
};

class SteadyCamera : public ::testing::TestWithParam<SteadyCase> {};

TEST_P(SteadyCamera, FindsFramesSoonWithOnePoll) {
    const SteadyCase &c = GetParam();
    DeliveryEstimate estimate;
    const DeliveryKey key{.mode = 4, .width = 2048, .height = 1536};
    Jitter jitter;
    const auto deliveredAfter = [&] {
        return c.length + c.readout + jitter(c.spread, c.outlierEvery, c.outlier);
    };
    EXPECT_EQ(estimate.firstCheckAfter(key, c.length), nanoseconds(0))
        << "nothing learned yet: poll from the start";
    for (int i = 0; i < c.settleFrames; ++i) {
        expose(estimate, key, c.length, deliveredAfter());
    }
    int late = 0;
    nanoseconds waitedBeyond{0};
    for (int i = 0; i < 100; ++i) {
        const Outcome o = expose(estimate, key, c.length, deliveredAfter());
        late += o.pendingChecks > 0 ? 1 : 0;
        waitedBeyond += o.foundLate;
    }
    EXPECT_LE(late, c.maxLateAfter);
    EXPECT_LE(waitedBeyond / 100, nanoseconds(c.waited))
        << "average lateness " << (waitedBeyond / 100).count() / 1e6 << " ms";
}

INSTANTIATE_TEST_SUITE_P(DeliveryEstimate, SteadyCamera, ::testing::ValuesIn(kSteady),
                         [](const auto &info) { return std::string(info.param.name); });

struct ChangeCase {
    const char *name;
    milliseconds before;
    milliseconds after;
    int maxLate;       // frames that pay a pause in the 60 frames after the change
    milliseconds end;  // lateness of the last frames, at most
};

const ChangeCase kChanges[] = {
    {"TurnsSlower", milliseconds(50), milliseconds(130), 8, milliseconds(15)},
    {"TurnsMuchSlower", milliseconds(50), milliseconds(700), 6, milliseconds(75)},
    // Faster: no frame is late, and the wait comes down, slowly, over the frames.
    {"TurnsFaster", milliseconds(120), milliseconds(100), 0, milliseconds(32)},
};

class ChangingCamera : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ChangingCamera, FollowsTheCamera) {
    const ChangeCase &c = GetParam();
    DeliveryEstimate estimate;
    const DeliveryKey key{.mode = 0, .width = 512, .height = 384};
    const milliseconds length(10);
    for (int i = 0; i < 30; ++i) {
        expose(estimate, key, length, length + c.before);
    }
    int late = 0;
    Outcome last;
    std::vector<Outcome> found;
    for (int i = 0; i < 60; ++i) {
        last = expose(estimate, key, length, length + c.after);
        late += last.pendingChecks > 0 ? 1 : 0;
        if (last.pendingChecks == 0) {
            found.push_back(last);
        }
    }
    EXPECT_LE(late, c.maxLate);
    ASSERT_GE(found.size(), 2u);
    if (c.after < c.before) {
        EXPECT_LT(found.back().foundLate, found.front().foundLate) << "the wait does not come down";
    }
    EXPECT_LE(last.foundLate, nanoseconds(c.end)) << last.foundLate.count() / 1e6 << " ms";
}

INSTANTIATE_TEST_SUITE_P(DeliveryEstimate, ChangingCamera, ::testing::ValuesIn(kChanges),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(DeliveryEstimate, EachModeAndWindowSizeLearnsAlone) {
    DeliveryEstimate estimate;
    const milliseconds length(10);
    const DeliveryKey full{.mode = 4, .width = 2048, .height = 1536};
    for (int i = 0; i < 10; ++i) {
        expose(estimate, full, length, milliseconds(130));
    }
    EXPECT_GT(estimate.firstCheckAfter(full, length), milliseconds(100));
    for (const DeliveryKey other : {DeliveryKey{.mode = 0, .width = 2048, .height = 1536},
                                    DeliveryKey{.mode = 4, .width = 1024, .height = 1536},
                                    DeliveryKey{.mode = 4, .width = 2048, .height = 768}}) {
        EXPECT_EQ(estimate.firstCheckAfter(other, length), nanoseconds(0));
    }
    // A longer exposure in the same mode and window: the same readout after it.
    EXPECT_NEAR(
        static_cast<double>(estimate.firstCheckAfter(full, milliseconds(5000)).count()),
        static_cast<double>((estimate.firstCheckAfter(full, length) + milliseconds(4990)).count()),
        1e3);
    estimate.forget();
    EXPECT_EQ(estimate.firstCheckAfter(full, length), nanoseconds(0));
}

}  // namespace
