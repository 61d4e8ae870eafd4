// The proof by testing of tarvik's correctly rounded functions: each result
// against MPFR's correctly rounded one (the same precision and exponent
// range as binary64, subnormals included), scalar and in four vector lanes,
// over
//   bits     doubles uniform in their bit patterns (every sign and exponent),
//   values   doubles drawn over the function's interesting range,
//   near     x = RN(f^-1(m)) for midpoints m between RN(f(x0)) and the next
//            double, x0 drawn as for `values` and at every scale: f(x) is
//            within some ulps of x of a midpoint,
//   tiny     (expm1, log1p) x = +-M 2^(q-52), q in [-53, -30], M nearest to
//            sqrt((j + 1/2) 2^(53-q)): x^2/2 lies within some 2^(q-0.5) ulps
//            of an odd multiple of ulp(x)/2, so f(x) = x +- x^2/2 + x^3/6 ...
//            lies near a midpoint, 2^-(53+80) relative and nearer for q < -40,
//   special  +-0, subnormals, the thresholds and their neighbours, +-inf,
//            NaN,
//   resort   the last resort alone (scalar) on a fiftieth of the count of
//            fast-path arguments, since the rounding test sends it few;
// and, with --error, the largest relative error of the fast path's
// double-double before its rounding test, which the test's bound must
// exceed. With --range A B, the `values` set and the fast path's arguments
// (`near`, `resort`, the error measures) are drawn uniform in [A, B], and
// the `bits` set and atan2 are left out: a dense check of one part of the
// domain, such as the part a change touched. Each function of one argument
// is one entry of the table in functions(); atan2 has a section of its own
// (check_atan2: the same sets over pairs, `near` through y = x tan(m),
// `special` every pair of special values). Exits 1 on any misrounded result.
//
//   correct_rounding [--count N] [--seed S] [--error] [--only NAME] [--range A B]
#include <mpfr.h>
#if defined(TARVIK_QUADMATH)
#include <quadmath.h>
#endif

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "special/asinh.hpp"
#include "special/atan2.hpp"
#include "special/cbrt.hpp"
#include "special/erfc.hpp"
#include "special/exp.hpp"
#include "special/expm1.hpp"
#include "special/hyperbolic.hpp"
#include "special/log.hpp"
#include "special/log1p.hpp"
#include "special/trig.hpp"

namespace {

using namespace tarvik::rational;
using Lanes = double __attribute__((vector_size(32)));
using Rng = std::mt19937_64;
using MpfrFn = int (*)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);

constexpr double kInf = __builtin_inf();

// The fast path's double-double 2^scale (hi + lo) before the rounding test,
// and the relative error bound its test takes for this argument where that
// is not the function's one bound (log's next to 1; 0 elsewhere).
struct Reduced {
  double hi, lo;
  long scale;
  double bound = 0.0;
};

struct Function {
  const char* name;
  MpfrFn mpfr, inverse;            // f and f^-1 in MPFR
  double (*libc)(double);          // the C library's, for comparison
  double (*scalar)(double);        // ours
  Lanes (*lanes)(Lanes);           // ours, four lanes
  Lanes (*fast)(Lanes, Mask<Lanes>&);  // the fast path and its test
  double (*values)(Rng&);          // the `values` set's distribution
  double (*fast_arg)(Rng&);        // arguments the fast path takes
  Reduced (*reduced)(double);      // the fast path before its test
  double (*last_resort)(double);   // the fixed-point method alone
  double test_error;               // its test's bound
  bool tiny_series;                // f(x) = x +- x^2/2 + ... (the `tiny` set)
  std::vector<double> specials;
  long slower = 1;                 // MPFR's own cost: unscreened sets and the
                                   // error measures run count / slower
  // A cheaper reference, where there is one: f(x) rounded to double, and
  // whether that rounding is certain (the screen's value is farther than
  // kScreenError of itself from a midpoint); its value's relative error.
  double (*screen)(double x, bool& certain) = nullptr;
  double (*screen_error)(double x, mpfr_ptr exact) = nullptr;
  Reduced (*quick)(double) = nullptr;  // a cheaper first stage, if any,
  double quick_error = 0.0;            // and its test's bound
#if defined(TARVIK_QUADMATH)
  // f(x) in binary128, where its error (measured against MPFR by --error)
  // is far below the stages': their errors are then measured against it,
  // at the full count.
  __float128 (*exact)(double) = nullptr;
#endif
};

struct Tally {
  long tried = 0, scalar_wrong = 0, lanes_wrong = 0, libc_wrong = 0;
};

class Reference {
 public:
  Reference() {
    mpfr_set_emin(-1073);
    mpfr_set_emax(1024);
    mpfr_init2(x_, 53);
    mpfr_init2(y_, 53);
  }
  ~Reference() {
    mpfr_clear(x_);
    mpfr_clear(y_);
  }
  double operator()(MpfrFn f, double x) {
    mpfr_set_d(x_, x, MPFR_RNDN);
    const int t = f(y_, x_, MPFR_RNDN);
    mpfr_subnormalize(y_, t, MPFR_RNDN);
    return mpfr_get_d(y_, MPFR_RNDN);
  }

 private:
  mpfr_t x_, y_;
};

bool same(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

// The correctly rounded f(x): the screen's where it is certain and every one
// of ours agrees with it, MPFR's otherwise.
double reference(const Function& f, Reference& ref, double x, std::initializer_list<double> ours) {
  bool certain = false;
  const double screened = f.screen ? f.screen(x, certain) : 0.0;
  if (certain) {
    for (double v : ours) certain = certain && same(v, screened);
  }
  return certain ? screened : ref(f.mpfr, x);
}

void check(const Function& f, const std::vector<double>& xs, Reference& ref, Tally& tally) {
  for (std::size_t i = 0; i < xs.size(); i += 4) {
    Lanes v = {0, 0, 0, 0};
    const std::size_t n = std::min<std::size_t>(4, xs.size() - i);
    for (std::size_t k = 0; k < n; ++k) v[k] = xs[i + k];
    const Lanes lanes = f.lanes(v);
    for (std::size_t k = 0; k < n; ++k) {
      const double x = xs[i + k], got = f.scalar(x), libc = f.libc(x);
      // (The C library's count, for comparison only, trusts a certain screen.)
      const double want = reference(f, ref, x, {got, lanes[k]});
      ++tally.tried;
      if (!same(got, want)) {
        if (++tally.scalar_wrong <= 10) {
          std::printf("  misrounded %s(%a): %a, not %a\n", f.name, x, got, want);
        }
      }
      if (!same(lanes[k], want)) ++tally.lanes_wrong;
      if (!same(libc, want)) ++tally.libc_wrong;
    }
  }
}

// The specials and their two neighbours.
std::vector<double> with_neighbours(std::vector<double> v) {
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isfinite(v[i])) {
      v.push_back(std::nextafter(v[i], kInf));
      v.push_back(std::nextafter(v[i], -kInf));
    }
  }
  return v;
}

