// What the INDI device says while the camera is away, and how long an exposure
// asked meanwhile may wait for it; the readout margin from the environment.
#include "indi/camera_absence.h"

#include <gtest/gtest.h>

#include "host/camera_identity.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
const CameraAbsence::Clock::time_point t0{seconds(1000)};

// The host's attempts: at once, then 2, 4, 8 s apart and every 10 s after.
TEST(CameraAbsence, ReportsTheFirstAttemptsThenOneAMinute) {
    const struct {
        uint32_t attempt;
        double at;  // seconds after the loss
        bool reported;
    } attempts[] = {
        {1, 0, true},    {2, 2, true},     {3, 6, true},    {4, 14, false},
        {5, 24, false},  {8, 54, false},   {9, 64, false},  {10, 74, true},
        {11, 84, false}, {15, 124, false}, {16, 134, true}, {17, 144, false},
    };
    CameraAbsence absence;
    EXPECT_TRUE(absence.lose(t0));
    EXPECT_FALSE(absence.lose(t0 + seconds(1))) << "one absence, one loss";
    for (const auto &a : attempts) {
        SCOPED_TRACE("attempt " + std::to_string(a.attempt));
        const auto at = t0 + milliseconds(static_cast<long long>(a.at * 1000));
        const auto line = absence.reopenFailed(a.attempt, "camera not found", at);
        ASSERT_EQ(line.has_value(), a.reported);
        if (line) {
            EXPECT_NE(
                line->find("attempt " + std::to_string(a.attempt) + " failed: camera not found"),
                std::string::npos)
                << *line;
            EXPECT_NE(line->find(std::to_string(static_cast<int>(a.at)) + " s"), std::string::npos)
                << *line;
        }
    }
    const std::string back = absence.back(18, t0 + seconds(150));
    EXPECT_NE(back.find("150 s away"), std::string::npos) << back;
    EXPECT_NE(back.find("attempt 18"), std::string::npos) << back;
    EXPECT_FALSE(absence.away());
    // The next drop-out begins a new count.
    EXPECT_TRUE(absence.lose(t0 + seconds(500)));
    EXPECT_TRUE(absence.reopenFailed(1, "again", t0 + seconds(500)));
}

TEST(CameraAbsence, AnExposureWaitsOnlyWhatIsLeftOfTheWaitSinceTheLoss) {
    const milliseconds allowed = seconds(15);
    const struct {
        bool away;
        double askedAt;  // seconds after the loss
        milliseconds wait;
    } cases[] = {
        {false, 0, allowed},  // the host may lose it first: counted from the request
        {true, 0, allowed},          {true, 4.5, milliseconds(10500)},
        {true, 15, milliseconds(0)}, {true, 300, milliseconds(0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("away " + std::to_string(c.away) + ", at " + std::to_string(c.askedAt));
        CameraAbsence absence;
        if (c.away) {
            absence.lose(t0);
        }
        const auto asked = t0 + milliseconds(static_cast<long long>(c.askedAt * 1000));
        EXPECT_EQ(absence.waitForCamera(allowed, asked), c.wait);
        EXPECT_EQ(absence.waitForCamera(milliseconds(0), asked), milliseconds(0));
    }
    CameraAbsence absence;
    absence.lose(t0);
    absence.forget();
    EXPECT_FALSE(absence.away()) << "a disconnect ends the absence";
}

TEST(ReadoutMarginFromText, SecondsWithinTheLimitsEveryProgramHas) {
    const struct {
        const char *text;
        std::optional<milliseconds> margin;
    } cases[] = {
        {nullptr, kDefaultReadoutMargin},
        {"", kDefaultReadoutMargin},
        {"0.5", milliseconds(500)},
        {"0.1", kShortestReadoutMargin},
        {"3600", kLongestReadoutMargin},
        {"90", seconds(90)},
        {"0.09", std::nullopt},
        {"0", std::nullopt},
        {"-5", std::nullopt},
        {"3601", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
        {"30s", std::nullopt},
        {"thirty", std::nullopt},
        {" ", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(unset)");
        EXPECT_EQ(readoutMarginFromText(c.text), c.margin);
    }
}

}  // namespace
