#include "simcam/exact_math.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace simcam {

namespace {

// ln 2 in two parts: the upper one ends in 21 zero bits, so k * kLn2High is exact
// for every exponent k a double has, and the lower one carries the rest.
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
constexpr double kInverseLn2 = 1.44269504088896338700e+00;
constexpr double kExpLargest = 7.09782712893383973096e+02;    // e^x overflows beyond
constexpr double kExpSmallest = -7.45133219101941108420e+02;  // e^x is 0 below
constexpr double kSqrtHalf = 7.07106781186547524401e-01;
constexpr double kTwoOverSqrtPi = 1.12837916709551257390e+00;

// 1 / n! for n = 0 ... 18: every n! up to 18! is exact in a double, so each entry
// is the correctly rounded reciprocal.
constexpr int kLargestFactorial = 18;
constexpr auto kInverseFactorials = [] {
    std::array<double, kLargestFactorial + 1> values{};
    double factorial = 1.0;
    for (int n = 0; n <= kLargestFactorial; ++n) {
        factorial *= n > 1 ? n : 1;
        values[n] = 1.0 / factorial;
    }
    return values;
}();

// sum of coefficients[n] t^n, n from `first` to `last`, by Horner's rule.
template <std::size_t N>
double polynomial(const std::array<double, N> &coefficients, double t, std::size_t first = 0,
                  std::size_t last = N - 1) {
    double sum = coefficients[last];
    for (std::size_t n = last; n-- > first;) {
        sum = sum * t + coefficients[n];
    }
    return sum;
}

// 2^k for -1022 <= k <= 1023, set in the exponent bits.
double powerOfTwo(int k) { return std::bit_cast<double>(static_cast<uint64_t>(k + 1023) << 52); }

// e^r for |r| <= ln 2 / 2: the Taylor series to r^14, whose first omitted term is
// below 4e-18 of the result.
constexpr std::size_t kExpTerms = 15;
double expReduced(double r) { return polynomial(kInverseFactorials, r, 0, kExpTerms - 1); }

// e^x - 1 for |x| <= ln 2 / 2, without the cancellation of subtracting 1: the same
// series without its first term, to x^16.
constexpr std::size_t kExpm1Terms = 17;
double expm1Reduced(double x) { return x * polynomial(kInverseFactorials, x, 1, kExpm1Terms - 1); }

// ln m for sqrt(1/2) <= m <= sqrt(2) as 2 atanh(s), s = (m - 1) / (m + 1): with
// |s| <= 0.172 the odd series 2 (s + s^3/3 + s^5/5 + ...) reaches s^23 before its
// terms fall below 1e-18 of the result.
constexpr auto kAtanhCoefficients = [] {
    std::array<double, 12> values{};  // 2 / (2k + 1), k = 0 ... 11
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = 2.0 / static_cast<double>(2 * k + 1);
    }
    return values;
}();
double logReduced(double m) {
    const double f = m - 1.0;  // exact: m lies within a factor of 2 of 1
    const double s = f / (2.0 + f);
    return s * polynomial(kAtanhCoefficients, s * s);
}

// erf as Taylor expansions around the centres k / 4, k = 0 ... 24, each serving
// the arguments within 1/8 of its centre. erf' = 2/sqrt(pi) g with g = e^(-x^2),
// and g' = -2 x g gives g's Taylor coefficients d around x0 by the recurrence
// n d[n] = -2 x0 d[n-1] - 2 d[n-2]; erf's n-th coefficient is 2/sqrt(pi) d[n-1] / n.
constexpr double kErfLimit = 6.0;  // beyond it erf(x) rounds to 1
constexpr double kErfSpacing = 0.25;
constexpr int kErfCentres = 25;
// Serving |t| <= 1/8, the first coefficient left out times t^n is below 1e-18.
constexpr std::size_t kErfTerms = 18;
// Stepping from one centre's value to the next, t = 1/4: more terms.
constexpr std::size_t kErfStepTerms = 40;

