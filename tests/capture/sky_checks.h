// What a saved frame of the simulated sky says about its geometry and colours.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/capture/capture_window.h"

// Median of the stored samples at each of the four (row parity, column parity)
// phases, indexed row parity x 2 + column parity.
inline std::array<double, 4> phaseMedians(const std::vector<uint16_t> &pixels, long width,
                                          long height) {
    std::array<std::vector<uint16_t>, 4> phases;
    for (long r = 0; r < height; ++r) {
        for (long c = 0; c < width; ++c) {
            phases[(r % 2) * 2 + c % 2].push_back(pixels[static_cast<size_t>(r * width + c)]);
        }
    }
    std::array<double, 4> medians{};
    for (size_t p = 0; p < 4; ++p) {
        auto &v = phases[p];
        std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
        medians[p] = v[v.size() / 2];
    }
    return medians;
}

// The sky of the simulated camera is brightest through green, then red, then
// blue filters. The pattern of a colour mosaic names its phases; the pattern
// the medians show is returned (e.g. "GBRG"), or "" when they do not show the
// two greens, one red and one blue of a mosaic.
inline std::string patternShownBySky(const std::array<double, 4> &medians) {
    std::array<int, 4> order{0, 1, 2, 3};
    std::sort(order.begin(), order.end(), [&](int a, int b) { return medians[a] > medians[b]; });
    const double greenSpread = std::fabs(medians[order[0]] - medians[order[1]]);
    const double greenToRed = medians[order[1]] - medians[order[2]];
    const double redToBlue = medians[order[2]] - medians[order[3]];
    if (greenSpread * 4 > greenToRed || greenSpread * 4 > redToBlue) {
        return {};
    }
    std::string pattern(4, '?');
    pattern[order[0]] = 'G';
    pattern[order[1]] = 'G';
    pattern[order[2]] = 'R';
    pattern[order[3]] = 'B';
    return pattern;
}

// Where each unit of a grid over the saved image looks on the sensor. The grid
// unit is one host sample in modes 4 and 3, and one 2x2 host cell (which sums
// same-colour samples of a block of raw rows and columns) in modes 2, 1 and 0.
// Host row 0 comes from the highest raw row of the window, so y falls as the
// grid row grows. Sensor pixel (column c, row r) has its centre at (c + 0.5, r + 0.5).
struct SensorGrid {
    int cell = 1;   // host samples per grid unit along each axis
    double x0 = 0;  // sensor centre of grid unit (0, 0)
    double y0 = 0;
    double dx = 1;  // sensor pixels per grid unit
    double dy = -1;
};

inline SensorGrid sensorGridFor(uint32_t mode, const PixelWindow &w) {
    const double top = static_cast<double>(w.y) + w.height;
    switch (mode) {
        case 4:
            return {1, w.x + 0.5, top + 0.5, 1, -1};
        // Frame row k sums sensor rows 2k and 2k + 1; samples two columns apart.
        case 3:
            return {1, 2.0 * w.x + 1.5, 2 * top + 1, 2, -2};
        // Cells of 4 raw rows by 4 columns.
        case 2:
            return {2, 2.0 * w.x + 2, 2 * top - 1, 4, -4};
        // Cells of 8 raw rows by 8 columns.
        case 1:
            return {2, 4.0 * w.x + 4, 4 * top - 3, 8, -8};
        // Cells of 4 frame rows (8 sensor rows) by 8 columns.
        default:
            return {2, 4.0 * w.x + 4, 4 * top - 2, 8, -8};
    }
}

// Sums each grid unit's host samples.
inline std::vector<double> gridValues(const std::vector<uint16_t> &pixels, long width, long height,
                                      int cell, long &gridWidth, long &gridHeight) {
    gridWidth = width / cell;
    gridHeight = height / cell;
    std::vector<double> grid(static_cast<size_t>(gridWidth * gridHeight), 0.0);
    for (long r = 0; r < gridHeight * cell; ++r) {
        for (long c = 0; c < gridWidth * cell; ++c) {
            grid[static_cast<size_t>((r / cell) * gridWidth + c / cell)] +=
                pixels[static_cast<size_t>(r * width + c)];
        }
    }
    return grid;
}

// Light-weighted centre, in grid units, of a box around (row, column), above the
// median of the box's border. False when the box leaves the grid or holds no light.
inline bool centroidNear(const std::vector<double> &grid, long gridWidth, long gridHeight,
                         double row, double column, long radius, double &centreRow,
                         double &centreColumn) {
    const long r0 = std::lround(row) - radius, r1 = std::lround(row) + radius;
    const long c0 = std::lround(column) - radius, c1 = std::lround(column) + radius;
    if (r0 < 0 || c0 < 0 || r1 >= gridHeight || c1 >= gridWidth) {
        return false;
    }
    std::vector<double> border;
    for (long r = r0; r <= r1; ++r) {
        for (long c = c0; c <= c1; ++c) {
            if (r == r0 || r == r1 || c == c0 || c == c1) {
                border.push_back(grid[static_cast<size_t>(r * gridWidth + c)]);
            }
        }
    }
    std::nth_element(border.begin(), border.begin() + static_cast<long>(border.size() / 2),
                     border.end());
    const double background = border[border.size() / 2];
    double sum = 0, sumRow = 0, sumColumn = 0;
    for (long r = r0; r <= r1; ++r) {
        for (long c = c0; c <= c1; ++c) {
            const double v =
                std::max(0.0, grid[static_cast<size_t>(r * gridWidth + c)] - background);
            sum += v;
            sumRow += v * static_cast<double>(r);
            sumColumn += v * static_cast<double>(c);
        }
    }
    if (sum <= 0) {
        return false;
    }
    centreRow = sumRow / sum;
    centreColumn = sumColumn / sum;
    return true;
}
