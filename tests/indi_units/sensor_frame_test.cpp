// CCD_FRAME requests, rounding and the driver window behind them, checked
// through the driver's own window scaling and readout; binning to modes; the
// CCD_CFA pattern against the colours the readout really delivers.
#include "indi/sensor_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "host/bayer_pattern.h"
#include "readout/frame_geometry.h"
#include "readout/readout.h"
#include "readout/window.h"

namespace {

std::string text(const SensorFrame &f) {
    return std::to_string(f.x) + "," + std::to_string(f.y) + " " + std::to_string(f.width) + "x" +
           std::to_string(f.height);
}

// A raw frame buffer whose samples are set by `value(row, column)`.
template <typename Value>
std::vector<uint8_t> rawFrame(Value value) {
    std::vector<uint8_t> raw(kRawFrameBytes);
    for (size_t i = 0; i < kRawFrameSamples; ++i) {
        const uint16_t v = value(static_cast<int64_t>(i / kSensorWidth),
                                 static_cast<int64_t>(i % kSensorWidth));
        raw[2 * i] = static_cast<uint8_t>(v >> 8);
        raw[2 * i + 1] = static_cast<uint8_t>(v);
    }
    return raw;
}

// The image the driver delivers for `frame`: its window reached through the
// host units d_Subframe is given, as the INDI driver sets it.
std::vector<uint16_t> imageOf(const SensorFrame &frame, uint32_t mode,
                              const std::vector<uint8_t> &raw, PixelWindow &window) {
    const CameraMode &camera = kCameraModes[mode];
    window = driverWindowFor(frame, camera);
    const HostWindow host = hostUnitsFor(window, geometryOf(camera));
    const ReadoutWindow made =
        windowFromHostUnits(host.x, host.y, host.width, host.height, kBinningModes[mode]);
    EXPECT_EQ(made.x, window.x);
    EXPECT_EQ(made.y, window.y);
    EXPECT_EQ(made.width, window.width);
    EXPECT_EQ(made.height, window.height);
    std::vector<uint16_t> image(static_cast<size_t>(made.width) * made.height);
    readFrame(mode, made, raw.data(), image.data());
    return image;
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

TEST(RoundedFrame, CoversTheRequestOnTheModesStep) {
    const struct {
        uint32_t mode;
        SensorFrame asked, expected;
    } cases[] = {
        {4, {101, 33, 300, 201}, {101, 33, 300, 201}},
        {4, {2047, 1535, 1, 1}, {2047, 1535, 1, 1}},
        // Modes 2 and 3: 2x2 binning, windows on multiples of 2 binned pixels.
        {2, {101, 33, 300, 201}, {100, 32, 304, 204}},
        {3, {0, 0, 1, 1}, {0, 0, 4, 4}},
        {3, {2047, 1535, 1, 1}, {2044, 1532, 4, 4}},
        {2, {4, 8, 4, 8}, {4, 8, 4, 8}},
        // Modes 0 and 1: 4x4 binning, multiples of 4 binned pixels.
        {1, {101, 33, 300, 201}, {96, 32, 320, 208}},
        {0, {15, 15, 2, 2}, {0, 0, 32, 32}},
        {0, {16, 16, 16, 16}, {16, 16, 16, 16}},
        {1, {0, 0, 2048, 1536}, {0, 0, 2048, 1536}},
        {0, {2040, 1530, 8, 6}, {2032, 1520, 16, 16}},
    };
    for (const auto &c : cases) {
        const SensorFrame got = roundedFrame(c.asked, kCameraModes[c.mode]);
        EXPECT_EQ(got, c.expected) << "mode " << c.mode << " asked " << text(c.asked) << " got "
                                   << text(got);
        EXPECT_LE(got.x + got.width, kSensorColumns);
        EXPECT_LE(got.y + got.height, kSensorRows);
    }
}

// Every accepted frame, once rounded, yields an image that is pixel for pixel
// the matching crop of the full frame's image from the same raw frame.
TEST(DriverWindow, SubframeImageIsTheCropOfTheFullFrame) {
    const auto raw = rawFrame([](int64_t row, int64_t column) {
        // Distinct, and small enough that 16-sample sums never saturate.
        return static_cast<uint16_t>((row * 131 + column * 7 + (row * column) % 97) % 4001);
    });
    const SensorFrame asked[] = {
        {0, 0, 2048, 1536},  {0, 0, 16, 16},      {16, 0, 64, 32},     {0, 16, 64, 32},
        {101, 33, 300, 201}, {1024, 768, 1024, 768}, {2032, 1520, 16, 16}, {0, 1500, 2048, 36},
        {5, 7, 9, 11},       {2047, 0, 1, 1536},  {1000, 1, 3, 1535},
    };
    for (uint32_t mode = 0; mode < kCameraModes.size(); ++mode) {
        const CameraMode &camera = kCameraModes[mode];
        PixelWindow fullWindow;
        const std::vector<uint16_t> full = imageOf(SensorFrame{}, mode, raw, fullWindow);
        const int32_t fullWidth = kSensorColumns / camera.binFactor;
        ASSERT_EQ(fullWindow.width, fullWidth);
        for (const SensorFrame &request : asked) {
            const SensorFrame frame = roundedFrame(request, camera);
            SCOPED_TRACE("mode " + std::to_string(mode) + " frame " + text(frame));
            PixelWindow window;
            const std::vector<uint16_t> sub = imageOf(frame, mode, raw, window);
            ASSERT_EQ(window.width, frame.width / camera.binFactor);
            ASSERT_EQ(window.height, frame.height / camera.binFactor);
            const int32_t left = frame.x / camera.binFactor;
            const int32_t top = frame.y / camera.binFactor;
            int mismatches = 0;
            for (int32_t r = 0; r < window.height && mismatches == 0; ++r) {
                for (int32_t c = 0; c < window.width; ++c) {
                    const uint16_t expected =
                        full[static_cast<size_t>(top + r) * fullWidth + left + c];
                    const uint16_t got = sub[static_cast<size_t>(r) * window.width + c];
                    if (got != expected) {
                        ADD_FAILURE() << "row " << r << " column " << c << ": " << got
                                      << " instead of " << expected;
                        ++mismatches;
                        break;
                    }
                }
            }
        }
    }
}

// CCD_CFA names the colour of every stored sample: a raw frame whose samples
// carry their sensor colour (R 1, G 2, B 4) shows it through the readout.
TEST(ColourFilter, NamesTheColoursTheImageHolds) {
    const auto raw = rawFrame([](int64_t row, int64_t column) {
        const char colour = kSensorMosaic[(row % 2) * 2 + column % 2];
        return static_cast<uint16_t>(colour == 'R' ? 1 : (colour == 'G' ? 2 : 4));
    });
    const SensorFrame frames[] = {
        {0, 0, 2048, 1536}, {1, 0, 64, 64},  {0, 1, 64, 64},      {1, 1, 63, 63},
        {0, 0, 64, 63},     {10, 20, 3, 2},  {101, 33, 300, 201}, {32, 48, 64, 64},
    };
    for (uint32_t mode = 0; mode < kCameraModes.size(); ++mode) {
        const CameraMode &camera = kCameraModes[mode];
        for (const SensorFrame &request : frames) {
            const SensorFrame frame = roundedFrame(request, camera);
            SCOPED_TRACE("mode " + std::to_string(mode) + " frame " + text(frame));
            const ColourFilter filter = colourFilterFor(frame, camera);
            EXPECT_EQ(filter.offsetX, 0);
            EXPECT_EQ(filter.offsetY, 0);
            if (!camera.keepsMosaic) {
                EXPECT_EQ(filter.pattern, "");
                continue;
            }
            ASSERT_EQ(filter.pattern.size(), 4u);
            PixelWindow window;
            const std::vector<uint16_t> image = imageOf(frame, mode, raw, window);
            // Each host sample of the mosaic modes sums cellRows x cellColumns
            // samples of one colour.
            const int32_t samples = camera.cellRows * camera.cellColumns;
            for (int32_t r = 0; r < std::min(window.height, 4); ++r) {
                for (int32_t c = 0; c < std::min(window.width, 4); ++c) {
                    const uint16_t value = image[static_cast<size_t>(r) * window.width + c];
                    const char expected = colourAt(filter.pattern, r, c);
                    const int code = expected == 'R' ? 1 : (expected == 'G' ? 2 : 4);
                    EXPECT_EQ(value % samples, 0) << "row " << r << " column " << c;
                    EXPECT_EQ(value / samples, code)
                        << "row " << r << " column " << c << ": pattern " << filter.pattern;
                }
            }
        }
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
