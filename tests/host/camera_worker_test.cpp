// The worker thread against a scripted module: the host sequence, abort and
// queueing, disconnect and shutdown during an exposure, timeouts, reopening a
// camera that stopped answering, and that every module call runs on the
// worker's thread, one at a time.
#include "host/camera_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// The scripted module. Its functions are plain function pointers, as the
// exports are, so the script is global.
struct Script {
    std::mutex mutex;
    std::vector<std::string> calls;
    int pendingPolls = 0;        // d_IsExposing answers 1 this many times per exposure
    bool neverCompletes = false;  // d_IsExposing always answers 1
    int32_t okResult = 1;
    int32_t startResult = 1;
    // Counted down by the calls they fail: d_GetOK answers 0, the frame of
    // d_StartExposure never arrives, d_StartExposure answers 0.
    std::atomic<int> failedOpenings{0};
    std::atomic<int> lostFrames{0};
    std::atomic<int> refusedStarts{0};
    bool frameLost = false;
    std::function<void(int poll)> onPendingPoll;  // runs inside d_IsExposing
    int pollsThisExposure = 0;
    uint32_t window[5] = {};
    std::thread::id testThread;
    bool foreignThreadCall = false;  // a call from the test's own thread
    std::atomic<int> callsInProgress{0};
    bool overlappingCalls = false;
    // When set, the frame arrives this long after d_StartExposure.
    std::optional<std::chrono::milliseconds> deliverAfter;
    std::chrono::steady_clock::time_point startedAt;
};
Script *script = nullptr;

struct CallGuard {
    explicit CallGuard(const char *name) {
        if (++script->callsInProgress > 1) {
            script->overlappingCalls = true;
        }
        std::lock_guard lock(script->mutex);
        if (std::this_thread::get_id() == script->testThread) {
            script->foreignThreadCall = true;
        }
        script->calls.push_back(name);
    }
    ~CallGuard() { --script->callsInProgress; }
};

int32_t binned(uint32_t host, uint32_t mode, int32_t sensor) {
    const int32_t factor = kCameraModes[mode].binFactor;
    const int32_t multiple = kCameraModes[mode].multiple;
    const int32_t pixels = static_cast<int32_t>(int64_t{sensor / factor} * host / 100000);
    return pixels / multiple * multiple;
}

