// The lane kernels against the scalar front ends, bit for bit, on every path
// this processor runs (and the 8-lane source in plain vector code): seeded
// families of inputs that reach all four solver regions (and every branch of
// the normal model's inversion), both option kinds on both sides of the
// money, prices at and beyond their bounds, special values and arbitrary bit
// patterns, in blocks of every length. An element
// the scalar function rejects must be the quiet NaN 0x7ff8000000000000. With
// one description of each formula, what these check is the lane schedule:
// the classification, compaction and padding of every branch.
#include "lanes/lanes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "black/normalised_black.hpp"
#include "black/price_plans.hpp"
#include "black/terms.hpp"
#include "lanes_wide.hpp"
#include "special/erfcx.hpp"
#include "tarvik/bachelier.hpp"
#include "tarvik/black.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/normal.hpp"

namespace tarvik::lanes {
namespace {

constexpr std::size_t kPerFamily = 1 << 18;  // six families: 1.5e6 inputs per entry point
constexpr std::uint64_t kRejected = 0x7ff8000000000000;

// splitmix64.
struct Rng {
  std::uint64_t state;
  std::uint64_t bits() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(bits() >> 11) * 0x1.0p-53);
  }
  double log_uniform(double lo, double hi) { return std::exp(uniform(std::log(lo), std::log(hi))); }
  bool coin() { return (bits() & 1) != 0; }
  double raw() { return std::bit_cast<double>(bits()); }
  template <std::size_t N>
  double pick(const double (&v)[N]) {
    return v[bits() % N];
  }
};

constexpr double kInf = __builtin_inf();
constexpr double kSpecial[] = {
    __builtin_nan(""),      kInf, -kInf, 0.0,   -0.0, 5e-324, -5e-324, 0x1p-1022, 1e-300, 1e300,
    0x1.fffffffffffffp1023, -1.0, 1.0,   100.0, 0.5,  -1e300};

// An element of either front end: (price, forward, strike, maturity) or
// (beta, x), and the option kind.
struct Case {
  double in[4];
  bool call;
};

Case priced(Rng& r, double forward, double x, double s, double maturity) {
  const double strike = forward * std::exp(-x);
  const bool call = r.coin();  // in or out of the money, as x falls
  return {{black_price_total_vol(forward, strike, s, call), forward, strike, maturity}, call};
}

// ---- implied_volatility(price, forward, strike, maturity, is_call) --------

Case near(Rng& r) {
  const double t = r.uniform(0.05, 2.0);
  return priced(r, 100.0 * r.log_uniform(0.5, 2.0), r.uniform(-0.3, 0.3),
                r.uniform(0.1, 0.6) * std::sqrt(t), t);
}

Case stressed(Rng& r) {
  const double t = r.log_uniform(1.0 / 365.0, 10.0);
  const double s = r.log_uniform(0.01, 3.0) * std::sqrt(t);
  return priced(r, 100.0, r.uniform(-4.0, 4.0) * s, s, t);
}

// Far wings, tiny and huge total volatilities (the lowest and highest regions,
// the asymptotic and small-t expansions), exactly at the money, extreme scales.
Case extreme(Rng& r) {
  const double x = r.bits() % 8 == 0 ? 0.0 : (r.coin() ? 1 : -1) * r.log_uniform(1e-12, 300.0);
  return priced(r, r.log_uniform(1e-6, 1e6), x, r.log_uniform(1e-5, 60.0),
                r.log_uniform(1e-4, 30.0));
}

// ---- normalised_implied_volatility(beta, x, is_call) -----------------------

// A put at x is priced as the call at -x.
Case normalised_priced(Rng& r, double x, double s) {
  const bool call = r.coin();
  return {{rational::normalised_black_call(call ? x : -x, s), x}, call};
}

Case moderate(Rng& r) {
  return normalised_priced(r, r.uniform(-3.0, 3.0), r.log_uniform(0.01, 5.0));
}

Case wide(Rng& r) {
  const double x = r.bits() % 8 == 0 ? 0.0 : (r.coin() ? 1 : -1) * r.log_uniform(1e-12, 500.0);
  return normalised_priced(r, x, r.log_uniform(1e-6, 60.0));
}

