#include "simcam/point_spread.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

#include "readout/frame_geometry.h"
#include "simcam/exact_math.h"

namespace simcam {

namespace {

constexpr double kCoreShare = 1.0 - kPsfHaloShare;
constexpr double kMinStampRadius = 6;  // covers the core to 4.6 sigma
constexpr double kMaxStampRadius = 24;
constexpr double kNegligibleRate = 0.02;  // electrons per second left outside a stamp

// Share of a one-dimensional Gaussian centred at `centre` that falls in [i, i + 1).
double gaussianShare(double centre, double sigma, int32_t i) {
    const double scale = 1.0 / (sigma * std::sqrt(2.0));
    return 0.5 * (exactErf((i + 1 - centre) * scale) - exactErf((i - centre) * scale));
}

// gaussianShare for i = first ... last, each interval's edge taken once: the
// upper edge of one interval is the lower edge of the next.
std::vector<double> gaussianShares(double centre, double sigma, int32_t first, int32_t last) {
    const double scale = 1.0 / (sigma * std::sqrt(2.0));
    std::vector<double> shares;
    shares.reserve(static_cast<std::size_t>(last - first + 1));
    double lower = exactErf((first - centre) * scale);
    for (int32_t i = first; i <= last; ++i) {
        const double upper = exactErf((i + 1 - centre) * scale);
        shares.push_back(0.5 * (upper - lower));
        lower = upper;
    }
    return shares;
}

// Radius beyond which the halo of the star adds less than kNegligibleRate.
int32_t stampRadius(const Star &star) {
    const double brightest = std::max({star.response[0], star.response[1], star.response[2]});
    const double haloArea = 2.0 * std::numbers::pi * kPsfHaloSigma * kPsfHaloSigma;
    const double haloPeak = star.flux * brightest * kPsfHaloShare / haloArea;
    double radius = kMinStampRadius;
    if (haloPeak > kNegligibleRate) {
        radius = kPsfHaloSigma * std::sqrt(2.0 * exactLog(haloPeak / kNegligibleRate));
    }
    return static_cast<int32_t>(std::ceil(std::clamp(radius, kMinStampRadius, kMaxStampRadius)));
}

}  // namespace

double psfShare(double x, double y, int32_t column, int32_t row) {
    return kCoreShare * gaussianShare(x, kPsfCoreSigma, column) *
               gaussianShare(y, kPsfCoreSigma, row) +
           kPsfHaloShare * gaussianShare(x, kPsfHaloSigma, column) *
               gaussianShare(y, kPsfHaloSigma, row);
}

void drawStar(const Star &star, std::vector<float> &rates) {
    const int32_t radius = stampRadius(star);
    const auto centreColumn = static_cast<int32_t>(std::floor(star.x));
    const auto centreRow = static_cast<int32_t>(std::floor(star.y));
    const int32_t firstColumn = std::max(centreColumn - radius, 0);
    const int32_t lastColumn = std::min(centreColumn + radius, kSensorWidth - 1);
    const int32_t firstRow = std::max(centreRow - radius, 0);
    const int32_t lastRow = std::min(centreRow + radius, kSensorHeight - 1);
    if (firstColumn > lastColumn || firstRow > lastRow) {
        return;
    }

    // The Gaussians are separable: one table of shares per axis and component.
    std::vector<double> coreX = gaussianShares(star.x, kPsfCoreSigma, firstColumn, lastColumn);
    std::vector<double> haloX = gaussianShares(star.x, kPsfHaloSigma, firstColumn, lastColumn);
    for (std::size_t i = 0; i < coreX.size(); ++i) {
        coreX[i] *= kCoreShare;
        haloX[i] *= kPsfHaloShare;
    }
    const std::vector<double> coreRows = gaussianShares(star.y, kPsfCoreSigma, firstRow, lastRow);
    const std::vector<double> haloRows = gaussianShares(star.y, kPsfHaloSigma, firstRow, lastRow);
    for (int32_t row = firstRow; row <= lastRow; ++row) {
        const double coreY = coreRows[static_cast<std::size_t>(row - firstRow)];
        const double haloY = haloRows[static_cast<std::size_t>(row - firstRow)];
        float *line = rates.data() + static_cast<std::size_t>(row) * kSensorWidth;
        for (int32_t column = firstColumn; column <= lastColumn; ++column) {
            const std::size_t i = column - firstColumn;
            const double share = coreX[i] * coreY + haloX[i] * haloY;
            line[column] += static_cast<float>(share * star.fluxOn(mosaicColour(column, row)));
        }
    }
}

}  // namespace simcam
