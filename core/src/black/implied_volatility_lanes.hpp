// The implied-volatility solver over one block of elements, W elements at a
// time in vector lanes, with the bits of the scalar solver: the same
// formulas (black/*.hpp and special/*.hpp, templates over the value type), another
// schedule. A stage classifies the elements it is given, compacts the index
// of each element into the list of the branch it takes, and evaluates each
// branch over its list W elements at a time; where the scalar code picks
// between short expressions, the lanes evaluate both and select. exp, log
// and erfc are correctly rounded, so their lanes give the scalar calls' bits;
// a few rare branches (reflections, tail series) go element by element.
//
// Each path includes this header into its own translation unit, built for its
// width with its own target flags. Everything here has internal linkage and
// calls only always-inlined functions of the rest of the core, so that no
// function compiled for one target can stand in for another's at link time
// (tools/check-lane-symbols.sh checks the built objects).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "lanes/lanes.hpp"
#include "lanes/lists.hpp"
#include "lanes/paths.hpp"
#include "special/cbrt.hpp"
#include "special/erfc.hpp"
#include "special/erfcx.hpp"
#include "special/exp.hpp"
#include "special/log.hpp"
#include "black/front_end.hpp"
#include "black/householder.hpp"
#include "special/inverse_norm_cdf.hpp"
#include "black/normalised_black.hpp"
#include "black/transforms.hpp"
#include "special/value.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::lanes {
namespace {

using namespace tarvik::rational;

inline constexpr double kQuietNaN = __builtin_nan("");

// The objectives of the refinement steps.
enum Objective : std::uint8_t { kReciprocalLog, kPlain, kLogGap };

template <int W>
struct Kernel : Lanes<W> {
  using L = Lanes<W>;
  using L::B, L::code, L::each, L::elements, L::ld, L::ld_code, L::ld_hi, L::split, L::st,
      L::st_code, L::st_hi, L::vec;
  using typename L::At, typename L::D, typename L::Jobs, typename L::M, typename L::Set;

  // The state of a block, element-indexed (slots i and B + i for the two
  // function values some branches need per element). Some 70 KB, on the
  // heap: on the stack it would overflow a thread started with a small
  // threading.stack_size(). Where it cannot be allocated, the block's
  // elements go through the scalar functions (paths.hpp).
  struct State {
    // The reduced problem: b(x, s) = beta for an out-of-the-money call, x <= 0.
    double beta[B], x[B], q[B], bmax[B];
    // Branch points: the central one and s_l or s_h, with b and vega there.
    double sc[B], bc[B], vc[B], s2[B], b2[B], v2[B];
    // Refinement: s, its last step, the bracket, ln beta, b and vega at s.
    double s[B], ds[B], sl[B], sr[B], lnbeta[B], b[B], vega[B];
    std::uint8_t ok[B], obj[B], code[2 * B];
    bool any_x_zero;  // among the reduced x of the elements being solved
    // Scratch of the normalised Black function and the transforms.
    double h[B], t[B], g[B], bb[B], e1[B], e2[B], e3[B], u[B], z[B];
    double arg[2 * B], res[2 * B], aux[2 * B], aux2[B];
    // The index lists of the passes below, each pass its own (no pass runs
    // inside itself): some 17 KB at eight lanes, which on the stack would
    // overflow a small thread as well.
    struct {
      Jobs erfcx_range1, erfcx_reflect, tail_direct, tail_series, vega_erfcx, vega_phi,
          transform_phi;
      Set logs, asymptotic, small_t, direct, erfcx_set, reciprocal_log, plain, log_gap, first,
          second, exp_intrinsic, refined, middle, lowest, highest;
    } lists;
  };

  // A list of the state's, emptied for a pass.
  template <class List>
  [[gnu::always_inline]] static List& fresh(List& list) {
    list.n = 0;
    return list;
  }

  // ---- erfcx (Cody), over slots --------------------------------------------

