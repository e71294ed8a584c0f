// The simulated camera's own elementary functions against the C library's: the
// same values to within a few units in the last place over the arguments the
// scene and noise model use and the ranges' edges.
#include "simcam/exact_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double kUlp = std::numeric_limits<double>::epsilon();

// Arguments from `first` to `last` in `count` equal steps, both ends included.
std::vector<double> sweep(double first, double last, int count) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i) {
        values.push_back(first + (last - first) * i / (count - 1));
    }
    return values;
}

// Relative difference, or the absolute one below `floor` (where a relative one
// means nothing: a function's zero, or underflow).
double difference(double got, double expected, double floor) {
    if (got == expected) {
        return 0.0;
    }
    const double scale = std::max(std::abs(expected), floor);
    return std::abs(got - expected) / scale;
}

TEST(ExactMathTest, AgreesWithTheCLibrary) {
    using Function = std::function<double(double)>;
    static const struct {
        const char *name;
        Function exact;
        Function library;
        std::vector<double> arguments;
        double tolerance;  // relative, in units of the last place
        double floor;      // below this magnitude of the result: absolute
    } cases[] = {
        {"exp", simcam::exactExp, [](double x) { return std::exp(x); }, sweep(-744.0, 709.0, 20011),
         4, std::numeric_limits<double>::min()},
        {"exp near 0",
         simcam::exactExp,
         [](double x) { return std::exp(x); },
         {-1e-300, -1e-12, 0.0, 1e-12, 0.34657359, 0.34657360, -0.34657360},
         2,
         0.0},
        {"expm1", simcam::exactExpm1, [](double x) { return std::expm1(x); },
         sweep(-40.0, 40.0, 8001), 4, 0.0},
        {"expm1 near 0",
         simcam::exactExpm1,
         [](double x) { return std::expm1(x); },
         {-0.35, -1e-5, -1e-300, 0.0, 1e-300, 3e-9, 1e-5, 0.1, 0.3465, 0.3466},
         4,
         0.0},
        {"log", simcam::exactLog, [](double x) { return std::log(x); }, sweep(1e-6, 50.0, 20011), 4,
         0.0},
        {"log near 1",
         simcam::exactLog,
         [](double x) { return std::log(x); },
         {1.0, 1.0 + kUlp, 1.0 - kUlp / 2, 1.0 + 1e-9, 1.0 - 1e-9, 0.7071, 0.7072, 1.4142, 1.4143,
          2.0},
         4,
         0.0},
        {"log of extremes",
         simcam::exactLog,
         [](double x) { return std::log(x); },
         {4.9e-324, 1e-310, std::numeric_limits<double>::min(), 1e-200, 1e200,
          std::numeric_limits<double>::max()},
         2,
         0.0},
        {"erf", simcam::exactErf, [](double x) { return std::erf(x); }, sweep(-7.0, 7.0, 28001), 4,
         0.0},
        {"erf at the expansions' edges",
         simcam::exactErf,
         [](double x) { return std::erf(x); },
         {1e-300, -1e-300, 1e-10, 0.125, 0.12500000001, 0.375, 3.125, 5.875, 5.9999999, 6.0, -6.0,
          1e300, -std::numeric_limits<double>::infinity()},
         4,
         0.0},
    };
    for (const auto &c : cases) {
        for (const double x : c.arguments) {
            const double got = c.exact(x);
            const double expected = c.library(x);
            EXPECT_LE(difference(got, expected, c.floor), c.tolerance * kUlp)
                << c.name << "(" << x << "): " << got << ", the C library's " << expected;
        }
    }
}

// The point spread takes differences of erf far out in a star's wings: they keep
// their relative accuracy where the values themselves are close to 1.
TEST(ExactMathTest, ErfDifferencesInTheWings) {
    for (const double a : sweep(-5.5, 5.5, 441)) {
        const double b = a + 0.25;
        const double got = simcam::exactErf(b) - simcam::exactErf(a);
        const double expected = std::erf(b) - std::erf(a);
        EXPECT_NEAR(got, expected, 4 * kUlp) << "erf(" << b << ") - erf(" << a << ")";
    }
}

TEST(ExactMathTest, PowAndHypot) {
    static const struct {
        double base;
        double exponent;
    } powers[] = {
        {120.0 / 2.5e6, 0.7}, {9.4e-4, -1.0 / 0.7}, {0.999, -1.0 / 0.7}, {1e-300, 1.8},
        {0.5, 1.8},           {300.0, 0.0},         {300.0, 1.0},        {300.0, 0.9999},
    };
    for (const auto &p : powers) {
        const double expected = std::pow(p.base, p.exponent);
        EXPECT_LE(difference(simcam::exactPow(p.base, p.exponent), expected, 0.0), 64 * kUlp)
            << p.base << "^" << p.exponent;
    }
    EXPECT_EQ(simcam::exactHypot(3.0, -4.0), 5.0);
    EXPECT_DOUBLE_EQ(simcam::exactHypot(2047.5, 1535.25), std::hypot(2047.5, 1535.25));
}

TEST(ExactMathTest, OutsideTheRange) {
    EXPECT_EQ(simcam::exactExp(710.0), std::numeric_limits<double>::infinity());
    EXPECT_EQ(simcam::exactExp(-746.0), 0.0);
    EXPECT_EQ(simcam::exactExp(-std::numeric_limits<double>::infinity()), 0.0);
    EXPECT_TRUE(std::isnan(simcam::exactExp(std::nan(""))));
    EXPECT_TRUE(std::isnan(simcam::exactErf(std::nan(""))));
    EXPECT_EQ(simcam::exactExpm1(-800.0), -1.0);
}

}  // namespace
