// The bounds and the answer of the implied-volatility front ends, templates
// over the value type (value.hpp) shared by implied_volatility.cpp and the
// lane kernels: a price must lie in [intrinsic, maximum), the solver works on
// the normalised price, and its total volatility becomes a volatility.
#pragma once

#include "special/value.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {
namespace {

// max(F - K, 0) for a call, max(K - F, 0) for a put (and likewise for the
// discounted spot and strike of the spot model).
template <class M, class V>
[[gnu::always_inline]] inline V intrinsic_value(M call, V forward, V strike) {
  return max_of(select(call, forward - strike, strike - forward), 0.0);
}
// The price a call or put never reaches: F, or K.
template <class M, class V>
[[gnu::always_inline]] inline V maximum_value(M call, V forward, V strike) {
  return select(call, forward, strike);
}
// beta = P/(sqrt(F) sqrt(K)).
template <class V>
[[gnu::always_inline]] inline V normalised_price(V price, V forward, V strike) {
  return price / (sqrt_of(forward) * sqrt_of(strike));
}
// The exponent of the normalised maximum exp(+-x/2).
template <class M, class V>
[[gnu::always_inline]] inline V normalised_maximum_exponent(M call, V x) {
  return x * select(call, 0.5, -0.5);
}
// The solver answers a price that rounding put at its maximum with the
// largest double: that, or any non-finite value, is a failed inversion.
template <class V>
[[gnu::always_inline]] inline auto inversion_failed(V s) {
  return (s == kMaxFinite) | mask_not(is_finite(s));
}
// sigma = max(s/sqrt(T), 0).
template <class V>
[[gnu::always_inline]] inline V volatility_of_total(V s, V maturity) {
  return max_of(s / sqrt_of(maturity), 0.0);
}

}  // namespace
}  // namespace tarvik::rational
