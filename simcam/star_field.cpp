#include "simcam/star_field.h"

#include <algorithm>
#include <set>
#include <utility>

#include "readout/frame_geometry.h"
#include "simcam/exact_math.h"
#include "simcam/point_spread.h"
#include "simcam/random.h"

namespace simcam {

namespace {

// Cumulative star counts grow as flux^-kCountSlope: N(> F) ~ F^-0.7, close to the
// counts of faint field stars per magnitude.
constexpr double kCountSlope = 0.7;
constexpr double kCoolestStar = 2800.0;
constexpr double kHottestStar = 12000.0;
constexpr double kFaintestHotPixel = 20.0;  // electrons per second
constexpr double kHotPixelRange = 300.0;    // brightest / faintest hot pixel
constexpr double kNeighbourShare = 0.01;    // of a star's flux, see brightestStars()

// Sky glow through red, green and blue filters, electrons per second, at the
// centre of the sensor; it brightens towards one corner.
constexpr std::array<double, 3> kSkyRates{18.0, 22.0, 14.0};
constexpr double kSkyGradientX = 0.12;
constexpr double kSkyGradientY = -0.08;

// Separate streams of one seed, so that adding hot pixels never moves a star.
constexpr uint64_t kStarStream = 0x5354415253ull;
constexpr uint64_t kHotPixelStream = 0x484F54ull;

Star makeStar(RandomSequence &random) {
    Star star{};
    const double width = kSensorWidth + 2 * StarField::kFieldMargin;
    const double height = kSensorHeight + 2 * StarField::kFieldMargin;
    star.x = random.uniform() * width - StarField::kFieldMargin;
    star.y = random.uniform() * height - StarField::kFieldMargin;
    // Inverse of the truncated power law between the faintest and brightest flux.
    const double lowest =
        exactPow(StarField::kFaintestFlux / StarField::kBrightestFlux, kCountSlope);
    const double u = lowest + (1.0 - lowest) * random.uniformPositive();
    star.flux = StarField::kFaintestFlux * exactPow(u, -1.0 / kCountSlope);
    // Cool stars outnumber hot ones.
    const double coolness = exactPow(random.uniform(), 1.8);
    star.temperature = kCoolestStar + (kHottestStar - kCoolestStar) * coolness;
    star.response = blackBodyResponse(star.temperature);
    return star;
}

std::vector<Star> makeStars(uint32_t seed) {
    RandomSequence random(mix64(seed) ^ kStarStream);
    std::vector<Star> stars;
    stars.reserve(StarField::kStarCount);
    for (std::size_t i = 0; i < StarField::kStarCount; ++i) {
        stars.push_back(makeStar(random));
    }
    std::stable_sort(stars.begin(), stars.end(),
                     [](const Star &a, const Star &b) { return a.flux > b.flux; });
    return stars;
}

std::vector<HotPixel> makeHotPixels(uint32_t seed) {
    RandomSequence random(mix64(seed) ^ kHotPixelStream);
    std::vector<HotPixel> pixels;
    std::set<std::pair<int32_t, int32_t>> taken;
    while (pixels.size() < StarField::kHotPixelCount) {
        const auto column = static_cast<int32_t>(random.next() % kSensorWidth);
        const auto row = static_cast<int32_t>(random.next() % kSensorHeight);
        const double rate = kFaintestHotPixel * exactPow(kHotPixelRange, random.uniform());
        if (taken.insert({column, row}).second) {
            pixels.push_back({.column = column, .row = row, .darkRate = rate});
        }
    }
    return pixels;
}

bool onSensor(int32_t column, int32_t row) {
    return column >= 0 && column < kSensorWidth && row >= 0 && row < kSensorHeight;
}

double distance(double x0, double y0, double x1, double y1) { return exactHypot(x1 - x0, y1 - y0); }

}  // namespace

std::array<double, 3> blackBodyResponse(double temperature) {
    // Effective wavelengths of the red, green and blue filters, metres.
    constexpr std::array<double, 3> kWavelengths{610e-9, 535e-9, 465e-9};
    constexpr double kWhiteTemperature = 6000.0;
    constexpr double kSecondRadiation = 1.438777e-2;  // h c / k, metre kelvin
    const auto planck = [](double wavelength, double t) {
        const double squared = wavelength * wavelength;
        const double fifthPower = squared * squared * wavelength;
        return 1.0 / (fifthPower * exactExpm1(kSecondRadiation / (wavelength * t)));
    };
    std::array<double, 3> response{};
    for (std::size_t i = 0; i < response.size(); ++i) {
        const auto relativeToGreen = [&](double t) {
            return planck(kWavelengths[i], t) / planck(kWavelengths[1], t);
        };
        response[i] = relativeToGreen(temperature) / relativeToGreen(kWhiteTemperature);
    }
    return response;
}

StarField::StarField(uint32_t seed)
    : seed_(seed),
      stars_(makeStars(seed)),
      hotPixels_(makeHotPixels(seed)),
      lightRates_(static_cast<std::size_t>(kSensorWidth) * kSensorHeight) {
    for (int32_t row = 0; row < kSensorHeight; ++row) {
        float *line = lightRates_.data() + static_cast<std::size_t>(row) * kSensorWidth;
        for (int32_t column = 0; column < kSensorWidth; ++column) {
            line[column] = static_cast<float>(skyRate(column, row));
        }
    }
    for (const Star &star : stars_) {
        drawStar(star, lightRates_);
    }
}

std::vector<Star> StarField::brightestStars(std::size_t count, double margin,
                                            double isolation) const {
    const auto inside = [margin](const Star &star) {
        return star.x >= margin && star.x <= kSensorWidth - margin && star.y >= margin &&
               star.y <= kSensorHeight - margin;
    };
    const auto isolated = [this, isolation](const Star &star) {
        if (isolation <= 0.0) {
            return true;
        }
        for (const Star &other : stars_) {
            if (&other != &star && other.flux > kNeighbourShare * star.flux &&
                distance(star.x, star.y, other.x, other.y) < isolation) {
                return false;
            }
        }
        for (const HotPixel &pixel : hotPixels_) {
            if (distance(star.x, star.y, pixel.column + 0.5, pixel.row + 0.5) < isolation) {
                return false;
            }
        }
        return true;
    };
    std::vector<Star> chosen;
    for (const Star &star : stars_) {
        if (chosen.size() >= count) {
            break;
        }
        if (inside(star) && isolated(star)) {
            chosen.push_back(star);
        }
    }
    return chosen;
}

double StarField::lightRate(int32_t column, int32_t row) const {
    if (!onSensor(column, row)) {
        return 0.0;
    }
    return lightRates_[static_cast<std::size_t>(row) * kSensorWidth + column];
}

double StarField::skyRate(int32_t column, int32_t row) const {
    if (!onSensor(column, row)) {
        return 0.0;
    }
    const double gradient = 1.0 + kSkyGradientX * ((column + 0.5) / kSensorWidth - 0.5) +
                            kSkyGradientY * ((row + 0.5) / kSensorHeight - 0.5);
    return kSkyRates[colourIndex(mosaicColour(column, row))] * gradient;
}

double StarField::darkRate(int32_t column, int32_t row) const {
    if (!onSensor(column, row)) {
        return 0.0;
    }
    double rate = kDarkRate;
    for (const HotPixel &pixel : hotPixels_) {
        if (pixel.column == column && pixel.row == row) {
            rate += pixel.darkRate;
        }
    }
    return rate;
}

double StarField::meanSample(int32_t column, int32_t row, double seconds,
                             const std::array<float, 3> &gains) const {
    const double gain = gains[colourIndex(mosaicColour(column, row))];
    const double electrons = seconds * (gain * lightRate(column, row) + darkRate(column, row));
    return std::min(kBiasLevel + electrons, kFullScale);
}

}  // namespace simcam
