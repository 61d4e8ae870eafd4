// The Black-76 batch prices and deltas of a run of elements (BlackRun,
// core/src/batch/elements.hpp) in vector lanes: price_formula.hpp's sides,
// erfc's lanes and the price, W elements at a time. A lane is regular where
// the plan of price_plans.hpp would take that formula: valid inputs, F, K
// and s finite, s > 0, s*(s*0.5) finite and d1 not NaN; the caller prices
// the others by their plans. Each path includes this header into its own
// translation unit; everything here is always inlined.
#pragma once

#include <cstddef>

#include "black/price_formula.hpp"
#include "lanes/lists.hpp"
#include "special/erfc.hpp"
#include "special/value.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::lanes {
namespace {

template <int W>
[[gnu::always_inline]] inline void black_prices_loop(const double* forward, const double* strike,
                                                     const double* s, const double* x,
                                                     const double* d1, const bool* call,
                                                     const bool* ok_in, std::size_t n,
                                                     double* __restrict out,
                                                     bool* __restrict regular) {
  using D = typename Vectors<W>::D;
  using M = rational::Mask<D>;
  using rational::is_finite;
  using rational::is_nan;
  using rational::mask_not;
  // The prices of W elements and which of them are regular.
  const auto prices = [](D f, D k, D sv, D xv, D d1v, M is_call, M ok, M& fine) {
    fine = ok & is_finite(f) & is_finite(k) & is_finite(sv) & (sv > 0.0) &
           is_finite(sv * (sv * 0.5)) & mask_not(is_nan(d1v));
    const M out_of_the_money = rational::select(is_call, xv < 0.0, xv > 0.0);
    const black_formula::PriceSides<D> w =
        black_formula::price_sides(f, k, d1v, d1v - sv, ~(is_call ^ out_of_the_money));
    // Irregular lanes take erfc(0), which is quick; their prices are replaced.
    const D erfc_p = rational::erfc_correct(rational::select(fine, w.arg_p, 0.0));
    const D erfc_q = rational::erfc_correct(rational::select(fine, w.arg_q, 0.0));
    return black_formula::price_of_sides(out_of_the_money, w.p, w.q, erfc_p, erfc_q);
  };
  // W flags from a + i, the last one repeated past n (a tail padded).
  const auto mask_of = [n](const bool* a, std::size_t i) {
    M m;
    for (int k = 0; k < W; ++k) m[k] = a[i + k < n ? i + k : n - 1] ? -1 : 0;
    return m;
  };
  std::size_t i = 0;
  for (; i + W <= n; i += W) {
    M fine, is_call, ok;
    for (int k = 0; k < W; ++k) {
      is_call[k] = call[i + k] ? -1 : 0;
      ok[k] = ok_in[i + k] ? -1 : 0;
    }
    store(out + i, prices(load<D>(forward + i), load<D>(strike + i), load<D>(s + i),
                          load<D>(x + i), load<D>(d1 + i), is_call, ok, fine));
    for (int k = 0; k < W; ++k) regular[i + k] = fine[k] != 0;
  }
  if (i == n) return;
  const auto lanes_of = [n](const double* a, std::size_t at) {
    D v;
    for (int k = 0; k < W; ++k) v[k] = a[at + k < n ? at + k : n - 1];
    return v;
  };
  M fine;
  const D price = prices(lanes_of(forward, i), lanes_of(strike, i), lanes_of(s, i),
                         lanes_of(x, i), lanes_of(d1, i), mask_of(call, i), mask_of(ok_in, i),
                         fine);
  for (int k = 0; i + k < n; ++k) {
    out[i + k] = price[k];
    regular[i + k] = fine[k] != 0;
  }
}

// Delta at a total volatility s > 0 from d1 (sensitivity::Delta's bits):
// Phi(d1) = erfc(d1*(-1/sqrt 2))*0.5 for a call, -Phic(d1) =
// -(erfc(d1*(1/sqrt 2))*0.5) for a put; erfc gives 2 and 0 at -inf and +inf,
// and a NaN d1 gives the quiet NaN (negated for a put), as norm_cdf_given
// and norm_cdf_c_given do.
template <int W>
[[gnu::always_inline]] inline void black_deltas_loop(const double* d1, const bool* call,
                                                     std::size_t n, double* __restrict out) {
  using D = typename Vectors<W>::D;
  using M = rational::Mask<D>;
  const auto deltas = [](D d, M is_call) {
    const D e = rational::erfc_correct(d * rational::select(is_call, -kSqrtHalf, kSqrtHalf));
    const D phi = rational::select(rational::is_nan(d), __builtin_nan(""),
                                   tarvik::detail::norm_cdf_finite(e));
    return rational::select(is_call, phi, -phi);
  };
  std::size_t i = 0;
  for (; i + W <= n; i += W) {
    M is_call;
    for (int k = 0; k < W; ++k) is_call[k] = call[i + k] ? -1 : 0;
    store(out + i, deltas(load<D>(d1 + i), is_call));
  }
  if (i == n) return;
  D d;
  M is_call;
  for (int k = 0; k < W; ++k) {
    const std::size_t at = i + k < n ? i + k : n - 1;
    d[k] = d1[at];
    is_call[k] = call[at] ? -1 : 0;
  }
  const D delta = deltas(d, is_call);
  for (int k = 0; i + k < n; ++k) out[i + k] = delta[k];
}

}  // namespace
}  // namespace tarvik::lanes
