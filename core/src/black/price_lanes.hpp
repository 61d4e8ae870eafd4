// The Black-76 batch prices and deltas of a run of elements (BlackRun,
// core/src/batch/elements.hpp) in vector lanes: price_formula.hpp's sides,
// erfc's lanes and the price, W elements at a time. A lane is regular where
// the plan of price_plans.hpp would take that formula: valid inputs, F, K
// and s finite, s > 0, s*(s*0.5) finite and d1 not NaN; the caller prices
// the others by their plans. Each path includes this header into its own
// translation unit; everything here is always inlined.
#pragma once

#include <cstddef>
#include <cstdint>

#include "black/price_formula.hpp"
#include "lanes/lists.hpp"
#include "special/erfc.hpp"
#include "special/value.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::lanes {
namespace {

// The W lanes of a run from element i: whole vectors read directly, past n
// the last element again (a tail padded); and the first elements of a
// vector written back, as many as the run has from i.
template <class D>
[[gnu::always_inline]] inline D lanes_from(const double* a, std::size_t i, std::size_t n) {
  constexpr std::size_t W = sizeof(D) / sizeof(double);
  if (i + W <= n) return load<D>(a + i);
  D v;
  for (std::size_t k = 0; k < W; ++k) v[k] = a[i + k < n ? i + k : n - 1];
  return v;
}
template <class M>
[[gnu::always_inline]] inline M flags_from(const bool* a, std::size_t i, std::size_t n) {
  constexpr std::size_t W = sizeof(M) / sizeof(std::int64_t);
  M m;
  if (i + W <= n) {
    for (std::size_t k = 0; k < W; ++k) m[k] = a[i + k] ? -1 : 0;
  } else {
    for (std::size_t k = 0; k < W; ++k) m[k] = a[i + k < n ? i + k : n - 1] ? -1 : 0;
  }
  return m;
}
template <class D>
[[gnu::always_inline]] inline void store_first(double* out, D v, std::size_t i, std::size_t n) {
  constexpr std::size_t W = sizeof(D) / sizeof(double);
  if (i + W <= n) return store(out + i, v);
  for (std::size_t k = 0; i + k < n; ++k) out[i + k] = v[k];
}

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
  for (std::size_t i = 0; i < n; i += W) {
    const D f = lanes_from<D>(forward, i, n), k = lanes_from<D>(strike, i, n);
    const D sv = lanes_from<D>(s, i, n), xv = lanes_from<D>(x, i, n);
    const D d1v = lanes_from<D>(d1, i, n);
    const M is_call = flags_from<M>(call, i, n);
    const M fine = flags_from<M>(ok, i, n) & is_finite(f) & is_finite(k) & is_finite(sv) &
                   (sv > 0.0) & is_finite(sv * (sv * 0.5)) & mask_not(is_nan(d1v));
    const M out_of_the_money = rational::select(is_call, xv < 0.0, xv > 0.0);
    const black_formula::PriceSides<D> w =
        black_formula::price_sides(f, k, d1v, d1v - sv, ~(is_call ^ out_of_the_money));
    // Irregular lanes take erfc(0), which is quick; their prices are replaced.
    const D erfc_p = rational::erfc_correct(rational::select(fine, w.arg_p, 0.0));
    const D erfc_q = rational::erfc_correct(rational::select(fine, w.arg_q, 0.0));
    store_first(out, black_formula::price_of_sides(out_of_the_money, w.p, w.q, erfc_p, erfc_q),
                i, n);
    for (std::size_t j = 0; j < W && i + j < n; ++j) regular[i + j] = fine[j] != 0;
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
  for (std::size_t i = 0; i < n; i += W) {
    const D d = lanes_from<D>(d1, i, n);
    const M is_call = flags_from<M>(call, i, n);
    const D e = rational::erfc_correct(d * rational::select(is_call, -kSqrtHalf, kSqrtHalf));
    const D phi = rational::select(rational::is_nan(d), __builtin_nan(""),
                                   tarvik::detail::norm_cdf_finite(e));
    store_first(out, rational::select(is_call, phi, -phi), i, n);
  }
}

}  // namespace
}  // namespace tarvik::lanes
