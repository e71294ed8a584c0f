// How the simulated camera behaves as a device: opening and closing, timed frame
// delivery on its own thread, replaced and cancelled requests, faults.
#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "sim_test_support.h"

namespace simtest {
namespace {

using std::chrono::milliseconds;

constexpr int32_t kFullFrame = 0;
constexpr int32_t kRowPairs = 2;
// Full-frame value of an exposure that cannot end while a test runs: 2000 s.
constexpr int32_t kEndlessValue = 1000000;
// Long enough for a frame that should not come to have come (at time scale 0 a
// frame arrives once rendered, well under this).
constexpr auto kQuietPeriod = milliseconds(800);

class CameraProtocolTest : public SimCameraTest {};

TEST_F(CameraProtocolTest, RequestReturnsAtOnceAndStateAnswersZeroUntilTheFrameIsComplete) {
    setVariable("QM_SIM_TIME_SCALE", "1");
    FrameBuffer frame;
    ASSERT_EQ(YCCDSetExposure(kEndlessValue), 1);
    ASSERT_EQ(YCCDGetImageData(kFullFrame, frame.data()), 1);
    EXPECT_EQ(YCCDGetImageDataState(), 0);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(YCCDGetImageDataState(), 0);
    EXPECT_TRUE(frame.untouched());
}

TEST_F(CameraProtocolTest, FrameIsCompleteWhenStateFirstAnswersNonzero) {
    FrameBuffer reference;
    ASSERT_TRUE(captureFrame(kFullFrame, 5000, reference));
    // 10 s of exposure scaled to half a second of waiting.
    setVariable("QM_SIM_TIME_SCALE", "0.05");
    FrameBuffer frame;
    ASSERT_EQ(YCCDGetImageData(kFullFrame, frame.data()), 1);
    EXPECT_EQ(YCCDGetImageDataState(), 0);
    ASSERT_TRUE(waitForFrame());
    EXPECT_TRUE(frame.bytes == reference.bytes);
    EXPECT_NE(YCCDGetImageDataState(), 0) << "a delivered frame stays reported";
}

TEST_F(CameraProtocolTest, NewRequestReplacesThePendingOne) {
    setVariable("QM_SIM_TIME_SCALE", "1");
    FrameBuffer abandoned;
    ASSERT_EQ(YCCDSetExposure(kEndlessValue), 1);
    ASSERT_EQ(YCCDGetImageData(kFullFrame, abandoned.data()), 1);

    // Into the same buffer: a row-pair frame leaves the lower half as it was.
    setVariable("QM_SIM_TIME_SCALE", "0");
    FrameBuffer shared;
    ASSERT_EQ(YCCDGetImageData(kFullFrame, shared.data()), 1);
    ASSERT_EQ(YCCDSetExposure(1000), 1);
    ASSERT_EQ(YCCDGetImageData(kRowPairs, shared.data()), 1);
    ASSERT_TRUE(waitForFrame());

    FrameBuffer reference;
    ASSERT_TRUE(captureFrame(kRowPairs, 1000, reference));
    EXPECT_TRUE(shared.bytes == reference.bytes);
    EXPECT_EQ(shared.firstWrittenFrom(kRowPairFrameBytes), shared.bytes.size());
    EXPECT_TRUE(abandoned.untouched());
}

TEST_F(CameraProtocolTest, NothingIsWrittenOnceTheCameraIsStoppedOrReleased) {
    static const struct {
        const char *name;
        const char *timeScale;
        int32_t exposureValue;
        int32_t (*stop)();
    } cases[] = {
        {"release during a 500 ms exposure", "1", 250, YCCDReleaseVideo},
        {"release during rendering", "0", 0, YCCDReleaseVideo},
        {"stop during a 500 ms exposure", "1", 250, YCCDStopView},
        {"stop during rendering", "0", 0, YCCDStopView},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(openCamera());
        setVariable("QM_SIM_TIME_SCALE", c.timeScale);
        FrameBuffer frame;
        ASSERT_EQ(YCCDSetExposure(c.exposureValue), 1);
        ASSERT_EQ(YCCDGetImageData(kFullFrame, frame.data()), 1);
        EXPECT_EQ(c.stop(), 1);
        // The frame may have been written before the call returned, never after.
        const std::vector<uint8_t> atStop = frame.bytes;
        const int32_t stateAtStop = YCCDGetImageDataState();
        std::this_thread::sleep_for(kQuietPeriod);
        EXPECT_TRUE(frame.bytes == atStop);
        EXPECT_EQ(YCCDGetImageDataState(), stateAtStop);
        EXPECT_EQ(stateAtStop, 0);
    }
}

TEST_F(CameraProtocolTest, StoppedCameraRefusesRequestsUntilStartedAgain) {
    ASSERT_EQ(YCCDStopView(), 1);
    FrameBuffer frame;
    EXPECT_EQ(YCCDGetImageData(kFullFrame, frame.data()), 0);
    std::this_thread::sleep_for(kQuietPeriod);
    EXPECT_TRUE(frame.untouched());
    ASSERT_EQ(YCCDStartView(), 1);
    EXPECT_TRUE(captureFrame(kFullFrame, 100, frame));
}

TEST_F(CameraProtocolTest, RefusedRequestsWriteNothingAndCancelThePendingOne) {
    static const struct {
        const char *name;
        int32_t previewMode;
        bool withBuffer;
    } cases[] = {
        {"preview mode 1", 1, true},      {"preview mode 3", 3, true},
        {"preview mode -1", -1, true},    {"preview mode 2^31 - 1", INT32_MAX, true},
        {"no buffer", kFullFrame, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        setVariable("QM_SIM_TIME_SCALE", "0");
        FrameBuffer pending;
        ASSERT_EQ(YCCDGetImageData(kFullFrame, pending.data()), 1);
        FrameBuffer refused;
        EXPECT_EQ(YCCDGetImageData(c.previewMode, c.withBuffer ? refused.data() : nullptr), 0);
        const std::vector<uint8_t> atRefusal = pending.bytes;
        std::this_thread::sleep_for(kQuietPeriod);
        EXPECT_EQ(YCCDGetImageDataState(), 0);
        EXPECT_TRUE(refused.untouched());
        EXPECT_TRUE(pending.bytes == atRefusal);
    }
}

TEST_F(CameraProtocolTest, SettingsAreCheckedAndRefusedOnesChangeNothing) {
    static const struct {
        const char *name;
        std::function<int32_t()> call;
        int32_t expected;
    } cases[] = {
        {"preview mode 0", [] { return YCCDSetPreviewMode(0); }, 1},
        {"preview mode 2", [] { return YCCDSetPreviewMode(2); }, 1},
        {"preview mode 1", [] { return YCCDSetPreviewMode(1); }, 0},
        {"preview mode -2", [] { return YCCDSetPreviewMode(-2); }, 0},
        {"gains 1, 1, 1", [] { return YCCDSetColorGain(1.0f, 1.0f, 1.0f); }, 1},
        {"gains 0, 16, 0.5", [] { return YCCDSetColorGain(0.0f, 16.0f, 0.5f); }, 1},
        {"negative gain", [] { return YCCDSetColorGain(1.0f, -0.5f, 1.0f); }, 0},
        {"gain above 16", [] { return YCCDSetColorGain(1.0f, 1.0f, 17.0f); }, 0},
        {"gain NaN",
         [] { return YCCDSetColorGain(std::numeric_limits<float>::quiet_NaN(), 1.0f, 1.0f); }, 0},
        {"gain infinite",
         [] { return YCCDSetColorGain(1.0f, std::numeric_limits<float>::infinity(), 1.0f); }, 0},
        {"exposure -1", [] { return YCCDSetExposure(-1); }, 1},
        {"exposure 2^31 - 1", [] { return YCCDSetExposure(INT32_MAX); }, 1},
        {"auto exposure on", [] { return YCCDEnableAE(1); }, 1},
        {"auto white balance on", [] { return YCCDEnableAWB(1); }, 1},
        {"pause", [] { return YCCDPauseView(); }, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.name;
    }
    // The refused gains left 0, 16, 0.5 in place: red sites see no light.
    FrameBuffer frame;
    ASSERT_TRUE(captureFrame(kFullFrame, 500, frame));
    int64_t redAboveDark = 0;
    for (int32_t column = 0; column < kSensorWidth; column += 2) {
        redAboveDark += frame.sample(0, column) > simcam::kBiasLevel + 6 * simcam::kReadNoise;
    }
    EXPECT_EQ(redAboveDark, 0);
}

TEST_F(CameraProtocolTest, CallsOnAClosedCameraReturnNormallyAndDoNothing) {
    ASSERT_EQ(YCCDReleaseVideo(), 1);
    FrameBuffer frame;
    static const struct {
        const char *name;
        std::function<int32_t(FrameBuffer &)> call;
        int32_t expected;
    } cases[] = {
        {"StartView", [](FrameBuffer &) { return YCCDStartView(); }, 0},
        {"EnableAE", [](FrameBuffer &) { return YCCDEnableAE(0); }, 0},
        {"EnableAWB", [](FrameBuffer &) { return YCCDEnableAWB(1); }, 0},
        {"SetPreviewMode", [](FrameBuffer &) { return YCCDSetPreviewMode(2); }, 0},
        {"PauseView", [](FrameBuffer &) { return YCCDPauseView(); }, 0},
        {"SetExposure", [](FrameBuffer &) { return YCCDSetExposure(200); }, 0},
        {"SetColorGain", [](FrameBuffer &) { return YCCDSetColorGain(1.0f, 1.0f, 1.0f); }, 0},
        {"GetImageData mode 2", [](FrameBuffer &f) { return YCCDGetImageData(2, f.data()); }, 0},
        {"GetImageData mode 0", [](FrameBuffer &f) { return YCCDGetImageData(0, f.data()); }, 0},
        {"GetImageDataState", [](FrameBuffer &) { return YCCDGetImageDataState(); }, 0},
        {"StopView", [](FrameBuffer &) { return YCCDStopView(); }, 1},
        {"ReleaseVideo", [](FrameBuffer &) { return YCCDReleaseVideo(); }, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(frame), c.expected) << c.name;
    }
    std::this_thread::sleep_for(kQuietPeriod);
    EXPECT_TRUE(frame.untouched());
    EXPECT_EQ(YCCDGetImageDataState(), 0);
}

TEST_F(CameraProtocolTest, FaultsFailTheirCallAndStopDelivery) {
    static const struct {
        const char *fault;
        int32_t initialVideo;
        int32_t startView;
        int32_t enableAe;
        int32_t request;
        bool delivers;
    } cases[] = {
        {"", 1, 1, 1, 1, true},
        {"no-camera", 0, 0, 0, 0, false},
        {"initial-video", 0, 0, 0, 0, false},
        {"start-view", 1, 0, 1, 0, false},
        {"enable-ae", 1, 1, 0, 0, false},
        {"never-completes", 1, 1, 1, 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("fault \"") + c.fault + "\"");
        YCCDReleaseVideo();
        setVariable("QM_SIM_FAULT", c.fault);
        EXPECT_EQ(YCCDInitialVideo(0), c.initialVideo);
        EXPECT_EQ(YCCDStartView(), c.startView);
        EXPECT_EQ(YCCDEnableAE(0), c.enableAe);
        YCCDSetExposure(100);
        FrameBuffer frame;
        EXPECT_EQ(YCCDGetImageData(kRowPairs, frame.data()), c.request);
        if (c.delivers) {
            EXPECT_TRUE(waitForFrame());
            EXPECT_FALSE(frame.untouched());
        } else {
            std::this_thread::sleep_for(kQuietPeriod);
            EXPECT_EQ(YCCDGetImageDataState(), 0);
            EXPECT_TRUE(frame.untouched());
        }
        // Without the fault the camera opens and delivers again.
        clearVariable("QM_SIM_FAULT");
        EXPECT_TRUE(openCamera());
        EXPECT_TRUE(captureFrame(kRowPairs, 100, frame));
    }
}

TEST_F(CameraProtocolTest, UnknownFaultIsReportedOnceAndIgnored) {
    YCCDReleaseVideo();
    setVariable("QM_SIM_FAULT", "no-such-fault");
    ::testing::internal::CaptureStderr();
    const bool opened = openCamera();
    FrameBuffer frame;
    const bool captured = captureFrame(kFullFrame, 100, frame);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(opened);
    EXPECT_TRUE(captured);
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    EXPECT_NE(report.find("QM_SIM_FAULT"), std::string::npos) << report;
    EXPECT_NE(report.find("no-such-fault"), std::string::npos) << report;
}

}  // namespace
}  // namespace simtest