// Log-moneyness so large that the vega at the central branch point underflows,
// or subnormal.
Case huge_x(Rng& r) {
  const double x = r.coin() ? r.uniform(-1500.0, 1500.0) : r.uniform(-1, 1) * 0x1p-1030;
  return normalised_priced(r, x, r.log_uniform(1e-3, 80.0));
}

// ---- bachelier_implied_volatility(price, forward, strike, maturity, is_call)

// Rates-like forwards of either sign, u = |F - K|/(sigma sqrt T) from the
// money (u/w a rational in w = 1/r, no logarithm) to the far tail (a
// rational in y = -2 ln r on each of its four pieces, with ln r, and
// ln v - ln a where r is subnormal) in every range of q's tables.
Case normal_priced(Rng& r, double forward, double u, double s, double maturity) {
  const double strike = forward + (r.coin() ? u : -u) * s;
  const bool call = r.coin();
  const double vol = s / std::sqrt(maturity);
  const Result<double> price = bachelier_price(forward, strike, maturity, vol, call);
  return {{price.ok() ? price.value() : 0.0, forward, strike, maturity}, call};
}

Case normal_near(Rng& r) {
  const double t = r.uniform(0.1, 10.0);
  return normal_priced(r, r.uniform(-0.01, 0.05), r.uniform(0.0, 3.0), r.uniform(0.001, 0.03), t);
}

Case normal_far(Rng& r) {
  const double t = r.log_uniform(1e-3, 30.0);
  return normal_priced(r, r.uniform(-100.0, 100.0), r.uniform(0.0, 39.0), r.log_uniform(1e-4, 10.0),
                       t);
}

// Extreme scales, at and next to the money (no inversion), and prices at,
// beside and below the intrinsic value, subnormal time values included.
Case normal_extreme(Rng& r) {
  const double scale = r.log_uniform(1e-200, 1e200);
  const double u = r.bits() % 4 == 0 ? r.log_uniform(1e-14, 1e-9) : r.log_uniform(1e-3, 38.0);
  Case o = normal_priced(r, scale * r.uniform(-1, 1), r.bits() % 8 == 0 ? 0.0 : u,
                         scale * r.log_uniform(1e-3, 1.0), r.log_uniform(1e-4, 30.0));
  if (r.coin()) return o;
  const double m = o.call ? o.in[1] - o.in[2] : o.in[2] - o.in[1];
  const double intrinsic = m > 0.0 ? m : 0.0;
  const double candidates[] = {
      intrinsic, std::nextafter(intrinsic, -kInf),      std::nextafter(intrinsic, kInf), 0.0, -0.0,
      5e-324,    intrinsic + 5e-324 * r.uniform(1, 1e6)};
  o.in[0] = r.pick(candidates);
  return o;
}

// bachelier_price and its sensitivities (forward, strike, maturity, vol): u up
// to the tail where phi(d) underflows or d overflows, zero, signed-zero,
// subnormal and negative volatilities, extreme scales.
Case normal_inputs(Rng& r) {
  const double scale = r.coin() ? 0.01 : r.log_uniform(1e-200, 1e200);
  const double s = scale * r.log_uniform(1e-3, 1.0);
  const double t = r.log_uniform(1e-4, 30.0);
  const double u = r.coin() ? r.uniform(0.0, 3.0) : r.log_uniform(1e-3, 1e3);
  const double forward = scale * r.uniform(-1, 1);
  const double vol_choices[] = {s / std::sqrt(t), 0.0, -0.0, 5e-324, -s};
  const double vol = r.bits() % 4 == 0 ? r.pick(vol_choices) : vol_choices[0];
  return {{forward, forward + (r.coin() ? u : -u) * s, t, vol}, r.coin()};
}

// ---- families over both ------------------------------------------------------

// Prices at, just inside and just beyond the intrinsic value and the maximum.
template <Case (*Base)(Rng&), bool kNormalised>
Case bounds(Rng& r) {
  Case o = Base(r);
  double intrinsic, maximum;
  if (kNormalised) {
    intrinsic = std::fmax((o.call ? 1 : -1) * rational::normalised_intrinsic(o.in[1]), 0.0);
    maximum = std::exp(o.in[1] * (o.call ? 0.5 : -0.5));
  } else {
    intrinsic = black_intrinsic(o.in[1], o.in[2], o.call);
    maximum = o.call ? o.in[1] : o.in[2];
  }
  const double candidates[] = {intrinsic,
                               std::nextafter(intrinsic, -kInf),
                               std::nextafter(intrinsic, kInf),
                               maximum,
                               std::nextafter(maximum, -kInf),
                               std::nextafter(maximum, kInf),
                               0.0,
                               -0.0,
                               5e-324,
                               intrinsic + 5e-324 * r.uniform(1, 1e6),
                               o.in[0] * (1 + 1e-15 * r.uniform(-4, 4))};
  o.in[0] = r.pick(candidates);
  return o;
}

