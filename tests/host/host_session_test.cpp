// The host sequence against a scripted stand-in for the
// driver's exports and a stand-in clock: no waiting, no camera.
#include "host/host_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

namespace {

struct Script {
    int pendingPolls = 0;  // d_IsExposing answers 1 this many times
    int32_t startResult = 1;
    int32_t okResult = 1;
    int32_t initializeResult = 1;
    int32_t widthSkew = 0;  // added to the window width d_GetWidth reports
    std::vector<std::string> calls;
    uint32_t subframe[5] = {};
    int32_t exposureLength = -1;
    std::function<bool()> pending;  // when set, decides each d_IsExposing
};
Script script;

void note(const char *call) { script.calls.push_back(call); }

const char *getName() { return "fake"; }
const char *getInfo() { return "Fake CCD"; }
int32_t initialize(int32_t) {
    note("Initialize");
    return script.initializeResult;
}
int32_t setupCCD(int32_t quiet) {
    note(quiet ? "SetupCCD(quiet)" : "SetupCCD(box)");
    return 1;
}
int32_t getOK() {
    note("GetOK");
    return script.okResult;
}
int32_t binningCount() { return 5; }
const char *binningName(uint32_t mode) {
    static const char *names[] = {"4x4 HW bw", "4x4 SW cl/bw", "2x2 SW cl/bw", "2x2 HW bw",
                                  "1x1 HW cl/bw"};
    return mode < 5 ? names[mode] : nullptr;
}
int32_t subframe(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t mode) {
    note("Subframe");
    const uint32_t values[5] = {x, y, w, h, mode};
    std::copy(values, values + 5, script.subframe);
    return mode < 5 ? 1 : 0;
}
int32_t binned(uint32_t host, uint32_t mode, int32_t sensor) {
    const uint32_t factor = mode < 2 ? 4 : (mode < 4 ? 2 : 1);
    const uint32_t mask = mode < 2 ? 3 : (mode < 4 ? 1 : 0);
    return static_cast<int32_t>((sensor / factor * host / 100000) & ~mask);
}
int32_t getWidth(int32_t) {
    return binned(script.subframe[2], script.subframe[4], 2048) + script.widthSkew;
}
int32_t getHeight(int32_t) { return binned(script.subframe[3], script.subframe[4], 1536); }
int32_t isColor() { return 1; }
int32_t moveFrame(int32_t) { return 1; }
int32_t startExposure(int32_t length, int32_t) {
    note("StartExposure");
    script.exposureLength = length;
    return script.startResult;
}
int32_t isExposing() {
    note("IsExposing");
    if (script.pending) {
        return script.pending() ? 1 : 0;
    }
    if (script.pendingPolls > 0) {
        --script.pendingPolls;
        return 1;
    }
    return 0;
}
int32_t interruptExposure() { return 1; }
int32_t startDownload() {
    note("StartDownload");
    return 1;
}
int32_t readImage(uint16_t *) {
    note("ReadImage");
    return 1;
}
int32_t endDownload(int32_t) {
    note("EndDownload");
    return 1;
}
int32_t getTemperature() { return 0; }
int32_t finalize() {
    note("Finalize");
    return 1;
}

DriverApi fakeApi() {
    DriverApi api;
    api.GetName = getName;
    api.GetInfo = getInfo;
    api.Initialize = initialize;
    api.SetupCCD = setupCCD;
    api.GetOK = getOK;
    api.BinningCount = binningCount;
    api.BinningName = binningName;
    api.Subframe = subframe;
    api.GetWidth = getWidth;
    api.GetHeight = getHeight;
    api.IsColor = isColor;
    api.MoveFrame = moveFrame;
    api.StartExposure = startExposure;
    api.IsExposing = isExposing;
    api.InterruptExposure = interruptExposure;
    api.StartDownload = startDownload;
    api.ReadImage = readImage;
    api.EndDownload = endDownload;
    api.GetTemperature = getTemperature;
    api.Finalize = finalize;
    return api;
}

// A clock that moves 200 ms each time it is read, as the paced polls do.
ExposureEnvironment steppingClock(std::chrono::milliseconds step = std::chrono::milliseconds(200)) {
    auto now = std::make_shared<std::chrono::steady_clock::time_point>();
    ExposureEnvironment environment;
    environment.steadyNow = [now, step] {
        *now += step;
        return *now;
    };
    return environment;
}

long countOf(const char *call) {
    return std::count(script.calls.begin(), script.calls.end(), std::string(call));
}

class HostSession : public ::testing::Test {
protected:
    void SetUp() override { script = Script{}; }
    DriverApi api = fakeApi();
    std::vector<uint16_t> image = std::vector<uint16_t>(16);
};

}  // namespace

