// The implied normal volatility over one block of elements, W elements at a
// time in vector lanes, with the bits of the scalar function: the formulas
// of bachelier/kernel.hpp instantiated on the lanes' vector type, in two
// vector passes over the whole block (the checks, the direct cases and the
// branch near the money; the branch away from it), and between them the C
// library's log called element by element over the elements that need one.
// A lane whose element takes another branch computes the branch anyway, and
// the result of its own is selected; a branch is formed only where some lane
// of the group needs it.
//
// The price and the sensitivities built on phi(d) alone likewise, over runs
// of 64 elements: the checks, d and phi's exponent in vector lanes, the C
// library's exp element by element, then the formula on the terms.
//
// Included into each lane path's translation unit (internal linkage
// throughout, as for bachelier/kernel.hpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "bachelier/kernel.hpp"
#include "lanes/elementary_lanes.hpp"
#include "lanes/lists.hpp"
#include "lanes/paths.hpp"
#include "special/value.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::lanes {
namespace {

template <int W>
struct BachelierKernel : Lanes<W> {
  using L = Lanes<W>;
  using L::B, L::each, L::elements, L::ld, L::ld_code, L::st, L::vec;
  using typename L::At, typename L::D, typename L::M, typename L::Set;

  static constexpr double kNaN = __builtin_nan("");

  // Element-indexed; some 12 KB, on the heap as the Black-76 kernel's state.
  // far[i] is 1.0 where element i takes the branch away from the money, else
  // 0.0 (a double, so that the passes read and write it as whole vectors).
  struct State {
    double v[B], a[B], r[B], t[B], ln_r[B], far[B];
  };

  // The is_call flags of W lanes as a mask: a dense group's W bytes widened
  // at once, else gathered.
  [[gnu::always_inline]] static M call_mask(const std::uint8_t* is_call, At ix) {
    if (ix.dense) {
      typedef std::uint8_t Bytes __attribute__((vector_size(W)));
      Bytes b;
      __builtin_memcpy(&b, is_call + ix.ix[0], sizeof b);
      return __builtin_convertvector(b, M) != 0;
    }
    return ld_code(is_call, ix) != 0;
  }