// Special values, or arbitrary bit patterns (mostly positive, to pass more
// checks), in some of the inputs.
template <Case (*Base)(Rng&), int kInputs>
Case specials(Rng& r) {
  Case o = Base(r);
  for (int i = 0; i < kInputs; ++i)
    if (r.bits() % 3 == 0) o.in[i] = r.pick(kSpecial);
  return o;
}
template <Case (*Base)(Rng&), int kInputs>
Case bit_patterns(Rng& r) {
  Case o = Base(r);
  for (int i = 0; i < kInputs; ++i) {
    if (r.bits() % 4 != 0) o.in[i] = std::abs(r.raw());
    if (r.bits() % 4 == 0) o.in[i] = r.raw();
  }
  return o;
}

using Family = std::pair<const char*, Case (*)(Rng&)>;
const Family kPriceFamilies[] = {
    {"near", near},
    {"stressed", stressed},
    {"extreme", extreme},
    {"bounds",
     [](Rng& r) { return r.coin() ? bounds<near, false>(r) : bounds<extreme, false>(r); }},
    {"specials", [](Rng& r) { return r.coin() ? specials<near, 4>(r) : specials<stressed, 4>(r); }},
    {"bit patterns", bit_patterns<near, 4>}};
const Family kNormalisedFamilies[] = {
    {"moderate", moderate},
    {"wide", wide},
    {"huge x", huge_x},
    {"bounds", [](Rng& r) { return r.coin() ? bounds<moderate, true>(r) : bounds<wide, true>(r); }},
    {"specials", specials<moderate, 2>},
    {"bit patterns", bit_patterns<moderate, 2>}};

const Family kNormalFamilies[] = {
    {"near", normal_near},
    {"far", normal_far},
    {"extreme", normal_extreme},
    {"specials",
     [](Rng& r) { return r.coin() ? specials<normal_near, 4>(r) : specials<normal_far, 4>(r); }},
    {"extreme specials", specials<normal_extreme, 4>},
    {"bit patterns", bit_patterns<normal_near, 4>}};

const Family kNormalPriceFamilies[] = {{"inputs", normal_inputs},
                                       {"specials", specials<normal_inputs, 4>},
                                       {"bit patterns", bit_patterns<normal_inputs, 4>}};

// ---- the paths --------------------------------------------------------------

using IvBlock = void (*)(const double*, const double*, const double*, const double*,
                         const std::uint8_t*, std::size_t, double*);
using NormalisedBlock = void (*)(const double*, const double*, const std::uint8_t*, std::size_t,
                                 double*);
using FormulaBlock = void (*)(BachelierFormula, const double*, const double*, const double*,
                              const double*, const std::uint8_t*, std::size_t, double*);

struct LanePath {
  std::string name;
  bool available;
  IvBlock iv;
  IvBlock black;
  NormalisedBlock normalised;
  IvBlock normal;
  FormulaBlock normal_formula;
};

template <Path P>
LanePath library_path() {
  return {
      path_name(P),
      path_available(P),
      [](const double* p, const double* f, const double* k, const double* t, const std::uint8_t* c,
         std::size_t n, double* out) { implied_volatility_block(P, p, f, k, t, c, n, out); },
      [](const double* p, const double* f, const double* k, const double* t, const std::uint8_t* c,
         std::size_t n, double* out) { black_implied_volatility_block(P, p, f, k, t, c, n, out); },
      [](const double* b, const double* x, const std::uint8_t* c, std::size_t n, double* out) {
        normalised_implied_volatility_block(P, b, x, c, n, out);
      },
      [](const double* p, const double* f, const double* k, const double* t, const std::uint8_t* c,
         std::size_t n,
         double* out) { bachelier_implied_volatility_block(P, p, f, k, t, c, n, out); },
      [](BachelierFormula w, const double* f, const double* k, const double* t, const double* v,
         const std::uint8_t* c, std::size_t n,
         double* out) { bachelier_block(P, w, f, k, t, v, c, n, out); }};
}

