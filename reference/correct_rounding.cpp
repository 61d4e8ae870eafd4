// The proof by testing of tarvik's correctly rounded functions: each result
// against MPFR's correctly rounded one (the same precision and exponent
// range as binary64, subnormals included), scalar and in four vector lanes,
// over
//   bits     doubles uniform in their bit patterns (every sign and exponent),
//   values   doubles uniform in value over the function's interesting range,
//   near     x = RN(f^-1(m)) for midpoints m of random doubles: f(x) within
//            a few ulps of a midpoint, the fast path's hard cases,
//   special  +-0, subnormals, the thresholds of overflow, underflow and of
//            the shortcuts, and their neighbours, +-inf, NaN;
// and, with --error, the largest relative error of each fast path's
// double-double before its rounding test, which must stay below the test's
// bound. Exits 1 on any misrounded result.
//
//   correct_rounding [--count N] [--seed S] [--error] [--function NAME]
#include <mpfr.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "special/exp.hpp"
#include "special/log.hpp"

namespace {

using namespace tarvik::rational;
using Lanes = double __attribute__((vector_size(32)));
using MpfrFunction = int (*)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);

// One function under test: its MPFR twin and inverse, its range of values,
// its special arguments and its fast path's error (hi + lo against f(x)).
struct Function {
  const char* name;
  MpfrFunction reference, inverse;
  double (*scalar)(double);
  Lanes (*lanes)(Lanes);
  double (*libc)(double);
  double low, high;
  std::vector<double> specials;
  double (*fast_error)(double x, mpfr_t exact);  // NaN outside the fast path
  double test_bound;
};

// The relative error of hi + lo against exact (300 bits), scaled by 2^-m.
double relative_error(double hi, double lo, long m, mpfr_t exact) {
  mpfr_t v;
  mpfr_init2(v, 300);
  mpfr_mul_2si(exact, exact, -m, MPFR_RNDN);
  mpfr_set_d(v, hi, MPFR_RNDN);
  mpfr_add_d(v, v, lo, MPFR_RNDN);
  mpfr_sub(v, v, exact, MPFR_RNDN);
  mpfr_div(v, v, exact, MPFR_RNDN);
  const double e = std::fabs(mpfr_get_d(v, MPFR_RNDN));
  mpfr_clear(v);
  return e;
}

const Function kFunctions[] = {
    {"exp", mpfr_exp, mpfr_log, [](double x) { return exp_correct(x); },
     [](Lanes x) { return exp_correct(x); }, [](double x) { return std::exp(x); }, -746.0, 710.0,
     {0x1p-54, -0x1p-54, 0x1p-53, -0x1p-53, 1.0, -1.0, kExpOverflow, -745.1332191019411,
      -745.1332191019412, -708.3964185322641, kExpFastLow, 709.78, 710.0, -746.0},
     [](double x, mpfr_t exact) {
       if (!(x >= kExpFastLow && x <= kExpOverflow)) return std::nan("");
       std::int64_t m = 0;
       const Pair<double> p = exp_reduced(x, m);
       mpfr_exp(exact, exact, MPFR_RNDN);
       return relative_error(p.hi, p.lo, m, exact);
     },
     kExpTestError},
    {"log", mpfr_log, mpfr_exp, [](double x) { return log_correct(x); },
     [](Lanes x) { return log_correct(x); }, [](double x) { return std::log(x); }, 0.0, 4.0,
     {1.0, 0x1.0000000000001p+0, 0x1.fffffffffffffp-1, 2.0, 0.5, kSqrt2, 0x1p-1022, 0x1p-1074,
      0x1.fffffffffffffp+1023, 1.0 + 0x1p-9, 1.0 - 0x1p-9, -1.0},
     [](double x, mpfr_t exact) {
       if (!(x >= 0x1p-1022 && x < __builtin_inf()) || x == 1.0) return std::nan("");
       double bound = 0.0;
       const Pair<double> p = log_reduced(x, bound);
       mpfr_log(exact, exact, MPFR_RNDN);
       return relative_error(p.hi, p.lo, 0, exact) / bound * kLogTestError;
     },
     kLogTestError},
};

struct Tally {
  long tried = 0, scalar_wrong = 0, lanes_wrong = 0, libc_wrong = 0;
};