const char *getName() { return "scripted"; }
const char *getInfo() { return "Scripted camera"; }
int32_t initialize(int32_t) {
    CallGuard g("Initialize");
    return 1;
}
int32_t setupCCD(int32_t quiet) {
    CallGuard g(quiet != 0 ? "SetupCCD(quiet)" : "SetupCCD(box)");
    return 1;
}
int32_t getOK() {
    CallGuard g("GetOK");
    if (script->failedOpenings > 0) {
        --script->failedOpenings;
        return 0;
    }
    return script->okResult;
}
int32_t binningCount() { return 5; }
const char *binningName(uint32_t mode) {
    static const char *names[] = {"m0", "m1", "m2", "m3", "m4"};
    return mode < 5 ? names[mode] : nullptr;
}
int32_t subframe(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t mode) {
    CallGuard g("Subframe");
    const uint32_t values[5] = {x, y, w, h, mode};
    std::copy(values, values + 5, script->window);
    return mode < 5 ? 1 : 0;
}
int32_t getWidth(int32_t) { return binned(script->window[2], script->window[4], 2048); }
int32_t getHeight(int32_t) { return binned(script->window[3], script->window[4], 1536); }
int32_t isColor() { return 1; }
int32_t moveFrame(int32_t) { return 1; }
int32_t startExposure(int32_t, int32_t) {
    CallGuard g("StartExposure");
    script->pollsThisExposure = 0;
    script->startedAt = std::chrono::steady_clock::now();
    if (script->refusedStarts > 0) {
        --script->refusedStarts;
        return 0;
    }
    script->frameLost = script->lostFrames > 0;
    if (script->frameLost) {
        --script->lostFrames;
    }
    return script->startResult;
}
int32_t isExposing() {
    int poll = 0;
    {
        CallGuard g("IsExposing");
        poll = ++script->pollsThisExposure;
        const bool delivered =
            script->frameLost ? false
            : script->deliverAfter
                ? std::chrono::steady_clock::now() - script->startedAt >= *script->deliverAfter
                : !script->neverCompletes && poll > script->pendingPolls;
        if (delivered) {
            return 0;
        }
    }
    if (script->onPendingPoll) {
        script->onPendingPoll(poll);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}
int32_t interruptExposure() { return 1; }
int32_t startDownload() {
    CallGuard g("StartDownload");
    return 1;
}
int32_t readImage(uint16_t *image) {
    CallGuard g("ReadImage");
    image[0] = 0xBEEF;
    return 1;
}
int32_t endDownload(int32_t) {
    CallGuard g("EndDownload");
    return 1;
}
int32_t getTemperature() { return 0; }
int32_t finalize() {
    CallGuard g("Finalize");
    return 1;
}

DriverApi scriptedApi() {
    return {getName,       getInfo,   initialize,  setupCCD,      getOK,
            binningCount,  binningName, subframe,  getWidth,      getHeight,
            isColor,       moveFrame, startExposure, isExposing,  interruptExposure,
            startDownload, readImage, endDownload, getTemperature, finalize};
}

class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        script = &state;
        state.testThread = std::this_thread::get_id();
    }
    void TearDown() override {
        worker.reset();
        EXPECT_FALSE(state.foreignThreadCall) << "a module call ran on the caller's thread";
        EXPECT_FALSE(state.overlappingCalls) << "two module calls ran at once";
        script = nullptr;
    }

    void start(std::chrono::milliseconds margin = std::chrono::seconds(30),
               RecoveryTiming timing = {}) {
        ModuleLoader loader{.load =
                                [this](const std::string &path, DriverApi &api, std::string &error) {
                                    std::lock_guard lock(state.mutex);
                                    state.calls.push_back("load " + path);
                                    if (path == "missing.so") {
                                        error = "missing.so: cannot open shared object file";
                                        return false;
                                    }
                                    api = scriptedApi();
                                    return true;
                                },
                            .unload =
                                [this] {
                                    std::lock_guard lock(state.mutex);
                                    state.calls.push_back("unload");
                                }};
        worker = std::make_unique<CameraWorker>(
            loader,
            [this] {
                std::lock_guard lock(eventsMutex);
                woken = true;
                eventsArrived.notify_all();
            },
            margin, timing);
    }

    ConnectOutcome connect(const std::string &path = "module.so") {
        auto outcome = worker->connect(path);
        EXPECT_EQ(outcome.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        return outcome.get();
    }

    ExposureRequest request(uint64_t id, int32_t lengthMs = 0) {
        const CameraMode &mode = kCameraModes[2];
        return {.id = id,
                .lengthMs = lengthMs,
                .mode = 2,
                .window = {10, 20, 100, 80},
                .geometry = geometryOf(mode)};
    }

    // Events until one of `kind` for `id` has arrived (bounded wait).
    std::vector<WorkerEvent> waitFor(WorkerEvent::Kind kind, uint64_t id) {
        std::vector<WorkerEvent> seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            for (WorkerEvent &event : worker->takeEvents()) {
                seen.push_back(std::move(event));
                if (seen.back().kind == kind && seen.back().id == id) {
                    return seen;
                }
            }
            std::unique_lock lock(eventsMutex);
            if (!eventsArrived.wait_until(lock, deadline, [this] { return woken; })) {
                ADD_FAILURE() << "no such event within 10 s";
                return seen;
            }
            woken = false;
        }
    }

    long countOf(const std::string &call) {
        std::lock_guard lock(state.mutex);
        return std::count(state.calls.begin(), state.calls.end(), call);
    }

    std::vector<std::string> calls() {
        std::lock_guard lock(state.mutex);
        return state.calls;
    }

    static bool has(const std::vector<WorkerEvent> &events, WorkerEvent::Kind kind, uint64_t id) {
        return std::any_of(events.begin(), events.end(),
                           [&](const WorkerEvent &e) { return e.kind == kind && e.id == id; });
    }

    Script state;
    std::mutex eventsMutex;
    std::condition_variable eventsArrived;
    bool woken = false;
    std::unique_ptr<CameraWorker> worker;
};

}  // namespace