std::vector<LanePath> paths() {
  std::vector<LanePath> all = {library_path<Path::Portable>(), library_path<Path::Avx2>(),
                               library_path<Path::Avx512>()};
#if TARVIK_TEST_WIDE8
  all.push_back({"wide8", true, testing::implied_volatility_block_wide,
                 testing::black_implied_volatility_block_wide,
                 testing::normalised_implied_volatility_block_wide,
                 testing::bachelier_implied_volatility_block_wide, testing::bachelier_block_wide});
#endif
  return all;
}

// Feeds kPerFamily elements of each family to the path in blocks of seeded
// lengths 1 to kBlock and counts the elements whose bits differ from the
// scalar result (the quiet NaN where that fails), printing the first few.
template <std::size_t N, class Block, class Scalar>
void expect_scalar_bits(const Family (&families)[N], std::uint64_t seed, Block block,
                        Scalar scalar) {
  alignas(64) double in[4][kBlock];
  alignas(64) std::uint8_t calls[kBlock];
  double out[kBlock];
  std::vector<Case> cases(kBlock);
  for (const auto& [name, generate] : families) {
    Rng r{++seed};
    std::size_t bad = 0;
    for (std::size_t done = 0; done < kPerFamily;) {
      const std::size_t n = r.bits() % 4 == 0 ? 1 + r.bits() % kBlock : kBlock;
      for (std::size_t i = 0; i < n; ++i) {
        cases[i] = generate(r);
        for (int c = 0; c < 4; ++c) in[c][i] = cases[i].in[c];
        calls[i] = cases[i].call;
      }
      block(in, calls, n, out);
      for (std::size_t i = 0; i < n; ++i) {
        const Result<double> want = scalar(cases[i]);
        const std::uint64_t want_bits =
            want.ok() ? std::bit_cast<std::uint64_t>(want.value()) : kRejected;
        if (std::bit_cast<std::uint64_t>(out[i]) != want_bits && ++bad <= 5) {
          const double* v = cases[i].in;
          ADD_FAILURE() << name << std::hexfloat << " (" << v[0] << ", " << v[1] << ", " << v[2]
                        << ", " << v[3] << ", " << cases[i].call << ") in a block of " << n
                        << ": got " << out[i] << ", scalar " << want_bits;
        }
      }
      done += n;
    }
    EXPECT_EQ(bad, 0u) << name;
  }
}

class LanesTest : public ::testing::TestWithParam<LanePath> {
 protected:
  void SetUp() override {
    if (!GetParam().available) GTEST_SKIP() << GetParam().name << " does not run here";
  }
};

TEST_P(LanesTest, ImpliedVolatilityHasTheScalarBits) {
  const IvBlock iv = GetParam().iv;
  expect_scalar_bits(
      kPriceFamilies, 20240611,
      [iv](double (*in)[kBlock], const std::uint8_t* calls, std::size_t n, double* out) {
        iv(in[0], in[1], in[2], in[3], calls, n, out);
      },
      [](const Case& o) { return implied_volatility(o.in[0], o.in[1], o.in[2], o.in[3], o.call); });
}

TEST_P(LanesTest, AccurateMoneynessImpliedVolatilityHasTheScalarBits) {
  const IvBlock black = GetParam().black;
  expect_scalar_bits(
      kPriceFamilies, 20261208,
      [black](double (*in)[kBlock], const std::uint8_t* calls, std::size_t n, double* out) {
        black(in[0], in[1], in[2], in[3], calls, n, out);
      },
      [](const Case& o) {
        return black_implied_volatility(o.in[0], o.in[1], o.in[2], o.in[3], o.call);
      });
}

TEST_P(LanesTest, NormalisedImpliedVolatilityHasTheScalarBits) {
  const NormalisedBlock normalised = GetParam().normalised;
  expect_scalar_bits(
      kNormalisedFamilies, 20240621,
      [normalised](double (*in)[kBlock], const std::uint8_t* calls, std::size_t n, double* out) {
        normalised(in[0], in[1], calls, n, out);
      },
      [](const Case& o) { return normalised_implied_volatility(o.in[0], o.in[1], o.call); });
}