// x = RN(f^-1(m)) for m the midpoint of RN(f(x0)) and the next double up.
std::vector<double> near_midpoints(const Function& f, Rng& g, long count) {
  std::vector<double> xs;
  mpfr_t a, m, l;
  mpfr_init2(a, 53);
  mpfr_init2(m, 64);
  mpfr_init2(l, 53);
  for (long i = 0; i < count; ++i) {
    const double x0 = i % 2 ? f.values(g) : f.fast_arg(g);
    // Any double next to f(x0) will do: its midpoint with the next is one.
    bool certain = false;
    mpfr_set_d(a, x0, MPFR_RNDN);
    if (!f.screen) f.mpfr(l, a, MPFR_RNDN);
    const double y = f.screen ? f.screen(x0, certain) : mpfr_get_d(l, MPFR_RNDN);
    if (!std::isfinite(y) || y == 0.0 || std::fabs(y) < 0x1p-1000) continue;
    mpfr_set_d(m, y, MPFR_RNDN);
    mpfr_set_d(l, std::nextafter(y, kInf), MPFR_RNDN);
    mpfr_add(m, m, l, MPFR_RNDN);  // exact in 64 bits
    mpfr_div_2ui(m, m, 1, MPFR_RNDN);
    f.inverse(l, m, MPFR_RNDN);
    const double x = mpfr_get_d(l, MPFR_RNDN);
    if (std::isfinite(x)) xs.push_back(x);
  }
  mpfr_clears(a, m, l, static_cast<mpfr_ptr>(nullptr));
  return xs;
}

// --range's bounds.
std::pair<double, double> g_range;

double uniform(Rng& g, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(g);
}

// Arguments whose x^2/2 is near an odd multiple of ulp(x)/2 (the `tiny` set).
std::vector<double> tiny_near_midpoints(Rng& g, long count) {
  std::vector<double> xs;
  for (long i = 0; i < count; ++i) {
    const int q = -53 + static_cast<int>(g() % 24);
    const double j = std::floor(uniform(g, std::ldexp(1.0, 51 + q), std::ldexp(1.0, 53 + q)));
    double m = std::nearbyint(std::sqrt(std::ldexp(j + 0.5, 53 - q)));
    m = std::min(std::max(m, 0x1p52), 0x1p53 - 1.0);
    xs.push_back(std::ldexp(g() % 2 ? m : -m, q - 52));
  }
  return xs;
}

// The fast path's largest relative error over `count` of its arguments, as
// a multiple of the function's bound where an argument has a bound of its
// own.
double fast_path_error(const Function& f, Reduced (*stage)(double), Rng& g, long count) {
#if defined(TARVIK_QUADMATH)
  if (f.exact) {
    double worst = 0.0;
    for (long i = 0; i < count; ++i) {
      const double arg = f.fast_arg(g);
      const Reduced p = stage(arg);
      const __float128 y = f.exact(arg);
      if (y == 0) continue;
      const __float128 v =
          (static_cast<__float128>(p.hi) + p.lo) * scalbnq(1, static_cast<int>(p.scale));
      const double e = static_cast<double>(fabsq((v - y) / y));
      worst = std::max(worst, p.bound > 0.0 ? e / p.bound * f.test_error : e);
    }
    return worst;
  }
#endif
  mpfr_t y, v, x;
  mpfr_inits2(300, y, v, x, static_cast<mpfr_ptr>(nullptr));
  double worst = 0.0;
  for (long i = 0; i < count; ++i) {
    const double arg = f.fast_arg(g);
    const Reduced p = stage(arg);
    mpfr_set_d(x, arg, MPFR_RNDN);
    f.mpfr(y, x, MPFR_RNDN);
    mpfr_mul_2si(y, y, -p.scale, MPFR_RNDN);
    mpfr_set_d(v, p.hi, MPFR_RNDN);
    mpfr_add_d(v, v, p.lo, MPFR_RNDN);
    mpfr_sub(v, v, y, MPFR_RNDN);
    mpfr_div(v, v, y, MPFR_RNDN);
    const double e = std::fabs(mpfr_get_d(v, MPFR_RNDN));
    worst = std::max(worst, p.bound > 0.0 ? e / p.bound * f.test_error : e);
  }
  mpfr_clears(y, v, x, static_cast<mpfr_ptr>(nullptr));
  return worst;
}

// How many of `count` fast-path arguments the rounding test leaves to the
// last resort.
long undecided(const Function& f, Rng& g, long count) {
  long n = 0;
  for (long i = 0; i < count; i += 4) {
    Lanes v;
    for (int k = 0; k < 4; ++k) v[k] = f.fast_arg(g);
    Mask<Lanes> decided;
    f.fast(v, decided);
    for (int k = 0; k < 4; ++k) n += decided[k] == 0;
  }
  return n;
}

#if defined(TARVIK_QUADMATH)
constexpr double kScreenError = 0x1p-100;

