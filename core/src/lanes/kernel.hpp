// The implied-volatility solver over one block of elements, W elements at a
// time in vector lanes, with the bits of the scalar solver
// (implied_volatility.cpp and rational/).
//
// Every element goes through the operations of the scalar code, in the same
// order; only the schedule differs. IEEE addition, subtraction,
// multiplication, division and square root round the same in a vector lane
// as in a scalar register, and these translation units are built without
// contraction into fused multiply-adds. The block is processed in stages:
// a stage classifies the elements it is given, compacts the index of each
// element into the list of the branch it takes, and evaluates each branch
// over its list W elements at a time; where the scalar code picks between
// short expressions, the lanes evaluate both and select. The C library's
// exp, log, erfc and pow are called element by element, in loops of
// independent calls between the vector passes.
//
// Each path includes this header into its own translation unit, built for its
// width with its own target flags. Everything here has internal linkage and
// calls no inline function of the rest of the core, so that no function
// compiled for one target can stand in for another's at link time.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "constants.hpp"
#include "paths.hpp"
#include "tarvik/detail/lanes.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"
#include "tarvik/rational/cubic.hpp"
#include "tarvik/rational/normalised_black.hpp"

namespace tarvik::lanes {
namespace {

// Element index within a block, or a slot of a two-per-element scratch array.
using Index = std::uint16_t;

// Scalar constants of the solver.
namespace k {
using namespace tarvik;
using namespace tarvik::rational;
inline constexpr double kRcMin = kRationalCubicMinControl;
inline constexpr double kRcMax = kRationalCubicMaxControl;
inline constexpr double kInf = __builtin_inf();
inline constexpr double kQuietNaN = __builtin_nan("");
inline constexpr double kSqrtHalf = tarvik::kSqrtHalf;
inline constexpr double kMinusSqrtHalf = -tarvik::kSqrtHalf;
inline constexpr double kTailThreshold = tarvik::kTailThreshold;
inline constexpr double kTailCutoff = tarvik::kTailCutoff;
inline constexpr double kNormalEpsilon = tarvik::kEpsilon;
// The normalised Black function.
inline constexpr double kEta = -10.0;
inline constexpr double kTau = 0.21022410381342865;
inline constexpr double kTauPlusEta = -9.7897758961865708;
inline constexpr double kSplitHPlusT = 0.85;
inline constexpr double kSqrtHalfPi = 1.2533141373155001;  // one ulp below sqrt(pi/2)
// The transforms of the initial guess.
inline constexpr double kInvSqrtThree = 0.5773502691896257;
inline constexpr double kSqrtThree = 1.7320508075688772;
inline constexpr double kEightSqrtThree = 13.856406460551018;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kPiOverSix = 0.5235987755982988;
inline constexpr double kTwoPiOverSqrt27 = 1.2091995761561452;
inline constexpr double kOneThird = 0.3333333333333333;
// erfcx (Cody).
inline constexpr double kSplitSmall = 0.46875;
inline constexpr double kSplitMid = 4.0;
inline constexpr double kXSmall = 1.11e-16;
inline constexpr double kXHuge = 6.71e7;
inline constexpr double kXMax = 2.53e307;
inline constexpr double kXNeg = -26.628;
inline constexpr double kXInf = 1.79e308;
inline constexpr double kInvSqrtPi = 0.56418958354775628;
// The inverse normal distribution function (AS 241).
inline constexpr double kSplit1 = 0.425;
inline constexpr double kConst1 = 0.180625;
inline constexpr double kSplit2 = 5.0;
inline constexpr double kConst2 = 1.6;
}  // namespace k

// The objectives of the refinement steps.
enum Objective : std::uint8_t { kReciprocalLog, kPlain, kLogGap };

// W doubles, and W lane masks (all bits set or clear) as compared vectors give.
template <int W>
struct Vectors {
  typedef double D __attribute__((vector_size(8 * W)));
  typedef std::int64_t M __attribute__((vector_size(8 * W)));
};

template <int W>
struct Kernel {
  using D = typename Vectors<W>::D;
  using M = typename Vectors<W>::M;
  static constexpr std::size_t B = kBlock;

  // A list of element indexes (or slots); entries n to the next multiple of W
  // repeat the last one, so that a vector pass reads whole groups of W. A
  // repeated lane computes what its twin does and stores the same bits.
  template <std::size_t Cap>
  struct List {
    Index idx[Cap + W];
    std::size_t n = 0;
    [[gnu::always_inline]] void add(std::size_t i, bool take) {
      idx[n] = static_cast<Index>(i);
      n += take ? 1 : 0;
    }
    template <std::size_t C>
    void append(const List<C>& from, std::size_t offset) {
      for (std::size_t j = 0; j < from.n; ++j)
        idx[n + j] = static_cast<Index>(from.idx[j] + offset);
      n += from.n;
    }
    void pad() {
      if (n == 0) return;
      for (int l = 0; l < W; ++l) idx[n + l] = idx[n - 1];
    }
  };
  using Set = List<B>;
  using Jobs = List<2 * B>;

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
  };

  // ---- lanes ---------------------------------------------------------------