TEST_P(LanesTest, BachelierImpliedVolatilityHasTheScalarBits) {
  const IvBlock normal = GetParam().normal;
  expect_scalar_bits(
      kNormalFamilies, 20261207,
      [normal](double (*in)[kBlock], const std::uint8_t* calls, std::size_t n, double* out) {
        normal(in[0], in[1], in[2], in[3], calls, n, out);
      },
      [](const Case& o) {
        return bachelier_implied_volatility(o.in[0], o.in[1], o.in[2], o.in[3], o.call);
      });
}

// The price and the sensitivities built on phi(d) (forward, strike, maturity, vol).
TEST_P(LanesTest, BachelierFormulasHaveTheScalarBits) {
  using Scalar = Result<double> (*)(const Case&);
  const std::pair<BachelierFormula, Scalar> formulas[] = {
      {BachelierFormula::Price,
       [](const Case& o) { return bachelier_price(o.in[0], o.in[1], o.in[2], o.in[3], o.call); }},
      {BachelierFormula::Gamma,
       [](const Case& o) { return bachelier_gamma(o.in[0], o.in[1], o.in[2], o.in[3]); }},
      {BachelierFormula::Vega,
       [](const Case& o) { return bachelier_vega(o.in[0], o.in[1], o.in[2], o.in[3]); }},
      {BachelierFormula::Theta,
       [](const Case& o) { return bachelier_theta(o.in[0], o.in[1], o.in[2], o.in[3]); }},
      {BachelierFormula::Vanna,
       [](const Case& o) { return bachelier_vanna(o.in[0], o.in[1], o.in[2], o.in[3]); }},
      {BachelierFormula::Vomma,
       [](const Case& o) { return bachelier_vomma(o.in[0], o.in[1], o.in[2], o.in[3]); }}};
  const FormulaBlock block = GetParam().normal_formula;
  std::uint64_t seed = 20261208;
  for (const auto& [which, scalar] : formulas) {
    SCOPED_TRACE(static_cast<int>(which));
    expect_scalar_bits(
        kNormalPriceFamilies, seed += 10,
        [block, which](double (*in)[kBlock], const std::uint8_t* calls, std::size_t n,
                       double* out) { block(which, in[0], in[1], in[2], in[3], calls, n, out); },
        scalar);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, LanesTest, ::testing::ValuesIn(paths()),
                         [](const ::testing::TestParamInfo<LanePath>& p) { return p.param.name; });

}  // namespace
// The vector stage of the Black-76 batches: every class of input, in runs of
// every length up to 128, gives the scalar checks and terms bit for bit.
TEST(BlackTerms, EveryPathHasTheScalarBits) {
  constexpr double kNaN = __builtin_nan("");
  const double v[] = {kNaN, -kInf, -1.0, -0.0, 0.0, 5e-324, 0.3, 100.0, 1e308, kInf};
  std::vector<std::array<double, 4>> rows;
  for (double f : v)
    for (double k : v)
      for (double t : v)
        for (double s : v) rows.push_back({f, k, t, s});
  for (const Path path : {Path::Portable, Path::Avx2, Path::Avx512}) {
    if (!path_available(path)) continue;
    for (std::size_t start = 0, n = 1; start < rows.size(); start += n, n = n % 128 + 1) {
      n = std::min(n, rows.size() - start);
      double in[4][128], ln_f[128], ln_k[128], sqrt_t[128], s[128], x[128], d1[128];
      bool ok[128];
      for (std::size_t j = 0; j < n; ++j) {
        for (int c = 0; c < 4; ++c) in[c][j] = rows[start + j][c];
        ln_f[j] = std::log(in[0][j]), ln_k[j] = std::log(in[1][j]), sqrt_t[j] = std::sqrt(in[2][j]);
      }
      black_terms(path, in[0], in[1], in[2], in[3], ln_f, ln_k, sqrt_t, n, s, x, d1, ok);
      // Bit for bit, but any NaN for a NaN: which operand's NaN a product
      // passes on is the compiler's choice, and a NaN term only arises from
      // an input the checks reject.
      const auto same = [](double a, double b) {
        return (std::isnan(a) && std::isnan(b)) ||
               std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
      };
      for (std::size_t j = 0; j < n; ++j) {
        const double want_s = in[3][j] * sqrt_t[j], want_x = ln_f[j] - ln_k[j];
        ASSERT_EQ(ok[j], !validate_black_inputs(in[0][j], in[1][j], in[2][j], in[3][j]));
        ASSERT_TRUE(same(s[j], want_s) && same(x[j], want_x) &&
                    same(d1[j], black_d1(want_x, want_s)))
            << path_name(path) << " at " << in[0][j] << " " << in[1][j] << " " << in[2][j] << " "
            << in[3][j];
      }
    }
  }
}

