// The standard normal quantile by M. J. Wichura, "Algorithm AS 241: The
// percentage points of the normal distribution", Applied Statistics 37
// (1988) 477-484 (PPND16): rational functions of degree 7 over 7, one in the
// central interval and two in the tails.
#include "tarvik/rational/inv_norm.hpp"

#include <cmath>

namespace tarvik::rational {
namespace {

constexpr double kSplit1 = 0.425;    // half-width of the central interval in q = u - 0.5
constexpr double kConst1 = 0.180625;  // 0.425^2
constexpr double kSplit2 = 5.0;      // near/far tail boundary in r = sqrt(-log p)
constexpr double kConst2 = 1.6;

// Central interval |q| <= 0.425, variable r = 0.180625 - q^2:
// z = q a(r) / b(r), b0 = 1.
constexpr double kA[8] = {3.3871328727963665, 133.14166789178438, 1971.5909503065513,
                          13731.693765509461, 45921.95393154987,  67265.770927008707,
                          33430.575583588128, 2509.0809287301227};
constexpr double kB[8] = {1.0,                42.313330701600911, 687.18700749205789,
                          5394.1960214247511, 21213.794301586597, 39307.895800092709,
                          28729.085735721943, 5226.4952788528544};

// Near tail, r = sqrt(-log p) < 5, variable r - 1.6: |z| = c(r) / d(r).
constexpr double kC[8] = {1.4234371107496835,  4.6303378461565456,   5.769497221460691,
                          3.6478483247632045,  1.2704582524523684,   0.24178072517745061,
                          0.022723844989269184, 0.00077454501427834139};
constexpr double kD[8] = {1.0,                   2.053191626637759,      1.6763848301838038,
                          0.68976733498510001,   0.14810397642748008,    0.015198666563616457,
                          0.00054759380849953455, 1.0507500716444169e-09};

// Far tail, r >= 5, variable r - 5: |z| = e(r) / f(r).
constexpr double kE[8] = {6.6579046435011033,   5.4637849111641144,     1.7848265399172913,
                          0.29656057182850487,  0.026532189526576124,   0.0012426609473880784,
                          2.7115555687434876e-05, 2.0103343992922881e-07};
constexpr double kF[8] = {1.0,                    0.59983220655588798,    0.13692988092273581,
                          0.014875361290850615,   0.00078686913114561329, 1.8463183175100548e-05,
                          1.4215117583164459e-07, 2.0442631033899397e-15};

// num(r) / den(r), both by Horner's rule from index 7 down.
inline double ratio(const double (&num)[8], const double (&den)[8], double r) {
  double n = num[7];
  double d = den[7];
  for (int i = 6; i >= 0; --i) {
    n = n * r + num[i];
    d = d * r + den[i];
  }
  return n / d;
}

}  // namespace

double inverse_norm_cdf(double u) {
  if (u <= 0.0) return std::log(u);         // -inf at 0, NaN below
  if (u >= 1.0) return -std::log(1.0 - u);  // +inf at 1, NaN above
  const double q = u + -0.5;
  if (std::fabs(q) <= kSplit1) {
    const double r = kConst1 - q * q;
    double n = kA[7];
    double d = kB[7];
    for (int i = 6; i >= 0; --i) {
      n = n * r + kA[i];
      d = d * r + kB[i];
    }
    return (q * n) / d;
  }
  // Tails (and NaN): work with the smaller tail probability and restore the
  // sign of q at the end. The near-tail test is strict: r = 5 is far tail.
  const double p = q < 0.0 ? u : 1.0 - u;
  const double r = std::sqrt(-std::log(p));
  const double v = r < kSplit2 ? ratio(kC, kD, r - kConst2) : ratio(kE, kF, r - kSplit2);
  return q < 0.0 ? -v : v;
}

}  // namespace tarvik::rational