TEST_F(Worker, ConnectsAndExposesInTheHostOrder) {
    start();
    const ConnectOutcome outcome = connect();
    ASSERT_TRUE(outcome.connected) << outcome.error;
    EXPECT_EQ(outcome.driverName, "scripted");
    EXPECT_EQ(outcome.modeNames, (std::vector<std::string>{"m0", "m1", "m2", "m3", "m4"}));
    state.pendingPolls = 2;
    const auto askedUtc = std::chrono::system_clock::now();
    const auto asked = std::chrono::steady_clock::now();
    worker->expose(request(1));
    const auto events = waitFor(WorkerEvent::Kind::FrameReady, 1);
    ASSERT_TRUE(has(events, WorkerEvent::Kind::ExposureStarted, 1));
    // Stamped between the request and d_StartExposure, on both clocks.
    const auto started = std::find_if(events.begin(), events.end(), [](const WorkerEvent &e) {
        return e.kind == WorkerEvent::Kind::ExposureStarted;
    });
    EXPECT_GE(started->steadyTime, asked);
    EXPECT_LE(started->steadyTime, state.startedAt);
    EXPECT_GE(started->time, askedUtc);
    EXPECT_LE(started->time, std::chrono::system_clock::now());
    EXPECT_EQ(events.back().image.size(), 100u * 80u);
    EXPECT_EQ(events.back().image[0], 0xBEEF);
    const std::vector<std::string> expected = {
        "load module.so", "Subframe",   "Subframe",        "Subframe",    "Subframe",
        "Subframe",       "Initialize", "SetupCCD(quiet)", "GetOK",       "Subframe",
        "StartExposure",  "IsExposing", "IsExposing",      "IsExposing",  "StartDownload",
        "ReadImage",      "EndDownload"};
    EXPECT_EQ(calls(), expected);
}

// Each row connects the same worker in turn: the module alone is loaded once
// and kept for the camera; a module-only load while the camera is open starts
// over.
TEST_F(Worker, OpeningTheModuleAloneThenTheCamera) {
    const std::vector<std::string> loaded = {"load module.so", "Subframe", "Subframe",
                                             "Subframe",       "Subframe", "Subframe"};
    std::vector<std::string> reloaded = {"Finalize", "unload"};
    reloaded.insert(reloaded.end(), loaded.begin(), loaded.end());
    const struct {
        Opening opening;
        const char *path;
        bool connected, moduleLoaded;
        std::vector<std::string> newCalls;
    } steps[] = {
        {Opening::ModuleOnly, "module.so", false, true, loaded},
        {Opening::ModuleOnly, "module.so", false, true, {}},
        {Opening::CameraWithMessages, "module.so", true, true,
         {"Initialize", "SetupCCD(box)", "GetOK"}},
        {Opening::ModuleOnly, "module.so", false, true, reloaded},
        {Opening::ModuleOnly, "missing.so", false, false, {"Finalize", "unload", "load missing.so"}},
    };
    start();
    size_t seen = 0;
    for (const auto &step : steps) {
        auto future = worker->connect(step.path, step.opening);
        ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        const ConnectOutcome outcome = future.get();
        const std::vector<std::string> all = calls();
        SCOPED_TRACE("step after " + std::to_string(seen) + " calls");
        EXPECT_EQ(outcome.connected, step.connected) << outcome.error;
        EXPECT_EQ(outcome.moduleLoaded, step.moduleLoaded) << outcome.error;
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(seen), all.end()),
                  step.newCalls);
        if (step.moduleLoaded) {
            EXPECT_EQ(outcome.modeNames.size(), 5u);
            EXPECT_EQ(outcome.driverName, "scripted");
        } else {
            EXPECT_EQ(outcome.moduleError, "missing.so: cannot open shared object file");
        }
        seen = all.size();
    }
    // The module loaded alone exposes nothing: the camera is not open.
    ASSERT_TRUE(worker->connect("module.so", Opening::ModuleOnly).get().moduleLoaded);
    worker->expose(request(1));
    const auto events = waitFor(WorkerEvent::Kind::ExposureFailed, 1);
    EXPECT_NE(events.back().message.find("not connected"), std::string::npos);
    EXPECT_EQ(countOf("Initialize"), 1);
}

TEST_F(Worker, ConnectionFailuresSayWhyAndReleaseTheModule) {
    start();
    ConnectOutcome outcome = connect("missing.so");
    EXPECT_FALSE(outcome.connected);
    EXPECT_NE(outcome.error.find("cannot use the driver module: missing.so"), std::string::npos)
        << outcome.error;
    EXPECT_EQ(countOf("Initialize"), 0);

    state.okResult = 0;
    outcome = connect();
    EXPECT_FALSE(outcome.connected);
    EXPECT_NE(outcome.error.find("camera not found"), std::string::npos) << outcome.error;
    EXPECT_EQ(countOf("Finalize"), 1) << "the driver's buffer was never released";
    EXPECT_EQ(countOf("unload"), 1);

    worker->expose(request(1));
    const auto events = waitFor(WorkerEvent::Kind::ExposureFailed, 1);
    EXPECT_NE(events.back().message.find("not connected"), std::string::npos);
    EXPECT_EQ(countOf("StartExposure"), 0);
}

