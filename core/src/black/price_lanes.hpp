// The Black-76 batch prices of a run of elements (BlackRun,
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

namespace tarvik::lanes {
namespace {

template <int W>
[[gnu::always_inline]] inline void black_prices_loop(const double* forward, const double* strike,
                                                     const double* s, const double* x,
                                                     const double* d1, const bool* call,
                                                     const bool* ok, std::size_t n,
                                                     double* __restrict out,
                                                     bool* __restrict regular) {
  using D = typename Vectors<W>::D;
  using M = rational::Mask<D>;
  using rational::is_finite;
  using rational::is_nan;
  using rational::mask_not;
  // W lanes from i on; past n the last element again (a tail padded).
  const auto lanes_of = [n](const double* a, std::size_t i) {
    D v;
    for (int k = 0; k < W; ++k) v[k] = a[i + k < n ? i + k : n - 1];
    return v;
  };
  const auto mask_of = [n](const bool* a, std::size_t i) {
    M m;
    for (int k = 0; k < W; ++k) m[k] = a[i + k < n ? i + k : n - 1] ? -1 : 0;
    return m;
  };
  for (std::size_t i = 0; i < n; i += W) {
    const D f = lanes_of(forward, i), k = lanes_of(strike, i), sv = lanes_of(s, i);
    const D xv = lanes_of(x, i), d1v = lanes_of(d1, i);
    const M is_call = mask_of(call, i);
    const M fine = mask_of(ok, i) & is_finite(f) & is_finite(k) & is_finite(sv) & (sv > 0.0) &
                   is_finite(sv * (sv * 0.5)) & mask_not(is_nan(d1v));
    const M out_of_the_money = rational::select(is_call, xv < 0.0, xv > 0.0);
    const black_formula::PriceSides<D> w =
        black_formula::price_sides(f, k, d1v, d1v - sv, ~(is_call ^ out_of_the_money));
    // Irregular lanes take erfc(0), which is quick; their prices are replaced.
    const D erfc_p = rational::erfc_correct(rational::select(fine, w.arg_p, 0.0));
    const D erfc_q = rational::erfc_correct(rational::select(fine, w.arg_q, 0.0));
    const D price = black_formula::price_of_sides(out_of_the_money, w.p, w.q, erfc_p, erfc_q);
    for (int j = 0; j < W && i + j < n; ++j) {
      out[i + j] = price[j];
      regular[i + j] = fine[j] != 0;
    }
  }
}

}  // namespace
}  // namespace tarvik::lanes
