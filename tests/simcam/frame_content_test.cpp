// What the simulated camera's frames hold: determinism, layout, byte order, and
// agreement with the star field model.
#include <algorithm>
#include <cmath>
#include <memory>

#include "sim_test_support.h"

namespace simtest {
namespace {

using simcam::colourIndex;
using simcam::MosaicColour;
using simcam::mosaicColour;
using simcam::StarField;

constexpr int32_t kFullFrame = 0;
constexpr int32_t kRowPairs = 2;

// Full-frame exposure value of a length in seconds (value v lasts 2 v ms).
constexpr int32_t fullFrameValue(double seconds) { return static_cast<int32_t>(seconds * 500); }

// Largest deviation from the model a sample may show: six standard deviations of
// photon and read noise, plus rounding.
double noiseBound(double meanSample) {
    const double electrons = std::max(meanSample - simcam::kBiasLevel, 0.0);
    return 6.0 * std::sqrt(electrons + simcam::kReadNoise * simcam::kReadNoise) + 1.0;
}

class FrameContentTest : public SimCameraTest {
protected:
    void useSeed(uint32_t seed) { setVariable("QM_SIM_SEED", std::to_string(seed)); }

    std::unique_ptr<FrameBuffer> capture(int32_t previewMode, int32_t exposureValue) {
        auto buffer = std::make_unique<FrameBuffer>();
        EXPECT_TRUE(captureFrame(previewMode, exposureValue, *buffer))
            << "preview mode " << previewMode << ", exposure value " << exposureValue;
        return buffer;
    }
};

TEST_F(FrameContentTest, EqualSeedsGiveEqualFramesAndOtherSeedsOtherFrames) {
    for (const uint32_t seed : {0u, 7u, simcam::kDefaultSeed, 4294967295u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        useSeed(seed);
        const auto first = capture(kFullFrame, 300);
        const auto second = capture(kFullFrame, 300);
        EXPECT_TRUE(first->bytes == second->bytes);
        useSeed(seed + 1);
        const auto other = capture(kFullFrame, 300);
        EXPECT_FALSE(first->bytes == other->bytes);
    }
}

TEST_F(FrameContentTest, RowPairFrameSumsSensorRowPairsOfTheFullFrame) {
    // Equal lengths: full-frame value v lasts 2 v ms, row-pair value v lasts v / 2 ms.
    // A row-pair sample is drawn on its own, not added from two full-frame samples,
    // so the two agree within the noise of both and on average.
    static const struct {
        int32_t fullFrameValue;
        int32_t rowPairValue;
        bool someSumsSaturate;
    } cases[] = {
        {0, 0, false},
        {250, 1000, false},
        {25000, 100000, true},
    };
    const StarField field(simcam::kDefaultSeed);
    constexpr double kReadVariance = simcam::kReadNoise * simcam::kReadNoise;
    for (const auto &c : cases) {
        SCOPED_TRACE("full-frame value " + std::to_string(c.fullFrameValue));
        const double seconds = c.fullFrameValue / 500.0;
        const auto full = capture(kFullFrame, c.fullFrameValue);
        const auto pairs = capture(kRowPairs, c.rowPairValue);
        int64_t outliers = 0;
        int64_t compared = 0;
        double difference = 0.0;
        bool anySumSaturated = false;
        for (int32_t row = 0; row < kSensorHeight / 2; ++row) {
            for (int32_t column = 0; column < kSensorWidth; ++column) {
                const uint32_t sum =
                    full->sample(2 * row, column) + full->sample(2 * row + 1, column);
                anySumSaturated |= sum > 0xFFFF;
                const double model = field.meanSample(column, 2 * row, seconds) +
                                     field.meanSample(column, 2 * row + 1, seconds);
                const double electrons = model - 2 * simcam::kBiasLevel;
                // Two independent draws of the pair's signal and four reads.
                const double bound = 6.0 * std::sqrt(2 * electrons + 4 * kReadVariance) + 2.0;
                const double expected = std::min<uint32_t>(sum, 0xFFFF);
                const double got = pairs->sample(row, column);
                if (std::abs(got - expected) > bound && outliers++ < 5) {
                    ADD_FAILURE() << "row " << row << ", column " << column << ": " << got
                                  << " where the full frame sums to " << sum;
                }
                if (model < 0xFFFF - bound) {
                    difference += got - expected;
                    ++compared;
                } else if (model > 0xFFFF + bound) {
                    EXPECT_EQ(got, 0xFFFF) << "row " << row << ", column " << column;
                }
            }
        }
        EXPECT_EQ(outliers, 0);
        ASSERT_GT(compared, 0);
        // No offset between the readouts: bias and signal count twice in both.
        EXPECT_NEAR(difference / compared, 0.0, 0.2);
        if (c.someSumsSaturate) {
            EXPECT_TRUE(anySumSaturated) << "the case is meant to reach full scale";
        }
    }
}

TEST_F(FrameContentTest, SamplesAreStoredMostSignificantByteFirstAndMatchTheModel) {
    const double seconds = 1.0;
    const auto frame = capture(kFullFrame, fullFrameValue(seconds));
    const StarField field(simcam::kDefaultSeed);
    int64_t checked = 0;
    int64_t outliers = 0;
    for (std::size_t pixel = 0; pixel < simcam::kSensorSamples; pixel += 97) {
        const auto row = static_cast<int32_t>(pixel / kSensorWidth);
        const auto column = static_cast<int32_t>(pixel % kSensorWidth);
        const double mean = field.meanSample(column, row, seconds);
        const double value = frame->sample(row, column);
        ++checked;
        if (std::abs(value - mean) > noiseBound(mean) && outliers++ < 5) {
            ADD_FAILURE() << "row " << row << ", column " << column << ": " << value
                          << " where the model expects " << mean;
        }
    }
    EXPECT_EQ(outliers, 0) << "of " << checked;
}

TEST_F(FrameContentTest, NothingIsWrittenPastTheFrame) {
    static const struct {
        int32_t previewMode;
        int32_t exposureValue;
        std::size_t frameBytes;
    } cases[] = {
        {kFullFrame, 500, kFullFrameBytes},
        {kRowPairs, 2000, kRowPairFrameBytes},
        {kRowPairs, 200000, kRowPairFrameBytes},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("preview mode " + std::to_string(c.previewMode) + ", value " +
                     std::to_string(c.exposureValue));
        const auto frame = capture(c.previewMode, c.exposureValue);
        EXPECT_EQ(frame->firstWrittenFrom(c.frameBytes), frame->bytes.size());
        // The frame itself is there: its last row is not the fill pattern.
        EXPECT_LT(frame->firstWrittenFrom(c.frameBytes - kRawRowBytes), c.frameBytes);
        EXPECT_EQ(frame->firstWrittenFrom(0), 0u);
    }
}

TEST_F(FrameContentTest, SignalGrowsWithTheExposureAsTheModelPredicts) {
    const StarField field(simcam::kDefaultSeed);
    double previousExcess = -1.0;
    for (const double seconds : {0.0, 0.1, 0.5, 2.0}) {
        SCOPED_TRACE("seconds " + std::to_string(seconds));
        const auto frame = capture(kFullFrame, fullFrameValue(seconds));
        double measured = 0.0;
        double expected = 0.0;
        for (int32_t row = 0; row < kSensorHeight; ++row) {
            for (int32_t column = 0; column < kSensorWidth; ++column) {
                measured += frame->sample(row, column) - simcam::kBiasLevel;
                expected += field.meanSample(column, row, seconds) - simcam::kBiasLevel;
            }
        }
        const double pixels = simcam::kSensorSamples;
        const double measuredExcess = measured / pixels;
        EXPECT_NEAR(measuredExcess, expected / pixels, 0.01 * expected / pixels + 0.05);
        EXPECT_GT(measuredExcess, previousExcess);
        previousExcess = measuredExcess;
    }
}

// Star light, in electrons, that the model puts on sites of `colour` within `radius`
// pixels of the star's centre pixel, and what the frame shows there above bias,
// sky and dark current.
struct StarSignal {
    double expected = 0.0;
    double measured = 0.0;
    double variance = 0.0;  // of `measured`: photon and read noise of every site summed

    // How far `measured` may honestly lie from `expected`: a few percent, or the
    // noise where a faint star's noise is larger.
    double tolerance(double share) const {
        return std::max(share * expected, 4.5 * std::sqrt(variance));
    }
};

StarSignal starSignal(const StarField &field, const simcam::Star &star, const FrameBuffer &frame,
                      double seconds, MosaicColour colour, int32_t radius) {
    StarSignal signal;
    const auto centreColumn = static_cast<int32_t>(std::floor(star.x));
    const auto centreRow = static_cast<int32_t>(std::floor(star.y));
    for (int32_t row = centreRow - radius; row <= centreRow + radius; ++row) {
        for (int32_t column = centreColumn - radius; column <= centreColumn + radius; ++column) {
            if (mosaicColour(column, row) != colour) {
                continue;
            }
            const double background = simcam::kBiasLevel + seconds * (field.skyRate(column, row) +
                                                                      field.darkRate(column, row));
            signal.measured += frame.sample(row, column) - background;
            signal.expected +=
                seconds * star.fluxOn(colour) * simcam::psfShare(star.x, star.y, column, row);
            signal.variance +=
                seconds * (field.lightRate(column, row) + field.darkRate(column, row)) +
                simcam::kReadNoise * simcam::kReadNoise;
        }
    }
    return signal;
}

TEST_F(FrameContentTest, BrightStarsLieWhereTheModelSays) {
    constexpr double kSeconds = 0.05;  // short enough that no star saturates
    constexpr int32_t kRadius = 6;
    for (const uint32_t seed : {simcam::kDefaultSeed, 11u}) {
        useSeed(seed);
        const StarField field(seed);
        const auto frame = capture(kFullFrame, fullFrameValue(kSeconds));
        const auto stars = field.brightestStars(15, 12.0, 12.0);
        ASSERT_EQ(stars.size(), 15u);
        for (const simcam::Star &star : stars) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", star at " + std::to_string(star.x) +
                         ", " + std::to_string(star.y));
            // Centroid of the star light with each site's colour response divided out.
            double weight = 0.0, sumX = 0.0, sumY = 0.0;
            const auto centreColumn = static_cast<int32_t>(std::floor(star.x));
            const auto centreRow = static_cast<int32_t>(std::floor(star.y));
            for (int32_t row = centreRow - kRadius; row <= centreRow + kRadius; ++row) {
                for (int32_t column = centreColumn - kRadius; column <= centreColumn + kRadius;
                     ++column) {
                    const double background =
                        simcam::kBiasLevel +
                        kSeconds * (field.skyRate(column, row) + field.darkRate(column, row));
                    const double light = (frame->sample(row, column) - background) /
                                         star.response[colourIndex(mosaicColour(column, row))];
                    weight += light;
                    sumX += light * (column + 0.5);
                    sumY += light * (row + 0.5);
                }
            }
            EXPECT_NEAR(sumX / weight, star.x, 0.1);
            EXPECT_NEAR(sumY / weight, star.y, 0.1);
            const StarSignal green =
                starSignal(field, star, *frame, kSeconds, MosaicColour::Green, kRadius);
            EXPECT_NEAR(green.measured, green.expected, green.tolerance(0.03));
        }
    }
}

TEST_F(FrameContentTest, RedStarsAreBrighterOnRedSitesAndBlueStarsOnBlueSites) {
    constexpr double kLongest = 5.0;
    constexpr double kHighestSignal = 20000.0;
    constexpr int32_t kRadius = 6;
    const StarField field(simcam::kDefaultSeed);
    auto stars = field.brightestStars(100, 12.0, 12.0);
    const auto redness = [](const simcam::Star &star) {
        return star.response[0] / star.response[2];
    };
    std::sort(stars.begin(), stars.end(), [&](const simcam::Star &a, const simcam::Star &b) {
        return redness(a) > redness(b);
    });
    const simcam::Star &reddest = stars.front();
    const simcam::Star &bluest = stars.back();
    ASSERT_GT(redness(reddest), 2.0);
    ASSERT_LT(redness(bluest), 0.8);
    for (const simcam::Star *star : {&reddest, &bluest}) {
        SCOPED_TRACE("star of " + std::to_string(star->temperature) + " K");
        // As long as the star's centre stays well below full scale.
        const double peakRate = field.lightRate(static_cast<int32_t>(std::floor(star->x)),
                                                static_cast<int32_t>(std::floor(star->y)));
        const double seconds = std::min(kLongest, kHighestSignal / peakRate);
        const auto frame = capture(kFullFrame, fullFrameValue(seconds));
        const StarSignal red =
            starSignal(field, *star, *frame, seconds, MosaicColour::Red, kRadius);
        const StarSignal blue =
            starSignal(field, *star, *frame, seconds, MosaicColour::Blue, kRadius);
        EXPECT_NEAR(red.measured, red.expected, 0.05 * red.expected);
        EXPECT_NEAR(blue.measured, blue.expected, 0.05 * blue.expected);
        EXPECT_EQ(red.measured > blue.measured, star == &reddest);
    }
}

TEST_F(FrameContentTest, BrightStarsSaturateAtFullScale) {
    constexpr double kSeconds = 10.0;
    const StarField field(simcam::kDefaultSeed);
    const simcam::Star brightest = field.brightestStars(1, 12.0).front();
    const auto column = static_cast<int32_t>(std::floor(brightest.x));
    const auto row = static_cast<int32_t>(std::floor(brightest.y));
    const auto full = capture(kFullFrame, fullFrameValue(kSeconds));
    for (int32_t dy = -1; dy <= 1; ++dy) {
        for (int32_t dx = -1; dx <= 1; ++dx) {
            EXPECT_EQ(full->sample(row + dy, column + dx), 0xFFFFu)
                << "offset " << dx << ", " << dy;
        }
    }
    const auto pairs = capture(kRowPairs, static_cast<int32_t>(kSeconds * 2000));
    EXPECT_EQ(pairs->sample(row / 2, column), 0xFFFFu);
}

TEST_F(FrameContentTest, HotPixelsShowTheirDarkCurrent) {
    constexpr double kSeconds = 10.0;
    const StarField field(simcam::kDefaultSeed);
    const auto frame = capture(kFullFrame, fullFrameValue(kSeconds));
    for (const simcam::HotPixel &pixel : field.hotPixels()) {
        const double mean = field.meanSample(pixel.column, pixel.row, kSeconds);
        const double sample = frame->sample(pixel.row, pixel.column);
        SCOPED_TRACE("hot pixel at " + std::to_string(pixel.column) + ", " +
                     std::to_string(pixel.row));
        EXPECT_NEAR(sample, mean, noiseBound(mean));
        // It stands out: at least half its extra dark signal is there.
        const double withoutHotCurrent = mean - kSeconds * pixel.darkRate;
        EXPECT_GT(sample - withoutHotCurrent, 0.5 * kSeconds * pixel.darkRate);
    }
}

TEST_F(FrameContentTest, ColourGainsScaleTheLightOfTheirSites) {
    const double seconds = 1.0;
    const auto plain = capture(kFullFrame, fullFrameValue(seconds));
    ASSERT_EQ(YCCDSetColorGain(2.0f, 1.0f, 0.5f), 1);
    const auto tinted = capture(kFullFrame, fullFrameValue(seconds));
    // Light on the sites of one colour, bias and dark removed, over a block of the
    // sensor; sites saturated in either frame are left out.
    const auto lightRatio = [&](MosaicColour colour) {
        double tintedSum = 0.0;
        double plainSum = 0.0;
        for (int32_t row = 0; row < 512; ++row) {
            for (int32_t column = 0; column < 512; ++column) {
                const uint32_t plainSample = plain->sample(row, column);
                const uint32_t tintedSample = tinted->sample(row, column);
                if (mosaicColour(column, row) != colour || plainSample == 0xFFFF ||
                    tintedSample == 0xFFFF) {
                    continue;
                }
                const double offset = simcam::kBiasLevel + seconds * simcam::kDarkRate;
                plainSum += plainSample - offset;
                tintedSum += tintedSample - offset;
            }
        }
        return tintedSum / plainSum;
    };
    static const struct {
        MosaicColour colour;
        double gain;
    } cases[] = {{MosaicColour::Red, 2.0}, {MosaicColour::Green, 1.0}, {MosaicColour::Blue, 0.5}};
    for (const auto &c : cases) {
        SCOPED_TRACE("colour " + std::to_string(colourIndex(c.colour)));
        EXPECT_NEAR(lightRatio(c.colour), c.gain, 0.03 * c.gain);
    }
}

TEST_F(FrameContentTest, NegativeExposureValuesAreZeroLength) {
    static const struct {
        int32_t previewMode;
        int32_t value;
    } cases[] = {{kFullFrame, -5}, {kFullFrame, INT32_MIN}, {kRowPairs, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE("preview mode " + std::to_string(c.previewMode) + ", value " +
                     std::to_string(c.value));
        const auto negative = capture(c.previewMode, c.value);
        const auto zero = capture(c.previewMode, 0);
        EXPECT_TRUE(negative->bytes == zero->bytes);
    }
}

}  // namespace
}  // namespace simtest
