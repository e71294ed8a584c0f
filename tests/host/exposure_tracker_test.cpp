// Exposure tracking over scripted worker events and a stand-in clock: phases,
// progress, start time, stale events and the accepted lengths.
#include "host/exposure_tracker.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "host/utc_time.h"

namespace {

using std::chrono::milliseconds;

struct FakeClock {
    std::chrono::steady_clock::time_point steady{};
    std::chrono::system_clock::time_point utc{std::chrono::sys_days{std::chrono::year{2026} /
                                                                    12 / 9}};
    ExposureClock clock() {
        return {.steadyNow = [this] { return steady; }, .utcNow = [this] { return utc; }};
    }
    void advance(milliseconds by) {
        steady += by;
        utc += by;
    }
    // The worker's event, stamped now.
    WorkerEvent started(uint64_t id) const {
        return {.kind = WorkerEvent::Kind::ExposureStarted,
                .id = id,
                .message = {},
                .image = {},
                .time = utc,
                .steadyTime = steady};
    }
};

FramePlan anyPlan() { return planFrame({10, 20, 30, 40}, 2); }

// A step of a script: time passes, then an action, then what the tracker shows.
struct Step {
    int advanceMs;
    enum Action { None, Begin, Abort, Started, Frame, Failed, Discarded } action;
    int requestIndex;  // which begun request the event names (0 first), -1 none
    ExposurePhase phase;
    std::optional<int32_t> percent;
    double secondsLeft;
    std::optional<ExposureTracker::Meaning> meaning = std::nullopt;
};

}  // namespace

TEST(ExposureTracker, ScriptsOfEventsGiveThePhasesAndProgressClientsSee) {
    using P = ExposurePhase;
    using M = ExposureTracker::Meaning;
    const struct {
        const char *name;
        double seconds;
        std::vector<Step> steps;
    } scripts[] = {
        {"a 2 s exposure from request to frame",
         2.0,
         {{0, Step::None, -1, P::Idle, 0, 0},
          {0, Step::Begin, -1, P::Waiting, 0, 2.0},
          {300, Step::None, -1, P::Waiting, 0, 2.0},
          {0, Step::Started, 0, P::Exposing, 0, 2.0, M::Started},
          {500, Step::None, -1, P::Exposing, 25, 1.5},
          {1500, Step::None, -1, P::Reading, 100, 0},
          {400, Step::Frame, 0, P::Idle, 100, 0, M::Frame}}},
        {"a failure until the next exposure",
         1.0,
         {{0, Step::Begin, -1, P::Waiting, 0, 1.0},
          {0, Step::Started, 0, P::Exposing, 0, 1.0, M::Started},
          {2000, Step::Failed, 0, P::Error, std::nullopt, 0, M::Failed},
          {0, Step::Begin, -1, P::Waiting, 0, 1.0},
          {0, Step::Started, 1, P::Exposing, 0, 1.0, M::Started}}},
        {"an abort after a failure makes the camera idle again",
         1.0,
         {{0, Step::Begin, -1, P::Waiting, 0, 1.0},
          {0, Step::Failed, 0, P::Error, std::nullopt, 0, M::Failed},
          {0, Step::Abort, -1, P::Idle, 0, 0}}},
        {"events of an aborted request are stale",
         1.0,
         {{0, Step::Begin, -1, P::Waiting, 0, 1.0},
          {0, Step::Abort, -1, P::Idle, 0, 0},
          {0, Step::Started, 0, P::Idle, 0, 0, M::Stale},
          {0, Step::Begin, -1, P::Waiting, 0, 1.0},
          {0, Step::Frame, 0, P::Waiting, 0, 1.0, M::Stale},
          {0, Step::Failed, 0, P::Waiting, 0, 1.0, M::Stale},
          {0, Step::Discarded, 0, P::Waiting, 0, 1.0, M::Stale},
          {0, Step::Started, 1, P::Exposing, 0, 1.0, M::Started},
          {0, Step::Started, 1, P::Exposing, 0, 1.0, M::Stale},
          {1000, Step::Frame, 1, P::Idle, 100, 0, M::Frame},
          {0, Step::Frame, 1, P::Idle, 100, 0, M::Stale}}},
        {"a zero-length exposure is done once started",
         0.0,
         {{0, Step::Begin, -1, P::Waiting, 0, 0},
          {0, Step::Started, 0, P::Reading, 100, 0, M::Started}}},
    };
    for (const auto &script : scripts) {
        SCOPED_TRACE(script.name);
        FakeClock clock;
        ExposureTracker tracker(clock.clock());
        std::vector<uint64_t> ids;
        for (size_t i = 0; i < script.steps.size(); ++i) {
            const Step &step = script.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            clock.advance(milliseconds(step.advanceMs));
            std::optional<ExposureTracker::Meaning> meaning;
            const uint64_t id =
                step.requestIndex >= 0 ? ids.at(static_cast<size_t>(step.requestIndex)) : 0;
            std::string error;
            switch (step.action) {
                case Step::None:
                    break;
                case Step::Begin: {
                    const auto request = tracker.begin(script.seconds, anyPlan(), error);
                    ASSERT_TRUE(request) << error;
                    ids.push_back(request->id);
                    break;
                }
                case Step::Abort: {
                    const bool wasRunning = tracker.running();
                    EXPECT_EQ(tracker.abort(), wasRunning);
                    break;
                }
                case Step::Started:
                    meaning = tracker.onEvent(clock.started(id));
                    break;
                case Step::Frame:
                    meaning = tracker.onEvent({WorkerEvent::Kind::FrameReady, id, {}, {}});
                    break;
                case Step::Failed:
                    meaning = tracker.onEvent({WorkerEvent::Kind::ExposureFailed, id, "gone", {}});
                    break;
                case Step::Discarded:
                    meaning = tracker.onEvent({WorkerEvent::Kind::FrameDiscarded, id, {}, {}});
                    break;
            }
            EXPECT_EQ(meaning, step.meaning);
            EXPECT_EQ(tracker.phase(), step.phase);
            EXPECT_EQ(tracker.percentDone(), step.percent);
            EXPECT_DOUBLE_EQ(tracker.secondsLeft(), step.secondsLeft);
        }
        for (size_t i = 1; i < ids.size(); ++i) {
            EXPECT_GT(ids[i], ids[i - 1]) << "request ids increase";
        }
    }
}