// Abort while the camera still exposes: the frame is polled to completion and
// dropped, exposures requested before the abort never start, a later one
// starts once the camera is free.
TEST_F(Worker, AbortDiscardsEverythingRequestedSoFarAndQueuesWhatFollows) {
    start();
    ASSERT_TRUE(connect().connected);
    state.pendingPolls = 5;
    bool aborted = false;
    state.onPendingPoll = [this, &aborted](int poll) {
        if (poll == 1 && !aborted) {
            aborted = true;
            worker->expose(request(2));
            worker->expose(request(3));
            worker->abort();
            worker->expose(request(4));
        }
    };
    worker->expose(request(1));
    const auto events = waitFor(WorkerEvent::Kind::FrameReady, 4);
    EXPECT_TRUE(has(events, WorkerEvent::Kind::FrameDiscarded, 1));
    EXPECT_FALSE(has(events, WorkerEvent::Kind::FrameReady, 1));
    for (uint64_t id : {2, 3}) {
        EXPECT_FALSE(has(events, WorkerEvent::Kind::ExposureStarted, id)) << "exposure " << id;
    }
    EXPECT_TRUE(has(events, WorkerEvent::Kind::ExposureStarted, 4));
    EXPECT_EQ(countOf("StartExposure"), 2);
    EXPECT_EQ(countOf("ReadImage"), 1) << "the aborted frame was read";
    // Exposure 4 started only once exposure 1's frame had arrived.
    const auto all = calls();
    const auto secondStart = std::find(std::find(all.begin(), all.end(), "StartExposure") + 1,
                                       all.end(), "StartExposure");
    EXPECT_EQ(std::count(all.begin(), secondStart, std::string("IsExposing")), 6);
}

TEST_F(Worker, AbortWithNothingRunningLeavesLaterExposuresAlone) {
    start();
    ASSERT_TRUE(connect().connected);
    worker->abort();
    worker->expose(request(1));
    EXPECT_TRUE(has(waitFor(WorkerEvent::Kind::FrameReady, 1), WorkerEvent::Kind::FrameReady, 1));
}

TEST_F(Worker, DisconnectDuringAnExposureAbandonsItAndClosesTheCamera) {
    start();
    ASSERT_TRUE(connect().connected);
    state.neverCompletes = true;
    state.onPendingPoll = [this](int poll) {
        if (poll == 3) {
            worker->disconnect();
        }
    };
    worker->expose(request(1));
    const auto events = waitFor(WorkerEvent::Kind::Disconnected, 0);
    EXPECT_FALSE(has(events, WorkerEvent::Kind::FrameReady, 1));
    EXPECT_FALSE(has(events, WorkerEvent::Kind::ExposureFailed, 1));
    EXPECT_EQ(countOf("IsExposing"), 3);
    EXPECT_EQ(countOf("ReadImage"), 0);
    EXPECT_EQ(countOf("Finalize"), 1);
    EXPECT_EQ(calls().back(), "unload");

    // Connected again, the camera takes exposures as before.
    state.neverCompletes = false;
    state.onPendingPoll = nullptr;
    ASSERT_TRUE(connect().connected);
    worker->expose(request(2));
    EXPECT_TRUE(has(waitFor(WorkerEvent::Kind::FrameReady, 2), WorkerEvent::Kind::FrameReady, 2));
}

TEST_F(Worker, AFrameThatNeverComesFailsAfterTheExposureAndMargin) {
    start(std::chrono::milliseconds(30));
    ASSERT_TRUE(connect().connected);
    state.neverCompletes = true;
    worker->expose(request(1, 20));
    const auto events = waitFor(WorkerEvent::Kind::ExposureFailed, 1);
    EXPECT_NE(events.back().message.find("no image from the camera after"), std::string::npos)
        << events.back().message;
    EXPECT_NE(events.back().message.find("exposure 0.0 s + 0.0 s for readout"), std::string::npos)
        << events.back().message;
    EXPECT_EQ(countOf("ReadImage"), 0);
}