  // res[j] = erfcx_cody(arg[j]) for the slots of J.
  static void erfcx(State& S, const Jobs& J) {
    Jobs& range1 = fresh(S.lists.erfcx_range1);
    Jobs& reflect = fresh(S.lists.erfcx_reflect);
    each(J, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.arg, ix);
      const D y = abs_of(x);
      const M small = y <= kErfcxSplitSmall;
      const D r = erfcx_by_range(x, y);
      const M negative = x < 0.0;
      // Range 1 leaves its factor of exp(w); a reflection has erfcx(|x|).
      st(S.res, ix, select(small, r, select(negative & (x < kErfcxXNeg), kErfcxXInf, r)));
      st_code(S.code, ix,
              select(small, code(1), select(negative & (x >= kErfcxXNeg), code(2), code(0))));
    });
    split(S.code, J, nullptr, &range1, &reflect);
    each(range1, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.arg, ix);
      st(S.res, ix, exp_correct(erfcx_small_w(x, abs_of(x))) * ld(S.res, ix));
    });
    elements(reflect, [&](Index i) { S.res[i] = erfcx_reflection(S.arg[i], S.res[i]); });
  }

  // ---- Phi with the tail series (norm_cdf_tail), over slots ----------------

  // res[j] = norm_cdf_tail(arg[j]) for the slots of J.
  static void norm_cdf_tail(State& S, const Jobs& J) {
    Jobs& direct = fresh(S.lists.tail_direct);
    Jobs& series = fresh(S.lists.tail_series);
    each(J, [&](At ix) __attribute__((always_inline)) {
      const D z = ld(S.arg, ix);
      const M tail = z <= kTailThreshold;
      // The series two terms per iteration, for as long as any lane's terms
      // keep shrinking; a lane that stopped keeps its sum.
      D sum = vec(1.0);
      M active = tail & (z >= kTailCutoff);
      if (any(active)) {
        const D z2 = z * z;
        D i = vec(1.0);
        D g = vec(1.0);
        D last = vec(kMaxFinite);
        do {
          const D a = tarvik::detail::tail_series_term(z2, i, g);
          sum = select(active, sum - a, sum);
          const M shrinking = (last > abs_of(a)) & (abs_of(a) >= abs_of(sum * kEpsilon));
          last = abs_of(a);
          active = active & shrinking;
        } while (any(active));
      }
      st(S.aux, ix, sum);
      st(S.res, ix, select(is_nan(z), kQuietNaN, select(z > 0.0, 1.0, 0.0)));
      const M plain = mask_not(tail) & is_finite(z);
      st_code(S.code, ix, select(tail, code(2), select(plain, code(1), code(0))));
    });
    split(S.code, J, nullptr, &direct, &series);
    each(direct, [&](At ix) __attribute__((always_inline)) {
      const D z = ld(S.arg, ix);  // finite
      st(S.res, ix, tarvik::detail::norm_cdf_finite(erfc_correct(tarvik::detail::norm_cdf_arg(z))));
    });
    elements(series, [&](Index i) {
      const double z = S.arg[i];
      S.res[i] = (-(norm_pdf(z) * S.aux[i])) / z;
    });
  }

  // ---- the inverse normal distribution function (AS 241) -------------------

  // z[i] = inverse_norm_cdf(u[i]) for the elements of L.
  static void inverse_norm_cdf(State& S, const Set& L) {
    Set& logs = fresh(S.lists.logs);
    // Both tails and the ends take a logarithm: of u below the centre, of
    // 1 - u above it (and for NaN).
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D u = ld(S.u, ix);
      const D q = u + -0.5;
      st(S.aux, ix, select(q < 0.0, u, 1.0 - u));
      st(S.aux2, ix, vec(1.0));
      st_code(S.code, ix, select(abs_of(q) <= kWichuraSplit1, code(0), code(1)));
    });
    split(S.code, L, nullptr, &logs);
    each(logs, [&](At ix) __attribute__((always_inline)) { st(S.aux2, ix, log_correct(ld(S.aux, ix))); });
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D u = ld(S.u, ix);
      const D lg = ld(S.aux2, ix);
      const D q = u + -0.5;
      const D r = sqrt_of(-lg);
      const D v =
          select(r < kWichuraSplit2, inverse_norm_cdf_near_tail(r), inverse_norm_cdf_far_tail(r));
      D z = select(q < 0.0, -v, v);
      z = select(abs_of(q) <= kWichuraSplit1, inverse_norm_cdf_central(q), z);
      z = select(u >= 1.0, -lg, z);
      st(S.z, ix, select(u <= 0.0, lg, z));
    });
  }

  // ---- the normalised Black function and its vega --------------------------

  // b and vega for the elements of L at s = sv[i] (normalised_black_and_vega;
  // x <= 0 throughout the solver, so b is out_of_the_money(x, s)). The direct
  // formula's exp(x/2) is b_max, which the solver has formed from the same x.
  static void black_and_vega(State& S, const Set& L, const double* sv, double* bo, double* vo) {
    enum : std::int64_t { kZero, kAsymptotic, kSmallT, kDirect, kErfcx };
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(sv, ix);
      const D t = 0.5 * s;
      const D h = x / s;
      const M small_t = in_small_t_region(t);
      const M direct = in_direct_region(x, s, t);
      M c = select(direct, code(kDirect), code(kErfcx));
      c = select(small_t, code(kSmallT), c);
      c = select(in_asymptotic_region(x, s, t), code(kAsymptotic), c);
      st_code(S.code, ix, select(vanishing_volatility(x, s), code(kZero), c));
      st(S.h, ix, h);
      st(S.t, ix, t);
      st(S.aux2, ix, gaussian_exponent(h, t));
      // Arguments of erfcx (small t: one; erfcx formula: two) or of Phi (direct: two).
      st(S.arg, ix,
         select(small_t, erfcx_argument(h), select(direct, h + t, erfcx_argument(h + t))));
      st_hi(S.arg, ix, select(direct, h - t, erfcx_argument(h - t)));
    });
    Set& asymptotic = fresh(S.lists.asymptotic);
    Set& small_t = fresh(S.lists.small_t);
    Set& direct = fresh(S.lists.direct);
    Set& erfcx_set = fresh(S.lists.erfcx_set);
    each(L, [&](At ix) __attribute__((always_inline)) { st(S.g, ix, exp_correct(ld(S.aux2, ix))); });
    split(S.code, L, nullptr, &asymptotic, &small_t, &direct, &erfcx_set);
    // erfcx of the small-t argument and of both erfcx-formula arguments; Phi
    // of both direct-formula arguments.
    Jobs& erfcx_jobs = fresh(S.lists.vega_erfcx);
    Jobs& phi_jobs = fresh(S.lists.vega_phi);
    erfcx_jobs.append(small_t, 0);
    erfcx_jobs.append(erfcx_set, 0);
    erfcx_jobs.append(erfcx_set, B);
    phi_jobs.append(direct, 0);
    phi_jobs.append(direct, B);
    erfcx_jobs.pad();
    phi_jobs.pad();
    if (erfcx_jobs.n) erfcx(S, erfcx_jobs);
    if (phi_jobs.n) norm_cdf_tail(S, phi_jobs);
    each(asymptotic, [&](At ix) __attribute__((always_inline)) {
      st(S.bb, ix, asymptotic_expansion(ld(S.h, ix), ld(S.t, ix), ld(S.g, ix)));
    });
    each(small_t, [&](At ix) __attribute__((always_inline)) {
      st(S.bb, ix, small_t_expansion(ld(S.h, ix), ld(S.t, ix), ld(S.res, ix), ld(S.g, ix)));
    });
    each(direct, [&](At ix) __attribute__((always_inline)) {
      st(S.bb, ix, direct_formula(ld(S.res, ix), ld_hi(S.res, ix), ld(S.bmax, ix)));
    });
    each(erfcx_set, [&](At ix) __attribute__((always_inline)) {
      st(S.bb, ix, erfcx_formula(ld(S.g, ix), ld(S.res, ix), ld_hi(S.res, ix)));
    });
    // b >= 0 (+0 where s <= 0), and the vega from the same Gaussian factor
    // (x = 0 below).
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(sv, ix);
      st(bo, ix, select(vanishing_volatility(x, s), 0.0, clamp_non_negative(ld(S.bb, ix))));
      st(vo, ix, select(vega_vanishes(x, s), 0.0, kInvSqrtTwoPi * ld(S.g, ix)));
    });
    if (!S.any_x_zero) return;
    elements(L, [&](Index i) {
      if (S.x[i] == 0.0) vo[i] = kInvSqrtTwoPi * elementary::exp(zero_x_vega_exponent(sv[i]));
    });
  }

  // ---- the initial guess (black/transforms.hpp) ----------------------------

  // A transform's Phi (into res) and its kExps exponentials (into e1, e2,
  // e3) at s = s2, from its arguments.
  template <int kExps, class Arguments>
  static void transform_terms(State& S, const Set& L, Arguments arguments) {
    Jobs& phi = fresh(S.lists.transform_phi);
    each(L, [&](At ix) __attribute__((always_inline)) {
      const TransformArguments<D> a = arguments(ld(S.x, ix), ld(S.s2, ix));
      st(S.arg, ix, a.phi);
      st(S.e1, ix, a.e1);
      st(S.e2, ix, a.e2);
      st(S.e3, ix, a.e3);
    });
    each(L, [&](At ix) __attribute__((always_inline)) {
      st(S.e1, ix, exp_correct(ld(S.e1, ix)));
      st(S.e2, ix, exp_correct(ld(S.e2, ix)));
      if constexpr (kExps == 3) st(S.e3, ix, exp_correct(ld(S.e3, ix)));
    });
    elements(L, [&](Index i) { phi.add(i, true); });
    phi.pad();
    norm_cdf_tail(S, phi);
  }

  // Lowest region, 0 < beta < b_l: the low-price transform at s_l,
  // interpolated on [0, b_l] and inverted.
  static void lowest_region(State& S, const Set& L) {
    transform_terms<3>(S, L, [](D x, D s) { return low_price_arguments(x, s); });
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const Transform<D> t_l = low_price_transform(x, ld(S.s2, ix), ld(S.res, ix), ld(S.e1, ix),
                                                   ld(S.e2, ix), ld(S.e3, ix));
      const D f = lowest_region_transform(ld(S.beta, ix), ld(S.b2, ix), t_l);
      st(S.e1, ix, f);
      st(S.u, ix, low_price_cube(f, x));
    });
    elements(L, [&](Index i) {
      S.u[i] = cbrt_correct(S.u[i]);
      S.obj[i] = kReciprocalLog;
    });
    each(L, [&](At ix) __attribute__((always_inline)) { st(S.lnbeta, ix, log_correct(ld(S.beta, ix))); });
    inverse_norm_cdf(S, L);
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D s0 = low_price_volatility(ld(S.x, ix), ld(S.z, ix));
      st(S.s, ix, select(abs_of(ld(S.e1, ix)) < kMinNormal, 0.0, s0));
      st(S.sl, ix, vec(kMinNormal));
      st(S.sr, ix, ld(S.s2, ix));
    });
  }

  // Highest region, b_h < beta < b_max: the high-price transform at s_h,
  // interpolated on [b_h, b_max] and inverted.
  static void highest_region(State& S, const Set& L) {
    transform_terms<2>(S, L, [](D x, D s) { return high_price_arguments(x, s); });
    elements(L, [&](Index i) { S.obj[i] = S.beta[i] <= 0.5 * S.bmax[i] ? kPlain : kLogGap; });
    each(L, [&](At ix) __attribute__((always_inline)) {
      const Transform<D> t_h = high_price_transform(ld(S.x, ix), ld(S.s2, ix), ld(S.res, ix),
                                                    ld(S.e1, ix), ld(S.e2, ix));
      st(S.u, ix, highest_region_transform(ld(S.beta, ix), ld(S.bmax, ix), ld(S.b2, ix), t_h));
    });
    inverse_norm_cdf(S, L);
    each(L, [&](At ix) __attribute__((always_inline)) {
      st(S.s, ix, -2.0 * ld(S.z, ix));
      st(S.sl, ix, ld(S.s2, ix));
      st(S.sr, ix, vec(kMaxFinite));
    });
  }

  // The two middle regions: s itself interpolated on [b_l, b_c] or [b_c, b_h].
  static void middle_regions(State& S, const Set& L) {
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D beta = ld(S.beta, ix);
      const D b_c = ld(S.bc, ix);
      const MiddleGuess<D> g =
          middle_region_guess(beta, beta < b_c, ld(S.sc, ix), b_c, ld(S.vc, ix), ld(S.s2, ix),
                              ld(S.b2, ix), ld(S.v2, ix));
      st(S.s, ix, g.s0);
      st(S.sl, ix, g.s_l);
      st(S.sr, ix, g.s_r);
    });
    elements(L, [&](Index i) { S.obj[i] = kPlain; });
  }

  // ---- Householder refinement (black/householder.hpp) ----------------------

  // One refinement pass over the elements of P: b and vega at s, the bracket,
  // the step of each element's objective (or bisection), s + step.
  static void refinement_pass(State& S, const Set& P) {
    black_and_vega(S, P, S.s, S.b, S.vega);
    each(P, [&](At ix) __attribute__((always_inline)) {
      const D s = ld(S.s, ix);
      const D b = ld(S.b, ix);
      const D vega = ld(S.vega, ix);
      const D beta = ld(S.beta, ix);
      const D b_max = ld(S.bmax, ix);
      D s_left = ld(S.sl, ix);
      D s_right = ld(S.sr, ix);
      const M shrink_right = (b > beta) & (s < s_right);
      const M shrink_left = mask_not(shrink_right) & (b < beta) & (s > s_left);
      s_right = select(shrink_right, s, s_right);
      s_left = select(shrink_left, s, s_left);
      st(S.sr, ix, s_right);
      st(S.sl, ix, s_left);
      const M obj = ld_code(S.obj, ix);
      const M reciprocal_log = obj == code(kReciprocalLog);
      const M bisect =
          select(reciprocal_log, bisect_reciprocal_log(b, vega),
                 select(obj == code(kPlain), bisect_plain(vega), bisect_log_gap(b, b_max, vega)));
      st(S.ds, ix, 0.5 * (s_left + s_right) - s);
      // The logarithm each objective's step takes: ln b, or ln of the gap ratio.
      st(S.aux, ix, select(reciprocal_log, b, log_gap_ratio(beta, b_max, b)));
      st_code(S.code, ix, select(bisect, code(3), obj));
    });
    Set& reciprocal_log = fresh(S.lists.reciprocal_log);
    Set& plain = fresh(S.lists.plain);
    Set& log_gap = fresh(S.lists.log_gap);
    split(S.code, P, &reciprocal_log, &plain, &log_gap);
    each(reciprocal_log, [&](At ix) __attribute__((always_inline)) { st(S.aux, ix, log_correct(ld(S.aux, ix))); });
    each(log_gap, [&](At ix) __attribute__((always_inline)) { st(S.aux, ix, log_correct(ld(S.aux, ix))); });
    each(plain, [&](At ix) __attribute__((always_inline)) {
      st(S.ds, ix,
         plain_step(ld(S.x, ix), ld(S.s, ix), ld(S.beta, ix), ld(S.b, ix), ld(S.vega, ix)));
    });
    each(reciprocal_log, [&](At ix) __attribute__((always_inline)) {
      st(S.ds, ix,
         reciprocal_log_step(ld(S.x, ix), ld(S.s, ix), ld(S.lnbeta, ix), ld(S.aux, ix), ld(S.b, ix),
                             ld(S.vega, ix)));
    });
    each(log_gap, [&](At ix) __attribute__((always_inline)) {
      st(S.ds, ix,
         log_gap_step(ld(S.x, ix), ld(S.s, ix), ld(S.aux, ix), ld(S.bmax, ix), ld(S.b, ix),
                      ld(S.vega, ix)));
    });
    each(P, [&](At ix) __attribute__((always_inline)) {
      const D s = ld(S.s, ix);
      const D ds = limited_step(ld(S.ds, ix), s);
      st(S.ds, ix, ds);
      st(S.s, ix, s + ds);
    });
  }

  // At most two steps from s0 = s[i] for the elements of A.
  static void refine(State& S, const Set& A) {
    // The first step is taken unless s0 is +inf or NaN (|ds| = -inf starts).
    Set& first = fresh(S.lists.first);
    each(A, [&](At ix) __attribute__((always_inline)) {
      st_code(S.code, ix, select(kMaxFinite > kEpsilon * ld(S.s, ix), code(1), code(0)));
    });
    split(S.code, A, nullptr, &first);
    if (first.n == 0) return;
    refinement_pass(S, first);
    // The second unless the first was below eps s; from the midpoint of the
    // bracket if s has left it, and not at all if the bracket is that narrow.
    Set& second = fresh(S.lists.second);
    each(first, [&](At ix) __attribute__((always_inline)) {
      D s = ld(S.s, ix);
      const D s_left = ld(S.sl, ix);
      const D s_right = ld(S.sr, ix);
      const M go = abs_of(ld(S.ds, ix)) > kEpsilon * s;
      const M outside = go & mask_not((s_left < s) & (s < s_right));
      s = select(outside, 0.5 * (s_left + s_right), s);
      st(S.s, ix, s);
      const M done = outside & (s_right - s_left <= kEpsilon * s);
      st_code(S.code, ix, select(go & mask_not(done), code(1), code(0)));
    });
    split(S.code, first, nullptr, &second);
    if (second.n) refinement_pass(S, second);
  }

  // ---- the solver (black/solver.cpp) ---------------------------------------

  // s[i] = unchecked_normalised_implied_volatility(beta[i], x[i], q[i]) for
  // the elements of L; beta, x are reduced in place.
  static void solve(State& S, const Set& L) {
    // Reduction to an out-of-the-money call, and b_max = exp(x/2).
    Set& exp_intrinsic = fresh(S.lists.exp_intrinsic);
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D q = ld(S.q, ix);
      const M itm = x * q > 0.0;
      const D xr = select(select(itm, q > 0.0, q < 0.0), -x, x);
      st(S.e2, ix, intrinsic_series(x));
      st(S.e1, ix, 0.5 * x);
      st(S.bmax, ix, xr * 0.5);
      st(S.z, ix, xr);
      st_code(S.code, ix, select(itm & mask_not(x * x < kIntrinsicTaylorLimit), code(1), code(0)));
    });
    split(S.code, L, nullptr, &exp_intrinsic);
    each(L, [&](At ix) __attribute__((always_inline)) { st(S.bmax, ix, exp_correct(ld(S.bmax, ix))); });
    each(exp_intrinsic, [&](At ix) __attribute__((always_inline)) {
      st(S.e2, ix, intrinsic_from_exp(exp_correct(ld(S.e1, ix))));
    });
    Set& A = fresh(S.lists.refined);
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D q = ld(S.q, ix);
      D beta = ld(S.beta, ix);
      const M itm = x * q > 0.0;
      D iota = ld(S.e2, ix);
      iota = max_of(select(q < 0.0, -iota, iota), 0.0);
      beta = select(itm, max_of(beta - iota, 0.0), beta);
      const D xr = ld(S.z, ix);
      const D b_max = ld(S.bmax, ix);
      st(S.beta, ix, beta);
      st(S.x, ix, xr);
      const M none = beta <= 0.0;
      const M top = mask_not(none) & (beta >= b_max);
      // A subnormal price: no volatility, as in the scalar solver.
      const M tiny = mask_not(none | top) & (beta < kMinNormal);
      st(S.s, ix, select(none, 0.0, select(tiny, kQuietNaN, kMaxFinite)));
      st(S.sc, ix, central_branch_point(xr));
      st_code(S.code, ix, select(none | top | tiny, code(0), code(1)));
    });
    split(S.code, L, nullptr, &A);
    if (A.n == 0) return;
    S.any_x_zero = false;
    elements(A, [&](Index i) { S.any_x_zero = S.any_x_zero || S.x[i] == 0.0; });
    __builtin_memset(S.bb, 0, sizeof S.bb);  // no method writes the lanes with s <= 0

    // The central branch point, then s_l below it or s_h above it.
    black_and_vega(S, A, S.sc, S.bc, S.vc);
    each(A, [&](At ix) __attribute__((always_inline)) {
      const D s_c = ld(S.sc, ix);
      const D b_c = ld(S.bc, ix);
      const D v_c = ld(S.vc, ix);
      st(S.s2, ix,
         select(ld(S.beta, ix) < b_c, lower_branch_point(s_c, b_c, v_c),
                upper_branch_point(s_c, b_c, v_c, ld(S.bmax, ix))));
    });
    black_and_vega(S, A, S.s2, S.b2, S.v2);
    enum : std::int64_t { kMiddle, kLowest, kHighest };
    each(A, [&](At ix) __attribute__((always_inline)) {
      const D beta = ld(S.beta, ix);
      const D b_2 = ld(S.b2, ix);
      const M lower = beta < ld(S.bc, ix);
      st_code(S.code, ix,
              select(lower & (beta < b_2), code(kLowest),
                     select(mask_not(lower) & (beta > b_2), code(kHighest), code(kMiddle))));
    });
    Set& middle = fresh(S.lists.middle);
    Set& lowest = fresh(S.lists.lowest);
    Set& highest = fresh(S.lists.highest);
    split(S.code, A, &middle, &lowest, &highest);
    if (middle.n) middle_regions(S, middle);
    if (lowest.n) lowest_region(S, lowest);
    if (highest.n) highest_region(S, highest);
    refine(S, A);
  }

  // ---- front ends (implied_volatility.cpp) ---------------------------------

  // The state of a block of n > 0 elements and the list of all of them, or
  // nullptr where the state cannot be allocated (the caller then takes the
  // scalar functions).
  static std::unique_ptr<State> block_state(Set& all, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) all.idx[i] = static_cast<Index>(i);
    all.n = n;
    all.pad();
    return std::unique_ptr<State>(new (std::nothrow) State);
  }

  // The Black-76 inversion at the log-moneyness x given (the accurate one
  // of black_implied_volatility), or where x is nullptr at ln F - ln K.
  static void implied_volatility(const double* price, const double* forward, const double* strike,
                                 const double* maturity, const double* x,
                                 const std::uint8_t* is_call, std::size_t n, double* out) {
    if (n == 0) return;
    Set all, valid;
    const std::unique_ptr<State> state = block_state(all, n);
    if (!state) {
      if (x) {
        return detail::black_implied_volatility_elements(price, forward, strike, maturity, is_call,
                                                         n, out);
      }
      return detail::implied_volatility_elements(price, forward, strike, maturity, is_call, n, out);
    }
    State& S = *state;
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D p = ld(price, ix);
      const D f = ld(forward, ix);
      const D kk = ld(strike, ix);
      const D T = ld(maturity, ix);
      const M call = ld_code(is_call, ix) != 0;
      M ok = is_finite(p) & is_finite(f) & is_finite(kk) & is_finite(T);
      ok = ok & (f > 0.0) & (kk > 0.0) & (T > 0.0);
      ok = ok & mask_not(p < intrinsic_value(call, f, kk));
      ok = ok & mask_not(p >= maximum_value(call, f, kk));
      st(S.beta, ix, normalised_price(p, f, kk));
      st(S.q, ix, select(call, 1.0, -1.0));
      st(S.s, ix, vec(0.0));
      st_code(S.ok, ix, select(ok, code(1), code(0)));
    });
    for (std::size_t i = 0; i < n; ++i) valid.add(i, S.ok[i] != 0);
    valid.pad();
    if (x) {
      elements(valid, [&](Index i) { S.x[i] = x[i]; });
    } else if (valid.n) {
      // x = ln F - ln K, the logarithms in vector lanes; a forward or strike
      // that is the whole block's is taken once (a correctly rounded log has
      // one value however it is computed). Valid forwards and strikes are
      // positive and finite: equal values, equal bits.
      const auto common = [&](const double* a) {
        const double first = a[valid.idx[0]];
        for (std::size_t j = 1; j < valid.n; ++j) {
          if (a[valid.idx[j]] != first) return false;
        }
        return true;
      };
      const bool one_f = common(forward), one_k = common(strike);
      const D ln_f = vec(one_f ? elementary::log(forward[valid.idx[0]]) : 0.0);
      const D ln_k = vec(one_k ? elementary::log(strike[valid.idx[0]]) : 0.0);
      each(valid, [&](At ix) __attribute__((always_inline)) {
        const D lf = one_f ? ln_f : log_correct(ld(forward, ix));
        const D lk = one_k ? ln_k : log_correct(ld(strike, ix));
        st(S.x, ix, lf - lk);
      });
    }
    if (valid.n) solve(S, valid);
    // A price that rounding put at its maximum gives the largest double: that,
    // or anything not finite, failed; otherwise max(s/sqrt(T), 0).
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D s = ld(S.s, ix);
      const M failed = (ld_code(S.ok, ix) == 0) | inversion_failed(s);
      st(out, ix, select(failed, kQuietNaN, volatility_of_total(s, ld(maturity, ix))));
    });
  }

  static void normalised_implied_volatility(const double* beta, const double* x,
                                            const std::uint8_t* is_call, std::size_t n,
                                            double* out) {
    if (n == 0) return;
    Set all, valid;
    const std::unique_ptr<State> state = block_state(all, n);
    if (!state) return detail::normalised_implied_volatility_elements(beta, x, is_call, n, out);
    State& S = *state;
    // The intrinsic value of an in-the-money option and the maximum exp(+-x/2).
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D b = ld(beta, ix);
      const D xx = ld(x, ix);
      const M call = ld_code(is_call, ix) != 0;
      const M finite = is_finite(b) & is_finite(xx);
      const M itm = (call & (xx > 0.0)) | (mask_not(call) & (xx < 0.0));
      st(S.e2, ix, intrinsic_series(xx));
      st(S.e1, ix, 0.5 * xx);
      st(S.e3, ix, normalised_maximum_exponent(call, xx));
      st(S.beta, ix, b);
      st(S.x, ix, xx);
      st(S.q, ix, select(call, 1.0, -1.0));
      st(S.s, ix, vec(0.0));
      const M c = select(itm, select(xx * xx < kIntrinsicTaylorLimit, code(2), code(3)), code(1));
      st_code(S.code, ix, select(finite, c, code(0)));
    });
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t c = S.code[i];
      if (c == 0) continue;
      S.e3[i] = elementary::exp(S.e3[i]);
      if (c == 3) S.e2[i] = intrinsic_from_exp(elementary::exp(S.e1[i]));
    }
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D b = ld(S.beta, ix);
      const M c = ld_code(S.code, ix);
      const D ni = ld(S.e2, ix);
      const D intrinsic = select(c >= 2, max_of(select(ld(S.q, ix) > 0.0, ni, -ni), 0.0), vec(0.0));
      const M ok = (c != 0) & mask_not(b < intrinsic) & mask_not(b >= ld(S.e3, ix));
      st_code(S.ok, ix, select(ok, code(1), code(0)));
    });
    for (std::size_t i = 0; i < n; ++i) valid.add(i, S.ok[i] != 0);
    valid.pad();
    if (valid.n) solve(S, valid);
    for (std::size_t i = 0; i < n; ++i) out[i] = S.ok[i] != 0 ? S.s[i] : kQuietNaN;
  }
};

}  // namespace
}  // namespace tarvik::lanes