TEST_F(HostSession, FollowsTheHostSequence) {
    script.pendingPolls = 3;
    std::string error;
    ASSERT_TRUE(exposeFrame(api, 2500, 1000, 1, 1, steppingClock(), image, error)) << error;
    EXPECT_EQ(script.exposureLength, 2500);
    const std::vector<std::string> expected = {"StartExposure", "IsExposing", "IsExposing",
                                               "IsExposing",    "IsExposing", "StartDownload",
                                               "ReadImage",     "EndDownload"};
    EXPECT_EQ(script.calls, expected);
}

TEST_F(HostSession, GivesUpAfterExposurePlusMarginWithoutWaiting) {
    script.pendingPolls = 1000000;
    std::string error;
    EXPECT_FALSE(exposeFrame(api, 1000, 500, 2, 3, steppingClock(), image, error));
    EXPECT_NE(error.find("frame 2: no image from the camera after 1.6 s"), std::string::npos)
        << error;
    EXPECT_NE(error.find("exposure 1.0 s + 0.5 s margin for readout"), std::string::npos) << error;
    // 1.5 s at 200 ms per poll: the eighth poll finds the limit passed.
    EXPECT_EQ(countOf("IsExposing"), 8);
    EXPECT_EQ(countOf("ReadImage"), 0) << "read a frame that never came";
}

TEST_F(HostSession, TimeoutGrowsWithTheExposureByAMarginNotAFactor) {
    const struct {
        int32_t exposureMs, marginMs;
        long polls;
    } cases[] = {{0, 1000, 6}, {1000, 1000, 11}, {10000, 1000, 56}, {10000, 200, 52}};
    for (const auto &c : cases) {
        script = Script{};
        script.pendingPolls = 1000000;
        std::string error;
        EXPECT_FALSE(
            exposeFrame(api, c.exposureMs, c.marginMs, 1, 1, steppingClock(), image, error));
        EXPECT_EQ(countOf("IsExposing"), c.polls)
            << "exposure " << c.exposureMs << " ms, margin " << c.marginMs << " ms";
    }
}

TEST_F(HostSession, ReportsProgressWithElapsedAndLength) {
    script.pendingPolls = 4;
    std::vector<double> elapsed;
    ExposureEnvironment environment = steppingClock();
    environment.progress = [&](uint32_t frame, uint32_t count, double seconds, double length) {
        EXPECT_EQ(frame, 3u);
        EXPECT_EQ(count, 5u);
        EXPECT_DOUBLE_EQ(length, 30.0);
        elapsed.push_back(seconds);
    };
    std::string error;
    ASSERT_TRUE(exposeFrame(api, 30000, 30000, 3, 5, environment, image, error)) << error;
    ASSERT_EQ(elapsed.size(), 4u);
    EXPECT_NEAR(elapsed.front(), 0.2, 1e-9);
    EXPECT_NEAR(elapsed.back(), 0.8, 1e-9);
}