// The Black-76 batch prices in lanes: every lane they call regular has its
// plan's price bit for bit (the plan taking the same x and d1), a rejected
// element is never regular, and both kinds occur; every path and the 8-lane
// build, runs of every length up to 128.
TEST(BlackPrices, EveryRegularLaneHasItsPlansBits) {
  constexpr double kNaN = __builtin_nan("");
  const double fk[] = {100.0, 50.0, 1.0, 5e-324, 1e-300, 1e300, kInf, kNaN};
  const double sv[] = {0.2, 0.0, 5e-324, 1e-160, 1e-300, 1.5, 1e154, 1e200, kInf, kNaN, -1.0};
  struct Row {
    double f, k, s;
    bool call, ok;
  };
  std::vector<Row> rows;
  Rng r{7};
  for (double f : fk)
    for (double k : fk)
      for (double s : sv)
        for (bool call : {true, false}) rows.push_back({f, k, s, call, r.bits() % 8 != 0});
  using Kernel = std::function<void(const double*, const double*, const double*, const double*,
                                    const double*, const bool*, const bool*, std::size_t,
                                    double*, bool*)>;
  std::vector<std::pair<std::string, Kernel>> kernels;
#if TARVIK_TEST_WIDE8
  kernels.emplace_back("wide8", testing::black_prices_wide);
#endif
  for (const Path path : {Path::Portable, Path::Avx2, Path::Avx512}) {
    if (!path_available(path)) continue;
    kernels.emplace_back(path_name(path), [path](const double* f, const double* k,
                                                 const double* s, const double* x,
                                                 const double* d1, const bool* c, const bool* ok,
                                                 std::size_t n, double* out, bool* regular) {
      black_prices(path, f, k, s, x, d1, c, ok, n, out, regular);
    });
  }
  for (const auto& [name, kernel] : kernels) {
    std::size_t regular_count = 0, other_count = 0;
    for (std::size_t start = 0, n = 1; start < rows.size(); start += n, n = n % 128 + 1) {
      n = std::min(n, rows.size() - start);
      double f[128], k[128], s[128], x[128], d1[128], out[128];
      bool call[128], ok[128], regular[128];
      for (std::size_t j = 0; j < n; ++j) {
        const Row& row = rows[start + j];
        f[j] = row.f, k[j] = row.k, s[j] = row.s, call[j] = row.call, ok[j] = row.ok;
        x[j] = elementary::log(f[j]) - elementary::log(k[j]);
        d1[j] = black_d1(x[j], s[j]);
      }
      kernel(f, k, s, x, d1, call, ok, n, out, regular);
      for (std::size_t j = 0; j < n; ++j) {
        ASSERT_TRUE(ok[j] || !regular[j]) << name;
        if (!regular[j]) {
          ++other_count;
          continue;
        }
        ++regular_count;
        const double want =
            BlackPricePlan::make_from(f[j], k[j], s[j], call[j], [&] {
              return BlackPricePlan::MoneynessD1{x[j], d1[j]};
            }).price();
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[j]), std::bit_cast<std::uint64_t>(want))
            << name << " at F " << f[j] << " K " << k[j] << " s " << s[j] << " call " << call[j];
      }
    }
    EXPECT_GT(regular_count, rows.size() / 4) << name;
    EXPECT_GT(other_count, rows.size() / 4) << name;
  }
}

