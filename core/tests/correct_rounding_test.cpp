// The correctly rounded exp and log where a mistake would hide: special
// values, the thresholds of overflow, of subnormal results and of the
// shortcuts near 0 (exp) and 1 (log), against values worked out by hand or
// by MPFR; the lanes against the scalar path.
// (Random and near-midpoint arguments against MPFR: reference/correct_rounding.)
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "special/exp.hpp"
#include "special/log.hpp"

namespace {

using tarvik::rational::exp_correct;
using tarvik::rational::log_correct;
using Lanes = double __attribute__((vector_size(32)));

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Case {
  double x, want;
};

class ExpValues : public ::testing::TestWithParam<Case> {};

TEST_P(ExpValues, Exact) {
  const Case c = GetParam();
  EXPECT_EQ(bits(exp_correct(c.x)), bits(c.want)) << std::hexfloat << c.x;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Thresholds, ExpValues,
    ::testing::Values(
        Case{0.0, 1.0}, Case{-0.0, 1.0}, Case{0x1p-1074, 1.0}, Case{-0x1p-1074, 1.0},
        // 1 + x below the midpoint 1 + 2^-53, 1 - 2^-54 just above 1 - 2^-54.
        Case{0x1p-54, 1.0}, Case{-0x1p-54, 1.0},
        // exp(2^-53) = 1 + 2^-53 + 2^-107...: above the midpoint, rounds up.
        Case{0x1p-53, 1.0000000000000002},
        Case{1.0, 2.718281828459045}, Case{-1.0, 0.36787944117144233},
        // The largest x below overflow, and the next double.
        Case{0x1.62e42fefa39efp+9, 0x1.fffffffffff2ap+1023}, Case{0x1.62e42fefa39f0p+9, kInf},
        // The least subnormal: exp(x) in (2^-1075, 3 2^-1075) rounds to 2^-1074.
        Case{-745.1332191019411, 0x1p-1074}, Case{-745.1332191019412, 0.0},
        // Just above 2^-1022, and a subnormal (MPFR's values).
        Case{-0x1.6232bdd7abcd2p+9, 0x1.000000000007cp-1022}, Case{-720.5, 0x0.00005cf08fffp-1022},
        Case{kInf, kInf}, Case{-kInf, 0.0}));

class LogValues : public ::testing::TestWithParam<Case> {};

TEST_P(LogValues, Exact) {
  const Case c = GetParam();
  EXPECT_EQ(bits(log_correct(c.x)), bits(c.want)) << std::hexfloat << c.x;
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, LogValues,
    ::testing::Values(
        Case{1.0, 0.0}, Case{0.0, -kInf}, Case{-0.0, -kInf}, Case{kInf, kInf},
        Case{2.0, 0x1.62e42fefa39efp-1}, Case{10.0, 0x1.26bb1bbb55516p+1},
        // The ends of the range, a subnormal among them (MPFR's values).
        Case{0x1p-1074, -0x1.74385446d71c3p+9}, Case{0x1.fffffffffffffp+1023, 0x1.62e42fefa39efp+9},
        // Next to 1, and 1 + 6 2^-52, whose log lies within 2^-100 of a midpoint.
        Case{0x1.0000000000001p+0, 0x1.fffffffffffffp-53}, Case{0x1.fffffffffffffp-1, -0x1p-53},
        Case{0x1.0000000000006p+0, 0x1.7fffffffffffcp-50},
        // sqrt(2) rounded, where the reduction turns to m/2.
        Case{0x1.6a09e667f3bcdp+0, 0x1.62e42fefa39fp-2}));

TEST(ExpAndLog, NaNStaysNaNAndNegativesGiveNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(exp_correct(nan)));
  EXPECT_TRUE(std::isnan(log_correct(nan)));
  EXPECT_TRUE(std::isnan(log_correct(-1.0)));
  EXPECT_TRUE(std::isnan(log_correct(-kInf)));
}

TEST(ExpAndLog, LanesAreTheScalarPath) {
  std::mt19937_64 g(7);
  std::uniform_real_distribution<double> wide(-750.0, 712.0), unit(-2.0, 2.0);
  for (int i = 0; i < 100000; ++i) {
    Lanes v;
    for (int k = 0; k < 4; ++k) v[k] = (i + k) % 2 ? wide(g) : unit(g);
    const Lanes r = exp_correct(v);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(bits(r[k]), bits(exp_correct(v[k]))) << std::hexfloat << v[k];
    // log over every exponent, and near 1.
    for (int k = 0; k < 4; ++k) {
      v[k] = k % 2 ? std::bit_cast<double>(g() >> 1) : 1.0 + std::ldexp(unit(g), -static_cast<int>(g() % 54));
    }
    const Lanes l = log_correct(v);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(bits(l[k]), bits(log_correct(v[k]))) << std::hexfloat << v[k];
  }
}

}  // namespace