  static void implied_volatility(const double* price, const double* forward, const double* strike,
                                 const double* maturity, const std::uint8_t* is_call, std::size_t n,
                                 double* out) {
    if (n == 0) return;
    const std::unique_ptr<State> state(new (std::nothrow) State);
    if (!state) {
      return detail::bachelier_implied_volatility_elements(price, forward, strike, maturity,
                                                           is_call, n, out);
    }
    State& S = *state;
    Set all;
    for (std::size_t i = 0; i < n; ++i) all.idx[i] = static_cast<Index>(i);
    all.n = n;
    all.pad();
    using bachelier::direct_total_volatility, bachelier::is_direct, bachelier::kNearMin;
    using rational::abs_of, rational::any, rational::is_finite, rational::mask_not,
        rational::select, rational::sqrt_of;
    // The checks of prepare_inversion, and the value of every element that
    // needs no logarithm: NaN for a rejected one, 0 at the intrinsic value,
    // the direct total volatility over sqrt(T) at the money, the branch near
    // it.
    bool any_far = false;
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D p = ld(price, ix);
      const D f = ld(forward, ix);
      const D k = ld(strike, ix);
      const D t = ld(maturity, ix);
      const D m = f - k;
      const D x = select(call_mask(is_call, ix), m, -m);
      const D intrinsic = select(x > 0.0, x, 0.0);
      M ok = is_finite(p) & is_finite(f) & is_finite(k) & is_finite(t);
      ok = ok & (t > 0.0) & is_finite(m) & mask_not(p < intrinsic);
      const D v = p - intrinsic;
      const D a = abs_of(x);
      const M zero = p == intrinsic;
      const M direct = is_direct(v, a);
      const D r = v / a;
      const M near = r >= kNearMin;
      // (zero and direct exclude each other: v = 0 < a, or r = NaN at v = a = 0.)
      // sqrt(T) only where some lane needs it (away from the money the root
      // is taken of y T).
      D value = vec(0.0);
      const M invert = ok & mask_not(zero | direct);
      if (any(direct | (invert & near))) {
        const D root_t = sqrt_of(t);
        value = select(direct, direct_total_volatility(v, a) / root_t, value);
        value = select(invert & near, bachelier::near_volatility(v, a, root_t), value);
      }
      const M far = invert & mask_not(near);
      any_far = any_far || any(far);
      st(out, ix, select(ok, value, kNaN));
      st(S.v, ix, v);
      st(S.a, ix, a);
      st(S.r, ix, r);
      st(S.t, ix, t);
      st(S.ln_r, ix, vec(-1.0));  // y = 2 elsewhere: a harmless operand
      st(S.far, ix, select(far, 1.0, 0.0));
    });
    if (!any_far) return;
    // ln r where the branch away from the money needs it (a list of those
    // elements first, so that the loop around the calls does not branch).
    Set away;
    elements(all, [&](Index i) { away.add(i, S.far[i] != 0.0); });
    elements(away, [&](Index i) { S.ln_r[i] = bachelier::log_ratio(S.v[i], S.a[i], S.r[i]); });
    // The branch away from the money.
    each(all, [&](At ix) __attribute__((always_inline)) {
      const M far = ld(S.far, ix) != 0.0;
      if (!any(far)) return;
      const D value = bachelier::far_volatility(ld(S.ln_r, ix), ld(S.a, ix), ld(S.t, ix));
      st(out, ix, select(far, value, ld(out, ix)));
    });
  }

  // bachelier_price or a sensitivity built on phi(d) alone (gamma to vomma),
  // a run of at most kRun elements at a time (its state on the stack): the
  // checks, d and the exponent of phi(d), its exp (correctly rounded, so the
  // scalar function's bits) and the formula of kernel.hpp, all in vector
  // lanes.
  static constexpr std::size_t kRun = 64;
  static void evaluate(BachelierFormula which, const double* forward, const double* strike,
                       const double* maturity, const double* vol, const std::uint8_t* is_call,
                       std::size_t n, double* out) {
    switch (which) {
      case BachelierFormula::Price:
        return density_run(forward, strike, maturity, vol, is_call, n, out,
                           [](const auto& t, M call) { return bachelier::price(t, call); });
      case BachelierFormula::Gamma:
        return density_run(forward, strike, maturity, vol, is_call, n, out,
                           [](const auto& t, M) { return bachelier::gamma(t); });
      case BachelierFormula::Vega:
        return density_run(forward, strike, maturity, vol, is_call, n, out,
                           [](const auto& t, M) { return bachelier::vega(t); });
      case BachelierFormula::Theta:
        return density_run(forward, strike, maturity, vol, is_call, n, out,
                           [](const auto& t, M) { return bachelier::theta(t); });
      case BachelierFormula::Vanna:
        return density_run(forward, strike, maturity, vol, is_call, n, out,
                           [](const auto& t, M) { return bachelier::vanna(t); });
      case BachelierFormula::Vomma:
        return density_run(forward, strike, maturity, vol, is_call, n, out,
                           [](const auto& t, M) { return bachelier::vomma(t); });
    }
  }

  template <class Formula>
  [[gnu::always_inline]] static void density_run(const double* forward, const double* strike,
                                                 const double* maturity, const double* vol,
                                                 const std::uint8_t* is_call, std::size_t n,
                                                 double* out, Formula formula) {
    using rational::is_finite, rational::is_nan, rational::mask_not, rational::select,
        rational::sqrt_of;
    Index idx[kRun + W];
    alignas(64) double m[kRun + W], root_t[kRun + W], sigma[kRun + W], s[kRun + W], d[kRun + W],
        e[kRun + W], call[kRun + W];
    for (std::size_t start = 0; start < n; start += kRun) {
      // The run's elements; a last group of fewer than W repeats its last one.
      const std::size_t len = n - start < kRun ? n - start : kRun;
      const std::size_t lanes = (len + W - 1) / W * W;
      for (std::size_t i = 0; i < lanes; ++i) {
        idx[i] = static_cast<Index>(start + (i < len ? i : len - 1));
      }
      // Terms<D>::of but for phi(d); a rejected element's moneyness is NaN.
      for (std::size_t j = 0; j < lanes; j += W) {
        const At ix{idx + j, j + W <= len};
        const D f = ld(forward, ix);
        const D k = ld(strike, ix);
        const D t = ld(maturity, ix);
        const D v = ld(vol, ix);
        const D mv = f - k;
        M ok = is_finite(f) & is_finite(k) & is_finite(t) & is_finite(v);
        ok = ok & (t > 0.0) & mask_not(v < 0.0) & is_finite(mv);
        const D rt = sqrt_of(t);
        const D sv = v * rt;
        const D dv = select(sv == 0.0, 0.0, mv / sv);
        store<D>(m + j, select(ok, mv, kNaN));
        store<D>(root_t + j, rt);
        store<D>(sigma + j, v);
        store<D>(s + j, sv);
        store<D>(d + j, dv);
        store<D>(e + j, select(ok & (sv != 0.0), tarvik::detail::norm_pdf_exponent(dv), 0.0));
        store<D>(call + j, select(call_mask(is_call, ix), 1.0, 0.0));
      }
      each_lane<W>(e, lanes, e, kExpLanes);
      for (std::size_t j = 0; j < lanes; j += W) {
        const D mv = load<D>(m + j), sv = load<D>(s + j);
        const D pdf = select(sv == 0.0, 0.0, load<D>(e + j) * kInvSqrtTwoPi);
        const bachelier::Terms<D> t{mv, load<D>(root_t + j), load<D>(sigma + j),
                                    sv, load<D>(d + j),      pdf};
        const D value = formula(t, load<D>(call + j) != 0.0);
        st(out, At{idx + j, j + W <= len}, select(is_nan(mv), kNaN, value));
      }
    }
  }
};

}  // namespace
}  // namespace tarvik::lanes
