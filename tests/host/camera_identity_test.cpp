// The limits every program checks its user's values against.
#include "host/camera_identity.h"

#include <gtest/gtest.h>

#include <limits>

TEST(CameraLimits, ExposurePixelSizeAndReadoutMarginRanges) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const struct {
        bool (*check)(double);
        const char *what;
        double value;
        bool accepted;
    } cases[] = {
        {exposureAcceptable, "exposure", 0, true},
        {exposureAcceptable, "exposure", 0.001, true},
        {exposureAcceptable, "exposure", 536870.911, true},
        {exposureAcceptable, "exposure", 536870.912, false},
        {exposureAcceptable, "exposure", -0.001, false},
        {exposureAcceptable, "exposure", nan, false},
        {exposureAcceptable, "exposure", inf, false},
        {pixelSizeAcceptable, "pixel size", 3.75, true},
        {pixelSizeAcceptable, "pixel size", 100, true},
        {pixelSizeAcceptable, "pixel size", 100.01, false},
        {pixelSizeAcceptable, "pixel size", 0, false},
        {pixelSizeAcceptable, "pixel size", -1, false},
        {pixelSizeAcceptable, "pixel size", nan, false},
        {readoutMarginAcceptable, "readout margin", 0.1, true},
        {readoutMarginAcceptable, "readout margin", 3600, true},
        {readoutMarginAcceptable, "readout margin", 0.09, false},
        {readoutMarginAcceptable, "readout margin", 3600.5, false},
        {readoutMarginAcceptable, "readout margin", inf, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.check(c.value), c.accepted) << c.what << " " << c.value;
    }
    // The longest accepted length reaches the driver as its exact milliseconds.
    EXPECT_EQ(exposureMilliseconds(kLongestExposureSeconds), kLongestExposureMs);
    EXPECT_EQ(exposureMilliseconds(0.0105), 11);
}
