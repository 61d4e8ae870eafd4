// The undiscounted Black-76 price around its two erfc calls, written once
// over the value type: a double for the plans of price_plans.hpp (the scalar
// prices), W lanes for the batch's (price_lanes.hpp). With x = ln F - ln K,
// d1 = (x + s*(s*0.5))/s and d2 = d1 - s, the out-of-the-money side is
// evaluated directly, the in-the-money side by put-call parity:
//   call, x < 0:   F*Phi(d1) - K*Phi(d2)
//   put,  x <= 0:  (K - F) + (F*Phi(d1) - K*Phi(d2))
//   call, x >= 0:  (F - K) + (K*Phic(d2) - F*Phic(d1))
//   put,  x > 0:   K*Phic(d2) - F*Phic(d1)
// Each is p*P - q*Q, alone (out of the money, clamped at +0) or after q - p
// (in the money), with (p, P, q, Q) = (F, Phi(d1), K, Phi(d2)) on the Phi
// side (a call out of the money, a put in it) or (K, Phic(d2), F, Phic(d1))
// on the Phic side. Phi(d) = erfc(d*(-1/sqrt 2))*0.5 and Phic(d) =
// erfc(d*(1/sqrt 2))*0.5 are norm_cdf and norm_cdf_c expanded: equal bit for
// bit for every d that is not NaN (erfc gives 2 and 0 at -inf and +inf).
// Everything here is always inlined and has internal linkage, so that the
// lane paths' translation units may include it.
#pragma once

#include "special/value.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::black_formula {
namespace {

// The weights p and q and the arguments of the erfc values P and Q.
template <class V>
struct PriceSides {
  V p;
  V q;
  V arg_p;
  V arg_q;
};

// Those of the Phi side where phi_side, of the Phic side elsewhere (which
// swaps (F, d1) with (K, d2) and flips the sign of the erfc arguments).
template <class V, class M>
[[gnu::always_inline]] inline PriceSides<V> price_sides(V forward, V strike, V d1, V d2,
                                                        M phi_side) {
  using rational::select;
  const V c = select(phi_side, rational::splat<V>(-kSqrtHalf), kSqrtHalf);
  return {select(phi_side, forward, strike), select(phi_side, strike, forward),
          select(phi_side, d1, d2) * c, select(phi_side, d2, d1) * c};
}

// The price from the two erfc values. Out of the money, when s is so small
// that d2 rounds to d1, or when both products are subnormal, rounding can
// leave the difference below zero; a price is never negative, so such a
// result is +0. NaN passes through.
template <class V, class M>
[[gnu::always_inline]] inline V price_of_sides(M out_of_the_money, V p, V q, V erfc_p, V erfc_q) {
  using rational::select;
  const V difference = p * (erfc_p * 0.5) - q * (erfc_q * 0.5);
  return select(out_of_the_money, select(difference < 0.0, rational::splat<V>(0.0), difference),
                (q - p) + difference);
}

}  // namespace
}  // namespace tarvik::black_formula
