// Identity, binning modes, window arithmetic and the state of a fresh module.
#include <cstring>

#include <iterator>
#include <vector>

#include "tests/driver/driver_fixture.h"
#include "tests/support/window_cases.h"

namespace {

constexpr uint32_t kMinusOne = 0xFFFFFFFFu;

}  // namespace

TEST_F(DriverTest, FreshModuleAnswersItsInitialState) {
    EXPECT_EQ(d().GetOK(), 0);
    for (int32_t argument : {0, 1, -1, 12345}) {
        EXPECT_EQ(d().GetWidth(argument), 0) << argument;
        EXPECT_EQ(d().GetHeight(argument), 0) << argument;
    }
    EXPECT_EQ(d().IsColor(), 1);
    EXPECT_EQ(d().IsExposing(), 0);
    EXPECT_EQ(d().GetTemperature(), 0);
    EXPECT_EQ(d().BinningCount(), 5);
    EXPECT_EQ(d().InterruptExposure(), 1);
    EXPECT_EQ(d().StartDownload(), 1);
    EXPECT_EQ(d().EndDownload(-7), 1);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(record().sleeps.empty());
}

TEST_F(DriverTest, IdentityTextsAreStaticAndStable) {
    const char *name = d().GetName();
    const char *info = d().GetInfo();
    EXPECT_STREQ(name, "QM-208X VESK driver v1.00");
    EXPECT_STREQ(info, "Vantrel CCD");
    connect();
    EXPECT_EQ(d().GetName(), name);
    EXPECT_EQ(d().GetInfo(), info);
    EXPECT_STREQ(d().GetName(), "QM-208X VESK driver v1.00");
}

TEST_F(DriverTest, BinningNamesAndRefusal) {
    const struct {
        uint32_t mode;
        const char *name;  // nullptr: no such mode
    } cases[] = {
        {0, "4x4 HW bw"}, {1, "4x4 SW cl/bw"}, {2, "2x2 SW cl/bw"}, {3, "2x2 HW bw"},
        {4, "1x1 HW cl/bw"}, {5, nullptr}, {kMinusOne, nullptr}, {0x80000000u, nullptr},
    };
    for (const auto &c : cases) {
        const char *name = d().BinningName(c.mode);
        if (c.name == nullptr) {
            EXPECT_EQ(name, nullptr) << "mode " << c.mode;
        } else {
            ASSERT_NE(name, nullptr) << "mode " << c.mode;
            EXPECT_STREQ(name, c.name);
            EXPECT_EQ(d().BinningName(c.mode), name) << "pointer changed, mode " << c.mode;
        }
    }
}

TEST_F(DriverTest, SubframeScalesHostUnitsToBinnedPixels) {
    std::vector<WindowCase> cases(std::begin(kWindowCases), std::end(kWindowCases));
    cases.insert(cases.end(), {
        {0, 0, 48, 65, 4, 0, 0},
        {0, 0, 49, 66, 4, 1, 1},
        {0, 0, 781, 1041, 0, 0, 0},
        {0, 0, 782, 1042, 0, 4, 4},
        {0, 0, 200000, 100000, 4, 4096, 1536},
        {0, 0, 3000000, 100000, 4, 18490, 1536},          // 2048 x 3000000 wraps mod 2^32
        {0, 0, kMinusOne, kMinusOne, 4, 42949, 42949},    // (2^32 - 2048) / 100000 -> 42949
        {0, 0, 99999, 99999, 1, 508, 380},                // 511.99 and 383.99, rounded to 4
        {0, 0, 60000, 70000, 2, 614, 536},                // 614.4 and 537.6, rounded to 2
    });
    for (const auto &c : cases) {
        EXPECT_EQ(d().Subframe(c.x, c.y, c.width, c.height, c.mode), 1);
        EXPECT_EQ(d().GetWidth(0), c.expectedWidth)
            << "x " << c.x << " width " << c.width << " mode " << c.mode;
        EXPECT_EQ(d().GetHeight(0), c.expectedHeight)
            << "y " << c.y << " height " << c.height << " mode " << c.mode;
        EXPECT_EQ(d().IsColor(), 1);
    }
}

TEST_F(DriverTest, RejectedModeIsKeptAndRefusesWork) {
    uint8_t *frame = connect();
    ASSERT_NE(frame, nullptr);
    for (uint32_t badMode : {5u, kMinusOne, 1000u}) {
        ASSERT_EQ(d().Subframe(0, 0, 50000, 50000, 2), 1);
        const int32_t width = d().GetWidth(0);
        const int32_t height = d().GetHeight(0);
        EXPECT_EQ(d().Subframe(0, 0, 100000, 100000, badMode), 0) << badMode;
        EXPECT_EQ(d().IsColor(), 0) << badMode;
        EXPECT_EQ(d().GetWidth(0), width) << badMode;
        EXPECT_EQ(d().GetHeight(0), height) << badMode;
        calls().clear();
        EXPECT_EQ(d().StartExposure(1000, 0), 0) << badMode;
        EXPECT_TRUE(calls().empty()) << badMode;

        std::vector<uint16_t> image(width * height, 0x5A5A);
        EXPECT_EQ(d().ReadImage(image.data()), 1);
        EXPECT_EQ(image, std::vector<uint16_t>(image.size(), 0x5A5A)) << "image written, mode " << badMode;
    }
    EXPECT_EQ(d().Subframe(0, 0, 100000, 100000, 4), 1);
    EXPECT_EQ(d().IsColor(), 1);
    EXPECT_EQ(d().StartExposure(100, 0), 1);
}

TEST_F(DriverTest, MoveFrameIgnoresUnknownDirections) {
    ASSERT_EQ(d().Subframe(0, 0, 100000, 100000, 0), 1);
    for (int32_t direction : {0, 5, -1, -4, 100, static_cast<int32_t>(0x80000000u)}) {
        EXPECT_EQ(d().MoveFrame(direction), 1) << direction;
        EXPECT_EQ(d().GetWidth(0), 512);
        EXPECT_EQ(d().GetHeight(0), 384);
    }
    for (int32_t direction : {1, 2, 3, 4}) {
        EXPECT_EQ(d().MoveFrame(direction), 1) << direction;
        EXPECT_EQ(d().GetWidth(0), 512) << "size must not change, direction " << direction;
        EXPECT_EQ(d().GetHeight(0), 384) << "size must not change, direction " << direction;
        EXPECT_EQ(d().IsColor(), 1);
    }
}
