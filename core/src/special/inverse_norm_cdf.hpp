// The inverse of the standard normal distribution function by M. J.
// Wichura, "Algorithm AS 241: The percentage points of the normal
// distribution", Applied Statistics 37 (1988) 477-484 (PPND16): rational
// functions of degree 7 over 7, one in the central interval and two in the
// tails. The rational parts are templates over the value type (value.hpp),
// shared by inverse_norm_cdf and the lane kernels; the logarithm and the
// choice of range are the callers'.
#pragma once

#include "special/value.hpp"

namespace tarvik::rational {
namespace {

inline constexpr double kWichuraSplit1 =
    0.425;  // half-width of the central interval in q = u - 0.5
inline constexpr double kWichuraConst1 = 0.180625;  // 0.425^2
inline constexpr double kWichuraSplit2 = 5.0;       // near/far tail boundary in r = sqrt(-log p)
inline constexpr double kWichuraConst2 = 1.6;

// Wichura's coefficients, each polynomial from its highest power down (a7
// ... a0). Measured maximum relative error against the 50-digit references
// of core/tests/data (central interval and both tails): 2.4 eps.

// clang-format off
// Central interval |q| <= 0.425, variable r = 0.180625 - q^2: z = q a(r) / b(r).
inline constexpr Poly<8> kWichuraA = {2509.0809287301227, 33430.575583588128, 67265.770927008707,
                        45921.95393154987,  13731.693765509461, 1971.5909503065513,
                        133.14166789178438, 3.3871328727963665};
inline constexpr Poly<8> kWichuraB = {5226.4952788528544, 28729.085735721943, 39307.895800092709,
                        21213.794301586597, 5394.1960214247511, 687.18700749205789,
                        42.313330701600911, 1.0};

// Near tail, r = sqrt(-log p) < 5, variable r - 1.6: |z| = c(r) / d(r).
inline constexpr Poly<8> kWichuraC = {0.00077454501427834139, 0.022723844989269184, 0.24178072517745061,
                        1.2704582524523684,     3.6478483247632045,   5.769497221460691,
                        4.6303378461565456,     1.4234371107496835};
inline constexpr Poly<8> kWichuraD = {1.0507500716444169e-09, 0.00054759380849953455, 0.015198666563616457,
                        0.14810397642748008,    0.68976733498510001,    1.6763848301838038,
                        2.053191626637759,      1.0};

// Far tail, r >= 5, variable r - 5: |z| = e(r) / f(r).
inline constexpr Poly<8> kWichuraE = {2.0103343992922881e-07, 2.7115555687434876e-05, 0.0012426609473880784,
                        0.026532189526576124,   0.29656057182850487,    1.7848265399172913,
                        5.4637849111641144,     6.6579046435011033};
inline constexpr Poly<8> kWichuraF = {2.0442631033899397e-15, 1.4215117583164459e-07, 1.8463183175100548e-05,
                        0.00078686913114561329, 0.014875361290850615,   0.13692988092273581,
                        0.59983220655588798,    1.0};
// clang-format on

// Central interval |q| <= 0.425, q = u - 0.5.
template <class V>
[[gnu::always_inline]] inline V inverse_norm_cdf_central(V q) {
  const V r = kWichuraConst1 - q * q;
  return (q * horner(kWichuraA, r)) / horner(kWichuraB, r);
}
// Tails, r = sqrt(-log p) of the smaller tail probability p: |z|. The
// near-tail test is strict: r = 5 is far tail.
template <class V>
[[gnu::always_inline]] inline V inverse_norm_cdf_near_tail(V r) {
  return horner_ratio(kWichuraC, kWichuraD, r - kWichuraConst2);
}
template <class V>
[[gnu::always_inline]] inline V inverse_norm_cdf_far_tail(V r) {
  return horner_ratio(kWichuraE, kWichuraF, r - kWichuraSplit2);
}

}  // namespace

// The deviate z with Phi(z) = u. Ends: -inf at u = 0 (and -0), +inf at u = 1,
// NaN outside [0, 1] and for NaN.
double inverse_norm_cdf(double u);

}  // namespace tarvik::rational
