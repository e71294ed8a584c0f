// Elementary functions for the scene and noise model, built from + - * / and
// square roots only. IEEE 754 rounds those alike on every processor with SSE2,
// whereas the C libraries' exp, log, pow and erf (glibc's, msvcrt's) may differ in
// the last bit: a star's light, and so a frame, would then differ by a count
// between the Linux and the Windows build. Accurate to a few units in the last
// place of a double; none of them sets errno or raises a floating-point trap.
#pragma once

namespace simcam {

// e^x. 0 below about -745, +infinity above about 709.8.
double exactExp(double x);

// e^x - 1, accurate for small x as well.
double exactExpm1(double x);

// Natural logarithm. x must be positive and finite.
double exactLog(double x);

// base^exponent as e^(exponent log base). base must be positive and finite.
double exactPow(double base, double exponent);

// The error function, 2/sqrt(pi) times the integral of e^(-t^2) from 0 to x:
// odd, and exactly +-1 beyond |x| = 6.
double exactErf(double x);

// sqrt(x^2 + y^2), for arguments well inside the range where the squares neither
// overflow nor lose all precision (distances in pixels, say).
double exactHypot(double x, double y);

}  // namespace simcam