// The Black-76 batch deltas in lanes: Phi(d1) for a call, -(1 - Phi(d1))
// for a put, the bits of norm_cdf and norm_cdf_c for every d1 (across erfc's
// ranges and beyond, zeros, infinities, NaNs of either sign); every path and
// the 8-lane build, runs of every length up to 40.
TEST(BlackDeltas, EqualNormCdfBitForBit) {
  std::vector<double> d1s = {0.0, -0.0, 1e-300, -5e-324, 0.3, -0.3, 1.4, -1.6, 2.5, -8.5,
                             37.0, -39.0, 1e300, kInf, -kInf, __builtin_nan(""),
                             -__builtin_nan("")};
  Rng r{11};
  for (int i = 0; i < 400; ++i) d1s.push_back(r.uniform(-40.0, 40.0));
  using Kernel = std::function<void(const double*, const bool*, std::size_t, double*)>;
  std::vector<std::pair<std::string, Kernel>> kernels;
#if TARVIK_TEST_WIDE8
  kernels.emplace_back("wide8", testing::black_deltas_wide);
#endif
  for (const Path path : {Path::Portable, Path::Avx2, Path::Avx512}) {
    if (!path_available(path)) continue;
    kernels.emplace_back(path_name(path),
                         [path](const double* d1, const bool* c, std::size_t n, double* out) {
                           black_deltas(path, d1, c, n, out);
                         });
  }
  for (const auto& [name, kernel] : kernels) {
    for (std::size_t start = 0, n = 1; start < d1s.size(); start += n, n = n % 40 + 1) {
      n = std::min(n, d1s.size() - start);
      bool call[40];
      double out[40];
      for (std::size_t j = 0; j < n; ++j) call[j] = (start + j) % 3 != 0;
      kernel(&d1s[start], call, n, out);
      for (std::size_t j = 0; j < n; ++j) {
        const double d1 = d1s[start + j];
        const double want = call[j] ? norm_cdf(d1) : -norm_cdf_c(d1);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[j]), std::bit_cast<std::uint64_t>(want))
            << name << " at d1 " << d1 << " call " << call[j];
      }
    }
  }
}

#if defined(TARVIK_LANES_X86) && defined(__GNUC__) && !defined(__clang__)
// The processor check of the dispatch (CPUID and XGETBV) against GCC's own,
// which asks the same of the processor and the operating system.
TEST(Dispatch, FeaturesAsTheCompilerSeesThem) {
  __builtin_cpu_init();
  EXPECT_EQ(path_available(Path::Avx2), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(path_available(Path::Avx512), __builtin_cpu_supports("avx512f") != 0);
  EXPECT_TRUE(path_available(Path::Portable));
}
#endif

// The FP-B row integrals of the American boundary: every path and row length
// the same bits, and the sums of the erfc-based terms to a few ulps.
TEST(AmericanRow, EveryPathTheSameSumsAsTheTerms) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int size = 1; size <= 41; size += 5) {
    std::vector<double> in[7];
    for (auto& column : in) column.resize(size);
    for (int k = 0; k < size; ++k) {
      const double v = 3.0 * unit(rng), sv = 0.6 * std::sqrt(v) + 1e-3;
      in[0][k] = unit(rng) < 0.1 ? -1e-18 : 0.5 * unit(rng);  // H, now and then below 0
      in[1][k] = sv, in[2][k] = 1.0 / sv, in[3][k] = 0.02 * v;
      in[4][k] = -0.05 * v, in[5][k] = unit(rng), in[6][k] = unit(rng);
    }
    std::vector<double> scratch(3 * size);
    for (const bool complement : {false, true}) {
      for (const double g : {-0.7, -0.05, 0.0}) {
        const AmericanRow row{in[0].data(), in[1].data(), in[2].data(), in[3].data(), in[4].data(),
                              in[5].data(), in[6].data(), scratch.data(), complement};
        double rate = 0.0, yield = 0.0, scale = 0.0;
        for (int k = 0; k < size; ++k) {
          const double dp = ((g + std::sqrt(std::max(in[0][k], 0.0))) + in[3][k]) * in[2][k];
          rate += in[5][k] * std::exp(in[4][k] - 0.5 * (dp - in[1][k]) * (dp - in[1][k]));
          const double cdf = complement ? -tarvik::norm_cdf(-dp) : tarvik::norm_cdf(dp);
          yield += in[6][k] * (cdf + tarvik::norm_pdf(dp) * in[2][k]);
          scale += in[6][k] * (std::fabs(cdf) + tarvik::norm_pdf(dp) * in[2][k]);
        }
        const AmericanIntegrals first = american_row_integrals(Path::Portable, row, size, g, true);
        EXPECT_NEAR(first.rate, rate, 1e-14 * rate) << size << " " << g;
        EXPECT_NEAR(first.yield, yield, 1e-14 * scale) << size << " " << g << " " << complement;
        for (const Path path : {Path::Avx2, Path::Avx512}) {
          if (!path_available(path)) continue;
          for (const bool with_yield : {false, true}) {
            const AmericanIntegrals got = american_row_integrals(path, row, size, g, with_yield);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got.rate),
                      std::bit_cast<std::uint64_t>(first.rate))
                << path_name(path) << " size " << size;
            EXPECT_EQ(got.yield, with_yield ? first.yield : 0.0)
                << path_name(path) << " size " << size;
          }
        }
      }
    }
  }
}

