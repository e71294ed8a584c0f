// The simulated camera's noise from frame to frame: fresh noise in every exposure,
// reproducible from the seed and the exposure's number, the covered telescope, and
// the size of the noise against the sensor model. (Fresh frames differing and fixed
// ones repeating, per value of QM_SIM_NOISE: settings_test.cpp.)
#include <algorithm>
#include <cmath>
#include <memory>

#include "sim_test_support.h"

namespace simtest {
namespace {

using simcam::StarField;

constexpr int32_t kFullFrame = 0;
constexpr int32_t kRowPairs = 2;

class NoiseTest : public SimCameraTest {
protected:
    void SetUp() override {
        SimCameraTest::SetUp();
        setVariable("QM_SIM_NOISE", "fresh");
    }

    std::unique_ptr<FrameBuffer> capture(int32_t previewMode, int32_t exposureValue) {
        auto buffer = std::make_unique<FrameBuffer>();
        EXPECT_TRUE(captureFrame(previewMode, exposureValue, *buffer))
            << "preview mode " << previewMode << ", exposure value " << exposureValue;
        return buffer;
    }
};

// Sensor rows a sample of `previewMode` reads.
int32_t readsPerSample(int32_t previewMode) { return previewMode == kRowPairs ? 2 : 1; }

// Frame rows of `previewMode`.
int32_t rowsOf(int32_t previewMode) { return kSensorHeight / readsPerSample(previewMode); }

// Exposure length of an exposure value: 2 v ms in the full frame, v / 2 ms in pairs.
double secondsOf(int32_t previewMode, int32_t value) {
    return previewMode == kRowPairs ? value / 2000.0 : value / 500.0;
}

// Electrons the model puts into the sample at (row, column) of a frame.
double modelElectrons(const StarField &field, int32_t previewMode, int32_t row, int32_t column,
                      double seconds, bool covered) {
    double electrons = 0.0;
    for (int32_t read = 0; read < readsPerSample(previewMode); ++read) {
        const int32_t sensorRow = row * readsPerSample(previewMode) + read;
        electrons += seconds * field.darkRate(column, sensorRow);
        if (!covered) {
            electrons += seconds * field.lightRate(column, sensorRow);
        }
    }
    return electrons;
}

bool hasStarLight(const StarField &field, int32_t previewMode, int32_t row, int32_t column) {
    for (int32_t read = 0; read < readsPerSample(previewMode); ++read) {
        const int32_t sensorRow = row * readsPerSample(previewMode) + read;
        const double sky = field.skyRate(column, sensorRow);
        if (field.lightRate(column, sensorRow) > 1.001 * sky) {
            return true;
        }
    }
    return false;
}

TEST_F(NoiseTest, RunOfTheSameCallsRepeatsFrameForFrameAfterReopening) {
    static const struct {
        int32_t previewMode;
        int32_t value;
    } steps[] = {{kFullFrame, 5}, {kRowPairs, 20}, {kFullFrame, 5}, {kFullFrame, 500}};
    std::vector<std::unique_ptr<FrameBuffer>> firstRun;
    for (const auto &step : steps) {
        firstRun.push_back(capture(step.previewMode, step.value));
    }
    // Exposures 1 and 3 are alike but for their number.
    EXPECT_FALSE(firstRun[0]->bytes == firstRun[2]->bytes);

    YCCDReleaseVideo();
    ASSERT_TRUE(openCamera());
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE("exposure " + std::to_string(i + 1));
        const auto again = capture(steps[i].previewMode, steps[i].value);
        EXPECT_TRUE(again->bytes == firstRun[i]->bytes);
    }

