// The proof by testing of tarvik's correctly rounded functions: each result
// against MPFR's correctly rounded one (the same precision and exponent
// range as binary64, subnormals included), scalar and in four vector lanes,
// over
//   bits     doubles uniform in their bit patterns (every sign and exponent),
//   values   doubles uniform in value over the function's interesting range,
//   near     x = RN(ln m) for midpoints m of random doubles: exp(x) is
//            within some |x| ulps of a midpoint, closer the smaller |x|,
//   special  +-0, subnormals, the overflow and underflow thresholds and
//            their neighbours, +-inf, NaN;
// and, with --error, the largest relative error of the fast path's
// double-double before its rounding test, which the test's bound must
// exceed. Exits 1 on any misrounded result.
//
//   correct_rounding [--count N] [--seed S] [--error]
#include <mpfr.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "special/exp.hpp"

namespace {

using namespace tarvik::rational;
using Lanes = double __attribute__((vector_size(32)));

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
  double exp(double x) {
    mpfr_set_d(x_, x, MPFR_RNDN);
    const int t = mpfr_exp(y_, x_, MPFR_RNDN);
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

void check(const std::vector<double>& xs, Reference& ref, Tally& tally) {
  for (std::size_t i = 0; i < xs.size(); i += 4) {
    Lanes v = {0, 0, 0, 0};
    const std::size_t n = std::min<std::size_t>(4, xs.size() - i);
    for (std::size_t k = 0; k < n; ++k) v[k] = xs[i + k];
    const Lanes lanes = exp_correct(v);
    for (std::size_t k = 0; k < n; ++k) {
      const double x = xs[i + k], want = ref.exp(x);
      ++tally.tried;
      if (!same(exp_correct(x), want)) {
        if (++tally.scalar_wrong <= 10) {
          std::printf("  misrounded exp(%a): %a, not %a\n", x, exp_correct(x), want);
        }
      }
      if (!same(lanes[k], want)) ++tally.lanes_wrong;
      if (!same(std::exp(x), want)) ++tally.libc_wrong;
    }
  }
}

std::vector<double> specials() {
  std::vector<double> v = {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, 0x1p-54, -0x1p-54,
                           0x1p-53, -0x1p-53, 1.0, -1.0, kExpOverflow, -745.1332191019411,
                           -745.1332191019412, -708.3964185322641, -707.5, 709.78, 710.0,
                           -746.0, __builtin_inf(), -__builtin_inf(), __builtin_nan("")};
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isfinite(v[i])) {
      v.push_back(std::nextafter(v[i], __builtin_inf()));
      v.push_back(std::nextafter(v[i], -__builtin_inf()));
    }
  }
  return v;
}

// x = RN(ln m) for midpoints m of random doubles y in the normal range.
std::vector<double> near_midpoints(std::mt19937_64& g, long count) {
  std::vector<double> xs;
  mpfr_t m, l;
  mpfr_init2(m, 64);
  mpfr_init2(l, 53);
  std::uniform_real_distribution<double> e(-707.0, 709.0);
  for (long i = 0; i < count; ++i) {
    const double y = std::exp(e(g));
    mpfr_set_d(m, y, MPFR_RNDN);
    mpfr_set_d(l, std::nextafter(y, __builtin_inf()), MPFR_RNDN);
    mpfr_add(m, m, l, MPFR_RNDN);  // exact in 64 bits
    mpfr_div_2ui(m, m, 1, MPFR_RNDN);
    mpfr_log(l, m, MPFR_RNDN);
    xs.push_back(mpfr_get_d(l, MPFR_RNDN));
  }
  mpfr_clear(m);
  mpfr_clear(l);
  return xs;
}

// The fast path's largest relative error over `count` arguments.
double fast_path_error(std::mt19937_64& g, long count) {
  mpfr_t y, v, x;
  mpfr_inits2(300, y, v, x, static_cast<mpfr_ptr>(nullptr));
  std::uniform_real_distribution<double> wide(kExpFastLow, kExpOverflow), unit(-1.0, 1.0);
  double worst = 0.0;
  for (long i = 0; i < count; ++i) {
    const double arg = i % 3 == 0 ? wide(g)
                       : i % 3 == 1 ? unit(g)
                                    : std::ldexp(unit(g), -static_cast<int>(g() % 60));
    std::int64_t m = 0;
    const Pair<double> p = exp_reduced(arg, m);
    mpfr_set_d(x, arg, MPFR_RNDN);
    mpfr_exp(y, x, MPFR_RNDN);
    mpfr_mul_2si(y, y, -m, MPFR_RNDN);
    mpfr_set_d(v, p.hi, MPFR_RNDN);
    mpfr_add_d(v, v, p.lo, MPFR_RNDN);
    mpfr_sub(v, v, y, MPFR_RNDN);
    mpfr_div(v, v, y, MPFR_RNDN);
    worst = std::max(worst, std::fabs(mpfr_get_d(v, MPFR_RNDN)));
  }
  mpfr_clears(y, v, x, static_cast<mpfr_ptr>(nullptr));
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 1000000;
  unsigned long seed = 1;
  bool error = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::atol(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = std::strtoul(argv[++i], nullptr, 10);
    } else if (a == "--error") {
      error = true;
    } else {
      std::fprintf(stderr, "usage: correct_rounding [--count N] [--seed S] [--error]\n");
      return 2;
    }
  }
  std::mt19937_64 g(seed);
  Reference ref;
  long wrong = 0;
  const auto report = [&](const char* set, const std::vector<double>& xs) {
    Tally t;
    check(xs, ref, t);
    std::printf("exp %-8s %10ld tried, misrounded: %ld scalar, %ld lanes (the C library: %ld)\n",
                set, t.tried, t.scalar_wrong, t.lanes_wrong, t.libc_wrong);
    wrong += t.scalar_wrong + t.lanes_wrong;
  };
  const long chunk = 1 << 20;
  for (const char* set : {"bits", "values"}) {
    Tally total;
    for (long done = 0; done < count; done += chunk) {
      std::vector<double> xs;
      for (long i = done; i < std::min(count, done + chunk); ++i) {
        double x = std::bit_cast<double>(g());
        if (std::strcmp(set, "values") == 0) {
          x = std::uniform_real_distribution<double>(-746.0, 710.0)(g);
        }
        xs.push_back(x);
      }
      check(xs, ref, total);
    }
    std::printf("exp %-8s %10ld tried, misrounded: %ld scalar, %ld lanes (the C library: %ld)\n",
                set, total.tried, total.scalar_wrong, total.lanes_wrong, total.libc_wrong);
    wrong += total.scalar_wrong + total.lanes_wrong;
  }
  report("near", near_midpoints(g, std::max(count / 10, 1000L)));
  report("special", specials());
  if (error) {
    const double e = fast_path_error(g, count);
    std::printf("exp fast path: largest relative error 2^%.2f over %ld arguments (test bound 2^%.0f)\n",
                std::log2(e), count, std::log2(kExpTestError));
    if (e >= kExpTestError) ++wrong;
  }
  return wrong == 0 ? 0 : 1;
}
