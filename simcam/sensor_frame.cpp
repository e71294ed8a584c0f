#include "simcam/sensor_frame.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "simcam/exact_math.h"
#include "simcam/random.h"

namespace simcam {

namespace {

constexpr uint64_t kNoiseStream = 0x4E4F495345ull;
constexpr int32_t kRowsBetweenCancelChecks = 64;
// Below this many electrons photon noise is drawn from the Poisson distribution
// itself; above it the normal approximation is close and much cheaper.
constexpr float kExactPoissonLimit = 16.0f;
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
        const double q = std::sqrt(-2.0 * exactLog(p < kLow ? p : 1.0 - p));
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

// exp(-x) for 0 <= x <= 80 without a library call: 2^-(x log2 e) split into a
// power of two, set in the exponent bits, and a polynomial for the fraction in
// [-0.5, 0.5] (relative error about 2e-7, below float rounding of the sums it
// feeds). The Poisson draw below needs one per pixel, which a call to exp would
// make the most expensive step of a short exposure.
inline float expNegative(float x) {
    const float y = x * 1.44269504f;
    const auto whole = static_cast<int32_t>(y + 0.5f);  // y >= 0: rounds to nearest
    const float f = static_cast<float>(whole) - y;      // in [-0.5, 0.5]
    float p = 1.535336188e-4f;
    p = p * f + 1.339887440e-3f;
    p = p * f + 9.618437357e-3f;
    p = p * f + 5.550332471e-2f;
    p = p * f + 2.402264791e-1f;
    p = p * f + 6.931472028e-1f;
    p = p * f + 1.0f;
    const float scale = std::bit_cast<float>(static_cast<uint32_t>(127 - whole) << 23);
    return p * scale;
}

// Reciprocals 1 / k: the inversion below multiplies instead of dividing, which
// shortens its dependency chain several times over.
constexpr int kLargestPoissonCount = 64;
constexpr auto kReciprocals = [] {
    std::array<float, kLargestPoissonCount + 1> values{};
    for (int k = 1; k <= kLargestPoissonCount; ++k) {
        values[k] = 1.0f / static_cast<float>(k);
    }
    return values;
}();

// Poisson deviate of `mean` (below kExactPoissonLimit) by inversion of the
// distribution function, from a uniform deviate in (0, 1). The search ends where
// the remaining tail is negligible, so that the rounding of the float sum (which
// may stay a little below 1) never sends a uniform deviate near 1 far out.
inline int poisson(float mean, float uniform) {
    constexpr float kNegligible = 1e-8f;
    float probability = expNegative(mean);
    float cumulative = probability;
    int k = 0;
    while (uniform > cumulative && k < kLargestPoissonCount &&
           (k < mean || probability > kNegligible)) {
        ++k;
        probability *= mean * kReciprocals[k];
        cumulative += probability;
    }
    return k;
}

// Terms of the distribution function the branch-free loop sums: counts of
// kPoissonHeadTerms and more are left to poisson(). Below one electron, as in
// short exposures, that is about one pixel in ten thousand.
constexpr int kPoissonHeadTerms = 4;

// min(count, kPoissonHeadTerms) of the Poisson deviate poisson(mean, uniform)
// would give, summing the same terms in the same order without a branch (and
// written out, so that the compiler vectorises the loop calling it).
inline float poissonHead(float mean, float uniform) {
    static_assert(kPoissonHeadTerms == 4);
    float probability = expNegative(mean);
    float cumulative = probability;
    float count = uniform > cumulative ? 1.0f : 0.0f;
    probability *= mean * kReciprocals[1];
    cumulative += probability;
    count += uniform > cumulative ? 1.0f : 0.0f;
    probability *= mean * kReciprocals[2];
    cumulative += probability;
    count += uniform > cumulative ? 1.0f : 0.0f;
    probability *= mean * kReciprocals[3];
    cumulative += probability;
    return count + (uniform > cumulative ? 1.0f : 0.0f);
}

using RowValues = std::array<float, kSensorWidth>;
constexpr auto kFullScaleFloat = static_cast<float>(kFullScale);

// Vector loops twice as wide where the processor has AVX2, chosen once when the
// library is loaded (GNU indirect functions). Either version computes the same
// samples: the loops use no fused multiply-add, so every operation rounds alike.
// Not under ThreadSanitizer, whose runtime is not yet up when the loader calls
// the resolver.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && \
    !defined(__SANITIZE_THREAD__)
#define QM_WIDER_VECTORS_IF_PRESENT __attribute__((target_clones("avx2", "default")))
#else
#define QM_WIDER_VECTORS_IF_PRESENT
#endif

// The hash's 64-bit multiplications have no SSE2 or AVX2 instruction: GCC at -O3
// vectorises the hashing loop anyway, with emulated multiplies, and a frame then
// takes a third longer than with the plain loop.
#if defined(__GNUC__) && !defined(__clang__)
#define QM_SCALAR_LOOPS __attribute__((optimize("no-tree-loop-vectorize")))
#else
#define QM_SCALAR_LOOPS
#endif

// The random numbers of one row's samples.
struct RowDraws {
    RowValues uniform;     // in (0, 1), for the Poisson count
    RowValues shotNormal;  // standard normal, for photon noise of large signals
    RowValues readNormal;  // standard normal, for read noise
};

// Samples of pixels that collected `electrons` on average, from their draws: the
// arithmetic is free of branches so that the compiler vectorises it; the rare
// Poisson counts beyond the terms poissonHead() sums are finished one by one.
QM_WIDER_VECTORS_IF_PRESENT
void drawSamples(const RowValues &electrons, const RowDraws &draws, float bias, float readNoise,
                 uint16_t *out) {
    RowValues collected;
    for (std::size_t c = 0; c < kSensorWidth; ++c) {
        const float mean = electrons[c];
        const float count = poissonHead(std::min(mean, kExactPoissonLimit), draws.uniform[c]);
        const float normal = mean + std::sqrt(mean) * draws.shotNormal[c];
        collected[c] = mean < kExactPoissonLimit ? count : normal;
    }
    for (std::size_t c = 0; c < kSensorWidth; ++c) {
        if (electrons[c] < kExactPoissonLimit && collected[c] >= kPoissonHeadTerms) {
            collected[c] = static_cast<float>(poisson(electrons[c], draws.uniform[c]));
        }
    }
    for (std::size_t c = 0; c < kSensorWidth; ++c) {
        // Rounded to the nearest count by truncation after adding one half, which
        // is exact once the value is limited to 0 ... full scale.
        const float value = bias + collected[c] + readNoise * draws.readNormal[c] + 0.5f;
        out[c] = static_cast<uint16_t>(std::clamp(value, 0.0f, kFullScaleFloat));
    }
}

// The noise of one frame: a counter-based hash of the frame's key and the
// sample's index gives each sample its own random bits, so a sample's noise
// depends on the seed, the draw and the sample only, never on rendering order.
class FrameNoise {
public:
    // `reads`: sensor samples read together into each of this frame's samples.
    FrameNoise(uint32_t seed, uint64_t draw, int32_t reads)
        : key_(mix64(mix64(mix64(seed) ^ kNoiseStream) ^ mix64(draw))),
          bias_(static_cast<float>(kBiasLevel * reads)),
          readNoise_(static_cast<float>(kReadNoise * std::sqrt(double(reads)))),
          normal_(normalTable().data()) {}

