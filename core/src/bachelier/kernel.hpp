// The normal-model formulas, each written once as a template over its value
// type V (double on the scalar path): the terms an option's price and
// sensitivities share, the price without cancellation out of the money, the
// six sensitivities, and the implied volatility as a rational starting point
// and one Halley step (no iteration, no convergence test).
//
// The time value. With u = |F - K|/s, the out-of-the-money price is
//   s (phi(u) - u Phi(-u)) = s phi(u) q(u),  q(u) = 1 - u m(u),
// m(u) = Phi(-u)/phi(u) = sqrt(pi/2) erfcx(u/sqrt 2) the Mills ratio. The
// two terms of the textbook form cancel out of the money (q ~ 1/u^2), so q
// comes from the fitted rational tables of tables.hpp (no exponential, no
// cancellation); an in-the-money price is its intrinsic value plus the
// same time value (put-call symmetry), never a difference.
//
// The inversion (after P. Jaeckel, "Implied Normal Volatility", 2017, who
// inverts Phi(x) + phi(x)/x, that is -g(u) below, by a rational
// approximation and one high-order correction). Given the time value v and
// a = |F - K| > 0, u solves g(u) = phi(u) q(u)/u = r, r = v/a. The
// objective is F(u) = ln g(u) - ln r, whose derivatives are simple in q:
//   F'(u) = -1/(u q),   F''(u) = (u^2 q + 2q - 1)/(u q)^2
// (from m' = u m - 1), so a Halley step costs one q and one logarithm.
// Near the money F is formed as ln(q/(u r sqrt(2 pi))) - u^2/2, a logarithm
// of a number near 1, so that no large logarithms cancel when r is large;
// away from it as ln(q/u) - u^2/2 - (ln r + ln sqrt(2 pi)), with ln r from
// ln v - ln a where r itself would be subnormal. The starting point's
// relative error is below 6.2e-9 (tables.hpp); one Halley step takes it to
// about 1e-25 (cubic convergence), below the rounding of the step itself.
#pragma once

#include <cmath>
#include <cstddef>

#include "rational/value.hpp"
#include "tables.hpp"
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

// The inversion in stages split at its logarithms: the lane kernel
// (lanes/bachelier.hpp) runs each stage over a block in vector lanes and
// calls the C library's log element by element between them; the scalar
// path runs them in a row on the same operands.

// The starting point of u with g(u) = v/a and the objective's constants:
// F(u) = ln(q/(u scale)) - u^2/2 - offset. For v > 0, a = |F - K| > 0 and
// v/a <= kNearAtTheMoney.
template <class V>
struct Start {
  V u, scale, offset;
};
template <class V>
[[gnu::always_inline]] inline Start<V> start_near(V r) {
  const V w = 1.0 / r;
  return {w * horner_ratio(kNearP, kNearQ, w), r * kRootTwoPi, splat<V>(0.0)};
}
// Away from the money, from ln r (log_ratio).
template <class V>
[[gnu::always_inline]] inline Start<V> start_far(V ln_r) {
  const V eta = 1.0 / rational::sqrt_of(ln_r * -2.0);
  return {horner_ratio(kFarP, kFarQ, eta) / eta, splat<V>(1.0), ln_r + kLnRootTwoPi};
}
// ln r, as ln v - ln a where r = v/a is subnormal or zero.
[[gnu::always_inline]] inline double log_ratio(double v, double a, double r) {
  return r >= kMinNormal ? std::log(r) : std::log(v) - std::log(a);
}
inline Start<double> start(double v, double a) {
  const double r = v / a;
  return r >= kNearMin ? start_near(r) : start_far(log_ratio(v, a, r));
}

// One Halley step from the start, given q(u) there, in two parts around the
// one logarithm: its argument, then the step from its value.
template <class V>
[[gnu::always_inline]] inline V halley_log_argument(const Start<V>& s, V q) {
  return q / (s.u * s.scale);
}
template <class V>
[[gnu::always_inline]] inline V halley_step(const Start<V>& s, V q, V ln_argument) {
  const V u = s.u;
  const V uq = u * q;
  const V f = (ln_argument - u * (u * 0.5)) - s.offset;
  const V newton = f * uq;
  const V curvature = (u * uq + (q + q)) - 1.0;  // F''/F'^2
  return u + newton / (1.0 - f * curvature * 0.5);
}
inline double halley(const Start<double>& s, double q) {
  return halley_step(s, q, std::log(halley_log_argument(s, q)));
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