  // Lane by lane through pack expansions, so that the compiler builds and
  // takes apart the vectors in registers.
  static constexpr auto kLanes = std::make_index_sequence<W>{};
  template <std::size_t... I>
  [[gnu::always_inline]] static D splat(double v, std::index_sequence<I...>) {
    return D{((void)I, v)...};
  }
  [[gnu::always_inline]] static D splat(double v) { return splat(v, kLanes); }
  template <std::size_t... I>
  [[gnu::always_inline]] static M splat_m(std::int64_t v, std::index_sequence<I...>) {
    return M{((void)I, v)...};
  }
  [[gnu::always_inline]] static M splat_m(std::int64_t v) { return splat_m(v, kLanes); }
  // W lanes of a list: their indexes, and whether these are consecutive
  // (then the lanes are read and written as one vector).
  struct At {
    const Index* ix;
    bool dense;
  };
  [[gnu::always_inline]] static D load(const double* a) {
    D r;
    __builtin_memcpy(&r, a, sizeof r);
    return r;
  }
  [[gnu::always_inline]] static void store(double* a, D v) { __builtin_memcpy(a, &v, sizeof v); }
  template <std::size_t... I>
  [[gnu::always_inline]] static D gather(const double* a, const Index* ix,
                                         std::index_sequence<I...>) {
    return D{a[ix[I]]...};
  }
  template <std::size_t... I>
  [[gnu::always_inline]] static void scatter(double* a, const Index* ix, D v,
                                             std::index_sequence<I...>) {
    ((a[ix[I]] = v[I]), ...);
  }
  [[gnu::always_inline]] static D ld(const double* a, At at) {
    return at.dense ? load(a + at.ix[0]) : gather(a, at.ix, kLanes);
  }
  [[gnu::always_inline]] static void st(double* a, At at, D v) {
    if (at.dense) {
      store(a + at.ix[0], v);
    } else {
      scatter(a, at.ix, v, kLanes);
    }
  }
  // The second slot of each element, B + i.
  [[gnu::always_inline]] static D ld_hi(const double* a, At at) { return ld(a + B, at); }
  [[gnu::always_inline]] static void st_hi(double* a, At at, D v) { st(a + B, at, v); }
  template <std::size_t... I>
  [[gnu::always_inline]] static void st_code(std::uint8_t* a, const Index* ix, M v,
                                             std::index_sequence<I...>) {
    ((a[ix[I]] = static_cast<std::uint8_t>(v[I])), ...);
  }
  [[gnu::always_inline]] static void st_code(std::uint8_t* a, At at, M v) {
    st_code(a, at.ix, v, kLanes);
  }
  template <std::size_t... I>
  [[gnu::always_inline]] static M ld_code(const std::uint8_t* a, const Index* ix,
                                          std::index_sequence<I...>) {
    return M{static_cast<std::int64_t>(a[ix[I]])...};
  }
  [[gnu::always_inline]] static M ld_code(const std::uint8_t* a, At at) {
    return ld_code(a, at.ix, kLanes);
  }
  // All bits set where the byte is nonzero.
  template <std::size_t... I>
  [[gnu::always_inline]] static M ld_flag(const std::uint8_t* a, const Index* ix,
                                          std::index_sequence<I...>) {
    return M{(a[ix[I]] ? std::int64_t{-1} : std::int64_t{0})...};
  }
  [[gnu::always_inline]] static M ld_flag(const std::uint8_t* a, At at) {
    return ld_flag(a, at.ix, kLanes);
  }
  [[gnu::always_inline]] static D sel(M m, D a, D b) { return m ? a : b; }
  [[gnu::always_inline]] static D sel(M m, double a, D b) { return m ? splat(a) : b; }
  [[gnu::always_inline]] static D sel(M m, D a, double b) { return m ? a : splat(b); }
  [[gnu::always_inline]] static D sel(M m, double a, double b) { return m ? splat(a) : splat(b); }
  [[gnu::always_inline]] static D vabs(D a) { return (D)((M)a & splat_m(0x7fffffffffffffffLL)); }
  template <std::size_t... I>
  [[gnu::always_inline]] static D vsqrt(D a, std::index_sequence<I...>) {
    return D{__builtin_sqrt(a[I])...};
  }
  [[gnu::always_inline]] static D vsqrt(D a) {
#if defined(__AVX512F__)
    if constexpr (W == 8) return (D)_mm512_maskz_sqrt_pd(0xff, (__m512d)a);
#endif
#if defined(__AVX__)
    if constexpr (W == 4) return (D)_mm256_sqrt_pd((__m256d)a);
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return (D)_mm_sqrt_pd((__m128d)a);
#endif
    return vsqrt(a, kLanes);
  }
  [[gnu::always_inline]] static M isnan(D a) { return a != a; }
  [[gnu::always_inline]] static M isfinite(D a) { return vabs(a) < k::kInf; }
  template <std::size_t... I>
  [[gnu::always_inline]] static bool any(M m, std::index_sequence<I...>) {
    return (m[I] | ...) != 0;
  }
  [[gnu::always_inline]] static bool any(M m) {
#if defined(__AVX__)
    if constexpr (W == 4) return _mm256_movemask_pd((__m256d)m) != 0;
#endif
    return any(m, kLanes);
  }
  // IEEE maxNum: the larger operand, ignoring a NaN one.
  [[gnu::always_inline]] static D max_num(D a, D b) {
    D r = a < b ? b : a;
    r = isnan(b) ? a : r;
    return isnan(a) ? b : r;
  }
  [[gnu::always_inline]] static D max_num(D a, double b) { return max_num(a, splat(b)); }

  // The lanes of a list W at a time. A list of elements that holds the first
  // n indexes of the block in order (its entries increase, so the last one
  // tells) is read and written as whole vectors but for its padded tail.
  template <class F>
  [[gnu::always_inline]] static void each(const Set& list, F&& f) {
    const std::size_t n = list.n;
    std::size_t j = 0;
    if (n != 0 && list.idx[n - 1] == n - 1) {
      for (; j + W <= n; j += W) f(At{list.idx + j, true});
    }
    for (; j < n; j += W) f(At{list.idx + j, false});
  }
  template <class F>
  [[gnu::always_inline]] static void each(const Jobs& list, F&& f) {
    for (std::size_t j = 0; j < list.n; j += W) f(At{list.idx + j, false});
  }

  // ---- rational cubic interpolation (cubic.hpp) ----------------------------

  static D rational_cubic(D x, D x_l, D x_r, D y_l, D y_r, D d_l, D d_r, D r) {
    const D h = x_r - x_l;
    const D t = (x - x_l) / h;
    const D u = 1.0 - t;
    const D t2 = t * t;
    const D t3 = t2 * t;
    const D u2 = u * u;
    const D u3 = u2 * u;
    const D numerator =
        y_r * t3 + (r * y_r - h * d_r) * t2 * u + (r * y_l + h * d_l) * t * u2 + y_l * u3;
    const D denominator = 1.0 + (r - 3.0) * t * u;
    D v = numerator / denominator;
    v = sel(r >= k::kRcMax, y_r * t + y_l * (1.0 - t), v);
    return sel(h == 0.0, 0.5 * (y_l + y_r), v);
  }

  static D curvature_control(D numerator, D denominator) {
    D r = numerator / denominator;
    r = sel(vabs(denominator) < k::kMinNormal,
            sel(numerator > 0.0, splat(k::kRcMax), splat(k::kRcMin)), r);
    return sel(vabs(numerator) < k::kMinNormal, 0.0, r);
  }

  template <bool kPreferShape>
  static D shape_control_minimum(D d_l, D d_r, D m) {
    const M monotone = (d_l * m >= 0.0) & (d_r * m >= 0.0);
    const M convex = (d_l <= m) & (m <= d_r);
    const M concave = (d_l >= m) & (m >= d_r);
    const D none = splat(-k::kMaxFinite);
    D r1 = kPreferShape ? splat(k::kRcMax) : none;
    r1 = sel(vabs(m) >= k::kMinNormal, (d_r + d_l) / m, r1);
    r1 = sel(monotone, r1, none);
    const D left_gap = m - d_l;
    const D right_gap = d_r - m;
    D r2 = max_num(vabs((d_r - d_l) / right_gap), vabs((d_r - d_l) / left_gap));
    r2 = sel((vabs(left_gap) >= k::kMinNormal) & (vabs(right_gap) >= k::kMinNormal), r2,
             kPreferShape ? splat(k::kRcMax) : none);
    const D wrong_side = kPreferShape ? sel(monotone, k::kRcMax, none) : none;
    r2 = sel(convex | concave, r2, wrong_side);
    const D r = max_num(splat(k::kRcMin), max_num(r1, r2));
    return sel(~monotone & ~convex & ~concave, k::kRcMin, r);
  }