// The two-boundary sweep's distribution terms: every path and row length
// the bits of Phi(-dpy) + Phi(dpb) from the densities, each term within an
// ulp or two of tarvik::norm_cdf (the densities' exponent stands in for
// erfc's), over both tails, the middle, the cut between erfcx's ranges and
// infinities.
TEST(AmericanRegionCdf, EveryPathTheScalarBits) {
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const auto draw = [&](int kind) {
    switch (kind % 4) {
      case 0: return 0.6629 * unit(rng);  // about erfcx's first cut, |d| / sqrt 2 = 0.46875
      case 1: return 8.0 * unit(rng);
      case 2: return 40.0 * unit(rng);
      default: return rng() % 2 ? kInf : -kInf;
    }
  };
  for (std::size_t n = 1; n <= 23; n += 2) {
    std::vector<double> dpb(n), dpy(n), eb(n), ey(n), want(n);
    for (std::size_t k = 0; k < n; ++k) {
      dpb[k] = draw(static_cast<int>(rng() % 4));
      dpy[k] = draw(static_cast<int>(rng() % 4));
      eb[k] = std::exp(-0.5 * (dpb[k] * dpb[k]));
      ey[k] = std::exp(-0.5 * (dpy[k] * dpy[k]));
      want[k] = rational::norm_cdf_given_density(-dpy[k], ey[k]) +
                rational::norm_cdf_given_density(dpb[k], eb[k]);
      EXPECT_NEAR(want[k], tarvik::norm_cdf(-dpy[k]) + tarvik::norm_cdf(dpb[k]), 1e-15)
          << dpb[k] << " " << dpy[k];
    }
    for (const Path path : {Path::Portable, Path::Avx2, Path::Avx512}) {
      if (!path_available(path)) continue;
      std::vector<double> out(n);
      american_region_cdf(path, dpb.data(), dpy.data(), eb.data(), ey.data(), n, out.data());
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[k]), std::bit_cast<std::uint64_t>(want[k]))
            << path_name(path) << " n " << n << " at " << k;
      }
    }
  }
}

// The interpolation of the American boundary: every path, for every count of
// nodes and of blocks, each point's sum of products in the order of j, bit
// for bit; the weights of mixed signs and scales, so that another order of
// the sum would show.
TEST(AmericanInterpolation, EveryPathSumsEachPointInOrder) {
  constexpr std::size_t kPoints = kAmericanInterpolationBlock;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (const int n : {1, 2, 7, 16, 33}) {
    for (const std::size_t blocks : {1u, 3u}) {
      const std::size_t padded = blocks * kPoints;
      std::vector<double> weight(padded * n), h(n);
      for (double& w : weight) w = std::ldexp(unit(rng), static_cast<int>(rng() % 60) - 30);
      for (double& v : h) v = unit(rng);
      for (const Path path : {Path::Portable, Path::Avx2, Path::Avx512}) {
        if (!path_available(path)) continue;
        std::vector<double> out(padded);
        american_interpolate(path, weight.data(), h.data(), n, padded, out.data());
        for (std::size_t p = 0; p < padded; ++p) {
          const double* w = weight.data() + p / kPoints * kPoints * n + p % kPoints;
          double sum = 0.0;
          for (int j = 0; j < n; ++j) sum += w[j * kPoints] * h[j];
          ASSERT_EQ(std::bit_cast<std::uint64_t>(out[p]), std::bit_cast<std::uint64_t>(sum))
              << path_name(path) << " n " << n << " point " << p;
        }
      }
    }
  }
}

}  // namespace tarvik::lanes