TEST_F(Worker, ExposuresTheDriverRefusesFailWithTheReason) {
    start();
    ASSERT_TRUE(connect().connected);
    const struct {
        PixelWindow window;
        int32_t startResult;
        const char *message;
        long starts;  // d_StartExposure calls so far
    } cases[] = {
        {{1, 1, 3, 3}, 1, "instead of 3x3", 0},  // not on mode 2's multiple of 2
        {{10, 20, 100, 80}, 0, "refused to start the exposure", 1},
    };
    uint64_t id = 0;
    for (const auto &c : cases) {
        ExposureRequest exposure = request(++id);
        exposure.window = c.window;
        state.startResult = c.startResult;
        worker->expose(exposure);
        const auto events = waitFor(WorkerEvent::Kind::ExposureFailed, id);
        EXPECT_NE(events.back().message.find(c.message), std::string::npos)
            << events.back().message;
        EXPECT_FALSE(has(events, WorkerEvent::Kind::ExposureStarted, id));
        EXPECT_EQ(countOf("StartExposure"), c.starts);
        EXPECT_EQ(countOf("IsExposing"), 0);
    }
}

TEST_F(Worker, ShutdownDuringAnExposureFinalizesTheCamera) {
    start();
    ASSERT_TRUE(connect().connected);
    state.neverCompletes = true;
    std::atomic<bool> polling{false};
    state.onPendingPoll = [&polling](int) { polling = true; };
    worker->expose(request(1, 0));
    for (int i = 0; i < 10000 && !polling; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(polling);
    worker.reset();
    EXPECT_EQ(countOf("Finalize"), 1);
    EXPECT_EQ(calls().back(), "unload");
}

TEST_F(Worker, PollsWhenTheFrameIsExpectedAndLeavesTheWaitForADisconnect) {
    // Each pending poll here pauses 1 ms, so a worker polling from the start
    // would make about 120 calls per frame.
    state.deliverAfter = std::chrono::milliseconds(120);
    start();
    ASSERT_TRUE(connect().connected);
    for (uint64_t id = 1; id <= 3; ++id) {
        worker->expose(request(id));
        waitFor(WorkerEvent::Kind::FrameReady, id);
    }
    const long learned = countOf("IsExposing");
    for (uint64_t id = 4; id <= 9; ++id) {
        worker->expose(request(id));
        waitFor(WorkerEvent::Kind::FrameReady, id);
    }
    // One call per frame; a frame found a pause late makes a second.
    EXPECT_LE(countOf("IsExposing") - learned, 8);

    // A long exposure: no call during the wait, which a disconnect ends.
    const long before = countOf("IsExposing");
    worker->expose(request(10, 60000));
    waitFor(WorkerEvent::Kind::ExposureStarted, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(countOf("IsExposing"), before);
    const auto asked = std::chrono::steady_clock::now();
    worker->disconnect();
    waitFor(WorkerEvent::Kind::Disconnected, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5))
        << "the disconnect waited for the exposure";
    EXPECT_EQ(countOf("IsExposing"), before);
    EXPECT_EQ(countOf("Finalize"), 1);
}

namespace {

using std::chrono::milliseconds;

// Attempts 100 ms apart, then 200 ms: the intervals show in ReopenFailed.
constexpr RecoveryTiming kQuickRecovery{.firstInterval = milliseconds(100),
                                        .longestInterval = milliseconds(200)};
// A camera that stays away between attempts for longer than any test waits.
constexpr RecoveryTiming kSlowRecovery{.firstInterval = std::chrono::seconds(60),
                                       .longestInterval = std::chrono::seconds(60)};
constexpr int kForever = 1000000;

// The camera's own events in order: "lost", "failed 1 (... 0.1 s)", "back 2".
std::vector<std::string> cameraStory(const std::vector<WorkerEvent> &events) {
    std::vector<std::string> story;
    for (const WorkerEvent &e : events) {
        if (e.kind == WorkerEvent::Kind::CameraLost) {
            story.push_back("lost");
        } else if (e.kind == WorkerEvent::Kind::ReopenFailed) {
            const auto in = e.message.rfind("trying again in ");
            story.push_back("failed " + std::to_string(e.attempt) + " (" +
                            (in == std::string::npos ? e.message : e.message.substr(in)) + ")");
        } else if (e.kind == WorkerEvent::Kind::CameraBack) {
            story.push_back("back " + std::to_string(e.attempt));
        }
    }
    return story;
}

// The calls of one attempt to reopen the camera, as a host application opens
// it; a failed attempt closes what it opened.
std::vector<std::string> attemptCalls(bool opens) {
    std::vector<std::string> calls = {"load module.so", "Subframe",        "Subframe",
                                      "Subframe",       "Subframe",        "Subframe",
                                      "Initialize",     "SetupCCD(quiet)", "GetOK"};
    if (!opens) {
        calls.insert(calls.end(), {"Finalize", "unload"});
    }
    return calls;
}

}  // namespace

// The exposure that lost the camera fails once, the camera is reopened until it
// answers, and the next exposure is taken by the fresh module.
TEST_F(Worker, ACameraThatStopsAnsweringIsReopenedUntilItAnswers) {
    const struct {
        const char *name;
        int lostFrames, refusedStarts, failedOpenings;
        const char *failure;  // in exposure 1's ExposureFailed
        const char *lost;     // CameraLost's message
        std::vector<std::string> story;
    } cases[] = {
        {"a frame that never comes, the camera opens at once",
         1,
         0,
         0,
         "no image from the camera after",
         "no frame within 0.1 s of the exposure's end",
         {"lost", "back 1"}},
        {"the camera opens at the fourth attempt",
         1,
         0,
         3,
         "no image from the camera after",
         "no frame within 0.1 s of the exposure's end",
         {"lost", "failed 1 (trying again in 0.1 s)", "failed 2 (trying again in 0.2 s)",
          "failed 3 (trying again in 0.2 s)", "back 4"}},
        {"the driver refuses to start",
         0,
         1,
         1,
         "refused to start the exposure",
         "the driver refused to start an exposure",
         {"lost", "failed 1 (trying again in 0.1 s)", "back 2"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        worker.reset();
        state.calls.clear();
        start(milliseconds(100), kQuickRecovery);
        ASSERT_TRUE(connect().connected);
        state.lostFrames = c.lostFrames;
        state.refusedStarts = c.refusedStarts;
        state.failedOpenings = c.failedOpenings;
        worker->expose(request(1));
        auto events = waitFor(WorkerEvent::Kind::CameraBack, 0);
        const size_t reopened = calls().size();
        EXPECT_FALSE(worker->reopening());
        worker->expose(request(2));
        const auto next = waitFor(WorkerEvent::Kind::FrameReady, 2);
        events.insert(events.end(), next.begin(), next.end());

        const auto failed = std::find_if(events.begin(), events.end(), [](const WorkerEvent &e) {
            return e.kind == WorkerEvent::Kind::ExposureFailed;
        });
        ASSERT_NE(failed, events.end());
        EXPECT_EQ(failed->id, 1u);
        EXPECT_TRUE(failed->recovering);
        EXPECT_NE(failed->message.find(c.failure), std::string::npos) << failed->message;
        ASSERT_NE(failed + 1, events.end());
        EXPECT_EQ((failed + 1)->kind, WorkerEvent::Kind::CameraLost) << "reported at once";
        EXPECT_EQ((failed + 1)->message, c.lost);
        EXPECT_EQ(cameraStory(events), c.story);
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const WorkerEvent &e) {
                                    return e.kind == WorkerEvent::Kind::ExposureFailed ||
                                           e.kind == WorkerEvent::Kind::FrameReady;
                                }),
                  2)
            << "one answer per exposure";

        // The lost camera is closed and the module unloaded; every attempt
        // opens the camera from a fresh load.
        std::vector<std::string> expected = {"Finalize", "unload"};
        for (int attempt = 0; attempt <= c.failedOpenings; ++attempt) {
            const auto calls = attemptCalls(attempt == c.failedOpenings);
            expected.insert(expected.end(), calls.begin(), calls.end());
        }
        const auto all = calls();
        const auto end = all.begin() + static_cast<long>(reopened);
        EXPECT_EQ(std::vector<std::string>(std::find(all.begin(), end, "Finalize"), end), expected);
        EXPECT_EQ(countOf("ReadImage"), 1);
    }
}

