// Exposure start with each mode's SDK settings, value conversion and polling.
#include <limits>

#include "tests/driver/driver_fixture.h"

namespace {

using Calls = std::vector<std::string>;

Calls previewModeZeroCalls(int32_t value) {
    return {"YCCDSetPreviewMode(0)", "YCCDPauseView()", "YCCDSetColorGain(1,1,1)",
            "YCCDEnableAE(0)", "YCCDEnableAWB(1)", "YCCDSetExposure(" + std::to_string(value) + ")",
            "YCCDGetImageData(0)"};
}

Calls previewModeTwoCalls(int32_t value) {
    return {"YCCDSetPreviewMode(2)", "YCCDPauseView()",
            "YCCDSetExposure(" + std::to_string(value) + ")", "YCCDGetImageData(2)"};
}

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

}  // namespace

TEST_F(DriverTest, ExposureUsesEachModesSettingsAndValue) {
    const struct {
        uint32_t mode;
        int32_t length;
        int32_t value;
    } cases[] = {
        {3, 100, 200},   {4, 100, 50},    {1, 1, 0},      {2, 7, 3},
        {0, 0, 0},       {1, 0, 0},       {2, 0, 0},      {3, 0, 0},      {4, 0, 0},
        {0, -3, -6},     {2, -3, -1},     {4, -1, 0},     {3, -1, -2},
        {0, (1 << 29) - 1, (1 << 30) - 2}, {3, -(1 << 29), -(1 << 30)},
        {0, 1 << 30, kMax},  // 2^31 is beyond int32: limited
        {3, kMax, kMax},  {0, kMin, kMin},  {3, -(1 << 30), kMin},  {0, -(1 << 30) - 1, kMin},
        {4, kMax, kMax / 2},  {1, kMin, kMin / 2},  {2, 5000, 2500},
    };
    uint8_t *frame = connect();
    ASSERT_NE(frame, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " length " + std::to_string(c.length));
        ASSERT_EQ(d().Subframe(0, 0, 100000, 100000, c.mode), 1);
        calls().clear();
        record().frames.clear();
        EXPECT_EQ(d().StartExposure(c.length, 12345), 1);
        const bool binnedRows = c.mode == 0 || c.mode == 3;
        EXPECT_EQ(calls(), binnedRows ? previewModeTwoCalls(c.value) : previewModeZeroCalls(c.value));
        ASSERT_EQ(record().frames.size(), 1u);
        EXPECT_EQ(record().frames[0], frame);
        EXPECT_EQ(d().IsExposing(), 0);  // the double reports the frame complete
    }
}

TEST_F(DriverTest, ExposureBeforeAnySubframeUsesModeZero) {
    connect();
    EXPECT_EQ(d().StartExposure(10, 0), 1);
    EXPECT_EQ(calls(), previewModeTwoCalls(20));
}

TEST_F(DriverTest, PollPausesOnlyWhilePending) {
    connect();
    ASSERT_EQ(d().Subframe(0, 0, 100000, 100000, 2), 1);
    script().frameStates = {0, 0, 0, 5};
    ASSERT_EQ(d().StartExposure(1000, 0), 1);
    calls().clear();
    EXPECT_EQ(d().IsExposing(), 1);
    EXPECT_EQ(d().IsExposing(), 1);
    EXPECT_EQ(d().InterruptExposure(), 1);  // does not end the exposure
    EXPECT_EQ(d().StartExposure(1000, 0), 0);
    EXPECT_EQ(d().IsExposing(), 1);
    EXPECT_EQ(record().sleeps, (std::vector<uint32_t>{200, 200, 200}));
    EXPECT_EQ(d().IsExposing(), 0);  // any nonzero state is complete
    EXPECT_EQ(record().sleeps.size(), 3u);
    EXPECT_EQ(calls(), Calls(4, "YCCDGetImageDataState()"));

    // Idle again: no SDK call, no pause.
    calls().clear();
    EXPECT_EQ(d().IsExposing(), 0);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(record().sleeps.size(), 3u);
    EXPECT_EQ(d().StartExposure(1000, 0), 1);
}

TEST_F(DriverTest, SecondStartWhileActiveIsRefusedSilently) {
    connect();
    script().frameStateAfterScript = 0;
    ASSERT_EQ(d().Subframe(0, 0, 100000, 100000, 4), 1);
    EXPECT_EQ(d().StartExposure(100, 0), 1);
    calls().clear();
    EXPECT_EQ(d().StartExposure(100, 0), 0);
    ASSERT_EQ(d().Subframe(0, 0, 100000, 100000, 3), 1);  // neither mode nor window ends it
    EXPECT_EQ(d().StartExposure(100, 0), 0);
    EXPECT_EQ(d().SetupCCD(1), 1);
    calls().clear();
    EXPECT_EQ(d().StartExposure(100, 0), 0);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(d().IsExposing(), 1);
}

TEST_F(DriverTest, ExposureIgnoresConnectionState) {
    script().initialVideo = 0;
    connect();
    ASSERT_EQ(d().GetOK(), 0);
    EXPECT_EQ(d().GetTemperature(), 0);
    ASSERT_EQ(d().Subframe(0, 0, 100000, 100000, 4), 1);
    EXPECT_EQ(d().StartExposure(100, 0), 1);
    EXPECT_EQ(calls(), previewModeZeroCalls(50));
}

TEST_F(DriverTest, PrimingRequestDoesNotStartAnExposure) {
    connect();
    calls().clear();
    EXPECT_EQ(d().IsExposing(), 0);
    EXPECT_TRUE(calls().empty());
}