// v rounded to double, and whether v lies farther than kScreenError of
// itself from the midpoint between that double and its neighbour on v's side.
double round_screened(__float128 v, bool& certain) {
  const double d = static_cast<double>(v);  // to nearest, subnormals included
  const __float128 dq = d;
  certain = v == dq;
  if (certain || !(v == v) || std::isinf(d)) return d;
  const double next = std::nextafter(d, dq < v ? kInf : -kInf);
  const __float128 mid = (dq + next) / 2;  // exact in 113 bits
  const __float128 gap = v > mid ? v - mid : mid - v;
  certain = gap > (v < 0 ? -v : v) * static_cast<__float128>(kScreenError);
  return d;
}

// v into an MPFR number exactly: its 113-bit significand as three doubles.
void set_quad(mpfr_ptr rop, __float128 v) {
  int e = 0;
  __float128 m = frexpq(v, &e);
  mpfr_set_ui(rop, 0, MPFR_RNDN);
  for (int i = 0; i < 3; ++i) {
    const double part = static_cast<double>(m);
    mpfr_add_d(rop, rop, part, MPFR_RNDN);
    m -= part;
  }
  mpfr_mul_2si(rop, rop, e, MPFR_RNDN);
}

double erfc_screen(double x, bool& certain) {
  certain = false;
  return std::isfinite(x) ? round_screened(erfcq(x), certain) : 0.0;
}

// erfcq's relative error at x against `exact`, erfc(x) to its precision;
// both scaled to [1/2, 1) first, so that the difference of results near
// the subnormals does not underflow the exponent range.
double erfc_screen_error(double x, mpfr_ptr exact) {
  mpfr_t v, w;
  mpfr_inits2(mpfr_get_prec(exact), v, w, static_cast<mpfr_ptr>(nullptr));
  const mpfr_exp_t scale = -mpfr_get_exp(exact);
  mpfr_mul_2si(w, exact, scale, MPFR_RNDN);
  set_quad(v, erfcq(x));
  mpfr_mul_2si(v, v, scale, MPFR_RNDN);
  mpfr_sub(v, v, w, MPFR_RNDN);
  mpfr_div(v, v, w, MPFR_RNDN);
  const double e = std::fabs(mpfr_get_d(v, MPFR_RNDN));
  mpfr_clears(v, w, static_cast<mpfr_ptr>(nullptr));
  return e;
}
#endif

// erfc^-1(y) for y in (0, 2), which MPFR lacks: Newton's method at 160 bits
// on erfc, convex and decreasing for x > 0, from a start left of the root
// (or one step from there), so monotone; y > 1 through erfc(-x) = 2 - erfc(x).
int erfc_inverse(mpfr_ptr rop, mpfr_srcptr y, mpfr_rnd_t rnd) {
#if defined(TARVIK_QUADMATH)
  // The same steps in binary128, some hundred times faster: y (a midpoint,
  // 54 bits) is exact there and x wants only its nearest double.
  mpfr_t rest;
  mpfr_init2(rest, mpfr_get_prec(y));
  const double hi = mpfr_get_d(y, MPFR_RNDN);
  mpfr_sub_d(rest, y, hi, MPFR_RNDN);
  const __float128 yq = static_cast<__float128>(hi) + mpfr_get_d(rest, MPFR_RNDN);
  mpfr_clear(rest);
  const bool upper = yq > 1;
  const __float128 wq = upper ? 2 - yq : yq;
  if (!(wq > 0) || !(yq < 2)) {
    mpfr_set_nan(rop);
    return 0;
  }
  __float128 xq = wq >= 0.5 ? 0 : sqrtq(-logq(wq));
  for (int i = 0; i < 200 && yq != 1; ++i) {
    const __float128 t = (erfcq(xq) - wq) * expq(xq * xq) * (sqrtq(acosq(static_cast<__float128>(-1))) / 2);
    xq += t;
    if (t == 0 || fabsq(t) < fabsq(xq) * static_cast<__float128>(0x1p-110)) break;
  }
  return mpfr_set_d(rop, static_cast<double>(upper ? -xq : xq), rnd);
#else
  mpfr_t x, t, u, w;
  mpfr_inits2(160, x, t, u, w, static_cast<mpfr_ptr>(nullptr));
  const int above = mpfr_cmp_ui(y, 1);
  mpfr_set(w, y, MPFR_RNDN);
  if (above > 0) mpfr_ui_sub(w, 2, y, MPFR_RNDN);  // exact at 160 bits
  if (mpfr_sgn(w) <= 0) {
    mpfr_set_nan(rop);
    mpfr_clears(x, t, u, w, static_cast<mpfr_ptr>(nullptr));
    return 0;
  }
  if (above == 0 || mpfr_cmp_d(w, 0.5) >= 0) {
    mpfr_set_ui(x, 0, MPFR_RNDN);
  } else {
    mpfr_log(x, w, MPFR_RNDN);
    mpfr_neg(x, x, MPFR_RNDN);
    mpfr_sqrt(x, x, MPFR_RNDN);
  }
  for (int i = 0; i < 200 && above != 0; ++i) {
    // x += (erfc(x) - w) sqrt(pi)/2 exp(x^2)
    mpfr_erfc(t, x, MPFR_RNDN);
    mpfr_sub(t, t, w, MPFR_RNDN);
    mpfr_sqr(u, x, MPFR_RNDN);
    mpfr_exp(u, u, MPFR_RNDN);
    mpfr_mul(t, t, u, MPFR_RNDN);
    mpfr_const_pi(u, MPFR_RNDN);
    mpfr_sqrt(u, u, MPFR_RNDN);
    mpfr_mul(t, t, u, MPFR_RNDN);
    mpfr_div_2ui(t, t, 1, MPFR_RNDN);
    mpfr_add(x, x, t, MPFR_RNDN);
    if (mpfr_zero_p(t) || mpfr_get_exp(t) < mpfr_get_exp(x) - 150) break;
  }
  if (above > 0) mpfr_neg(x, x, MPFR_RNDN);
  const int r = mpfr_set(rop, x, rnd);
  mpfr_clears(x, t, u, w, static_cast<mpfr_ptr>(nullptr));
  return r;
#endif
}

// A third wide, a third in (-1, 1), a third scaled by 2^-(0..59).
double mixed(Rng& g, double lo, double hi) {
  switch (g() % 3) {
    case 0:
      return uniform(g, lo, hi);
    case 1:
      return uniform(g, -1.0, 1.0);
    default:
      return std::ldexp(uniform(g, -1.0, 1.0), -static_cast<int>(g() % 60));
  }
}

