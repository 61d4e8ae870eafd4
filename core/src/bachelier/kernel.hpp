// The normal-model formulas, each written once as a template over its value
// type V (double on the scalar path): the terms an option's price and
// sensitivities share, the price without cancellation out of the money, the
// six sensitivities, and the implied volatility as explicit rational
// functions (no iteration, no correction step).
//
// The time value. With u = |F - K|/s, the out-of-the-money price is
//   s (phi(u) - u Phi(-u)) = s phi(u) q(u),  q(u) = 1 - u m(u),
// m(u) = Phi(-u)/phi(u) = sqrt(pi/2) erfcx(u/sqrt 2) the Mills ratio. The
// two terms of the textbook form cancel out of the money (q ~ 1/u^2), so q
// comes from the fitted rational tables of tables.hpp (no exponential, no
// cancellation); an in-the-money price is its intrinsic value plus the
// same time value (put-call symmetry), never a difference.
//
// The inversion. Given the time value v and a = |F - K| > 0, u solves
// g(u) = phi(u) q(u)/u = r, r = v/a, and s = a/u. The inverse of g is a
// rational function fitted below eps (tables.hpp, reference/fit_bachelier.py):
// near the money (u <= 1) u/w in w = 1/r = a/v, which needs no logarithm
// (the variable of F. Le Floc'h, "Explicit Rational Formulae for Bachelier
// (Normal) Implied Volatility", 2026), and s = v/(u/w); away from it
// u/sqrt(y) in y = -2 ln r, on four pieces of u, with ln r the one
// logarithm (ln v - ln a where r itself would be subnormal). (Earlier the
// rationals were starting points of one Halley step on ln g(u) - ln r, in
// the manner of P. Jaeckel, "Implied Normal Volatility", 2017: a second
// logarithm and some five more divisions per option.)
#pragma once

#include <cmath>
#include <cstddef>

#include "bachelier/tables.hpp"
#include "black/terms.hpp"
#include "special/value.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/errors.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::bachelier {

// Internal linkage throughout (but for the declarations at the end), as in
// rational/value.hpp: the lane paths instantiate these templates on their
// vector types, each in its own translation unit with its own target flags.
namespace {

using rational::horner_ratio;
using rational::select;
using rational::splat;

// q(u) = 1 - u m(u) for u >= 0 (0 for u = +inf), with its relative accuracy.
// Below kMidStart and below kTailStart a rational in u, beyond it t times a
// rational in t = 1/u^2; the table picked by index (tables.hpp), or in vector
// lanes coefficient by coefficient, each lane's from its own table (the same
// operations on the same coefficients as the scalar Horner's rule).
template <class V>
[[gnu::always_inline]] inline V mills_complement(V u) {
  const auto mid = u >= kMidStart;
  const auto tail = u >= kTailStart;
  const V t = 1.0 / (u * u);
  const V x = select(tail, t, u);
  V y;
  if constexpr (rational::kScalar<V>) {
    const std::size_t k = std::size_t{mid} + std::size_t{tail};
    y = horner_ratio(kQNum[k], kQDen[k], x);
  } else {
    const auto c = [&](const Poly<8>* table, std::size_t i) {
      return select(tail, table[2][i], select(mid, table[1][i], splat<V>(table[0][i])));
    };
    V p = c(kQNum, 0), q = c(kQDen, 0);
#pragma GCC unroll 8
    for (std::size_t i = 1; i < 8; ++i) {
      p = p * x + c(kQNum, i);
      q = q * x + c(kQDen, i);
    }
    y = p / q;
  }
  return select(tail, y * t, y);
}

// What the price and every sensitivity of one valid option share.
template <class V>
struct Terms {
  V moneyness;  // F - K
  V sqrt_maturity;
  V volatility;
  V total_vol;  // s = sigma sqrt(T); 0 stands for the zero-volatility limit
  V d;          // (F - K)/s; 0 at s = 0
  V pdf;        // phi(d); 0 at s = 0