  // ---- erfcx (Cody), over slots --------------------------------------------

  // res[j] = erfcx_cody(arg[j]) for the slots of J.
  static void erfcx(State& S, const Jobs& J) {
    using namespace constants::cody;
    Jobs range1, reflect;
    each(J, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.arg, ix);
      const D y = vabs(x);
      const M small = y <= k::kSplitSmall;
      const M middle = ~small & (y <= k::kSplitMid);
      // A range's rational function is formed where some lane of the group is
      // in that range (NaN takes the last).
      D r1 = splat(0.0);
      if (any(small)) {  // |x| <= 0.46875
        const D w = sel(y > k::kXSmall, x * x, 0.0);
        D num = kA[4] * w;
        D den = w;
#pragma GCC unroll 16
        for (int i = 0; i < 3; ++i) {
          num = (num + kA[i]) * w;
          den = (den + kB[i]) * w;
        }
        r1 = (x * (num + kA[3])) / (den + kB[3]);
      }
      D r = splat(0.0);
      if (any(middle)) {  // 0.46875 < |x| <= 4
        D num = kC[8] * y;
        D den = y;
#pragma GCC unroll 16
        for (int i = 0; i < 7; ++i) {
          num = (num + kC[i]) * y;
          den = (den + kD[i]) * y;
        }
        r = (num + kC[7]) / (den + kD[7]);
      }
      const M large = ~(y <= k::kSplitMid);
      if (any(large)) {  // |x| > 4
        const D w3 = 1.0 / (x * x);
        D num = kP[5] * w3;
        D den = w3;
#pragma GCC unroll 16
        for (int i = 0; i < 4; ++i) {
          num = (num + kP[i]) * w3;
          den = (den + kQ[i]) * w3;
        }
        D r3 = (k::kInvSqrtPi - (w3 * (num + kP[4])) / (den + kQ[4])) / y;
        r3 = sel(y >= k::kXHuge, k::kInvSqrtPi / y, r3);
        r3 = sel(y >= k::kXMax, 0.0, r3);
        r = sel(large, r3, r);
      }
      const M negative = x < 0.0;
      // Range 1 leaves 1 - r for its exp(w) factor, a reflection erfcx(|x|).
      st(S.res, ix, sel(small, 1.0 - r1, sel(negative & (x < k::kXNeg), k::kXInf, r)));
      st_code(S.code, ix,
              small                          ? splat_m(1)
              : (negative & (x >= k::kXNeg)) ? splat_m(2)
                                             : splat_m(0));
    });
    for (std::size_t j = 0; j < J.n; ++j) {
      const Index i = J.idx[j];
      range1.add(i, S.code[i] == 1);
      reflect.add(i, S.code[i] == 2);
    }
    for (std::size_t j = 0; j < range1.n; ++j) {
      const Index i = range1.idx[j];
      const double x = S.arg[i];
      const double w = std::fabs(x) > k::kXSmall ? x * x : 0.0;
      S.res[i] = std::exp(w) * S.res[i];
    }
    // 2 exp(x^2) - erfcx(|x|), x^2 split at x truncated to a multiple of 1/16.
    for (std::size_t j = 0; j < reflect.n; ++j) {
      const Index i = reflect.idx[j];
      const double x = S.arg[i];
      const double xs = std::trunc(16.0 * x) / 16.0;
      const double d = (x - xs) * (x + xs);
      const double v = std::exp(xs * xs) * std::exp(d);
      S.res[i] = (v + v) - S.res[i];
    }
  }

  // ---- Phi with the tail series (norm_cdf_tail), over slots ----------------

  // res[j] = norm_cdf_tail(arg[j]) for the slots of J.
  static void norm_cdf_tail(State& S, const Jobs& J) {
    Jobs direct, series;
    each(J, [&](At ix) __attribute__((always_inline)) {
      const D z = ld(S.arg, ix);
      const M tail = z <= k::kTailThreshold;
      // Abramowitz and Stegun 26.2.12, two terms per iteration, for as long as
      // any lane's terms keep shrinking; a lane that stopped keeps its sum.
      D sum = splat(1.0);
      M active = tail & (z >= k::kTailCutoff);
      if (any(active)) {
        const D z2 = z * z;
        D i = splat(1.0);
        D g = splat(1.0);
        D last = splat(k::kMaxFinite);
        do {
          const D kk = 4.0 * i;
          const D xi = (kk - 3.0) / z2;
          const D yi = xi * ((kk - 1.0) / z2);
          const D a = g * (xi - yi);
          sum = sel(active, sum - a, sum);
          i = i + 1.0;
          g = g * yi;
          const M shrinking = (last > vabs(a)) & (vabs(a) >= vabs(sum * k::kNormalEpsilon));
          last = vabs(a);
          active = active & shrinking;
        } while (any(active));
      }
      st(S.aux, ix, sum);
      // Phi above the threshold: NaN, the infinities, else erfc.
      D v = sel(z > 0.0, 1.0, 0.0);
      v = sel(isnan(z), k::kQuietNaN, v);
      st(S.res, ix, v);
      const M plain = ~tail & isfinite(z);
      st_code(S.code, ix, tail ? splat_m(2) : (plain ? splat_m(1) : splat_m(0)));
    });
    for (std::size_t j = 0; j < J.n; ++j) {
      const Index i = J.idx[j];
      direct.add(i, S.code[i] == 1);
      series.add(i, S.code[i] == 2);
    }
    for (std::size_t j = 0; j < direct.n; ++j) {
      const Index i = direct.idx[j];
      S.res[i] = std::erfc(S.arg[i] * k::kMinusSqrtHalf) * 0.5;
    }
    for (std::size_t j = 0; j < series.n; ++j) {
      const Index i = series.idx[j];
      const double z = S.arg[i];
      double p = 0.0;  // norm_pdf(-inf)
      if (!std::isinf(z)) {
        double u = z * -0.5;
        u = z * u;
        p = std::exp(u) * tarvik::kInvSqrtTwoPi;
      }
      S.res[i] = (-(p * S.aux[i])) / z;
    }
  }

  // ---- the inverse normal distribution function (AS 241) -------------------

  // z[i] = inverse_norm_cdf(u[i]) for the elements of L.
  static void inverse_norm_cdf(State& S, const Set& L) {
    using namespace constants::as241;
    Set logs;
    // Both tails and the ends take a logarithm: of u below the centre, of
    // 1 - u above it (and for NaN).
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D u = ld(S.u, ix);
      const D q = u + -0.5;
      st(S.aux, ix, sel(q < 0.0, u, 1.0 - u));
      st(S.aux2, ix, splat(1.0));
      st_code(S.code, ix, vabs(q) <= k::kSplit1 ? splat_m(0) : splat_m(1));
    });
    for (std::size_t j = 0; j < L.n; ++j) logs.add(L.idx[j], S.code[L.idx[j]] == 1);
    for (std::size_t j = 0; j < logs.n; ++j) {
      const Index i = logs.idx[j];
      S.aux2[i] = std::log(S.aux[i]);
    }
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D u = ld(S.u, ix);
      const D lg = ld(S.aux2, ix);
      const D q = u + -0.5;
      // Central interval.
      const D rc = k::kConst1 - q * q;
      D n = splat(kA[7]);
      D d = splat(kB[7]);