// sin (quarter 0) or cos (1) before the rounding test, and the test, for
// |x| in [tiny, 2^18) (the Cody-Waite path) or beyond (the Payne-Hanek one).
Reduced trig_reduced_any(double x, int quarter) {
  if (std::fabs(x) < kTrigFastTop) {
    const Pair<double> p = trig_reduced(x, quarter);
    return Reduced{p.hi, p.lo, 0};
  }
  const TrigPair p = trig_huge_reduced(x, quarter);
  return Reduced{p.hi, p.lo, 0};
}

Lanes trig_fast_any(Lanes x, Mask<Lanes>& decided, int quarter) {
  Lanes y = quarter == 0 ? sin_fast(x, decided) : cos_fast(x, decided);
  for (int k = 0; k < 4; ++k) {
    if (std::fabs(x[k]) >= kTrigFastTop) {
      const Reduced p = trig_reduced_any(x[k], quarter);
      bool d = false;
      y[k] = ziv_round(Pair<double>{p.hi, p.lo}, kTrigTestError, d);
      decided[k] = d ? -1 : 0;
    }
  }
  return y;
}

double trig_fast_arg(Rng& g, double tiny) {
  double x;
  do {
    x = g() % 8 ? mixed(g, -kTrigFastTop, kTrigFastTop) : std::bit_cast<double>(g());
  } while (!(std::fabs(x) >= tiny && std::fabs(x) < kInf));
  return x;
}

// x^3, cbrt's inverse.
int cube(mpfr_ptr rop, mpfr_srcptr x, mpfr_rnd_t rnd) { return mpfr_pow_ui(rop, x, 3, rnd); }

// A normal double of any exponent and sign, uniform in its bit pattern.
double any_normal(Rng& g) {
  double x;
  do x = std::bit_cast<double>(g());
  while (!(std::fabs(x) >= 0x1p-1022 && std::fabs(x) < kInf));
  return x;
}

