// The scaled complementary error function erfcx(x) = exp(x^2) * erfc(x).
#pragma once

namespace tarvik::rational {

// W. J. Cody's rational Chebyshev approximation (Math. Comp. 23, 1969) in
// three ranges of |x|, with the reflection erfcx(x) = 2 exp(x^2) - erfcx(-x)
// for x < -0.46875. Total: 0 for x >= 2.53e307 and for +inf, 1.79e308 (the
// stand-in for an overflowing result) for x < -26.628 and for -inf, NaN for
// NaN. Pure, allocation-free.
double erfcx_cody(double x);

}  // namespace tarvik::rational