template <std::size_t N>
std::array<double, N> erfExpansion(double centre, double erfAtCentre) {
    std::array<double, N> coefficients{};
    coefficients[0] = erfAtCentre;
    double previous = 0.0;                        // d[n-2]
    double current = exactExp(-centre * centre);  // d[n-1]
    for (std::size_t n = 1; n < N; ++n) {
        const auto order = static_cast<double>(n);
        coefficients[n] = kTwoOverSqrtPi * current / order;
        const double next = (-2.0 * centre * current - 2.0 * previous) / order;
        previous = current;
        current = next;
    }
    return coefficients;
}

using ErfTable = std::array<std::array<double, kErfTerms>, kErfCentres>;

// Starts from erf(0) = 0 and walks out: each centre's value is the previous
// centre's expansion a step further.
ErfTable makeErfTable() {
    ErfTable table{};
    double erfAtCentre = 0.0;
    for (int k = 0; k < kErfCentres; ++k) {
        const auto wide = erfExpansion<kErfStepTerms>(k * kErfSpacing, erfAtCentre);
        for (std::size_t n = 0; n < kErfTerms; ++n) {
            table[k][n] = wide[n];
        }
        erfAtCentre = polynomial(wide, kErfSpacing);
    }
    return table;
}

}  // namespace

double exactExp(double x) {
    if (std::isnan(x)) {
        return x;
    }
    if (x > kExpLargest) {
        return std::numeric_limits<double>::infinity();
    }
    if (x < kExpSmallest) {
        return 0.0;
    }
    // x = k ln 2 + r with |r| <= ln 2 / 2; k * kLn2High is exact and so is its
    // difference from x, which lies close to it.
    const double scaled = x * kInverseLn2;
    const int k = static_cast<int>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
    const double r = (x - k * kLn2High) - k * kLn2Low;
    // 2^k in two factors, so that each is a normal number even where the result
    // is subnormal or k is 1024.
    const int half = k / 2;
    return expReduced(r) * powerOfTwo(half) * powerOfTwo(k - half);
}

double exactExpm1(double x) {
    if (std::abs(x) <= 0.5 * kLn2High) {
        return expm1Reduced(x);
    }
    // Beyond ln 2 / 2, e^x - 1 loses at most two bits to the subtraction.
    return exactExp(x) - 1.0;
}

double exactLog(double x) {
    auto bits = std::bit_cast<uint64_t>(x);
    int exponent = static_cast<int>(bits >> 52) - 1023;
    if (exponent == -1023) {
        // Subnormal: scaled up by 2^54 into the normal range first.
        bits = std::bit_cast<uint64_t>(x * 0x1.0p54);
        exponent = static_cast<int>(bits >> 52) - 1023 - 54;
    }
    // x = m 2^exponent with m in [1, 2), then in [sqrt(1/2), sqrt(2)).
    double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    if (m > 2.0 * kSqrtHalf) {
        m *= 0.5;
        ++exponent;
    }
    return exponent * kLn2High + (logReduced(m) + exponent * kLn2Low);
}

double exactPow(double base, double exponent) { return exactExp(exponent * exactLog(base)); }

double exactErf(double x) {
    if (std::isnan(x)) {
        return x;
    }
    const double magnitude = std::abs(x);
    if (magnitude >= kErfLimit) {
        return x < 0.0 ? -1.0 : 1.0;
    }
    static const ErfTable table = makeErfTable();
    const int k = static_cast<int>(magnitude / kErfSpacing + 0.5);
    // Exact: zero, or within 1/8 of the centre k / 4.
    const double t = magnitude - k * kErfSpacing;
    const double value = polynomial(table[k], t);
    return x < 0.0 ? -value : value;
}

double exactHypot(double x, double y) { return std::sqrt(x * x + y * y); }

}  // namespace simcam
