// The star field model: mosaic, colours, point spread, the field's stars and rates.
#include "simcam/star_field.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "readout/frame_geometry.h"

namespace {

using simcam::MosaicColour;
using simcam::StarField;

TEST(MosaicTest, SensorIsRggbAtRowZeroColumnZero) {
    static const struct {
        int32_t column;
        int32_t row;
        MosaicColour colour;
    } cases[] = {
        {0, 0, MosaicColour::Red},       {1, 0, MosaicColour::Green},
        {0, 1, MosaicColour::Green},     {1, 1, MosaicColour::Blue},
        {2046, 1534, MosaicColour::Red}, {2047, 1535, MosaicColour::Blue},
        {-1, 0, MosaicColour::Green},    {-1, -1, MosaicColour::Blue},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(simcam::mosaicColour(c.column, c.row), c.colour)
            << "column " << c.column << ", row " << c.row;
    }
}

TEST(ColourTest, SixThousandKelvinIsWhiteAndCoolerStarsAreRedder) {
    const auto white = simcam::blackBodyResponse(6000.0);
    for (const double response : white) {
        EXPECT_NEAR(response, 1.0, 1e-12);
    }
    double previousRedness = INFINITY;
    for (const double temperature : {2800.0, 3500.0, 4500.0, 6000.0, 8000.0, 12000.0}) {
        const auto response = simcam::blackBodyResponse(temperature);
        EXPECT_DOUBLE_EQ(response[1], 1.0) << temperature << " K";
        const double redness = response[0] / response[2];
        EXPECT_LT(redness, previousRedness) << temperature << " K";
        EXPECT_EQ(redness > 1.0, temperature < 6000.0) << temperature << " K";
        previousRedness = redness;
    }
}

TEST(PointSpreadTest, SharesSumToOnePeakAtTheCentreAndAreSymmetric) {
    static const struct {
        double x;
        double y;
    } centres[] = {{100.5, 100.5}, {100.0, 100.0}, {100.3, 100.8}};
    for (const auto &centre : centres) {
        SCOPED_TRACE("centre " + std::to_string(centre.x) + ", " + std::to_string(centre.y));
        const auto centreColumn = static_cast<int32_t>(std::floor(centre.x));
        const auto centreRow = static_cast<int32_t>(std::floor(centre.y));
        double sum = 0.0;
        double peak = 0.0;
        int32_t peakColumn = 0, peakRow = 0;
        for (int32_t row = centreRow - 40; row <= centreRow + 40; ++row) {
            for (int32_t column = centreColumn - 40; column <= centreColumn + 40; ++column) {
                const double share = simcam::psfShare(centre.x, centre.y, column, row);
                sum += share;
                if (share > peak) {
                    peak = share;
                    peakColumn = column;
                    peakRow = row;
                }
            }
        }
        EXPECT_NEAR(sum, 1.0, 1e-9);
        EXPECT_NEAR(peakColumn + 0.5, centre.x, 0.5);
        EXPECT_NEAR(peakRow + 0.5, centre.y, 0.5);
    }
    // Mirrored pixels around a star centred on a pixel get equal shares.
    for (int32_t d = 1; d < 6; ++d) {
        EXPECT_NEAR(simcam::psfShare(50.5, 60.5, 50 + d, 60),
                    simcam::psfShare(50.5, 60.5, 50 - d, 60), 1e-15);
        EXPECT_NEAR(simcam::psfShare(50.5, 60.5, 50, 60 + d),
                    simcam::psfShare(50.5, 60.5, 50 + d, 60), 1e-15);
    }
}

TEST(StarFieldTest, EqualSeedsGiveEqualFieldsAndOtherSeedsOtherFields) {
    const StarField first(3), again(3), other(4);
    ASSERT_EQ(first.stars().size(), StarField::kStarCount);
    EXPECT_EQ(first.seed(), 3u);
    EXPECT_TRUE(first.lightRates() == again.lightRates());
    EXPECT_EQ(first.stars().front().x, again.stars().front().x);
    EXPECT_EQ(first.hotPixels().front().column, again.hotPixels().front().column);
    EXPECT_NE(first.stars().front().x, other.stars().front().x);
    EXPECT_FALSE(first.lightRates() == other.lightRates());
}

TEST(StarFieldTest, StarsAreSortedInRangeAndFollowThePowerLaw) {
    const StarField field(simcam::kDefaultSeed);
    const auto &stars = field.stars();
    EXPECT_TRUE(std::is_sorted(stars.begin(), stars.end(),
                               [](const auto &a, const auto &b) { return a.flux > b.flux; }));
    for (const simcam::Star &star : stars) {
        ASSERT_GE(star.flux, StarField::kFaintestFlux);
        ASSERT_LE(star.flux, StarField::kBrightestFlux);
        ASSERT_GE(star.x, -StarField::kFieldMargin);
        ASSERT_LE(star.x, kSensorWidth + StarField::kFieldMargin);
        ASSERT_GE(star.y, -StarField::kFieldMargin);
        ASSERT_LE(star.y, kSensorHeight + StarField::kFieldMargin);
        ASSERT_GE(star.temperature, 2800.0);
        ASSERT_LE(star.temperature, 12000.0);
    }
    // N(> F) ~ F^-0.7: a tenth of the flux or more is reached by 10^-0.7 of the stars.
    const auto brighterThan = [&](double flux) {
        return std::count_if(stars.begin(), stars.end(),
                             [flux](const auto &s) { return s.flux > flux; });
    };
    const double ratio = double(brighterThan(10 * StarField::kFaintestFlux)) / stars.size();
    EXPECT_NEAR(ratio, std::pow(10.0, -0.7), 0.03);
}

TEST(StarFieldTest, HotPixelsAreDistinctAndOnTheSensor) {
    const StarField field(simcam::kDefaultSeed);
    std::set<std::pair<int32_t, int32_t>> positions;
    for (const simcam::HotPixel &pixel : field.hotPixels()) {
        EXPECT_TRUE(pixel.column >= 0 && pixel.column < kSensorWidth && pixel.row >= 0 &&
                    pixel.row < kSensorHeight);
        EXPECT_GE(pixel.darkRate, 20.0);
        EXPECT_EQ(field.darkRate(pixel.column, pixel.row), simcam::kDarkRate + pixel.darkRate);
        positions.insert({pixel.column, pixel.row});
    }
    EXPECT_EQ(positions.size(), StarField::kHotPixelCount);
}

TEST(StarFieldTest, BrightestStarsHonourCountMarginAndIsolation) {
    const StarField field(simcam::kDefaultSeed);
    static const struct {
        std::size_t count;
        double margin;
        double isolation;
    } cases[] = {{1, 0.0, 0.0}, {10, 8.0, 0.0}, {25, 20.0, 15.0}, {60, 100.0, 30.0}};
    for (const auto &c : cases) {
        SCOPED_TRACE("count " + std::to_string(c.count) + ", margin " + std::to_string(c.margin) +
                     ", isolation " + std::to_string(c.isolation));
        const auto chosen = field.brightestStars(c.count, c.margin, c.isolation);
        ASSERT_EQ(chosen.size(), c.count);
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            const simcam::Star &star = chosen[i];
            EXPECT_TRUE(star.x >= c.margin && star.x <= kSensorWidth - c.margin &&
                        star.y >= c.margin && star.y <= kSensorHeight - c.margin);
            if (i > 0) {
                EXPECT_LE(star.flux, chosen[i - 1].flux);
            }
            for (const simcam::Star &other : field.stars()) {
                const double distance = std::hypot(other.x - star.x, other.y - star.y);
                if (distance > 0.0 && distance < c.isolation) {
                    EXPECT_LE(other.flux, 0.01 * star.flux);
                }
            }
        }
        // No brighter star meeting the same conditions was passed over.
        const auto more = field.brightestStars(c.count + 1, c.margin, c.isolation);
        EXPECT_TRUE(
            std::equal(chosen.begin(), chosen.end(), more.begin(),
                       [](const auto &a, const auto &b) { return a.x == b.x && a.y == b.y; }));
    }
}