    // Samples of the row's pixels that collected `electrons` on average, the
    // first being sample number `first` of the frame.
    QM_SCALAR_LOOPS
    void renderRow(const RowValues &electrons, std::size_t first, uint16_t *out) const {
        RowDraws draws;
        for (std::size_t c = 0; c < kSensorWidth; ++c) {
            const uint64_t bits = mix64(key_ + first + c);
            // 24 bits as a signed 32-bit integer: converts to float in one instruction.
            const auto high = static_cast<int32_t>(static_cast<uint32_t>(bits >> 40));
            draws.uniform[c] = (static_cast<float>(high) + 0.5f) * 0x1.0p-24f;
            draws.shotNormal[c] = normal_[bits & (kNormalTableSize - 1)];
            draws.readNormal[c] = normal_[(bits >> kNormalTableBits) & (kNormalTableSize - 1)];
        }
        drawSamples(electrons, draws, bias_, readNoise_, out);
    }

private:
    uint64_t key_;
    float bias_;
    float readNoise_;
    const float *normal_;
};

// Adds the light of one sensor row, `line`, to `electrons`: `evenScale` times the
// rate on even columns, `oddScale` on odd ones.
QM_WIDER_VECTORS_IF_PRESENT
void addLight(const float *line, float evenScale, float oddScale, RowValues &electrons) {
    for (std::size_t c = 0; c < kSensorWidth; c += 2) {
        electrons[c] += evenScale * line[c];
        electrons[c + 1] += oddScale * line[c + 1];
    }
}

struct HotSite {
    std::size_t sample;  // index in the rendered frame
    float electrons;     // beyond the ordinary dark current
};

// The hot pixels' extra charge in a frame whose rows each read `reads` sensor
// rows, in sample order.
std::vector<HotSite> hotSites(const StarField &field, double seconds, int32_t reads) {
    std::vector<HotSite> sites;
    for (const HotPixel &pixel : field.hotPixels()) {
        const auto row = static_cast<std::size_t>(pixel.row / reads);
        sites.push_back({row * kSensorWidth + static_cast<std::size_t>(pixel.column),
                         static_cast<float>(seconds * pixel.darkRate)});
    }
    std::sort(sites.begin(), sites.end(),
              [](const HotSite &a, const HotSite &b) { return a.sample < b.sample; });
    return sites;
}

// Renders the frame whose every row holds the charge of `reads` consecutive
// sensor rows (1: the full frame, 2: row pairs).
bool render(const StarField &field, const Exposure &exposure, int32_t reads,
            std::vector<uint16_t> &samples, const std::atomic<bool> *cancelled) {
    const int32_t rows = kSensorHeight / reads;
    samples.resize(static_cast<std::size_t>(rows) * kSensorWidth);
    const FrameNoise noise(field.seed(), exposure.noiseDraw, reads);
    const double seconds = std::max(exposure.seconds, 0.0);
    const auto darkElectrons = static_cast<float>(seconds * kDarkRate * reads);
    const std::vector<HotSite> hot = hotSites(field, seconds, reads);
    auto nextHot = hot.begin();
    const float *light = field.lightRates().data();
    RowValues electrons;
    for (int32_t row = 0; row < rows; ++row) {
        if (row % kRowsBetweenCancelChecks == 0 && cancelled != nullptr && cancelled->load()) {
            return false;
        }
        std::fill(electrons.begin(), electrons.end(), darkElectrons);
        for (int32_t read = 0; read < reads && !exposure.covered; ++read) {
            const int32_t sensorRow = row * reads + read;
            // Light of the row's two filter colours, even columns first.
            const auto evenScale = static_cast<float>(
                seconds * exposure.gains[colourIndex(mosaicColour(0, sensorRow))]);
            const auto oddScale = static_cast<float>(
                seconds * exposure.gains[colourIndex(mosaicColour(1, sensorRow))]);
            addLight(light + static_cast<std::size_t>(sensorRow) * kSensorWidth, evenScale,
                     oddScale, electrons);
        }
        const std::size_t first = static_cast<std::size_t>(row) * kSensorWidth;
        for (; nextHot != hot.end() && nextHot->sample < first + kSensorWidth; ++nextHot) {
            electrons[nextHot->sample - first] += nextHot->electrons;
        }
        noise.renderRow(electrons, first, samples.data() + first);
    }
    return true;
}

}  // namespace

bool renderSensor(const StarField &field, const Exposure &exposure, std::vector<uint16_t> &samples,
                  const std::atomic<bool> *cancelled) {
    return render(field, exposure, 1, samples, cancelled);
}

bool renderRowPairs(const StarField &field, const Exposure &exposure,
                    std::vector<uint16_t> &samples, const std::atomic<bool> *cancelled) {
    return render(field, exposure, 2, samples, cancelled);
}

}  // namespace simcam