// The start is the worker's stamp, taken just before d_StartExposure: a
// program busy elsewhere (sending the previous image) when the event comes
// neither moves DATE-OBS nor shortens the countdown.
TEST(ExposureTracker, StartTimeIsTheWorkersStampHoweverLateTheEventIsHandledTable) {
    const struct {
        int handledAfterMs;  // from the worker's stamp to onEvent
        double secondsLeft;  // of the 2.5 s exposure, right after
        ExposurePhase phase;
    } cases[] = {
        {0, 2.5, ExposurePhase::Exposing},
        {1200, 1.3, ExposurePhase::Exposing},
        {4000, 0, ExposurePhase::Reading},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.handledAfterMs);
        FakeClock clock;
        clock.advance(milliseconds(3723042));  // 01:02:03.042
        ExposureTracker tracker(clock.clock());
        std::string error;
        const auto request = tracker.begin(2.5, anyPlan(), error);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->lengthMs, 2500);
        EXPECT_EQ(request->mode, 2u);
        EXPECT_EQ(request->window, anyPlan().window);
        EXPECT_EQ(utcTimeText(tracker.lastExposure()->startUtc), "2026-12-09T01:02:03.042")
            << "the request's time until the camera starts";
        clock.advance(milliseconds(250));
        const WorkerEvent started = clock.started(request->id);
        clock.advance(milliseconds(c.handledAfterMs));
        EXPECT_EQ(tracker.onEvent(started), ExposureTracker::Meaning::Started);
        EXPECT_EQ(tracker.phase(), c.phase);
        EXPECT_DOUBLE_EQ(tracker.secondsLeft(), c.secondsLeft);
        clock.advance(milliseconds(5000));
        tracker.onEvent({WorkerEvent::Kind::FrameReady, request->id, {}, {}});
        ASSERT_TRUE(tracker.lastExposure());
        EXPECT_EQ(utcTimeText(tracker.lastExposure()->startUtc), "2026-12-09T01:02:03.292");
        EXPECT_EQ(tracker.lastExposure()->seconds, 2.5);
        EXPECT_EQ(tracker.lastExposure()->plan, anyPlan());
    }
}

TEST(ExposureTracker, RefusesLengthsOutsideTheRangeAndASecondExposure) {
    const struct {
        double seconds;
        const char *reason;  // "" when accepted
    } cases[] = {
        {0, ""},
        {0.001, ""},
        {536870.911, ""},
        {536870.912, "exposures last 0 to 536870.911 s"},
        {std::numeric_limits<double>::infinity(), "is refused"},
        {-1, "an exposure of -1 s is refused"},
        {std::numeric_limits<double>::quiet_NaN(), "is refused"},
    };
    for (const auto &c : cases) {
        ExposureTracker tracker;
        std::string error;
        const auto request = tracker.begin(c.seconds, anyPlan(), error);
        EXPECT_EQ(request.has_value(), std::string(c.reason).empty()) << c.seconds;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        if (request) {
            EXPECT_FALSE(tracker.begin(1, anyPlan(), error));
            EXPECT_EQ(error, "an exposure is already in progress");
        }
    }
}