  static Terms of(V forward, V strike, V maturity, V volatility) {
    using std::sqrt;
    const V m = forward - strike;
    const V sqrt_t = sqrt(maturity);
    const V s = volatility * sqrt_t;
    const V d = s == 0.0 ? V(0.0) : m / s;
    return {m, sqrt_t, volatility, s, d, s == 0.0 ? V(0.0) : norm_pdf(d)};
  }
};

// max(F - K, 0) for a call (moneyness m = F - K), max(K - F, 0) for a put.
template <class V, class M>
[[gnu::always_inline]] inline V intrinsic_value(V m, M is_call) {
  const V x = select(is_call, m, -m);
  return select(x > 0.0, x, 0.0);
}
// The time value s q(|d|) phi(d) of s = sigma sqrt(T) > 0.
template <class V>
[[gnu::always_inline]] inline V time_value(V s, V d, V pdf) {
  return (s * mills_complement(rational::abs_of(d))) * pdf;
}

// Intrinsic value plus the time value; the intrinsic value at s = 0. Here
// and below a value is selected between expressions (both evaluated), so
// that each formula serves a lane of vectors as it serves a double.
template <class V, class M>
[[gnu::always_inline]] inline V price(const Terms<V>& t, M is_call) {
  const V intrinsic = intrinsic_value(t.moneyness, is_call);
  return select(t.total_vol == 0.0, intrinsic, intrinsic + time_value(t.total_vol, t.d, t.pdf));
}

// The sensitivities; each is 0 at s = 0 but delta, which is that of the
// intrinsic value (a half at the money), as for Black-76. Where phi(d)
// underflows to 0 so do vanna and vomma (d phi(d) -> 0), also for d = inf.
template <class V>
V delta(const Terms<V>& t, bool is_call) {
  if (t.total_vol == 0.0) return zero_volatility_delta(t.moneyness, is_call);
  return is_call ? norm_cdf(t.d) : -norm_cdf_c(t.d);
}
template <class V>
[[gnu::always_inline]] inline V gamma(const Terms<V>& t) {
  return select(t.total_vol == 0.0, 0.0, t.pdf / t.total_vol);
}
template <class V>
[[gnu::always_inline]] inline V vega(const Terms<V>& t) {
  return select(t.total_vol == 0.0, 0.0, t.sqrt_maturity * t.pdf);
}
// -dV/dT = -sigma phi(d)/(2 sqrt(T)), 2 sqrt(T) formed as a sum (exact).
template <class V>
[[gnu::always_inline]] inline V theta(const Terms<V>& t) {
  return select(t.total_vol == 0.0, 0.0,
                (t.volatility * -t.pdf) / (t.sqrt_maturity + t.sqrt_maturity));
}
// -d phi(d)/sigma.
template <class V>
[[gnu::always_inline]] inline V vanna(const Terms<V>& t) {
  return select(t.pdf == 0.0, 0.0, -(t.d * t.pdf) / t.volatility);
}
// d^2 vega/sigma.
template <class V>
[[gnu::always_inline]] inline V vomma(const Terms<V>& t) {
  return select(t.pdf == 0.0, 0.0, (t.d * (t.d * vega(t))) / t.volatility);
}

// c(0) x^(N-1) + ... + c(N-1) (N = 9 or 11) by Estrin's scheme:
// neighbouring coefficients paired as c x + c', then pairs of those with
// x^2, with x^4 and x^8. The same
// operations in the same order on a double as in each lane (c(i) a double or
// a vector of each lane's coefficient), with about half the latency of
// Horner's rule, which these formulas (bound by one long chain of dependent
// operations per element) feel.
template <std::size_t N, class V, class C>
[[gnu::always_inline]] inline V estrin(C c, V x) {
  static_assert(N == 9 || N == 11);
  constexpr std::size_t o = N - 9;  // c(o) is the x^8 coefficient
  const V x2 = x * x;
  const V x4 = x2 * x2;
  const V x8 = x4 * x4;
  const V low = ((c(o + 5) * x + c(o + 6)) * x2 + (c(o + 7) * x + c(o + 8))) +
                ((c(o + 1) * x + c(o + 2)) * x2 + (c(o + 3) * x + c(o + 4))) * x4;
  if constexpr (N == 9) {
    return c(0) * x8 + low;
  } else {
    return ((c(0) * x2 + (c(1) * x + c(2))) * x8) + low;
  }
}

// The implied volatility of a time value v > 0 at a = |F - K| > 0 and
// maturity T, in two branches: near the money (r = v/a >= kNearMin) from v,
// a and sqrt(T), away from it from ln r (log_ratio), a and T. The lane kernel
// (lanes/bachelier.hpp) runs each over a block in vector lanes and calls the
// C library's log element by element between them; the scalar path runs
// the one it needs on the same operands.
//
// Divisions bound these formulas' speed in vector lanes, so each takes the
// fewest that keep its intermediate values in range: near the money
// sigma = v (Q(w)/(P(w) sqrt T)), where P(w) sqrt T >= 0.08 sqrt T stays
// normal for any double T > 0 and the product overflows only where sigma
// itself does.
template <class V>
[[gnu::always_inline]] inline V near_volatility(V v, V a, V root_t) {
  const V w = a / v;
  const V p = estrin<11>([](std::size_t i) { return kNearP[i]; }, w);
  const V q = estrin<11>([](std::size_t i) { return kNearQ[i]; }, w);
  return v * (q / (p * root_t));
}
// Lane j's entry t[k[j]] of a table of the four pieces (k[j] in 0..3): a
// permutation of the table's vector where the lanes have one (AVX-512F: 8
// lanes from the table twice; AVX2: 4 lanes, each double two 32-bit
// halves), else selects.
template <class V>
[[gnu::always_inline]] inline V by_piece(const double (&t)[4], rational::Mask<V> k) {
#if defined(__AVX512F__)
  if constexpr (sizeof(V) == 64) {
    // The zero-masked forms: the plain ones start from an undefined vector,
    // which g++ 12 reports as used uninitialized once inlined.
    const __m512d table = _mm512_maskz_broadcast_f64x4(0xff, _mm256_loadu_pd(t));
    return (V)_mm512_maskz_permutexvar_pd(0xff, (__m512i)k, table);
  }
#endif
#if defined(__AVX2__)
  if constexpr (sizeof(V) == 32) {
    // 32-bit indexes 2k and 2k + 1 in the low and high half of each lane.
    const rational::Mask<V> halves = k * 0x200000002 + 0x100000000;
    return (V)_mm256_permutevar8x32_ps((__m256)_mm256_loadu_pd(t), (__m256i)halves);
  }
#endif
  return select(k == 3, t[3], select(k == 2, t[2], select(k == 1, t[1], splat<V>(t[0]))));
}

// Away from the money, in y = -2 ln r: u/sqrt(y) = 1 - h/y, h = p/q a
// rational in x = (y - c) 2^-e about the middle c of the piece of y's range
// that y falls in (2^-e near its half width: x is formed exactly and is
// about +-1). The rounding of h reaches u/sqrt(y) damped by h/(y - h): 1.2
// at u = 1, 0.03 at u = 54. The table is picked by index, or in vector lanes
// coefficient by coefficient, each lane's from its own table. With
// u sqrt(T) = sqrt(y T) (q y - p)/(q y) this takes one square root and one
// division: sigma = a ((q y)/((q y - p) sqrt(y T))), where q y - p is about
// q y, the square root's argument is kept in range by an exact power-of-2
// scaling of T, and the product overflows only where sigma itself does.
template <class V>
[[gnu::always_inline]] inline V far_volatility(V ln_r, V a, V maturity) {
  const V y = ln_r * -2.0;
  const auto p1 = y > kFarCut[0];
  const auto p2 = y > kFarCut[1];
  const auto p3 = y > kFarCut[2];
  V p, q;
  if constexpr (rational::kScalar<V>) {
    const std::size_t k = std::size_t{p1} + std::size_t{p2} + std::size_t{p3};
    const double x = (y - kFarCenter[k]) * kFarScale[k];
    p = estrin<9>([&](std::size_t i) { return kFarP[k][i]; }, x);
    q = estrin<9>([&](std::size_t i) { return kFarQ[k][i]; }, x);
  } else {
    const rational::Mask<V> k = -(p1 + p2 + p3);  // a true lane of a mask is -1
    const V x = (y - by_piece<V>(kFarCenter, k)) * by_piece<V>(kFarScale, k);
    p = estrin<9>([&](std::size_t i) { return by_piece<V>(kFarByPiece[0][i], k); }, x);
    q = estrin<9>([&](std::size_t i) { return by_piece<V>(kFarByPiece[1][i], k); }, x);
  }
  // y T for T near the largest double would overflow (y < 2912), y T for a
  // subnormal T lose digits: there T 2^-12 and T 2^64, the root times 2^6 and
  // 2^-32.
  const auto huge = maturity > 0x1p1000;
  const auto tiny = maturity < 0x1p-1000;
  const V t = maturity * select(huge, 0x1p-12, select(tiny, 0x1p64, 1.0));
  const V root_yt = rational::sqrt_of(y * t) * select(huge, 0x1p6, select(tiny, 0x1p-32, 1.0));
  const V qy = q * y;
  return a * (qy / ((qy - p) * root_yt));
}
// ln r, as ln v - ln a where r = v/a is subnormal or zero.
[[gnu::always_inline]] inline double log_ratio(double v, double a, double r) {
  return r >= kMinNormal ? elementary::log(r) : elementary::log(v) - elementary::log(a);
}

// The total volatility s of a time value v > 0 at a = |F - K| >= 0 needs no
// inversion where u^2 is negligible: so close to the money that v/a exceeds
// kNearAtTheMoney or overflows (at the money a = 0 and v/a = inf), and there
// s = (v + a/2) sqrt(2 pi) (v sqrt(2 pi) exactly at a = 0). Elsewhere s = a/u.
template <class V>
[[gnu::always_inline]] inline auto is_direct(V v, V a) {
  return v / a > kNearAtTheMoney;
}
template <class V>
[[gnu::always_inline]] inline V direct_total_volatility(V v, V a) {
  return (v + a * 0.5) * kRootTwoPi;
}

}  // namespace

// What the checks of the implied volatility leave: its value (done), or the
// operands of an inversion.
struct Inversion {
  bool done = false;
  double value = 0.0;
  double time_value = 0.0;
  double distance = 0.0;  // |F - K|
  double sqrt_maturity = 0.0;
};
Status prepare_inversion(double price, double forward, double strike, double maturity, bool is_call,
                         Inversion& out);

}  // namespace tarvik::bachelier