std::vector<Function> functions() {
  std::vector<Function> fs;
  fs.push_back(Function{
      "exp", mpfr_exp, mpfr_log, [](double x) { return std::exp(x); },
      [](double x) { return exp_correct(x); }, [](Lanes x) { return exp_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return exp_fast(x, d); },
      [](Rng& g) { return uniform(g, -746.0, 710.0); },
      [](Rng& g) { return mixed(g, kExpFastLow, kExpOverflow); },
      [](double x) {
        std::int64_t m = 0;
        const Pair<double> p = exp_reduced(x, m);
        return Reduced{p.hi, p.lo, static_cast<long>(m)};
      },
      exp_last_resort, kExpTestError, false,
      with_neighbours({0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, 0x1p-54, -0x1p-54, 0x1p-53,
                       -0x1p-53, 1.0, -1.0, kExpOverflow, -745.1332191019411, -745.1332191019412,
                       -708.3964185322641, -707.5, 709.78, 710.0, -746.0, kInf, -kInf,
                       __builtin_nan("")})});
  fs.back().quick = [](double x) {
    const ExpReduction<double> red = reduce_exp(x);
    const Pair<double> p = exp_quick(red);
    return Reduced{p.hi, p.lo, static_cast<long>(red.m)};
  };
  fs.back().quick_error = kExpQuickError;
  fs.push_back(Function{
      "expm1", mpfr_expm1, mpfr_log1p, [](double x) { return std::expm1(x); },
      [](double x) { return expm1_correct(x); }, [](Lanes x) { return expm1_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return expm1_fast(x, d); },
      [](Rng& g) { return g() % 2 ? uniform(g, -40.0, 710.0) : uniform(g, -1.0, 1.0); },
      [](Rng& g) {
        double x;
        do x = mixed(g, kExpm1MinusOne, kExpOverflow);
        while (std::fabs(x) < kExpm1Tiny);
        return x;
      },
      [](double x) {
        std::int64_t m = 0;
        const Pair<double> p = expm1_reduced(x, m);
        return Reduced{p.hi, p.lo, static_cast<long>(m)};
      },
      expm1_last_resort, kExpm1TestError, true,
      with_neighbours({0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, -0x1p-1022, 0x1p-54,
                       -0x1p-54, 0x1p-53, -0x1p-53, 0x1.8p-53, -0x1.8p-53, 0x1p-27, 1.0, -1.0,
                       0x1.62e42fefa39efp-1, -0x1.62e42fefa39efp-1, 0x1.62e42fefa39efp-2,
                       kExpOverflow, -37.42994775023704, -38.0, -40.0, 710.0, kInf, -kInf,
                       __builtin_nan("")})});
  fs.push_back(Function{
      "log", mpfr_log, mpfr_exp, [](double x) { return std::log(x); },
      [](double x) { return log_correct(x); }, [](Lanes x) { return log_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return log_fast(x, d); },
      [](Rng& g) { return g() % 2 ? uniform(g, 0.0, 4.0) : std::exp(uniform(g, -745.0, 709.0)); },
      [](Rng& g) {
        // Over the exponents, and next to 1 at every scale (1 + k 2^-52 among them).
        switch (g() % 3) {
          case 0:
            return std::exp(uniform(g, -708.0, 709.0));
          case 1:
            return 1.0 + std::ldexp(uniform(g, -1.0, 1.0), -static_cast<int>(g() % 52));
          default:
            return 1.0 + std::ldexp(static_cast<double>(g() % 64) - 32.0, -52);
        }
      },
      [](double x) {
        double bound = 0.0;
        const Pair<double> p = log_reduced(x, bound);
        return Reduced{p.hi, p.lo, 0, bound};
      },
      log_last_resort, kLogTestError, false,
      with_neighbours({1.0, 2.0, 0.5, kSqrt2, 1.0 + 0x1p-9, 1.0 - 0x1p-9, 0x1p-1022, 0x1p-1074,
                       0x1.fffffffffffffp+1023, 0.0, -0.0, -1.0, kInf, -kInf,
                       __builtin_nan("")})});
  fs.back().quick = [](double x) {
    const Pair<double> p = log_quick(x);
    return Reduced{p.hi, p.lo, 0};
  };
  fs.back().quick_error = kLogQuickError;
  fs.push_back(Function{
      "log1p", mpfr_log1p, mpfr_expm1, [](double x) { return std::log1p(x); },
      [](double x) { return log1p_correct(x); }, [](Lanes x) { return log1p_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return log1p_fast(x, d); },
      [](Rng& g) {
        switch (g() % 3) {
          case 0:
            return uniform(g, -1.0, 1.0);
          case 1:
            return uniform(g, -1.0, 16.0);
          default:
            return std::exp(uniform(g, 0.0, 709.0));
        }
      },
      [](Rng& g) {
        double x;
        do {
          x = g() % 4 ? mixed(g, -1.0, 1e6)
                      : -1.0 + std::ldexp(uniform(g, 0.0, 1.0), -static_cast<int>(g() % 50));
        } while (std::fabs(x) < kLog1pTiny || x <= -1.0);
        return x;
      },
      [](double x) {
        const Pair<double> p = log1p_reduced(x);
        return Reduced{p.hi, p.lo, 0};
      },
      log1p_last_resort, kLog1pTestError, true,
      with_neighbours({0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, -0x1p-1022, 0x1p-54,
                       -0x1p-54, 0x1p-53, -0x1p-53, 0x1.8p-53, -0x1.8p-53, 0x1p-9, -0x1p-9, -0.5,
                       1.0, 0x1.6a09e667f3bcdp-1 - 1.0, 0x1.6a09e667f3bcdp0 - 1.0, -1.0 + 0x1p-53,
                       -1.0, -2.0, 0x1p53, 0x1p1023, 0x1.fffffffffffffp+1023, kInf, -kInf,
                       __builtin_nan("")})});
  fs.push_back(Function{
      "erfc", mpfr_erfc, erfc_inverse, [](double x) { return std::erfc(x); },
      [](double x) { return erfc_correct(x); }, [](Lanes x) { return erfc_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return erfc_fast(x, d); },
      [](Rng& g) { return g() % 2 ? uniform(g, -7.0, 28.0) : uniform(g, -1.0, 1.0); },
      [](Rng& g) {
        double x;
        do x = mixed(g, kErfcTwo, kErfcFastTop);
        while (std::fabs(x) < kErfcTiny);
        return x;
      },
      [](double x) {
        std::int64_t m = 0;
        const Pair<double> p = erfc_reduced(x, m);
        return Reduced{p.hi, p.lo, static_cast<long>(m)};
      },
      erfc_last_resort, kErfcTestError, false,
      with_neighbours({0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, -0x1p-1022, kErfcTiny,
                       -kErfcTiny, 0x1p-54, -0x1p-54, 0.25, -0.25, 0.5, 1.0, -1.0, 5.0, -5.0,
                       -5.5, kErfcTwo, -5.9, kErfcFastTop, 26.55, 27.0, 27.226, 27.2279,
                       27.3, 1e300, -1e300, kInf, -kInf, __builtin_nan("")}),
      // MPFR's erfc takes 3 to 300 us an argument (its exp some 1 us).
      10});
  // sin and cos: near midpoints through asin and acos, so on their
  // principal branches; huge arguments in `values`, and an eighth of the
  // fast path's arguments beyond 2^18 (the fixed-point reduction, then the
  // same evaluation and test).
  const auto trig_values = [](Rng& g) {
    switch (g() % 3) {
      case 0:
        return uniform(g, -4.0, 4.0);
      case 1:
        return uniform(g, -kTrigFastTop, kTrigFastTop);
      default:
        return std::exp(uniform(g, 0.0, 709.0)) * (g() % 2 ? 1.0 : -1.0);
    }
  };
  const std::vector<double> trig_specials = with_neighbours(
      {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, kSinTiny, -kSinTiny, kCosTiny, -kCosTiny,
       0x1.921fb54442d18p+0, -0x1.921fb54442d18p+0, 0x1.921fb54442d18p+1, 0x1.921fb54442d18p+2,
       0x1.921fb54442d18p-6, 0x1.921fb54442d18p-5, 355.0, 0x1.6ac5b262ca1ffp+849,
       kTrigFastTop, -kTrigFastTop, 1e22, 0x1.6c6cbc45dc8dep+6, 0x1p1023, 0x1.fffffffffffffp+1023,
       -0x1.fffffffffffffp+1023, kInf, -kInf, __builtin_nan("")});
  fs.back().quick = [](double x) {
    std::int64_t m = 0;
    const Pair<double> p = erfc_stage<true>(x, m);
    return Reduced{p.hi, p.lo, static_cast<long>(m)};
  };
  fs.back().quick_error = kErfcQuickError;
#if defined(TARVIK_QUADMATH)
  fs.back().screen = erfc_screen;
  fs.back().screen_error = erfc_screen_error;
  fs.back().exact = [](double x) { return erfcq(x); };
#endif
  fs.push_back(Function{
      "sin", mpfr_sin, mpfr_asin, [](double x) { return std::sin(x); },
      [](double x) { return sin_correct(x); }, [](Lanes x) { return sin_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return trig_fast_any(x, d, 0); }, trig_values,
      [](Rng& g) { return trig_fast_arg(g, kSinTiny); },
      [](double x) { return trig_reduced_any(x, 0); },
      sin_last_resort, kTrigTestError, false, trig_specials});
  fs.push_back(Function{
      "cos", mpfr_cos, mpfr_acos, [](double x) { return std::cos(x); },
      [](double x) { return cos_correct(x); }, [](Lanes x) { return cos_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return trig_fast_any(x, d, 1); }, trig_values,
      [](Rng& g) { return trig_fast_arg(g, kCosTiny); },
      [](double x) { return trig_reduced_any(x, 1); },
      cos_last_resort, kTrigTestError, false, trig_specials});
  // sinh and cosh: over the range and near 0 at every scale.
  const auto hyperbolic_arg = [](Rng& g) {
    double x;
    do x = mixed(g, -kHyperbolicOverflow, kHyperbolicOverflow);
    while (std::fabs(x) < kHyperbolicTiny);
    return x;
  };
  const std::vector<double> hyperbolic_specials = with_neighbours(
      {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, kHyperbolicTiny, -kHyperbolicTiny, 0x1p-25,
       0x1.8p-26, 0.25, 0.5, kSinhByExp, -kSinhByExp, 0x1.62e42fefa39efp-2, 0x1.62e42fefa39efp-1, 22.0, 40.0,
       kExpOverflow, kHyperbolicOverflow, -kHyperbolicOverflow, 711.0, 1e300, kInf, -kInf,
       __builtin_nan("")});
  fs.push_back(Function{
      "sinh", mpfr_sinh, mpfr_asinh, [](double x) { return std::sinh(x); },
      [](double x) { return sinh_correct(x); }, [](Lanes x) { return sinh_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return sinh_fast(x, d); },
      [](Rng& g) { return g() % 2 ? uniform(g, -712.0, 712.0) : uniform(g, -1.0, 1.0); },
      hyperbolic_arg,
      [](double x) {
        std::int64_t m = 0;
        const Pair<double> p = sinh_reduced(std::fabs(x), m);
        return x < 0 ? Reduced{-p.hi, -p.lo, static_cast<long>(m - 1)}
                     : Reduced{p.hi, p.lo, static_cast<long>(m - 1)};
      },
      sinh_last_resort, kHyperbolicTestError, false, hyperbolic_specials});
  fs.push_back(Function{
      "cosh", mpfr_cosh, mpfr_acosh, [](double x) { return std::cosh(x); },
      [](double x) { return cosh_correct(x); }, [](Lanes x) { return cosh_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return cosh_fast(x, d); },
      [](Rng& g) { return g() % 2 ? uniform(g, -712.0, 712.0) : uniform(g, -1.0, 1.0); },
      hyperbolic_arg,
      [](double x) {
        std::int64_t m = 0;
        const Pair<double> p = cosh_reduced(std::fabs(x), m);
        return Reduced{p.hi, p.lo, static_cast<long>(m - 1)};
      },
      cosh_last_resort, kHyperbolicTestError, false, hyperbolic_specials});
  fs.push_back(Function{
      "asinh", mpfr_asinh, mpfr_sinh, [](double x) { return std::asinh(x); },
      [](double x) { return asinh_correct(x); }, [](Lanes x) { return asinh_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return asinh_fast(x, d); },
      [](Rng& g) {
        return g() % 2 ? uniform(g, -4.0, 4.0) : std::sinh(uniform(g, -710.0, 710.0));
      },
      [](Rng& g) {
        // Over the range (sinh of a uniform argument) and near 0 at every scale.
        double x;
        do x = g() % 3 ? mixed(g, -1e3, 1e3) : std::sinh(uniform(g, -710.0, 710.0));
        while (std::fabs(x) < kAsinhTiny);
        return x;
      },
      [](double x) {
        const Pair<double> p = asinh_reduced(std::fabs(x));
        return x < 0 ? Reduced{-p.hi, -p.lo, 0} : Reduced{p.hi, p.lo, 0};
      },
      asinh_last_resort, kAsinhTestError, false,
      with_neighbours({0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, kAsinhTiny, -kAsinhTiny,
                       0x1p-25, 0.5, 1.0, -1.0, 2.0, 0x1p26, kAsinhLarge, -kAsinhLarge, 0x1p30,
                       0x1p511, 0x1p512, 0x1p1022, 0x1.fffffffffffffp+1023,
                       -0x1.fffffffffffffp+1023, kInf, -kInf, __builtin_nan("")})});
  fs.push_back(Function{
      "cbrt", mpfr_cbrt, cube, [](double x) { return std::cbrt(x); },
      [](double x) { return cbrt_correct(x); }, [](Lanes x) { return cbrt_correct(x); },
      [](Lanes x, Mask<Lanes>& d) { return cbrt_fast(x, d); },
      [](Rng& g) { return g() % 2 ? uniform(g, -10.0, 10.0) : any_normal(g); },
      [](Rng& g) {
        double x;
        do x = g() % 2 ? mixed(g, -1e3, 1e3) : any_normal(g);
        while (!(std::fabs(x) >= 0x1p-1022));
        return x;
      },
      [](double x) {
        std::int64_t scale = 0;
        const Pair<double> p = cbrt_reduced(std::fabs(x), scale);
        return x < 0 ? Reduced{-p.hi, -p.lo, static_cast<long>(scale)}
                     : Reduced{p.hi, p.lo, static_cast<long>(scale)};
      },
      cbrt_last_resort, kCbrtTestError, false,
      with_neighbours({0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1.8p-1073, 0x1p-1022, -0x1p-1022,
                       0x0.fffffffffffffp-1022, 1.0, -1.0, 2.0, 4.0, 8.0, 27.0, -27.0, 0.125,
                       1e300, 0x1.fffffffffffffp+1023, -0x1.fffffffffffffp+1023, kInf, -kInf,
                       __builtin_nan("")})});
  return fs;
}