    // Another seed draws other noise for the same exposure numbers.
    YCCDReleaseVideo();
    setVariable("QM_SIM_SEED", std::to_string(simcam::kDefaultSeed + 1));
    ASSERT_TRUE(openCamera());
    const auto otherSeed = capture(steps[0].previewMode, steps[0].value);
    EXPECT_FALSE(otherSeed->bytes == firstRun[0]->bytes);
}

TEST_F(NoiseTest, RequestsThatAreReplacedStillCountAsExposures) {
    // Exposure 1 is replaced before it ends; the frame delivered is exposure 2.
    setVariable("QM_SIM_TIME_SCALE", "1");
    FrameBuffer abandoned;
    ASSERT_EQ(YCCDSetExposure(1000000), 1);
    ASSERT_EQ(YCCDGetImageData(kFullFrame, abandoned.data()), 1);
    setVariable("QM_SIM_TIME_SCALE", "0");
    const auto second = capture(kFullFrame, 5);

    YCCDReleaseVideo();
    ASSERT_TRUE(openCamera());
    const auto first = capture(kFullFrame, 5);
    const auto secondAgain = capture(kFullFrame, 5);
    EXPECT_FALSE(first->bytes == second->bytes);
    EXPECT_TRUE(secondAgain->bytes == second->bytes);
}

// The difference of two fresh frames has twice a frame's noise variance: photon
// noise (the signal in electrons), read noise of every read and rounding. The
// frames' mean follows the model. Pixels a star touches are left out so the
// signal is known closely; hot pixels stay in.
TEST_F(NoiseTest, DifferenceOfTwoFramesHasTheModelsVariance) {
    static const struct {
        int32_t previewMode;
        int32_t value;
        bool covered;
        const char *what;
    } cases[] = {
        {kFullFrame, 5000, false, "10 s, photon noise from the normal approximation"},
        {kFullFrame, 250, false, "0.5 s, photon noise drawn from the Poisson distribution"},
        {kFullFrame, 5, false, "10 ms live frame"},
        {kRowPairs, 20, false, "10 ms live row pairs"},
        {kRowPairs, 2000, false, "1 s row pairs"},
        {kFullFrame, 50000, true, "100 s dark"},
        {kRowPairs, 200000, true, "100 s dark row pairs"},
    };
    const StarField field(simcam::kDefaultSeed);
    constexpr double kReadVariance = simcam::kReadNoise * simcam::kReadNoise;
    constexpr double kRoundingVariance = 1.0 / 12.0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        setVariable("QM_SIM_COVERED", c.covered ? "1" : "0");
        const double seconds = secondsOf(c.previewMode, c.value);
        const int32_t reads = readsPerSample(c.previewMode);
        const auto first = capture(c.previewMode, c.value);
        const auto second = capture(c.previewMode, c.value);
        double squaredDifferences = 0.0;
        double predictedVariance = 0.0;
        double offset = 0.0;
        int64_t samples = 0;
        for (int32_t row = 0; row < rowsOf(c.previewMode); ++row) {
            for (int32_t column = 0; column < kSensorWidth; ++column) {
                if (hasStarLight(field, c.previewMode, row, column)) {
                    continue;
                }
                const double electrons =
                    modelElectrons(field, c.previewMode, row, column, seconds, c.covered);
                if (reads * simcam::kBiasLevel + electrons > 0.9 * simcam::kFullScale) {
                    continue;  // a hot pixel that saturates: no noise left
                }
                const double a = first->sample(row, column);
                const double b = second->sample(row, column);
                squaredDifferences += (a - b) * (a - b);
                predictedVariance += 2.0 * (electrons + reads * kReadVariance + kRoundingVariance);
                offset += a - (reads * simcam::kBiasLevel + electrons);
                ++samples;
            }
        }
        ASSERT_GT(samples, 1000000);
        EXPECT_NEAR(squaredDifferences / predictedVariance, 1.0, 0.02);
        EXPECT_NEAR(offset / samples, 0.0, 0.05) << "mean away from the model";
    }
}

TEST_F(NoiseTest, CoveredFramesHoldNoStarsAndTheSameDarkSignal) {
    constexpr int32_t kDarkValue = 5000;  // 10 s full frame
    constexpr double kSeconds = 10.0;
    const StarField field(simcam::kDefaultSeed);
    const auto open = capture(kFullFrame, kDarkValue);
    setVariable("QM_SIM_COVERED", "1");
    const auto covered = capture(kFullFrame, kDarkValue);
    const auto coveredAgain = capture(kFullFrame, kDarkValue);
    EXPECT_FALSE(covered->bytes == coveredAgain->bytes) << "covered frames keep fresh noise";

    const auto darkBound = [&](double electrons) {
        return 6.0 * std::sqrt(electrons + simcam::kReadNoise * simcam::kReadNoise) + 1.0;
    };
    for (const simcam::Star &star : field.brightestStars(20, 8.0, 6.0)) {
        const auto column = static_cast<int32_t>(star.x);
        const auto row = static_cast<int32_t>(star.y);
        SCOPED_TRACE("star at " + std::to_string(column) + ", " + std::to_string(row));
        const double dark = kSeconds * field.darkRate(column, row);
        EXPECT_NEAR(covered->sample(row, column), simcam::kBiasLevel + dark, darkBound(dark));
        EXPECT_GT(open->sample(row, column), simcam::kBiasLevel + dark + 10 * darkBound(dark))
            << "the open frame shows the star";
    }
    // Sky glow is gone too: the frame's median sits at the bias.
    std::vector<uint32_t> middleRow;
    for (int32_t column = 0; column < kSensorWidth; ++column) {
        middleRow.push_back(covered->sample(kSensorHeight / 2, column));
    }
    std::nth_element(middleRow.begin(), middleRow.begin() + kSensorWidth / 2, middleRow.end());
    EXPECT_NEAR(middleRow[kSensorWidth / 2], simcam::kBiasLevel + kSeconds * simcam::kDarkRate,
                2.0);

    // Hot pixels carry the same dark current in every covered frame, so a dark
    // frame subtracted from another leaves only noise there.
    for (const simcam::HotPixel &pixel : field.hotPixels()) {
        SCOPED_TRACE("hot pixel at " + std::to_string(pixel.column) + ", " +
                     std::to_string(pixel.row));
        const double dark = kSeconds * field.darkRate(pixel.column, pixel.row);
        for (const FrameBuffer *frame : {covered.get(), coveredAgain.get()}) {
            EXPECT_NEAR(frame->sample(pixel.row, pixel.column), simcam::kBiasLevel + dark,
                        darkBound(dark));
        }
        const double residual = double(covered->sample(pixel.row, pixel.column)) -
                                coveredAgain->sample(pixel.row, pixel.column);
        EXPECT_LT(std::abs(residual), std::sqrt(2.0) * darkBound(dark));
    }
}

}  // namespace
}  // namespace simtest