#pragma GCC unroll 16
      for (int i = 6; i >= 0; --i) {
        n = n * rc + kA[i];
        d = d * rc + kB[i];
      }
      const D central = (q * n) / d;
      // Tails: r = sqrt(-log p), near (r < 5) or far.
      const D r = vsqrt(-lg);
      const M near = r < k::kSplit2;
      const D rr = sel(near, r - k::kConst2, r - k::kSplit2);
      n = sel(near, kC[7], splat(kE[7]));
      d = sel(near, kD[7], splat(kF[7]));
#pragma GCC unroll 16
      for (int i = 6; i >= 0; --i) {
        n = n * rr + sel(near, kC[i], splat(kE[i]));
        d = d * rr + sel(near, kD[i], splat(kF[i]));
      }
      const D v = n / d;
      D z = sel(q < 0.0, -v, v);
      z = sel(vabs(q) <= k::kSplit1, central, z);
      z = sel(u >= 1.0, -lg, z);
      z = sel(u <= 0.0, lg, z);
      st(S.z, ix, z);
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
      const M zero = s <= 0.0 * vabs(x);
      const M asymptotic = (x < s * k::kEta) & (x + s * t < s * k::kTauPlusEta);
      const M small_t = t < k::kTau;
      const M direct = x + s * t > s * k::kSplitHPlusT;
      const M code = zero         ? splat_m(kZero)
                     : asymptotic ? splat_m(kAsymptotic)
                     : small_t    ? splat_m(kSmallT)
                     : direct     ? splat_m(kDirect)
                                  : splat_m(kErfcx);
      st_code(S.code, ix, code);
      st(S.h, ix, h);
      st(S.t, ix, t);
      // The Gaussian factor's exponent, the same in every method.
      st(S.aux2, ix, (h * h + t * t) * -0.5);
      // Arguments of erfcx (small t: one; erfcx formula: two) or of Phi (direct: two).
      st(S.arg, ix,
         sel(small_t, h * k::kMinusSqrtHalf, sel(direct, h + t, (h + t) * k::kMinusSqrtHalf)));
      st_hi(S.arg, ix, sel(direct, h - t, (h - t) * k::kMinusSqrtHalf));
    });
    Set asymptotic, small_t, direct, erfcx_formula;
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      const std::uint8_t c = S.code[i];
      S.g[i] = std::exp(S.aux2[i]);
      asymptotic.add(i, c == kAsymptotic);
      small_t.add(i, c == kSmallT);
      direct.add(i, c == kDirect);
      erfcx_formula.add(i, c == kErfcx);
    }
    // erfcx of the small-t argument and of both erfcx-formula arguments; Phi
    // of both direct-formula arguments.
    Jobs erfcx_jobs, phi_jobs;
    erfcx_jobs.append(small_t, 0);
    erfcx_jobs.append(erfcx_formula, 0);
    erfcx_jobs.append(erfcx_formula, B);
    phi_jobs.append(direct, 0);
    phi_jobs.append(direct, B);
    asymptotic.pad();
    small_t.pad();
    direct.pad();
    erfcx_formula.pad();
    erfcx_jobs.pad();
    phi_jobs.pad();
    if (erfcx_jobs.n) erfcx(S, erfcx_jobs);
    if (phi_jobs.n) norm_cdf_tail(S, phi_jobs);

    // Asymptotic expansion: h < eta and h + t < tau + eta.
    each(asymptotic, [&](At ix) __attribute__((always_inline)) {
      using namespace constants::asymptotic;
      const D h = ld(S.h, ix);
      const D t = ld(S.t, ix);
      const D r = (h + t) * (h - t);
      const D u = h / r;
      const D q = u * u;
      const D v = t / h;
      const D e = v * v;
      D T = horner(kP17, e);
      T = horner(kP16, e) + (33.0 * q) * T;
      T = horner(kP15, e) + (31.0 * q) * T;
      T = horner(kP14, e) + (29.0 * q) * T;
      T = horner(kP13, e) + (27.0 * q) * T;
      T = horner(kP12, e) + (25.0 * q) * T;
      T = horner(kP11, e) + (23.0 * q) * T;
      T = horner(kP10, e) + (21.0 * q) * T;
      T = horner(kP9, e) + (19.0 * q) * T;
      T = horner(kP8, e) + (17.0 * q) * T;
      T = horner(kP7, e) + (15.0 * q) * T;
      T = horner(kP6, e) + (13.0 * q) * T;
      T = horner(kP5, e) + (11.0 * q) * T;
      T = horner(kP4, e) + (9.0 * q) * T;
      T = horner(kP3, e) + (7.0 * q) * T;
      T = horner(kP2, e) + (5.0 * q) * T;
      T = horner(kP1, e) + (3.0 * q) * T;
      const D Sum = 2.0 + q * T;
      const D gaussian = ld(S.g, ix);
      st(S.bb, ix, ((t / r) * (gaussian * k::kInvSqrtTwoPi)) * Sum);
    });

    // Small-t expansion: t < tau.
    each(small_t, [&](At ix) __attribute__((always_inline)) {
      const D h = ld(S.h, ix);
      const D t = ld(S.t, ix);
      const D a = (h * k::kSqrtHalfPi) * ld(S.res, ix) + 1.0;
      const D w = t * t;
      const D h2 = h * h;
      const D ah2 = a * h2;
      const D n1 = ah2 + (3.0 * a + -1.0);
      const D n2 = (15.0 * a + -7.0) + h2 * (ah2 + (10.0 * a + -1.0));
      const D n3 =
          (105.0 * a + -57.0) + h2 * ((105.0 * a + -18.0) + h2 * (ah2 + (21.0 * a + -1.0)));
      const D n4 =
          (945.0 * a + -561.0) + h2 * ((1260.0 * a + -285.0) +
                                       h2 * ((378.0 * a + -33.0) + h2 * (ah2 + (36.0 * a + -1.0))));
      const D n5 = (10395.0 * a + -6555.0) +
                   h2 * ((17325.0 * a + -4680.0) +
                         h2 * ((6930.0 * a + -840.0) +
                               h2 * ((990.0 * a + -52.0) + h2 * (ah2 + (55.0 * a + -1.0)))));
      const D n6 =
          (135135.0 * a + -89055.0) +
          h2 * ((270270.0 * a + -82845.0) +
                h2 * ((135135.0 * a + -20370.0) +
                      h2 * ((25740.0 * a + -1926.0) +
                            h2 * ((2145.0 * a + -75.0) + h2 * (ah2 + (78.0 * a + -1.0))))));
      const D E =
          (t + t) *
          (a + w * (n1 / 6.0 +
                    w * (n2 / 120.0 +
                         w * (n3 / 5040.0 + w * (n4 / 362880.0 + w * (n5 / 39916800.0 +
                                                                      (w * n6) / 6227020800.0))))));
      const D gaussian = ld(S.g, ix);
      st(S.bb, ix, (gaussian * k::kInvSqrtTwoPi) * E);
    });

    // Direct formula: h + t > 0.85.
    each(direct, [&](At ix) __attribute__((always_inline)) {
      const D p1 = ld(S.res, ix);
      const D p2 = ld_hi(S.res, ix);
      const D b = ld(S.bmax, ix);
      st(S.bb, ix, b * p1 - p2 / b);
    });

    // The erfcx formula elsewhere.
    each(erfcx_formula, [&](At ix) __attribute__((always_inline)) {
      const D f = ld(S.g, ix) * 0.5;
      st(S.bb, ix, f * (ld(S.res, ix) - ld_hi(S.res, ix)));
    });

    // b >= 0 (+0 where s <= 0), and the vega from the same Gaussian factor
    // (x = 0 below).
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(sv, ix);
      const D b = ld(S.bb, ix);
      st(bo, ix, sel((b > 0.0) & ~(s <= 0.0 * vabs(x)), b, 0.0));
      const M vanishing = (s <= 0.0) | (s <= vabs(x) * k::kSqrtMinNormal);
      st(vo, ix, sel(vanishing, 0.0, k::kInvSqrtTwoPi * ld(S.g, ix)));
    });
    if (!S.any_x_zero) return;
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      if (S.x[i] != 0.0) continue;
      const double s = sv[i];
      vo[i] = k::kInvSqrtTwoPi * std::exp(s * (s * -0.125));
    }
  }

  // Horner's rule from the highest power down.
  template <std::size_t N, std::size_t... I>
  [[gnu::always_inline]] static D horner(const double (&c)[N], D e, std::index_sequence<I...>) {
    D p = splat(c[N - 1]);
    ((p = p * e + c[N - 2 - I]), ...);
    return p;
  }
  template <std::size_t N>
  [[gnu::always_inline]] static D horner(const double (&c)[N], D e) {
    return horner(c, e, std::make_index_sequence<N - 1>{});
  }

  // ---- the solver (rational/inverse.cpp) -----------------------------------

  // Lowest region, 0 < beta < b_l: the low-price transform at s_l,
  // interpolated on [0, b_l] and inverted.
  static void lowest_region(State& S, const Set& L) {
    Jobs phi;
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(S.s2, ix);
      const D a = vabs(x);
      const D z = a * k::kInvSqrtThree / s;
      const D y = z * z;
      const D s2 = s * s;
      st(S.arg, ix, -z);
      st(S.e1, ix, y * -0.5);
      st(S.e2, ix, y + s2 * 0.125);
      st(S.e3, ix, (y + y) + s2 * 0.25);
    });
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      S.e1[i] = std::exp(S.e1[i]);
      S.e2[i] = std::exp(S.e2[i]);
      S.e3[i] = std::exp(S.e3[i]);
      phi.add(i, true);
    }
    phi.pad();
    norm_cdf_tail(S, phi);
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(S.s2, ix);
      const D b_l = ld(S.b2, ix);
      const D beta = ld(S.beta, ix);
      const D a = vabs(x);
      const D z = a * k::kInvSqrtThree / s;
      const D y = z * z;
      const D phi_cdf = ld(S.res, ix);
      const D phi_pdf = ld(S.e1, ix) * k::kInvSqrtTwoPi;
      const D s2 = s * s;
      D value = sel(a < k::kMinNormal, 0.0, a * k::kTwoPiOverSqrt27 * phi_cdf * phi_cdf * phi_cdf);
      const M tiny_s = vabs(s) < k::kMinNormal;
      const D first = sel(tiny_s, 1.0, k::kTwoPi * y * phi_cdf * phi_cdf * ld(S.e2, ix));
      value = sel(tiny_s, 0.0, value);
      const D second = k::kPiOverSix * y / (s * s2) * phi_cdf *
                       (k::kEightSqrtThree * s * a +
                        (3.0 * s2 * (s2 - 8.0) - 8.0 * (x * x)) * phi_cdf / phi_pdf) *
                       ld(S.e3, ix);
      // control_for_right_curvature(0, b_l, 0, value, 1, first, second)
      const D zero = splat(0.0);
      const D one = splat(1.0);
      const D h = b_l - zero;
      const D m = (value - zero) / h;
      const D r = max_num(curvature_control(0.5 * h * second + (first - one), first - m),
                          shape_control_minimum<true>(one, first, value / b_l));
      D f = rational_cubic(beta, zero, b_l, zero, value, one, first, r);
      const D t = beta / b_l;
      f = sel(f > 0.0, f, t * (b_l * (1.0 - t) + t * value));
      st(S.e1, ix, f);
      st(S.u, ix, f / (k::kTwoPiOverSqrt27 * a));
    });
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      S.u[i] = std::pow(S.u[i], k::kOneThird);
      S.lnbeta[i] = std::log(S.beta[i]);
    }
    inverse_norm_cdf(S, L);
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D f = ld(S.e1, ix);
      const D s0 = vabs(x / (k::kSqrtThree * ld(S.z, ix)));
      st(S.s, ix, sel(vabs(f) < k::kMinNormal, 0.0, s0));
      st(S.sl, ix, splat(k::kMinNormal));
      st(S.sr, ix, ld(S.s2, ix));
    });
    for (std::size_t j = 0; j < L.n; ++j) S.obj[L.idx[j]] = kReciprocalLog;
  }

  // Highest region, b_h < beta < b_max: the high-price transform at s_h,
  // interpolated on [b_h, b_max] and inverted.
  static void highest_region(State& S, const Set& L) {
    Jobs phi;
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(S.s2, ix);
      const D w = (x / s) * (x / s);
      st(S.arg, ix, -s * 0.5);
      st(S.e1, ix, 0.5 * w);
      st(S.e2, ix, w + s * s * 0.125);
    });
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      S.e1[i] = std::exp(S.e1[i]);
      S.e2[i] = std::exp(S.e2[i]);
      phi.add(i, true);
    }
    phi.pad();
    norm_cdf_tail(S, phi);
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(S.s2, ix);
      const D b_h = ld(S.b2, ix);
      const D b_max = ld(S.bmax, ix);
      const D beta = ld(S.beta, ix);
      const D value = ld(S.res, ix);
      const D w = (x / s) * (x / s);
      const M tiny_x = vabs(x) < k::kMinNormal;
      const D first = sel(tiny_x, -0.5, -0.5 * ld(S.e1, ix));
      const D second = sel(tiny_x, 0.0, k::kSqrtHalfPi * ld(S.e2, ix) * w / s);
      const D zero = splat(0.0);
      const D half = splat(-0.5);
      // control_for_left_curvature(b_h, b_max, value, 0, first, -1/2, second)
      const D hc = b_max - b_h;
      const D m = (zero - value) / hc;
      const D r = max_num(curvature_control(0.5 * hc * second + (half - first), m - first),
                          shape_control_minimum<true>(first, half, (0.0 - value) / (b_max - b_h)));
      D f = rational_cubic(beta, b_h, b_max, value, zero, first, half, r);
      f = sel(vabs(second) < k::kSqrtMaxFinite, f, -k::kMaxFinite);
      const D hq = b_max - b_h;
      const D t = (beta - b_h) / hq;
      f = sel(f <= 0.0, (1.0 - t) * (0.5 * hq * t + (1.0 - t) * value), f);
      st(S.u, ix, f);
    });
    inverse_norm_cdf(S, L);
    each(L, [&](At ix) __attribute__((always_inline)) {
      st(S.s, ix, -2.0 * ld(S.z, ix));
      st(S.sl, ix, ld(S.s2, ix));
      st(S.sr, ix, splat(k::kMaxFinite));
    });
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      S.obj[i] = S.beta[i] <= 0.5 * S.bmax[i] ? kPlain : kLogGap;
    }
  }

  // The two middle regions: s itself interpolated on [b_l, b_c] or [b_c, b_h].
  static void middle_regions(State& S, const Set& L) {
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D beta = ld(S.beta, ix);
      const D s_c = ld(S.sc, ix);
      const D b_c = ld(S.bc, ix);
      const D v_c = ld(S.vc, ix);
      const D s_2 = ld(S.s2, ix);
      const D b_2 = ld(S.b2, ix);
      const D v_2 = ld(S.v2, ix);
      const M lower = beta < b_c;
      const D x_l = sel(lower, b_2, b_c);
      const D x_r = sel(lower, b_c, b_2);
      const D y_l = sel(lower, s_2, s_c);
      const D y_r = sel(lower, s_c, s_2);
      const D d_l = 1.0 / sel(lower, v_2, v_c);
      const D d_r = 1.0 / sel(lower, v_c, v_2);
      // control_for_right_curvature below b_c, control_for_left_curvature above,
      // both with zero curvature.
      const D h = x_r - x_l;
      const D m = (y_r - y_l) / h;
      const D numerator = 0.5 * h * 0.0 + (d_r - d_l);
      const D r = max_num(curvature_control(numerator, sel(lower, d_r - m, m - d_l)),
                          shape_control_minimum<false>(d_l, d_r, (y_r - y_l) / (x_r - x_l)));
      st(S.s, ix, rational_cubic(beta, x_l, x_r, y_l, y_r, d_l, d_r, r));
      st(S.sl, ix, y_l);
      st(S.sr, ix, y_r);
    });
    for (std::size_t j = 0; j < L.n; ++j) S.obj[L.idx[j]] = kPlain;
  }

  // ---- Householder refinement (rational/householder.cpp) -------------------

  [[gnu::always_inline]] static D householder_step(D nu, D eta, D kappa) {
    const D numerator = eta * 0.5 * nu + 1.0;
    const D denominator = nu * (eta + (nu * kappa) / 6.0) + 1.0;
    return nu * (numerator / denominator);
  }

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
      const M shrink_left = ~shrink_right & (b < beta) & (s > s_left);
      s_right = sel(shrink_right, s, s_right);
      s_left = sel(shrink_left, s, s_left);
      st(S.sr, ix, s_right);
      st(S.sl, ix, s_left);
      const M obj = ld_code(S.obj, ix);
      const M bisect_rl = (b <= 0.0) | (vega <= 0.0);
      const M bisect_plain = ~((vega > 0.0) & (vega < k::kInf));
      const M bisect_lg = (b >= b_max) | (vega <= k::kMinNormal);
      const M reciprocal_log = obj == splat_m(kReciprocalLog);
      const M bisect = reciprocal_log           ? bisect_rl
                       : obj == splat_m(kPlain) ? bisect_plain
                                                : bisect_lg;
      st(S.ds, ix, 0.5 * (s_left + s_right) - s);
      // The logarithm each objective's step takes: ln b, or ln((b_max - beta)/(b_max - b)).
      st(S.aux, ix, sel(reciprocal_log, b, (b_max - beta) / (b_max - b)));
      st_code(S.code, ix, bisect ? splat_m(3) : obj);
    });
    Set reciprocal_log, plain, log_gap;
    for (std::size_t j = 0; j < P.n; ++j) {
      const Index i = P.idx[j];
      const std::uint8_t c = S.code[i];
      reciprocal_log.add(i, c == kReciprocalLog);
      plain.add(i, c == kPlain);
      log_gap.add(i, c == kLogGap);
    }
    for (std::size_t j = 0; j < reciprocal_log.n; ++j) {
      const Index i = reciprocal_log.idx[j];
      S.aux[i] = std::log(S.aux[i]);
    }
    for (std::size_t j = 0; j < log_gap.n; ++j) {
      const Index i = log_gap.idx[j];
      S.aux[i] = std::log(S.aux[i]);
    }
    reciprocal_log.pad();
    plain.pad();
    log_gap.pad();
    // g = b - beta.
    each(plain, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(S.s, ix);
      const D h = x / s;
      const D eta_b = (h * h) / s + s * -0.25;
      const D xs2 = x / (s * s);
      const D nu = (ld(S.beta, ix) - ld(S.b, ix)) / ld(S.vega, ix);
      const D kappa = eta_b * eta_b + (xs2 * xs2) * -3.0 + -0.25;
      st(S.ds, ix, householder_step(nu, eta_b, kappa));
    });
    // g = 1/ln b - 1/ln beta.
    each(reciprocal_log, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(S.s, ix);
      const D h = x / s;
      const D eta_b = (h * h) / s + s * -0.25;
      const D hs = h / s;
      const D ln_b = ld(S.aux, ix);
      const D ln_beta = ld(S.lnbeta, ix);
      const D rho = ld(S.vega, ix) / ld(S.b, ix);
      const D nu = (ln_b * (ln_beta - ln_b) / ln_beta) / rho;
      const D one_plus_two_over_l = 1.0 + 2.0 / ln_b;
      const D eta = eta_b - one_plus_two_over_l * rho;
      const D kappa = (eta_b * eta_b - 3.0 * (hs * hs) - 0.25) +
                      ((3.0 / ln_b) * (1.0 / ln_b + 1.0) + 1.0) * (rho * rho + rho * rho) -
                      one_plus_two_over_l * ((3.0 * eta_b) * rho);
      st(S.ds, ix, householder_step(nu, eta, kappa));
    });
    // g = ln((b_max - beta)/(b_max - b)).
    each(log_gap, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D s = ld(S.s, ix);
      const D h = x / s;
      const D eta_b = (h * h) / s + s * -0.25;
      const D xs2 = x / (s * s);
      const D gap = ld(S.bmax, ix) - ld(S.b, ix);
      const D g = ld(S.aux, ix);
      const D gamma = ld(S.vega, ix) / gap;
      const D nu = -g / gamma;
      const D eta = eta_b + gamma;
      const D kappa =
          (eta_b * eta_b - (xs2 * xs2) * 3.0 - 0.25) + gamma * (3.0 * eta_b + (gamma + gamma));
      st(S.ds, ix, householder_step(nu, eta, kappa));
    });
    each(P, [&](At ix) __attribute__((always_inline)) {
      const D s = ld(S.s, ix);
      const D ds = max_num(ld(S.ds, ix), -0.5 * s);
      st(S.ds, ix, ds);
      st(S.s, ix, s + ds);
    });
  }

  // At most two steps from s0 = s[i] for the elements of A.
  static void refine(State& S, const Set& A) {
    // The first step is taken unless s0 is +inf or NaN (|ds| = -inf starts).
    Set first;
    each(A, [&](At ix) __attribute__((always_inline)) {
      const D s = ld(S.s, ix);
      st_code(S.code, ix, k::kMaxFinite > k::kEpsilon * s);
    });
    for (std::size_t j = 0; j < A.n; ++j) first.add(A.idx[j], S.code[A.idx[j]] != 0);
    first.pad();
    if (first.n == 0) return;
    refinement_pass(S, first);
    // The second unless the first was below eps s; from the midpoint of the
    // bracket if s has left it, and not at all if the bracket is that narrow.
    Set second;
    each(first, [&](At ix) __attribute__((always_inline)) {
      D s = ld(S.s, ix);
      const D s_left = ld(S.sl, ix);
      const D s_right = ld(S.sr, ix);
      const M go = vabs(ld(S.ds, ix)) > k::kEpsilon * s;
      const M outside = go & ~((s_left < s) & (s < s_right));
      s = sel(outside, 0.5 * (s_left + s_right), s);
      st(S.s, ix, s);
      const M done = outside & (s_right - s_left <= k::kEpsilon * s);
      st_code(S.code, ix, go & ~done);
    });
    for (std::size_t j = 0; j < first.n; ++j) second.add(first.idx[j], S.code[first.idx[j]] != 0);
    second.pad();
    if (second.n) refinement_pass(S, second);
  }

  // s[i] = unchecked_normalised_implied_volatility(beta[i], x[i], q[i]) for
  // the elements of L; beta, x are reduced in place.
  static void solve(State& S, const Set& L) {
    // Reduction to an out-of-the-money call, and b_max = exp(x/2).
    Set exp_intrinsic;
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D q = ld(S.q, ix);
      const M itm = x * q > 0.0;
      const D xr = sel(itm ? q > 0.0 : q < 0.0, -x, x);
      const D y = x * x;
      D u = y / 92897280.0 + 3.1001984126984127e-06;
      u = y * u + 0.00052083333333333333;
      u = y * u + 0.041666666666666664;
      u = y * u + 1.0;
      const M taylor = y < rational::kIntrinsicTaylorLimit;
      st(S.e2, ix, x * u);
      st(S.e1, ix, 0.5 * x);
      st(S.bmax, ix, xr * 0.5);
      st(S.z, ix, xr);
      st_code(S.code, ix, itm & ~taylor);
    });
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      exp_intrinsic.add(i, S.code[i] != 0);
      S.bmax[i] = std::exp(S.bmax[i]);
    }
    for (std::size_t j = 0; j < exp_intrinsic.n; ++j) {
      const Index i = exp_intrinsic.idx[j];
      S.e1[i] = std::exp(S.e1[i]);
    }
    for (std::size_t j = 0; j < L.n; ++j) {
      // normalised_intrinsic: the series, or B + (-1/B) with B = exp(x/2).
      const Index i = L.idx[j];
      if (S.code[i] != 0) S.e2[i] = S.e1[i] + (-1.0 / S.e1[i]);
    }
    Set A;
    each(L, [&](At ix) __attribute__((always_inline)) {
      const D x = ld(S.x, ix);
      const D q = ld(S.q, ix);
      D beta = ld(S.beta, ix);
      const M itm = x * q > 0.0;
      D iota = ld(S.e2, ix);
      iota = sel(q < 0.0, -iota, iota);
      iota = max_num(iota, 0.0);
      beta = sel(itm, max_num(beta - iota, 0.0), beta);
      const D xr = ld(S.z, ix);
      const D b_max = ld(S.bmax, ix);
      st(S.beta, ix, beta);
      st(S.x, ix, xr);
      const M none = beta <= 0.0;
      const M top = ~none & (beta >= b_max);
      // A subnormal price: no volatility, as in the scalar solver.
      const M tiny = ~none & ~top & (beta < k::kMinNormal);
      st(S.s, ix, sel(none, 0.0, sel(tiny, k::kQuietNaN, k::kMaxFinite)));
      st(S.sc, ix, vsqrt(vabs(xr + xr)));
      st_code(S.code, ix, ~none & ~top & ~tiny);
    });
    S.any_x_zero = false;
    for (std::size_t j = 0; j < L.n; ++j) {
      const Index i = L.idx[j];
      A.add(i, S.code[i] != 0);
      S.any_x_zero = S.any_x_zero || S.x[i] == 0.0;
    }
    A.pad();
    if (A.n == 0) return;
    __builtin_memset(S.bb, 0, sizeof S.bb);  // no method writes the lanes with s <= 0

    // The central branch point, then s_l below it or s_h above it.
    black_and_vega(S, A, S.sc, S.bc, S.vc);
    each(A, [&](At ix) __attribute__((always_inline)) {
      const D beta = ld(S.beta, ix);
      const D s_c = ld(S.sc, ix);
      const D b_c = ld(S.bc, ix);
      const D v_c = ld(S.vc, ix);
      const D s_l = s_c - b_c / v_c;
      const D s_h = sel(v_c > k::kMinNormal, s_c + (ld(S.bmax, ix) - b_c) / v_c, s_c);
      st(S.s2, ix, sel(beta < b_c, s_l, s_h));
    });
    black_and_vega(S, A, S.s2, S.b2, S.v2);
    enum : std::int64_t { kMiddle, kLowest, kHighest };
    each(A, [&](At ix) __attribute__((always_inline)) {
      const D beta = ld(S.beta, ix);
      const D b_2 = ld(S.b2, ix);
      const M lower = beta < ld(S.bc, ix);
      const M lowest = lower & (beta < b_2);
      const M highest = ~lower & (beta > b_2);
      st_code(S.code, ix,
              lowest    ? splat_m(kLowest)
              : highest ? splat_m(kHighest)
                        : splat_m(kMiddle));
    });
    Set middle, lowest, highest;
    for (std::size_t j = 0; j < A.n; ++j) {
      const Index i = A.idx[j];
      const std::uint8_t c = S.code[i];
      middle.add(i, c == kMiddle);
      lowest.add(i, c == kLowest);
      highest.add(i, c == kHighest);
    }
    middle.pad();
    lowest.pad();
    highest.pad();
    if (middle.n) middle_regions(S, middle);
    if (lowest.n) lowest_region(S, lowest);
    if (highest.n) highest_region(S, highest);
    refine(S, A);
  }

  // ---- front ends (implied_volatility.cpp) ---------------------------------

  static void identity(Set& all, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) all.idx[i] = static_cast<Index>(i);
    all.n = n;
    all.pad();
  }

  static void implied_volatility(const double* price, const double* forward, const double* strike,
                                 const double* maturity, const std::uint8_t* is_call, std::size_t n,
                                 double* out) {
    if (n == 0) return;
    const std::unique_ptr<State> state(new (std::nothrow) State);
    if (!state) {
      detail::implied_volatility_elements(price, forward, strike, maturity, is_call, n, out);
      return;
    }
    State& S = *state;
    Set all, valid;
    identity(all, n);
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D p = ld(price, ix);
      const D f = ld(forward, ix);
      const D kk = ld(strike, ix);
      const D T = ld(maturity, ix);
      const M call = ld_flag(is_call, ix);
      M ok = isfinite(p) & isfinite(f) & isfinite(kk) & isfinite(T);
      ok = ok & (f > 0.0) & (kk > 0.0) & (T > 0.0);
      const D intrinsic = max_num(sel(call, f - kk, kk - f), 0.0);
      const D maximum = sel(call, f, kk);
      ok = ok & ~(p < intrinsic) & ~(p >= maximum);
      st(S.beta, ix, p / (vsqrt(f) * vsqrt(kk)));
      st(S.q, ix, sel(call, 1.0, -1.0));
      st(S.s, ix, splat(0.0));
      st_code(S.ok, ix, ok);
    });
    // x = ln F - ln K; a forward or strike equal to the previous element's
    // reuses its logarithm (the same call on the same operand).
    std::uint64_t last_f = 0, last_k = 0;
    double ln_f = std::log(0.0), ln_k = ln_f;
    for (std::size_t i = 0; i < n; ++i) {
      const bool ok = S.ok[i] != 0;
      valid.add(i, ok);
      if (!ok) continue;
      std::uint64_t bits_f, bits_k;
      __builtin_memcpy(&bits_f, forward + i, 8);
      __builtin_memcpy(&bits_k, strike + i, 8);
      if (bits_f != last_f) {
        ln_f = std::log(forward[i]);
        last_f = bits_f;
      }
      if (bits_k != last_k) {
        ln_k = std::log(strike[i]);
        last_k = bits_k;
      }
      S.x[i] = ln_f - ln_k;
    }
    valid.pad();
    if (valid.n) solve(S, valid);
    // A price that rounding put at its maximum gives the largest double: that,
    // or anything not finite, failed; otherwise max(s/sqrt(T), 0).
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D s = ld(S.s, ix);
      const D T = ld(maturity, ix);
      const M ok = ld_code(S.ok, ix) != 0;
      const M failed = ~ok | (s == k::kMaxFinite) | ~isfinite(s);
      const D v = max_num(s / vsqrt(T), 0.0);
      const D r = sel(failed, k::kQuietNaN, v);
      st(out, ix, r);
    });
  }

  static void normalised_implied_volatility(const double* beta, const double* x,
                                            const std::uint8_t* is_call, std::size_t n,
                                            double* out) {
    if (n == 0) return;
    const std::unique_ptr<State> state(new (std::nothrow) State);
    if (!state) {
      detail::normalised_implied_volatility_elements(beta, x, is_call, n, out);
      return;
    }
    State& S = *state;
    Set all, valid, exp_intrinsic;
    identity(all, n);
    // The intrinsic value of an in-the-money option and the maximum exp(+-x/2).
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D b = ld(beta, ix);
      const D xx = ld(x, ix);
      const M call = ld_flag(is_call, ix);
      const M finite = isfinite(b) & isfinite(xx);
      const M itm = (call & (xx > 0.0)) | (~call & (xx < 0.0));
      const D y = xx * xx;
      D u = y / 92897280.0 + 3.1001984126984127e-06;
      u = y * u + 0.00052083333333333333;
      u = y * u + 0.041666666666666664;
      u = y * u + 1.0;
      st(S.e2, ix, xx * u);
      st(S.e1, ix, 0.5 * xx);
      st(S.e3, ix, xx * sel(call, 0.5, -0.5));
      st(S.beta, ix, b);
      st(S.x, ix, xx);
      st(S.q, ix, sel(call, 1.0, -1.0));
      st(S.s, ix, splat(0.0));
      st_code(S.code, ix,
              finite ? (itm & ~(y < rational::kIntrinsicTaylorLimit) ? splat_m(3)
                        : itm                                        ? splat_m(2)
                                                                     : splat_m(1))
                     : splat_m(0));
    });
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t c = S.code[i];
      if (c == 0) continue;
      S.e3[i] = std::exp(S.e3[i]);
      if (c == 3) {
        const double e = std::exp(S.e1[i]);
        S.e2[i] = e + (-1.0 / e);
      }
    }
    each(all, [&](At ix) __attribute__((always_inline)) {
      const D b = ld(S.beta, ix);
      const M c = ld_code(S.code, ix);
      const M itm = c >= 2;
      const D ni = ld(S.e2, ix);
      const D q = ld(S.q, ix);
      const D intrinsic = sel(itm, max_num(sel(q > 0.0, ni, -ni), 0.0), 0.0);
      const M ok = (c != 0) & ~(b < intrinsic) & ~(b >= ld(S.e3, ix));
      st_code(S.ok, ix, ok);
    });
    for (std::size_t i = 0; i < n; ++i) valid.add(i, S.ok[i] != 0);
    valid.pad();
    if (valid.n) solve(S, valid);
    for (std::size_t i = 0; i < n; ++i) out[i] = S.ok[i] != 0 ? S.s[i] : k::kQuietNaN;
  }
};

}  // namespace
}  // namespace tarvik::lanes