TEST(StarFieldTest, LightRateIsSkyPlusEveryStarThroughThePixelsFilter) {
    const StarField field(simcam::kDefaultSeed);
    std::vector<std::pair<int32_t, int32_t>> pixels{{0, 0}, {2047, 1535}, {1024, 768}};
    for (const auto &star : field.brightestStars(3, 4.0)) {
        const auto column = static_cast<int32_t>(std::floor(star.x));
        const auto row = static_cast<int32_t>(std::floor(star.y));
        pixels.insert(pixels.end(),
                      {{column, row}, {column + 1, row}, {column, row + 1}, {column + 3, row - 2}});
    }
    for (const auto &[column, row] : pixels) {
        double expected = field.skyRate(column, row);
        for (const simcam::Star &star : field.stars()) {
            expected += star.fluxOn(simcam::mosaicColour(column, row)) *
                        simcam::psfShare(star.x, star.y, column, row);
        }
        EXPECT_NEAR(field.lightRate(column, row), expected, 1e-5 * expected + 0.2)
            << "column " << column << ", row " << row;
    }
    EXPECT_EQ(field.lightRate(-1, 0), 0.0);
    EXPECT_EQ(field.lightRate(0, kSensorHeight), 0.0);
}

TEST(StarFieldTest, MeanSampleStartsAtBiasAndStopsAtFullScale) {
    const StarField field(simcam::kDefaultSeed);
    const simcam::Star star = field.brightestStars(1, 4.0).front();
    const auto column = static_cast<int32_t>(std::floor(star.x));
    const auto row = static_cast<int32_t>(std::floor(star.y));
    EXPECT_EQ(field.meanSample(column, row, 0.0), simcam::kBiasLevel);
    EXPECT_EQ(field.meanSample(column, row, 1000.0), simcam::kFullScale);
    const double oneSecond = field.meanSample(100, 100, 1.0) - simcam::kBiasLevel;
    EXPECT_NEAR(field.meanSample(100, 100, 2.0) - simcam::kBiasLevel, 2 * oneSecond, 1e-9);
    const std::array<float, 3> doubled{2.0f, 2.0f, 2.0f};
    EXPECT_NEAR(field.meanSample(100, 100, 1.0, doubled) - simcam::kBiasLevel,
                2 * oneSecond - simcam::kDarkRate, 1e-9);
}

}  // namespace