// Requests made while the camera is away: failed at once, or held for the
// camera as long as they allow, or dropped by an abort.
TEST_F(Worker, ExposuresAskedWhileTheCameraIsAway) {
    const struct {
        const char *name;
        milliseconds wait;
        bool abort;
        bool cameraReturns;
        const char *failure;  // nullptr: the exposure is taken, or (aborted) never heard of
    } cases[] = {
        {"no wait: fails at once", milliseconds(0), false, false,
         "the camera is away and being reopened (no frame within"},
        {"waits and the camera returns", std::chrono::seconds(30), false, true, nullptr},
        {"waits longer than it allows", milliseconds(300), false, false,
         "the camera did not come back within 0.3 s (no frame within"},
        {"held, then aborted", std::chrono::seconds(30), true, true, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        worker.reset();
        state.calls.clear();
        state.failedOpenings = 0;
        start(milliseconds(100),
              {.firstInterval = milliseconds(100), .longestInterval = milliseconds(100)});
        ASSERT_TRUE(connect().connected);
        state.lostFrames = 1;
        state.failedOpenings = kForever;
        worker->expose(request(1));
        auto events = waitFor(WorkerEvent::Kind::CameraLost, 0);
        EXPECT_TRUE(worker->reopening());

        ExposureRequest held = request(2);
        held.waitForCamera = c.wait;
        const auto asked = std::chrono::steady_clock::now();
        worker->expose(held);
        if (c.abort) {
            worker->abort();
        }
        if (c.failure != nullptr) {
            const auto more = waitFor(WorkerEvent::Kind::ExposureFailed, 2);
            EXPECT_GE(std::chrono::steady_clock::now() - asked, c.wait);
            EXPECT_TRUE(more.back().recovering);
            EXPECT_NE(more.back().message.find(c.failure), std::string::npos)
                << more.back().message;
            EXPECT_TRUE(worker->reopening());
            EXPECT_EQ(countOf("StartExposure"), 1);
            continue;
        }
        std::this_thread::sleep_for(milliseconds(250));  // through some failed attempts
        state.failedOpenings = 0;
        uint64_t taken = 2;
        if (c.abort) {
            taken = 3;
            ExposureRequest later = request(3);
            later.waitForCamera = c.wait;
            worker->expose(later);
        }
        const auto more = waitFor(WorkerEvent::Kind::FrameReady, taken);
        events.insert(events.end(), more.begin(), more.end());
        const auto back = std::find_if(events.begin(), events.end(), [](const WorkerEvent &e) {
            return e.kind == WorkerEvent::Kind::CameraBack;
        });
        ASSERT_NE(back, events.end());
        EXPECT_TRUE(std::none_of(events.begin(), back, [&](const WorkerEvent &e) {
            return e.id == taken;
        })) << "the exposure ran before the camera was back";
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const WorkerEvent &e) { return e.id == 2; }),
                  c.abort ? 0 : 2)
            << "started and delivered, or never heard of";
        EXPECT_EQ(countOf("StartExposure"), 2);
    }
}

