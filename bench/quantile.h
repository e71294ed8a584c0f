// Quantiles of a benchmark's measured times, interpolated between the nearest
// ranks, shared by the benchmarks that print median and spread.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

inline double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const double position = q * static_cast<double>(v.size() - 1);
    const size_t below = static_cast<size_t>(std::floor(position));
    const size_t above = std::min(below + 1, v.size() - 1);
    return v[below] + (v[above] - v[below]) * (position - static_cast<double>(below));
}
