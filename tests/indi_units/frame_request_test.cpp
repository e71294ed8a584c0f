// CCD_FRAME requests, the whole binned pixels they become and the host's plan
// for them; CCD_BINNING to modes. How a plan's window and crop cut the image is
// tested with the frame plan in host/.
#include "indi/frame_request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

std::string text(const SensorFrame &f) {
    return std::to_string(f.x) + "," + std::to_string(f.y) + " " + std::to_string(f.width) + "x" +
           std::to_string(f.height);
}

}  // namespace

TEST(FrameRequest, RefusedBeforeAnythingChanges) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double x, y, width, height;
        const char *reason;  // "" accepted
    } cases[] = {
        {0, 0, 2048, 1536, ""},
        {2047, 1535, 1, 1, ""},
        {0.5, 0, 2047.5, 1536, ""},
        {-1, 0, 10, 10, "outside the sensor"},
        {0, -0.5, 10, 10, "outside the sensor"},
        {0, 0, 0, 10, "is empty"},
        {0, 0, 10, -4, "is empty"},
        {0, 0, 0.5, 10, "is empty"},
        {2000, 0, 49, 10, "reaches past the sensor of 2048x1536"},
        {0, 1500, 10, 37, "reaches past the sensor"},
        {0, 0, 1e12, 1e12, "reaches past the sensor"},
        {nan, 0, 10, 10, "X is not a number"},
        {0, 0, inf, 10, "WIDTH is not a number"},
        {0, 0, 10, -inf, "HEIGHT is not a number"},
    };
    for (const auto &c : cases) {
        std::string error;
        const bool accepted = checkFrameRequest(c.x, c.y, c.width, c.height, error);
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y) + " " +
                     std::to_string(c.width) + "x" + std::to_string(c.height));
        if (*c.reason == 0) {
            EXPECT_TRUE(accepted) << error;
        } else {
            EXPECT_FALSE(accepted);
            EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        }
    }
}

// A frame on the binning grid is taken exactly; any other grows to the whole
// binned pixels that cover it, never to the mode's window step.
TEST(OnBinningGrid, WholeBinnedPixelsCoveringTheRequest) {
    const struct {
        uint32_t mode;
        SensorFrame asked, expected;
        Subframe binned;  // the plan's subframe
    } cases[] = {
        {4, {101, 33, 300, 201}, {101, 33, 300, 201}, {101, 33, 300, 201}},
        {4, {2047, 1535, 1, 1}, {2047, 1535, 1, 1}, {2047, 1535, 1, 1}},
        // Modes 2 and 3 bin 2x2.
        {2, {101, 33, 300, 201}, {100, 32, 302, 202}, {50, 16, 151, 101}},
        {2, {6, 10, 2, 6}, {6, 10, 2, 6}, {3, 5, 1, 3}},
        {3, {0, 0, 1, 1}, {0, 0, 2, 2}, {0, 0, 1, 1}},
        {3, {2047, 1535, 1, 1}, {2046, 1534, 2, 2}, {1023, 767, 1, 1}},
        // Modes 0 and 1 bin 4x4.
        {1, {101, 33, 300, 201}, {100, 32, 304, 204}, {25, 8, 76, 51}},
        {0, {15, 15, 2, 2}, {12, 12, 8, 8}, {3, 3, 2, 2}},
        {0, {4, 8, 12, 20}, {4, 8, 12, 20}, {1, 2, 3, 5}},
        {1, {0, 0, 2048, 1536}, {0, 0, 2048, 1536}, {0, 0, 512, 384}},
        {0, {2041, 1530, 7, 6}, {2040, 1528, 8, 8}, {510, 382, 2, 2}},
    };
    for (const auto &c : cases) {
        const SensorFrame got = onBinningGrid(c.asked, kCameraModes[c.mode]);
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " asked " + text(c.asked) + " got " +
                     text(got));
        EXPECT_EQ(got, c.expected);
        EXPECT_LE(got.x + got.width, kSensorWidth);
        EXPECT_LE(got.y + got.height, kSensorHeight);
        const FramePlan plan = framePlanFor(got, c.mode);
        EXPECT_EQ(plan.mode, c.mode);
        EXPECT_EQ(plan.subframe, c.binned);
        // The driver window covers the subframe and the crop is inside it.
        EXPECT_LE(plan.cropX + c.binned.width, plan.window.width);
        EXPECT_LE(plan.cropY + c.binned.height, plan.window.height);
    }
}

TEST(BinningToMode, EqualFactorsOfTheCameraOnly) {
    const struct {
        double horizontal, vertical;
        uint32_t current;
        int expected;  // -1: refused
        const char *reason;
    } cases[] = {
        {1, 1, 0, 4, ""},  {1, 1, 4, 4, ""},  {2, 2, 4, 2, ""},  {2, 2, 3, 3, ""},
        {2, 2, 2, 2, ""},  {2, 2, 0, 2, ""},  {4, 4, 4, 1, ""},  {4, 4, 0, 0, ""},
        {4, 4, 1, 1, ""},  {4, 4, 3, 1, ""},
        {3, 3, 4, -1, "1x1, 2x2 or 4x4"},
        {8, 8, 4, -1, "1x1, 2x2 or 4x4"},
        {0, 0, 4, -1, "1x1, 2x2 or 4x4"},
        {1.5, 1.5, 4, -1, "1x1, 2x2 or 4x4"},
        {-2, -2, 2, -1, "1x1, 2x2 or 4x4"},
        {2, 1, 4, -1, "same factor"},
        {4, 2, 1, -1, "same factor"},
        {std::nan(""), 1, 4, -1, "same factor"},
        {std::nan(""), std::nan(""), 4, -1, ""},
    };
    for (const auto &c : cases) {
        std::string error;
        const std::optional<uint32_t> mode =
            modeForBinning(c.horizontal, c.vertical, c.current, error);
        SCOPED_TRACE(std::to_string(c.horizontal) + "x" + std::to_string(c.vertical) +
                     " in mode " + std::to_string(c.current));
        if (c.expected < 0) {
            EXPECT_FALSE(mode.has_value()) << "gave mode " << mode.value_or(99);
            EXPECT_NE(error.find(c.reason), std::string::npos) << error;
            EXPECT_FALSE(error.empty());
        } else {
            ASSERT_TRUE(mode.has_value()) << error;
            EXPECT_EQ(*mode, static_cast<uint32_t>(c.expected));
            EXPECT_EQ(kCameraModes[*mode].binFactor, static_cast<int32_t>(c.horizontal));
        }
    }
}
