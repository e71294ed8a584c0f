// The environment variables the simulated camera reads, seen through its exports.
#include <algorithm>

#include "sim_test_support.h"

namespace simtest {
namespace {

constexpr int32_t kRowPairs = 2;
constexpr int32_t kShortValue = 40;  // 20 ms in row-pair mode

int64_t lineCount(const std::string &text) { return std::count(text.begin(), text.end(), '\n'); }

class SettingsTest : public SimCameraTest {};

TEST_F(SettingsTest, SeedSelectsTheFrameAndUnusableSeedsFallBackToTheDefault) {
    FrameBuffer defaultFrame;
    ASSERT_TRUE(captureFrame(kRowPairs, kShortValue, defaultFrame));
    static const struct {
        const char *seed;  // nullptr: unset
        bool reported;
        bool defaultField;
    } cases[] = {
        {nullptr, false, true},       {"", false, true},          {"20800", false, true},
        {"020800", false, true},      {"20801", false, false},    {"0", false, false},
        {"4294967295", false, false}, {"4294967296", true, true}, {"-1", true, true},
        {"12abc", true, true},        {" 7", true, true},         {"0x10", true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seed == nullptr ? "unset" : std::string("seed \"") + c.seed + "\"");
        if (c.seed == nullptr) {
            clearVariable("QM_SIM_SEED");
        } else {
            setVariable("QM_SIM_SEED", c.seed);
        }
        ::testing::internal::CaptureStderr();
        FrameBuffer frame;
        const bool captured = captureFrame(kRowPairs, kShortValue, frame);
        const std::string report = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(captured);
        EXPECT_EQ(frame.bytes == defaultFrame.bytes, c.defaultField);
        EXPECT_EQ(lineCount(report), c.reported ? 1 : 0) << report;
        if (c.reported) {
            EXPECT_NE(report.find("QM_SIM_SEED"), std::string::npos) << report;
        }
    }
}

TEST_F(SettingsTest, TimeScaleStretchesTheWaitAndUnusableScalesMeanOne) {
    // 2000 s of exposure: at scale 1 it cannot end during the test, at the
    // smallest usable scales it ends at once.
    constexpr int32_t kEndlessValue = 1000000;
    static const struct {
        const char *scale;  // nullptr: unset
        bool reported;
        bool instant;
    } cases[] = {
        {"0", false, true},   {"0.0", false, true},  {"1e-9", false, true}, {nullptr, false, false},
        {"1", false, false},  {"-1", true, false},   {"abc", true, false},  {"inf", true, false},
        {"nan", true, false}, {"0.5s", true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scale == nullptr ? "unset" : std::string("scale \"") + c.scale + "\"");
        if (c.scale == nullptr) {
            clearVariable("QM_SIM_TIME_SCALE");
        } else {
            setVariable("QM_SIM_TIME_SCALE", c.scale);
        }
        ::testing::internal::CaptureStderr();
        FrameBuffer frame;
        YCCDSetExposure(kEndlessValue);
        const int32_t accepted = YCCDGetImageData(0, frame.data());
        const std::string report = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(accepted, 1);
        EXPECT_EQ(lineCount(report), c.reported ? 1 : 0) << report;
        if (c.instant) {
            EXPECT_TRUE(waitForFrame());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
            EXPECT_EQ(YCCDGetImageDataState(), 0);
            EXPECT_TRUE(frame.untouched());
        }
        YCCDStopView();
        ASSERT_EQ(YCCDStartView(), 1);
    }
}

// Fixed noise repeats a frame of the same length; fresh noise does not. Anything
// but "fresh" and "fixed" is reported and means fresh.
TEST_F(SettingsTest, NoiseIsFreshUnlessFixedIsAsked) {
    static const struct {
        const char *noise;  // nullptr: unset
        bool reported;
        bool repeats;
    } cases[] = {
        {nullptr, false, false}, {"", false, false},     {"fresh", false, false},
        {"fixed", false, true},  {"Fixed", true, false}, {"fixed ", true, false},
        {"random", true, false}, {"0", true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.noise == nullptr ? "unset" : std::string("noise \"") + c.noise + "\"");
        if (c.noise == nullptr) {
            clearVariable("QM_SIM_NOISE");
        } else {
            setVariable("QM_SIM_NOISE", c.noise);
        }
        ::testing::internal::CaptureStderr();
        FrameBuffer first;
        FrameBuffer second;
        const bool captured = captureFrame(kRowPairs, kShortValue, first) &&
                              captureFrame(kRowPairs, kShortValue, second);
        const std::string report = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(captured);
        EXPECT_EQ(first.bytes == second.bytes, c.repeats);
        EXPECT_EQ(lineCount(report), c.reported ? 1 : 0) << report;
        if (c.reported) {
            EXPECT_NE(report.find("QM_SIM_NOISE"), std::string::npos) << report;
        }
    }
}

// Covered, the frame's brightest sample is a hot pixel at most: no star is there.
// Only "1" covers; anything but "0" and "1" is reported and means open.
TEST_F(SettingsTest, OnlyOneCoversTheTelescope) {
    static const struct {
        const char *covered;  // nullptr: unset
        bool reported;
        bool dark;
    } cases[] = {
        {nullptr, false, false}, {"", false, false}, {"0", false, false}, {"1", false, true},
        {"yes", true, false},    {"2", true, false}, {" 1", true, false}, {"true", true, false},
    };
    constexpr int32_t kLongValue = 40000;  // 20 s in row-pair mode
    for (const auto &c : cases) {
        SCOPED_TRACE(c.covered == nullptr ? "unset" : std::string("covered \"") + c.covered + "\"");
        if (c.covered == nullptr) {
            clearVariable("QM_SIM_COVERED");
        } else {
            setVariable("QM_SIM_COVERED", c.covered);
        }
        ::testing::internal::CaptureStderr();
        FrameBuffer frame;
        const bool captured = captureFrame(kRowPairs, kLongValue, frame);
        const std::string report = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(captured);
        // Sky alone gives a pair about 2000 + 20 s x 44 electrons; covered, about 2004.
        uint32_t darkest = 0xFFFF;
        for (int32_t column = 0; column < kSensorWidth; ++column) {
            darkest = std::min(darkest, frame.sample(kSensorHeight / 4, column));
        }
        EXPECT_EQ(darkest < 2300, c.dark) << "darkest sample " << darkest;
        EXPECT_EQ(lineCount(report), c.reported ? 1 : 0) << report;
        if (c.reported) {
            EXPECT_NE(report.find("QM_SIM_COVERED"), std::string::npos) << report;
        }
    }
}

TEST_F(SettingsTest, UnusableValueIsReportedAgainOnlyAfterItChanged) {
    static const struct {
        const char *seed;
        int64_t lines;
    } steps[] = {
        {"bad", 1}, {"bad", 0}, {"worse", 1}, {"worse", 0}, {"5", 0}, {"worse", 1},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(std::string("seed \"") + step.seed + "\"");
        setVariable("QM_SIM_SEED", step.seed);
        ::testing::internal::CaptureStderr();
        FrameBuffer frame;
        const bool captured = captureFrame(kRowPairs, 0, frame);
        const std::string report = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(captured);
        EXPECT_EQ(lineCount(report), step.lines) << report;
    }
}

}  // namespace
}  // namespace simtest