// atan2 over pairs (y, x), against mpfr_atan2.
using Pairs = std::vector<std::pair<double, double>>;

double reference_atan2(double y, double x) {
  mpfr_t a, b, r;
  mpfr_inits2(53, a, b, r, static_cast<mpfr_ptr>(nullptr));
  mpfr_set_d(a, y, MPFR_RNDN);
  mpfr_set_d(b, x, MPFR_RNDN);
  const int t = mpfr_atan2(r, a, b, MPFR_RNDN);
  mpfr_subnormalize(r, t, MPFR_RNDN);
  const double v = mpfr_get_d(r, MPFR_RNDN);
  mpfr_clears(a, b, r, static_cast<mpfr_ptr>(nullptr));
  return v;
}

void check_pairs(const Pairs& ps, Tally& tally) {
  for (std::size_t i = 0; i < ps.size(); i += 4) {
    Lanes vy = {1, 1, 1, 1}, vx = {1, 1, 1, 1};
    const std::size_t n = std::min<std::size_t>(4, ps.size() - i);
    for (std::size_t k = 0; k < n; ++k) {
      vy[k] = ps[i + k].first;
      vx[k] = ps[i + k].second;
    }
    const Lanes lanes = atan2_correct(vy, vx);
    for (std::size_t k = 0; k < n; ++k) {
      const auto [y, x] = ps[i + k];
      const double want = reference_atan2(y, x), got = atan2_correct(y, x);
      ++tally.tried;
      if (!same(got, want) && ++tally.scalar_wrong <= 10) {
        std::printf("  misrounded atan2(%a, %a): %a, not %a\n", y, x, got, want);
      }
      if (!same(lanes[k], want)) ++tally.lanes_wrong;
      if (!same(std::atan2(y, x), want)) ++tally.libc_wrong;
    }
  }
}

