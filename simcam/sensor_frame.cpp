#include "simcam/sensor_frame.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "simcam/random.h"

namespace simcam {

namespace {

constexpr uint64_t kNoiseStream = 0x4E4F495345ull;
constexpr int32_t kRowsBetweenCancelChecks = 64;
// Below this many electrons photon noise is drawn from the Poisson distribution
// itself; above it the normal approximation is close and much cheaper.
constexpr double kExactPoissonLimit = 16.0;
constexpr int kNormalTableBits = 16;
constexpr std::size_t kNormalTableSize = std::size_t{1} << kNormalTableBits;

// Inverse of the standard normal distribution function (P. J. Acklam's rational
// approximation, relative error below 1.2e-9).
double inverseNormal(double p) {
    constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                            1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                            6.680131188771972e+01, -1.328068155288572e+01};
    constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                            -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                            3.754408661907416e+00};
    constexpr double kLow = 0.02425;
    if (p < kLow || p > 1.0 - kLow) {
        const double q = std::sqrt(-2.0 * std::log(p < kLow ? p : 1.0 - p));
        const double z = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
                         ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
        return p < kLow ? z : -z;
    }
    const double q = p - 0.5;
    const double r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
}

using NormalTable = std::array<float, kNormalTableSize>;

// Standard normal deviates at the centres of kNormalTableSize equal-probability
// bins: 16 random bits pick one, reaching 4.3 sigma in the tails. A plain array
// has no destructor, so a frame still rendering while the process exits never
// reads a destroyed table.
const NormalTable &normalTable() {
    static const NormalTable table = [] {
        NormalTable values{};
        for (std::size_t i = 0; i < kNormalTableSize; ++i) {
            values[i] = static_cast<float>(inverseNormal((i + 0.5) / kNormalTableSize));
        }
        return values;
    }();
    return table;
}

// Reciprocals 1 / k: the inversion below multiplies instead of dividing, which
// shortens its dependency chain several times over.
constexpr int kLargestPoissonCount = 64;
constexpr auto kReciprocals = [] {
    std::array<double, kLargestPoissonCount + 1> values{};
    for (int k = 1; k <= kLargestPoissonCount; ++k) {
        values[k] = 1.0 / k;
    }
    return values;
}();

// Poisson deviate of mean `mean` (below kExactPoissonLimit) by inversion of the
// distribution function. The single-precision exponential is plenty for noise.
double poisson(double mean, double uniform) {
    double probability = std::exp(static_cast<float>(-mean));
    double cumulative = probability;
    int k = 0;
    while (uniform > cumulative && k < kLargestPoissonCount) {
        ++k;
        probability *= mean * kReciprocals[k];
        cumulative += probability;
    }
    return k;
}

class PixelNoise {
public:
    explicit PixelNoise(uint32_t seed)
        : key_(mix64(mix64(seed) ^ kNoiseStream)), normal_(normalTable()) {}

    // The sample of a pixel that collected `electrons` on average.
    uint16_t sample(double electrons, std::size_t pixel) const {
        const uint64_t bits = mix64(key_ + pixel);
        const double shotNormal = normal_[bits & (kNormalTableSize - 1)];
        const double readNormal = normal_[(bits >> kNormalTableBits) & (kNormalTableSize - 1)];
        double collected;
        if (electrons < kExactPoissonLimit) {
            const double uniform = (static_cast<double>(bits >> 32) + 0.5) * 0x1.0p-32;
            collected = poisson(electrons, uniform);
        } else {
            collected = electrons + std::sqrt(electrons) * shotNormal;
        }
        // Rounded to the nearest count by truncation after adding one half, which
        // is exact once the value is limited to 0 ... full scale.
        const double value = kBiasLevel + collected + kReadNoise * readNormal + 0.5;
        return static_cast<uint16_t>(std::clamp(value, 0.0, kFullScale));
    }

private:
    uint64_t key_;
    const NormalTable &normal_;
};

}  // namespace

bool renderSensor(const StarField &field, const Exposure &exposure, std::vector<uint16_t> &samples,
                  const std::atomic<bool> *cancelled) {
    samples.resize(kSensorSamples);
    const PixelNoise noise(field.seed());
    const double seconds = std::max(exposure.seconds, 0.0);
    const double darkElectrons = seconds * kDarkRate;
    const float *light = field.lightRates().data();
    for (int32_t row = 0; row < kSensorHeight; ++row) {
        if (row % kRowsBetweenCancelChecks == 0 && cancelled != nullptr && cancelled->load()) {
            return false;
        }
        // Gains of the row's two filter colours, even columns first.
        const double evenGain = exposure.gains[colourIndex(mosaicColour(0, row))];
        const double oddGain = exposure.gains[colourIndex(mosaicColour(1, row))];
        const std::size_t start = static_cast<std::size_t>(row) * kSensorWidth;
        for (std::size_t i = start; i < start + kSensorWidth; i += 2) {
            samples[i] = noise.sample(darkElectrons + seconds * evenGain * light[i], i);
            samples[i + 1] = noise.sample(darkElectrons + seconds * oddGain * light[i + 1], i + 1);
        }
    }
    for (const HotPixel &pixel : field.hotPixels()) {
        const std::size_t i = static_cast<std::size_t>(pixel.row) * kSensorWidth + pixel.column;
        const double gain = exposure.gains[colourIndex(mosaicColour(pixel.column, pixel.row))];
        samples[i] = noise.sample(seconds * (gain * light[i] + kDarkRate + pixel.darkRate), i);
    }
    return true;
}

}  // namespace simcam