TEST_F(HostSession, RefusedExposureAndInterruptionAreErrors) {
    script.startResult = 0;
    std::string error;
    EXPECT_FALSE(exposeFrame(api, 1000, 1000, 1, 1, steppingClock(), image, error));
    EXPECT_NE(error.find("refused to start the exposure"), std::string::npos) << error;
    EXPECT_EQ(countOf("IsExposing"), 0);

    script = Script{};
    script.pendingPolls = 100;
    std::atomic<bool> interrupted{true};
    ExposureEnvironment environment = steppingClock();
    environment.interrupted = &interrupted;
    EXPECT_FALSE(exposeFrame(api, 1000, 1000, 1, 1, environment, image, error));
    EXPECT_NE(error.find("interrupted"), std::string::npos) << error;
    EXPECT_EQ(countOf("StartExposure"), 0) << "exposed after an interruption";
    EXPECT_EQ(countOf("ReadImage"), 0);

    script = Script{};
    script.pendingPolls = 100;
    interrupted = false;
    environment.progress = [&](uint32_t, uint32_t, double, double) { interrupted = true; };
    EXPECT_FALSE(exposeFrame(api, 1000, 1000, 1, 1, environment, image, error));
    EXPECT_NE(error.find("frame 1: interrupted"), std::string::npos) << error;
    EXPECT_EQ(countOf("IsExposing"), 1);
    EXPECT_EQ(countOf("ReadImage"), 0);
}

TEST_F(HostSession, ConnectionOutcomes) {
    std::string error;
    EXPECT_TRUE(connectCamera(api, false, error)) << error;
    EXPECT_EQ(script.calls, (std::vector<std::string>{"Initialize", "SetupCCD(quiet)", "GetOK"}));

    script = Script{};
    EXPECT_TRUE(connectCamera(api, true, error));
    EXPECT_EQ(countOf("SetupCCD(box)"), 1);

    script = Script{};
    script.okResult = 0;
    EXPECT_FALSE(connectCamera(api, false, error));
    EXPECT_NE(error.find("camera not found"), std::string::npos) << error;

    script = Script{};
    script.initializeResult = 0;
    EXPECT_FALSE(connectCamera(api, false, error));
    EXPECT_NE(error.find("frame buffer"), std::string::npos) << error;
    EXPECT_EQ(countOf("SetupCCD(quiet)"), 0);
}

TEST_F(HostSession, WindowIsCheckedAgainstTheDriversSize) {
    const ModeGeometry g = geometryOf(kCameraModes[2]);
    std::string error;
    ASSERT_TRUE(selectWindow(api, 2, {10, 20, 100, 80}, g, error)) << error;
    EXPECT_EQ(script.subframe[4], 2u);

    script.widthSkew = -2;
    EXPECT_FALSE(selectWindow(api, 2, {10, 20, 100, 80}, g, error));
    EXPECT_NE(error.find("made a 98x80 window instead of 100x80"), std::string::npos) << error;
}

TEST_F(HostSession, ModeSizesAreCheckedAgainstTheCamera) {
    std::string error;
    EXPECT_TRUE(checkModeSizes(api, error)) << error;
    EXPECT_EQ(countOf("Subframe"), 5);

    script = Script{};
    script.widthSkew = 4;
    EXPECT_FALSE(checkModeSizes(api, error));
    EXPECT_NE(error.find("mode 0 makes 516x384 frames, not the 512x384"), std::string::npos)
        << error;
}

namespace {

// A camera on a stand-in clock: the frame arrives `readout` after the
// exposure's length; a pending d_IsExposing pauses 200 ms; the host's sleeps
// move the clock to their end.
struct TimedCamera {
    std::shared_ptr<std::chrono::steady_clock::time_point> now =
        std::make_shared<std::chrono::steady_clock::time_point>();
    std::chrono::steady_clock::time_point deliveredAt;

    ExposureEnvironment environment(DeliveryEstimate &estimate) {
        ExposureEnvironment e;
        e.steadyNow = [clock = now] { return *clock; };
        e.sleepUntil = [clock = now](std::chrono::steady_clock::time_point until) {
            *clock = std::max(*clock, until);
        };
        e.delivery = &estimate;
        e.deliveryKey = {.mode = 4, .width = 2048, .height = 1536};
        return e;
    }
    void arm(std::chrono::milliseconds length, std::chrono::milliseconds readout) {
        deliveredAt = *now + length + readout;
        script.pending = [this] {
            if (*now >= deliveredAt) {
                return false;
            }
            *now += std::chrono::milliseconds(200);
            return true;
        };
    }
};

}  // namespace