// Leaving a reopening that waits a minute between attempts: disconnect, the
// destructor and a new connect each end it at once.
TEST_F(Worker, LeavingAReopeningIsPrompt) {
    enum class Leave { Disconnect, Destroy, Connect };
    const struct {
        const char *name;
        Leave leave;
    } cases[] = {
        {"disconnect", Leave::Disconnect},
        {"destructor", Leave::Destroy},
        {"connect", Leave::Connect},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        worker.reset();
        state.calls.clear();
        start(milliseconds(100), kSlowRecovery);
        ASSERT_TRUE(connect().connected);
        state.lostFrames = 1;
        state.failedOpenings = 1;
        worker->expose(request(1));
        waitFor(WorkerEvent::Kind::ReopenFailed, 0);
        const long loads = countOf("load module.so");

        const auto asked = std::chrono::steady_clock::now();
        switch (c.leave) {
            case Leave::Disconnect:
                worker->disconnect();
                waitFor(WorkerEvent::Kind::Disconnected, 0);
                EXPECT_FALSE(worker->reopening());
                break;
            case Leave::Destroy:
                worker.reset();
                break;
            case Leave::Connect: {
                ASSERT_TRUE(connect().connected);
                EXPECT_EQ(cameraStory(waitFor(WorkerEvent::Kind::CameraBack, 0)),
                          std::vector<std::string>{"back 0"});
                EXPECT_FALSE(worker->reopening());
                worker->expose(request(2));
                waitFor(WorkerEvent::Kind::FrameReady, 2);
                break;
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(countOf("load module.so"), loads + (c.leave == Leave::Connect ? 1 : 0))
            << "attempts went on";
    }
}