// Ratios at every scale, either way round, every sign.
std::pair<double, double> atan2_values(Rng& g) {
  const double x = uniform(g, -10.0, 10.0);
  const double y = uniform(g, -10.0, 10.0) * std::ldexp(1.0, -static_cast<int>(g() % 64));
  return g() % 2 ? std::pair{y, x} : std::pair{x, y};
}

// Pairs the fast path takes.
std::pair<double, double> atan2_fast_arg(Rng& g) {
  for (;;) {
    const auto [y, x] = g() % 4 ? atan2_values(g)
                                : std::pair{std::bit_cast<double>(g()), std::bit_cast<double>(g())};
    if (atan2_in_range(y, x)) return {y, x};
  }
}

// y = RN(x0 tan m) for m the midpoint of RN(atan2(y0, x0)) and the next double up.
Pairs atan2_near_midpoints(Rng& g, long count) {
  Pairs ps;
  mpfr_t m, t;
  mpfr_init2(m, 200);
  mpfr_init2(t, 200);
  for (long i = 0; i < count; ++i) {
    const auto [y0, x0] = atan2_values(g);
    const double r = reference_atan2(y0, x0);
    if (r == 0.0 || std::fabs(r) < 0x1p-1000) continue;
    mpfr_set_d(m, r, MPFR_RNDN);
    mpfr_set_d(t, std::nextafter(r, kInf), MPFR_RNDN);
    mpfr_add(m, m, t, MPFR_RNDN);
    mpfr_div_2ui(m, m, 1, MPFR_RNDN);
    mpfr_tan(t, m, MPFR_RNDN);
    mpfr_mul_d(t, t, x0, MPFR_RNDN);
    const double y = mpfr_get_d(t, MPFR_RNDN);
    if (std::isfinite(y)) ps.push_back({y, x0});
  }
  mpfr_clears(m, t, static_cast<mpfr_ptr>(nullptr));
  return ps;
}

long check_atan2(Rng& g, long count, bool error) {
  long wrong = 0;
  const auto report = [&](const char* set, const Tally& t) {
    std::printf("atan2 %-8s %10ld tried, misrounded: %ld scalar, %ld lanes (the C library: %ld)\n",
                set, t.tried, t.scalar_wrong, t.lanes_wrong, t.libc_wrong);
    wrong += t.scalar_wrong + t.lanes_wrong;
  };
  const long chunk = 1 << 20;
  for (const char* set : {"bits", "values"}) {
    Tally total;
    for (long done = 0; done < count; done += chunk) {
      Pairs ps;
      for (long i = done; i < std::min(count, done + chunk); ++i) {
        ps.push_back(std::strcmp(set, "values") == 0
                         ? atan2_values(g)
                         : std::pair{std::bit_cast<double>(g()), std::bit_cast<double>(g())});
      }
      check_pairs(ps, total);
    }
    report(set, total);
  }
  Tally near, special, resort;
  check_pairs(atan2_near_midpoints(g, std::max(count / 10, 1000L)), near);
  report("near", near);
  const std::vector<double> values = with_neighbours(
      {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, -0x1p-1022, 0x1p-900, 1.0, -1.0, 3.0, -3.0,
       0x1p900, 0x1.fffffffffffffp+1023, -0x1.fffffffffffffp+1023, kInf, -kInf,
       __builtin_nan("")});
  Pairs specials;
  for (double y : values) {
    for (double x : values) specials.push_back({y, x});
  }
  check_pairs(specials, special);
  report("special", special);
  for (long i = 0; i < std::max(count / 50, 1000L); ++i) {
    const auto [y, x] = atan2_fast_arg(g);
    const double got = atan2_last_resort(y, x), want = reference_atan2(y, x);
    ++resort.tried;
    if (!same(got, want) && ++resort.scalar_wrong <= 10) {
      std::printf("  misrounded atan2_last_resort(%a, %a): %a, not %a\n", y, x, got, want);
    }
  }
  std::printf("atan2 resort   %10ld tried, misrounded: %ld (the last resort alone)\n", resort.tried,
              resort.scalar_wrong);
  wrong += resort.scalar_wrong;
  if (error) {
    mpfr_t a, b, r, v;
    mpfr_inits2(300, a, b, r, v, static_cast<mpfr_ptr>(nullptr));
    double worst = 0.0;
    for (long i = 0; i < count; ++i) {
      const auto [y, x] = atan2_fast_arg(g);
      const Pair<double> p = atan2_reduced(y, x);
      mpfr_set_d(a, y, MPFR_RNDN);
      mpfr_set_d(b, x, MPFR_RNDN);
      mpfr_atan2(r, a, b, MPFR_RNDN);
      mpfr_set_d(v, p.hi, MPFR_RNDN);
      mpfr_add_d(v, v, p.lo, MPFR_RNDN);
      mpfr_sub(v, v, r, MPFR_RNDN);
      mpfr_div(v, v, r, MPFR_RNDN);
      worst = std::max(worst, std::fabs(mpfr_get_d(v, MPFR_RNDN)));
    }
    mpfr_clears(a, b, r, v, static_cast<mpfr_ptr>(nullptr));
    long rest = 0;
    for (long i = 0; i < count; i += 4) {
      Lanes vy, vx;
      for (int k = 0; k < 4; ++k) {
        const auto [y, x] = atan2_fast_arg(g);
        vy[k] = y;
        vx[k] = x;
      }
      Mask<Lanes> decided;
      atan2_fast(vy, vx, decided);
      for (int k = 0; k < 4; ++k) rest += decided[k] == 0;
    }
    std::printf(
        "atan2 fast path: largest relative error 2^%.2f over %ld pairs (test bound 2^%.0f); "
        "%ld of them (a fraction 2^%.1f) left to the last resort\n",
        std::log2(worst), count, std::log2(kAtan2TestError), rest,
        std::log2(static_cast<double>(std::max(rest, 1L)) / static_cast<double>(count)));
    if (worst >= kAtan2TestError) ++wrong;
  }
  return wrong;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__FMA__)
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
    std::printf("skipped: built for AVX2 and FMA, which this processor lacks\n");
    return 0;
  }