TEST_F(HostSession, LearnsWhenToPollSoOnePollFindsTheFrame) {
    const struct {
        int32_t exposureMs;
        int readoutMs;
    } cases[] = {{10, 40}, {10, 130}, {10, 450}, {2000, 130}, {0, 60}};
    for (const auto &c : cases) {
        script = Script{};
        TimedCamera camera;
        DeliveryEstimate estimate;
        const ExposureEnvironment environment = camera.environment(estimate);
        std::string error;
        int late = 0;
        for (int frame = 1; frame <= 25; ++frame) {
            camera.arm(std::chrono::milliseconds(c.exposureMs),
                       std::chrono::milliseconds(c.readoutMs));
            const long pollsBefore = countOf("IsExposing");
            ASSERT_TRUE(exposeFrame(api, c.exposureMs, 1000, 1, 1, environment, image, error))
                << error;
            // Once learned, a frame is found with one poll soon after it came;
            // now and then one is found a pause late as the wait creeps down.
            if (frame > 15 && countOf("IsExposing") - pollsBefore > 1) {
                ++late;
            } else if (frame > 15) {
                const auto after = *camera.now - camera.deliveredAt;
                EXPECT_LE(after, std::chrono::milliseconds(2 + c.readoutMs / 8))
                    << "found " << std::chrono::duration<double, std::milli>(after).count()
                    << " ms after delivery; readout " << c.readoutMs << " ms";
            }
        }
        EXPECT_LE(late, 1) << "of the last 10 frames; exposure " << c.exposureMs << " ms, readout "
                           << c.readoutMs << " ms";
        EXPECT_EQ(countOf("ReadImage"), 25) << "every frame read";
    }
}

TEST_F(HostSession, ProgressAndInterruptionWhileWaitingForTheFrame) {
    TimedCamera camera;
    DeliveryEstimate estimate;
    ExposureEnvironment environment = camera.environment(estimate);
    std::string error;
    for (int i = 0; i < 3; ++i) {
        camera.arm(std::chrono::milliseconds(3000), std::chrono::milliseconds(100));
        ASSERT_TRUE(exposeFrame(api, 3000, 1000, 1, 1, environment, image, error)) << error;
    }
    // Learned: the next frame waits about 3.1 s without a poll, and the
    // progress still moves in steps of at most 200 ms.
    std::vector<double> elapsed;
    environment.progress = [&](uint32_t, uint32_t, double seconds, double) {
        elapsed.push_back(seconds);
    };
    camera.arm(std::chrono::milliseconds(3000), std::chrono::milliseconds(100));
    const long pollsBefore = countOf("IsExposing");
    ASSERT_TRUE(exposeFrame(api, 3000, 1000, 1, 1, environment, image, error)) << error;
    EXPECT_LE(countOf("IsExposing") - pollsBefore, 2);
    ASSERT_GE(elapsed.size(), 15u);
    for (size_t i = 1; i < elapsed.size(); ++i) {
        EXPECT_GT(elapsed[i], elapsed[i - 1]);
        EXPECT_LE(elapsed[i] - elapsed[i - 1], 0.2 + 1e-9);
    }

    // An interrupt during the wait ends the frame without another module call.
    std::atomic<bool> interrupted{false};
    environment.interrupted = &interrupted;
    environment.progress = [&](uint32_t, uint32_t, double seconds, double) {
        interrupted = seconds > 1.0;
    };
    camera.arm(std::chrono::milliseconds(3000), std::chrono::milliseconds(100));
    const long callsBefore = countOf("IsExposing");
    EXPECT_FALSE(exposeFrame(api, 3000, 1000, 1, 1, environment, image, error));
    EXPECT_NE(error.find("interrupted"), std::string::npos) << error;
    EXPECT_EQ(countOf("IsExposing"), callsBefore);
    EXPECT_LT(*camera.now - camera.deliveredAt, std::chrono::milliseconds(0))
        << "left at once, not at the frame's arrival";
}