bool same(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

// f(x) by MPFR, rounded once to the binary64 grid (subnormals included).
double reference(const Function& f, double x) {
  static bool ranged = (mpfr_set_emin(-1073), mpfr_set_emax(1024), true);
  (void)ranged;
  mpfr_t a, y;
  mpfr_init2(a, 53);
  mpfr_init2(y, 53);
  mpfr_set_d(a, x, MPFR_RNDN);
  const int t = f.reference(y, a, MPFR_RNDN);
  mpfr_subnormalize(y, t, MPFR_RNDN);
  const double r = mpfr_get_d(y, MPFR_RNDN);
  mpfr_clear(a);
  mpfr_clear(y);
  return r;
}

void check(const Function& f, const std::vector<double>& xs, Tally& tally) {
  for (std::size_t i = 0; i < xs.size(); i += 4) {
    Lanes v = {0, 0, 0, 0};
    const std::size_t n = std::min<std::size_t>(4, xs.size() - i);
    for (std::size_t k = 0; k < n; ++k) v[k] = xs[i + k];
    const Lanes lanes = f.lanes(v);
    for (std::size_t k = 0; k < n; ++k) {
      const double x = xs[i + k], want = reference(f, x), got = f.scalar(x);
      ++tally.tried;
      if (!same(got, want) && ++tally.scalar_wrong <= 10) {
        std::printf("  misrounded %s(%a): %a, not %a\n", f.name, x, got, want);
      }
      if (!same(lanes[k], want)) ++tally.lanes_wrong;
      if (!same(f.libc(x), want)) ++tally.libc_wrong;
    }
  }
}

std::vector<double> specials(const Function& f) {
  std::vector<double> v = f.specials;
  for (double x : {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, __builtin_inf(),
                   -__builtin_inf(), __builtin_nan("")}) {
    v.push_back(x);
  }
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isfinite(v[i])) {
      v.push_back(std::nextafter(v[i], __builtin_inf()));
      v.push_back(std::nextafter(v[i], -__builtin_inf()));
    }
  }
  return v;
}

// x = RN(f^-1(m)) for midpoints m of doubles f(x0), x0 uniform in the range.
std::vector<double> near_midpoints(const Function& f, std::mt19937_64& g, long count) {
  std::vector<double> xs;
  mpfr_t m, l;
  mpfr_init2(m, 64);
  mpfr_init2(l, 53);
  std::uniform_real_distribution<double> u(f.low, f.high);
  for (long i = 0; i < count; ++i) {
    const double y = f.libc(u(g));
    if (!std::isfinite(y) || y == 0.0) continue;
    mpfr_set_d(m, y, MPFR_RNDN);
    mpfr_set_d(l, std::nextafter(y, __builtin_inf()), MPFR_RNDN);
    mpfr_add(m, m, l, MPFR_RNDN);  // exact in 64 bits
    mpfr_div_2ui(m, m, 1, MPFR_RNDN);
    f.inverse(l, m, MPFR_RNDN);
    xs.push_back(mpfr_get_d(l, MPFR_RNDN));
  }
  mpfr_clear(m);
  mpfr_clear(l);
  return xs;
}

double fast_path_error(const Function& f, std::mt19937_64& g, long count) {
  mpfr_t exact;
  mpfr_init2(exact, 300);
  std::uniform_real_distribution<double> wide(f.low, f.high), unit(-1.0, 1.0);
  double worst = 0.0;
  for (long i = 0; i < count; ++i) {
    // Over the range, and (for exp near 0, for log near 1) at every scale.
    double x = wide(g);
    if (i % 2) {
      const double small = std::ldexp(unit(g), -static_cast<int>(g() % 60));
      x = f.low < 0.0 ? small : 1.0 + small;
    }
    mpfr_set_d(exact, x, MPFR_RNDN);
    const double e = f.fast_error(x, exact);
    if (e > worst) worst = e;
  }
  mpfr_clear(exact);
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 1000000;
  unsigned long seed = 1;
  bool error = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::atol(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = std::strtoul(argv[++i], nullptr, 10);
    } else if (a == "--function" && i + 1 < argc) {
      only = argv[++i];
    } else if (a == "--error") {
      error = true;
    } else {
      std::fprintf(stderr,
                   "usage: correct_rounding [--count N] [--seed S] [--error] [--function NAME]\n");
      return 2;
    }
  }
  std::mt19937_64 g(seed);
  long wrong = 0;
  for (const Function& f : kFunctions) {
    if (!only.empty() && only != f.name) continue;
    const auto report = [&](const char* set, const Tally& t) {
      std::printf("%-4s %-8s %11ld tried, misrounded: %ld scalar, %ld lanes (the C library: %ld)\n",
                  f.name, set, t.tried, t.scalar_wrong, t.lanes_wrong, t.libc_wrong);
      std::fflush(stdout);
      wrong += t.scalar_wrong + t.lanes_wrong;
    };
    for (const bool by_bits : {true, false}) {
      Tally total;
      std::uniform_real_distribution<double> u(f.low, f.high);
      for (long done = 0; done < count; done += 1 << 20) {
        std::vector<double> xs;
        for (long i = done; i < std::min(count, done + (1 << 20)); ++i) {
          xs.push_back(by_bits ? std::bit_cast<double>(g()) : u(g));
        }
        check(f, xs, total);
      }
      report(by_bits ? "bits" : "values", total);
    }
    Tally near, special;
    check(f, near_midpoints(f, g, std::max(count / 10, 1000L)), near);
    report("near", near);
    check(f, specials(f), special);
    report("special", special);
    if (error) {
      const double e = fast_path_error(f, g, count);
      std::printf("%-4s fast path: largest relative error 2^%.2f over %ld arguments (the test's "
                  "bound 2^%.0f)\n", f.name, std::log2(e), count, std::log2(f.test_bound));
      if (!(e < f.test_bound)) ++wrong;
    }
  }
  return wrong == 0 ? 0 : 1;
}