#endif
  long total_count = 1000000;
  unsigned long seed = 1;
  bool error = false;
  std::string only;
  bool ranged = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      total_count = std::atol(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = std::strtoul(argv[++i], nullptr, 10);
    } else if (a == "--error") {
      error = true;
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (a == "--range" && i + 2 < argc) {
      ranged = true;
      g_range = {std::strtod(argv[i + 1], nullptr), std::strtod(argv[i + 2], nullptr)};
      i += 2;
    } else {
      std::fprintf(stderr, "usage: correct_rounding [--count N] [--seed S] [--error] [--only NAME] "
                           "[--range A B]\n");
      return 2;
    }
  }
  Rng g(seed);
  Reference ref;
  long wrong = 0;
  for (Function f : functions()) {
    if (!only.empty() && only != f.name) continue;
    if (ranged) {
      f.values = f.fast_arg = [](Rng& r) { return uniform(r, g_range.first, g_range.second); };
    }
    // The sets at the whole count where a screen spares MPFR, the error
    // measures (MPFR at 300 bits) at the reduced one.
    const long mpfr_count = std::max(total_count / f.slower, 1000L);
    const long count = f.screen ? std::max(total_count, 1000L) : mpfr_count;
    const auto report = [&](const char* set, const Tally& t) {
      std::printf("%-5s %-8s %10ld tried, misrounded: %ld scalar, %ld lanes (the C library: %ld)\n",
                  f.name, set, t.tried, t.scalar_wrong, t.lanes_wrong, t.libc_wrong);
      wrong += t.scalar_wrong + t.lanes_wrong;
    };
    const long chunk = 1 << 20;
    for (const char* set : {"bits", "values"}) {
      const bool values = std::strcmp(set, "values") == 0;
      if (ranged && !values) continue;
      Tally total;
      for (long done = 0; done < count; done += chunk) {
        std::vector<double> xs;
        for (long i = done; i < std::min(count, done + chunk); ++i) {
          xs.push_back(values ? f.values(g) : std::bit_cast<double>(g()));
        }
        check(f, xs, ref, total);
      }
      report(set, total);
    }
    Tally near, tiny, special, resort;
    check(f, near_midpoints(f, g, std::max(count / 10, 1000L)), ref, near);
    report("near", near);
    if (f.tiny_series) {
      check(f, tiny_near_midpoints(g, std::max(count / 10, 1000L)), ref, tiny);
      report("tiny", tiny);
    }
    check(f, f.specials, ref, special);
    report("special", special);
    for (long i = 0; i < std::max(count / 50, 1000L); ++i) {
      const double x = f.fast_arg(g), got = f.last_resort(x);
      const double want = reference(f, ref, x, {got});
      ++resort.tried;
      if (!same(got, want) && ++resort.scalar_wrong <= 10) {
        std::printf("  misrounded %s_last_resort(%a): %a, not %a\n", f.name, x, got, want);
      }
    }
    std::printf("%-5s resort   %10ld tried, misrounded: %ld (the last resort alone)\n", f.name,
                resort.tried, resort.scalar_wrong);
    wrong += resort.scalar_wrong;
    if (error) {
      long error_count = mpfr_count;
#if defined(TARVIK_QUADMATH)
      if (f.exact) error_count = count;
#endif
      if (f.quick) {
        const double q = fast_path_error(f, f.quick, g, error_count);
        std::printf("%-5s first stage: largest relative error 2^%.2f (test bound 2^%.0f)\n", f.name,
                    std::log2(q), std::log2(f.quick_error));
        if (q >= f.quick_error) ++wrong;
      }
#if defined(TARVIK_QUADMATH)
      if (f.screen_error) {
        mpfr_t exact, a;
        mpfr_inits2(300, exact, a, static_cast<mpfr_ptr>(nullptr));
        double worst = 0.0;
        const long screened = std::max(mpfr_count / 100, 1000L);
        for (long i = 0; i < screened; ++i) {
          const double x = i % 2 ? f.values(g) : f.fast_arg(g);
          mpfr_set_d(a, x, MPFR_RNDN);
          f.mpfr(exact, a, MPFR_RNDN);
          if (mpfr_zero_p(exact)) continue;
          worst = std::max(worst, f.screen_error(x, exact));
        }
        mpfr_clears(exact, a, static_cast<mpfr_ptr>(nullptr));
        std::printf("%-5s screen: binary128's largest relative error 2^%.2f over %ld arguments "
                    "(screen bound 2^%.0f)\n",
                    f.name, std::log2(worst), screened, std::log2(kScreenError));
        if (worst >= kScreenError) ++wrong;
      }
#endif
      const double e = fast_path_error(f, f.reduced, g, error_count);
      const long rest = undecided(f, g, error_count);
      std::printf(
          "%-5s fast path: largest relative error 2^%.2f over %ld arguments (test bound 2^%.0f); "
          "%ld of them (a fraction 2^%.1f) left to the last resort\n",
          f.name, std::log2(e), error_count, std::log2(f.test_error), rest,
          std::log2(static_cast<double>(std::max(rest, 1L)) / static_cast<double>(error_count)));
      if (e >= f.test_error) ++wrong;
    }
  }
  if (!ranged && (only.empty() || only == "atan2")) wrong += check_atan2(g, total_count, error);
  return wrong == 0 ? 0 : 1;
}
