// The correctly rounded exp, log, expm1, log1p, erfc, sin, cos, atan2, sinh,
// cosh, asinh and cbrt where a mistake would hide: signed zeros,
// subnormals, the thresholds of overflow, of subnormal results, of -1, of 2
// and of the poles, the switches between methods, the tiny arguments whose
// result is x or its neighbour (worked out from x +- x^2/2, or x^3/6,
// against half an ulp), exact cubes and the shortcuts near 0 and 1, the
// arguments nearest a multiple of pi, the special pairs of atan2 and its
// results beside 0 and among the subnormals, against values worked out by
// hand, by mpmath or by MPFR; the lanes against the scalar path.
// (Random and near-midpoint arguments against MPFR: reference/correct_rounding.)
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

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

using tarvik::rational::asinh_correct;
using tarvik::rational::asinh_last_resort;
using tarvik::rational::atan2_correct;
using tarvik::rational::atan2_last_resort;
using tarvik::rational::cbrt_correct;
using tarvik::rational::cbrt_last_resort;
using tarvik::rational::cos_correct;
using tarvik::rational::cos_last_resort;
using tarvik::rational::cosh_correct;
using tarvik::rational::cosh_last_resort;
using tarvik::rational::erfc_correct;
using tarvik::rational::erfc_last_resort;
using tarvik::rational::exp_correct;
using tarvik::rational::expm1_correct;
using tarvik::rational::log1p_correct;
using tarvik::rational::log_correct;
using tarvik::rational::sin_correct;
using tarvik::rational::sin_last_resort;
using tarvik::rational::sinh_correct;
using tarvik::rational::sinh_last_resort;
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

class Expm1Values : public ::testing::TestWithParam<Case> {};
class Log1pValues : public ::testing::TestWithParam<Case> {};

TEST_P(Expm1Values, Exact) {
  const Case c = GetParam();
  EXPECT_EQ(bits(expm1_correct(c.x)), bits(c.want)) << std::hexfloat << c.x;
}

TEST_P(Log1pValues, Exact) {
  const Case c = GetParam();
  EXPECT_EQ(bits(log1p_correct(c.x)), bits(c.want)) << std::hexfloat << c.x;
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, Expm1Values,
    ::testing::Values(
        Case{0.0, 0.0}, Case{-0.0, -0.0}, Case{0x1p-1074, 0x1p-1074}, Case{-0x1p-1074, -0x1p-1074},
        Case{0x1p-1022, 0x1p-1022},
        // x^2/2 against half an ulp of x (2^-106 at 1.5 2^-53, 2^-107 below 2^-53).
        Case{0x1p-54, 0x1p-54}, Case{0x1p-53, 0x1p-53}, Case{0x1.8p-53, 0x1.8000000000001p-53},
        Case{-0x1.8p-53, -0x1.7ffffffffffffp-53},
        // -2^-53 + 2^-107 - 2^-159/6: just short of the midpoint.
        Case{-0x1p-53, -0x1p-53}, Case{-0x1p-52, -0x1.fffffffffffffp-53},
        Case{1.0, 0x1.b7e151628aed3p+0}, Case{-1.0, -0x1.43a54e4e98864p-1},
        // Around ln 2 and ln 2 / 2, where the reduction's m changes (mpmath).
        Case{-0x1.62e42fefa39efp-1, -0.5}, Case{0x1.62e42fefa39efp-2, 0x1.a827999fcef32p-2},
        Case{-20.0, -0x1.ffffffee4b79bp-1},
        // Either side of ln 2^-54: -1, and the double above it.
        Case{-0x1.2b708872320e2p+5, -1.0}, Case{-0x1.2b708872320e1p+5, -0x1.fffffffffffffp-1},
        Case{-38.0, -1.0}, Case{-1000.0, -1.0}, Case{-kInf, -1.0},
        Case{0x1.62e42fefa39efp+9, 0x1.fffffffffff2ap+1023}, Case{0x1.62e42fefa39f0p+9, kInf},
        Case{kInf, kInf}));

INSTANTIATE_TEST_SUITE_P(
    Thresholds, Log1pValues,
    ::testing::Values(
        Case{0.0, 0.0}, Case{-0.0, -0.0}, Case{0x1p-1074, 0x1p-1074}, Case{-0x1p-1074, -0x1p-1074},
        Case{0x1p-1022, 0x1p-1022},
        // x - x^2/2 against half an ulp of x.
        Case{0x1p-54, 0x1p-54}, Case{0x1p-53, 0x1p-53}, Case{0x1p-52, 0x1.fffffffffffffp-53},
        Case{0x1.8p-53, 0x1.7ffffffffffffp-53}, Case{-0x1.8p-53, -0x1.8000000000001p-53},
        Case{-0x1p-53, -0x1p-53},
        Case{1.0, 0x1.62e42fefa39efp-1}, Case{-0.5, -0x1.62e42fefa39efp-1},
        // The double next to -1: log(2^-53); the largest double (mpmath).
        Case{-0x1.fffffffffffffp-1, -0x1.25e4f7b2737fap+5},
        Case{0x1.fffffffffffffp+1023, 0x1.62e42fefa39efp+9},
        Case{-1.0, -kInf}, Case{kInf, kInf}));

class ErfcValues : public ::testing::TestWithParam<Case> {};

// The fast path (where it decides) and the last resort alone, each.
TEST_P(ErfcValues, Exact) {
  const Case c = GetParam();
  EXPECT_EQ(bits(erfc_correct(c.x)), bits(c.want)) << std::hexfloat << c.x;
  EXPECT_EQ(bits(erfc_last_resort(c.x)), bits(c.want)) << std::hexfloat << c.x;
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, ErfcValues,
    ::testing::Values(
        Case{0.0, 1.0}, Case{-0.0, 1.0}, Case{0x1p-1074, 1.0}, Case{0x1p-55, 1.0},
        // 1 -+ 2x/sqrt(pi) against half an ulp either side of 1.
        Case{0x1p-54, 0x1.fffffffffffffp-1}, Case{-0x1p-53, 0x1.0000000000001p+0},
        Case{1.0, 0x1.4226162fbddd5p-3}, Case{-1.0, 0x1.d7bb3d3a08445p+0},
        // Either side of the switch from erf's polynomial to exp(-x^2) erfcx (MPFR's values).
        Case{0.25, 0x1.728558ee694fcp-1}, Case{0x1.fffffffffffffp-3, 0x1.728558ee694fcp-1},
        Case{-0.25, 0x1.46bd5388cb582p+0},
        // Either side of the last resort's switch from the series to the continued fraction.
        Case{5.0, 0x1.b0c1a759f7739p-40}, Case{0x1.4000000000001p+2, 0x1.b0c1a759f76f4p-40},
        Case{-5.0, 0x1.fffffffffe4f4p+0}, Case{10.0, 0x1.7d8a7f2a8a2dp-149},
        // 2 - erfc(5.9) rounds to 2, as everything below.
        Case{-5.9, 2.0}, Case{-6.0, 2.0}, Case{-kInf, 2.0},
        // Near the subnormals, the subnormals, the least one, then 0.
        Case{26.5, 0x1.3df6725a60cf5p-1019}, Case{26.51, 0x1.762163353900ap-1020},
        Case{26.53, 0x1.02d64637eac1ep-1021}, Case{26.54, 0x1.3060b1cf44591p-1022},
        Case{26.55, 0x0.b2ee03853bf84p-1022},
        Case{26.6, 0x0.0c860a467b1a5p-1022}, Case{27.0, 0x0.0000000019e0fp-1022},
        Case{27.1, 0x0.00000000001d8p-1022}, Case{27.2, 0x0.0000000000002p-1022},
        Case{27.226, 0x0.0000000000001p-1022},
        Case{27.3, 0.0}, Case{kInf, 0.0}));

struct TrigCase {
  double x, sin, cos;
};

class TrigValues : public ::testing::TestWithParam<TrigCase> {};

// The fast path (where it decides) and the last resort alone, each.
TEST_P(TrigValues, Exact) {
  const TrigCase c = GetParam();
  EXPECT_EQ(bits(sin_correct(c.x)), bits(c.sin)) << std::hexfloat << c.x;
  EXPECT_EQ(bits(sin_last_resort(c.x)), bits(c.sin)) << std::hexfloat << c.x;
  EXPECT_EQ(bits(sin_correct(-c.x)), bits(-c.sin)) << std::hexfloat << -c.x;
  EXPECT_EQ(bits(cos_correct(c.x)), bits(c.cos)) << std::hexfloat << c.x;
  EXPECT_EQ(bits(cos_last_resort(c.x)), bits(c.cos)) << std::hexfloat << c.x;
  EXPECT_EQ(bits(cos_correct(-c.x)), bits(c.cos)) << std::hexfloat << -c.x;
}

// Values from mpmath at 4000 bits.
INSTANTIATE_TEST_SUITE_P(
    Thresholds, TrigValues,
    ::testing::Values(
        TrigCase{0.0, 0.0, 1.0}, TrigCase{0x1p-1074, 0x1p-1074, 1.0},
        // Either side of sin's shortcut (x) and of cos's (1).
        TrigCase{0x1.fffffffffffffp-27, 0x1.fffffffffffffp-27, 0x1.fffffffffffffp-1},
        TrigCase{0x1p-26, 0x1p-26, 0x1.fffffffffffffp-1},
        TrigCase{0x1.0000000000001p-27, 0x1.0000000000001p-27, 1.0},
        TrigCase{0x1p-27, 0x1p-27, 1.0},
        TrigCase{1.0, 0x1.aed548f090ceep-1, 0x1.14a280fb5068cp-1},
        // pi/64 and pi/32 rounded: next to the table's first rows.
        TrigCase{0x1.921fb54442d18p-6, 0x1.92155f7a3667ep-6, 0x1.ffd886084cd0dp-1},
        TrigCase{0x1.921fb54442d18p-5, 0x1.91f65f10dd814p-5, 0x1.ff621e3796d7ep-1},
        // pi/2 and pi rounded: the result is the rounding error of pi.
        TrigCase{0x1.921fb54442d18p+0, 1.0, 0x1.1a62633145c07p-54},
        TrigCase{0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53, -1.0},
        // The double nearest a multiple of pi below 2^18 (29 pi, 2^-59.5 away).
        TrigCase{0x1.6c6cbc45dc8dep+6, -0x1.6d61b58c99c43p-60, -1.0},
        // Either side of the switch to the Payne-Hanek reduction.
        TrigCase{0x1.fffffffffffffp+17, -0x1.58809c5ae56bcp-4, -0x1.fe2f9378c8f29p-1},
        TrigCase{0x1p18, -0x1.58809c5ce39b6p-4, -0x1.fe2f9378c3909p-1},
        TrigCase{1e22, -0x1.b453ab76bf397p-1, 0x1.0be2cef01c8f4p-1},
        // The double nearest a multiple of pi/2 (Muller's worst case), and the largest.
        TrigCase{0x1.6ac5b262ca1ffp+849, 1.0, -0x1.14ae72e6ba22fp-61},
        TrigCase{0x1.fffffffffffffp+1023, 0x1.452fc98b34e97p-8, -0x1.fffe62ecfab75p-1}));

struct PairCase {
  double y, x, want;
};

class Atan2Values : public ::testing::TestWithParam<PairCase> {};

TEST_P(Atan2Values, Exact) {
  const PairCase c = GetParam();
  EXPECT_EQ(bits(atan2_correct(c.y, c.x)), bits(c.want)) << std::hexfloat << c.y << ", " << c.x;
  EXPECT_EQ(bits(atan2_last_resort(c.y, c.x)), bits(c.want)) << std::hexfloat << c.y << ", " << c.x;
}

constexpr double kPi = 0x1.921fb54442d18p+1, kHalfPi = 0x1.921fb54442d18p+0;
constexpr double kQuarterPi = 0x1.921fb54442d18p-1, kThreeQuarterPi = 0x1.2d97c7f3321d2p+1;
constexpr double kMax = 0x1.fffffffffffffp+1023;

// C99 Annex F (F.9.1.4): the signed zeros and the infinities.
INSTANTIATE_TEST_SUITE_P(
    AnnexF, Atan2Values,
    ::testing::Values(
        PairCase{0.0, 0.0, 0.0}, PairCase{-0.0, 0.0, -0.0}, PairCase{0.0, -0.0, kPi},
        PairCase{-0.0, -0.0, -kPi}, PairCase{0.0, -1.0, kPi}, PairCase{-0.0, -1.0, -kPi},
        PairCase{0.0, 1.0, 0.0}, PairCase{-0.0, 1.0, -0.0}, PairCase{1.0, 0.0, kHalfPi},
        PairCase{-1.0, -0.0, -kHalfPi}, PairCase{1.0, -kInf, kPi}, PairCase{-1.0, -kInf, -kPi},
        PairCase{1.0, kInf, 0.0}, PairCase{-1.0, kInf, -0.0}, PairCase{kInf, 1.0, kHalfPi},
        PairCase{-kInf, -1.0, -kHalfPi}, PairCase{kInf, -kInf, kThreeQuarterPi},
        PairCase{-kInf, kInf, -kQuarterPi}, PairCase{kInf, kInf, kQuarterPi}));

// MPFR's values.
INSTANTIATE_TEST_SUITE_P(
    Thresholds, Atan2Values,
    ::testing::Values(
        // The diagonals, and either side of |y| = |x| (the swap of the ratio).
        PairCase{1.0, 1.0, kQuarterPi}, PairCase{-1.0, -1.0, -kThreeQuarterPi},
        PairCase{1.0, -1.0, kThreeQuarterPi}, PairCase{kMax, kMax, kQuarterPi},
        PairCase{0x1p-1022, 0x1p-1022, kQuarterPi},
        PairCase{1.0, 0x1.fffffffffffffp-1, 0x1.921fb54442d19p-1},
        PairCase{0x1.fffffffffffffp-1, 1.0, 0x1.921fb54442d18p-1},
        PairCase{3.0, 4.0, 0x1.4978fa3269ee1p-1}, PairCase{-4.0, 3.0, -0x1.dac670561bb4fp-1},
        // Either side of t = 1/128, where the table's first step begins.
        PairCase{0x1p-7, 1.0, 0x1.fffd555bbba97p-8},
        PairCase{0x1.0000000000001p-7, 1.0, 0x1.fffd555bbba99p-8},
        // Either side of the switch to the last resort for tiny ratios.
        PairCase{0x1p-900, 1.0, 0x1p-900},
        PairCase{0x1.fffffffffffffp-901, 1.0, 0x1.fffffffffffffp-901},
        // Subnormal results: y/x an exact midpoint, atan just below it, rounds down.
        PairCase{0x1p-1074, 1.0, 0x1p-1074}, PairCase{0x3p-1074, 2.0, 0x1p-1074},
        PairCase{0x1p-1074, 2.0, 0.0}, PairCase{0x1p-1074, 0x1.0000000000001p+1, 0.0},
        // Both subnormal; the widest ratios beside pi/2 and pi.
        PairCase{0x1p-1074, 0x1p-1073, 0x1.dac670561bb4fp-2}, PairCase{kMax, 0x1p-1074, kHalfPi},
        PairCase{-0x1p-1074, -kMax, -kPi}, PairCase{0x1p-1074, -1.0, kPi},
        PairCase{0x1.7e43c8800759cp+996, -0x1.56e1fc2f8f359p-997, kHalfPi}));

// sinh, cosh, asinh and cbrt: the fast path (where it decides) and the last
// resort alone, each, against MPFR's values.
struct Fn {
  double (*correct)(double);
  double (*last_resort)(double);
};
constexpr Fn kSinhFn{[](double x) { return sinh_correct(x); }, sinh_last_resort};
constexpr Fn kCoshFn{[](double x) { return cosh_correct(x); }, cosh_last_resort};
constexpr Fn kAsinhFn{[](double x) { return asinh_correct(x); }, asinh_last_resort};
constexpr Fn kCbrtFn{[](double x) { return cbrt_correct(x); }, cbrt_last_resort};

struct FnCase {
  Fn f;
  double x, want;
};

class MoreValues : public ::testing::TestWithParam<FnCase> {};

TEST_P(MoreValues, Exact) {
  const FnCase c = GetParam();
  EXPECT_EQ(bits(c.f.correct(c.x)), bits(c.want)) << std::hexfloat << c.x;
  EXPECT_EQ(bits(c.f.last_resort(c.x)), bits(c.want)) << std::hexfloat << c.x;
}

INSTANTIATE_TEST_SUITE_P(
    Hyperbolic, MoreValues,
    ::testing::Values(
        FnCase{kSinhFn, 0.0, 0.0}, FnCase{kSinhFn, -0.0, -0.0},
        FnCase{kSinhFn, 0x1p-1074, 0x1p-1074}, FnCase{kSinhFn, -0x1p-1022, -0x1p-1022},
        // x^3/6 against half an ulp of x: below it under 2^-26, above it at 1.5 2^-26.
        FnCase{kSinhFn, -0x1.fffffffffffffp-27, -0x1.fffffffffffffp-27},
        FnCase{kSinhFn, 0x1p-26, 0x1p-26}, FnCase{kSinhFn, 0x1.8p-26, 0x1.8000000000001p-26},
        // Either side of the switch from expm1's double-double to exp's.
        FnCase{kSinhFn, -1.0, -0x1.2cd9fc44eb982p+0},
        FnCase{kSinhFn, 0x1.fffffffffffffp-1, 0x1.2cd9fc44eb982p+0},
        // ln 2 and ln 2 / 2, where expm1's reduction changes m.
        FnCase{kSinhFn, 0x1.62e42fefa39efp-1, 0.75},
        FnCase{kSinhFn, 0x1.62e42fefa39efp-2, 0x1.6a09e667f3bccp-2},
        // Past exp's overflow (m = 1025), the last finite result, then inf.
        FnCase{kSinhFn, 0x1.62e42fefa39efp+9, 0x1.fffffffffff2ap+1022},
        FnCase{kSinhFn, -0x1.633ce8fb9f87dp+9, -0x1.ffffffffffd3bp+1023},
        FnCase{kSinhFn, 0x1.633ce8fb9f87ep+9, kInf}, FnCase{kSinhFn, -kInf, -kInf},
        FnCase{kCoshFn, -0.0, 1.0}, FnCase{kCoshFn, 0x1p-1074, 1.0},
        // 1 + x^2/2 against the midpoint 1 + 2^-53.
        FnCase{kCoshFn, 0x1.fffffffffffffp-27, 1.0},
        FnCase{kCoshFn, -0x1p-26, 0x1.0000000000001p+0},
        FnCase{kCoshFn, 1.0, 0x1.8b07551d9f55p+0},
        // Either side of m = 64, where e^-2a leaves the sum.
        FnCase{kCoshFn, 44.0, 0x1.64b41c6d37832p+62}, FnCase{kCoshFn, 45.0, 0x1.e4cf766fe49bep+63},
        FnCase{kCoshFn, -0x1.633ce8fb9f87dp+9, 0x1.ffffffffffd3bp+1023},
        FnCase{kCoshFn, 0x1.633ce8fb9f87ep+9, kInf}, FnCase{kCoshFn, -kInf, kInf}));

INSTANTIATE_TEST_SUITE_P(
    Asinh, MoreValues,
    ::testing::Values(
        FnCase{kAsinhFn, -0.0, -0.0}, FnCase{kAsinhFn, 0x1p-1074, 0x1p-1074},
        // x^3/6 against half an ulp below x (a quarter of x's ulp at 2^-26).
        FnCase{kAsinhFn, 0x1.fffffffffffffp-27, 0x1.fffffffffffffp-27},
        FnCase{kAsinhFn, 0x1p-26, 0x1p-26}, FnCase{kAsinhFn, -0x1.8p-26, -0x1.7ffffffffffffp-26},
        FnCase{kAsinhFn, 1.0, 0x1.c34366179d427p-1},
        // Either side of the switch to u/2 = x + 1/(4x), and of the last resort's scaling.
        FnCase{kAsinhFn, 0x1.fffffffffffffp+26, 0x1.3687a9f1af2b1p+4},
        FnCase{kAsinhFn, 0x1p27, 0x1.3687a9f1af2b1p+4},
        FnCase{kAsinhFn, 0x1.fffffffffffffp+29, 0x1.57cd0e702682p+4},
        FnCase{kAsinhFn, 0x1p30, 0x1.57cd0e702682p+4},
        FnCase{kAsinhFn, -0x1.fffffffffffffp+1023, -0x1.633ce8fb9f87ep+9},
        FnCase{kAsinhFn, kInf, kInf}, FnCase{kAsinhFn, -kInf, -kInf}));

INSTANTIATE_TEST_SUITE_P(
    Cbrt, MoreValues,
    ::testing::Values(
        FnCase{kCbrtFn, -0.0, -0.0},
        // Exact cubes: decided by the test, not left to the last resort.
        FnCase{kCbrtFn, 8.0, 2.0}, FnCase{kCbrtFn, -27.0, -3.0}, FnCase{kCbrtFn, 0.125, 0.5},
        FnCase{kCbrtFn, 2.0, 0x1.428a2f98d728bp+0},
        // Either side of a table interval's edge (m = 1 + 1/32).
        FnCase{kCbrtFn, 0x1.04p0, 0x1.01539221d4c97p+0},
        FnCase{kCbrtFn, 0x1.03fffffffffffp0, 0x1.01539221d4c97p+0},
        // Subnormals (scaled by 2^54), the least normal, the largest double.
        FnCase{kCbrtFn, 0x1p-1074, 0x1p-358},
        FnCase{kCbrtFn, 0x0.0000000000003p-1022, 0x1.7137449123ef6p-358},
        FnCase{kCbrtFn, 0x0.fffffffffffffp-1022, 0x1.428a2f98d728ap-341},
        FnCase{kCbrtFn, 0x1p-1022, 0x1.428a2f98d728bp-341},
        FnCase{kCbrtFn, -0x1.fffffffffffffp+1023, -0x1.428a2f98d728bp+341},
        FnCase{kCbrtFn, -kInf, -kInf}));

TEST(CorrectlyRounded, NaNWhereTheFunctionHasNoValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double x : {nan, -1.0, -kInf}) EXPECT_TRUE(std::isnan(log_correct(x))) << x;
  for (double x : {std::nextafter(-1.0, -2.0), -2.0, -kInf, nan}) {
    EXPECT_TRUE(std::isnan(log1p_correct(x))) << x;
  }
  EXPECT_TRUE(std::isnan(exp_correct(nan)));
  EXPECT_TRUE(std::isnan(expm1_correct(nan)));
  EXPECT_TRUE(std::isnan(erfc_correct(nan)));
  for (double x : {nan, 0.0, 1.0, kInf}) {
    EXPECT_TRUE(std::isnan(atan2_correct(nan, x))) << x;
    EXPECT_TRUE(std::isnan(atan2_correct(x, nan))) << x;
  }
  for (double x : {nan, kInf, -kInf}) {
    EXPECT_TRUE(std::isnan(sin_correct(x))) << x;
    EXPECT_TRUE(std::isnan(cos_correct(x))) << x;
  }
  for (const Fn f : {kSinhFn, kCoshFn, kAsinhFn, kCbrtFn}) {
    EXPECT_TRUE(std::isnan(f.correct(nan)));
    EXPECT_TRUE(std::isnan(f.last_resort(nan)));
  }
}

// Each lane of every kind of argument (over the range, near 0 and 1 at
// every scale, any bit pattern: tiny, beyond the thresholds, NaN) gives the
// scalar path's bits, for each function.
enum class Function {
  kExp, kLog, kExpm1, kLog1p, kErfc, kSin, kCos, kSinh, kCosh, kAsinh, kCbrt
};

class LanesAreScalar : public ::testing::TestWithParam<Function> {};

TEST_P(LanesAreScalar, Bits) {
  const Function which = GetParam();
  const auto f = [which](auto x) {
    switch (which) {
      case Function::kExp: return exp_correct(x);
      case Function::kLog: return log_correct(x);
      case Function::kExpm1: return expm1_correct(x);
      case Function::kLog1p: return log1p_correct(x);
      case Function::kAsinh: return asinh_correct(x);
      case Function::kCbrt: return cbrt_correct(x);
      case Function::kCos: return cos_correct(x);
      case Function::kCosh: return cosh_correct(x);
      case Function::kSin: return sin_correct(x);
      case Function::kSinh: return sinh_correct(x);
      default: return erfc_correct(x);
    }
  };
  std::mt19937_64 g(11);
  const bool erfc = which == Function::kErfc;
  std::uniform_real_distribution<double> wide(erfc ? -7.0 : -750.0, erfc ? 28.0 : 712.0),
      unit(-1.0, 1.0);
  for (int i = 0; i < 100000; ++i) {
    Lanes v;
    for (int k = 0; k < 4; ++k) {
      const double small = std::ldexp(unit(g), -static_cast<int>(g() % 70));
      switch ((i + k) % 5) {
        case 0: v[k] = wide(g); break;
        case 1: v[k] = unit(g); break;
        case 2: v[k] = small; break;
        case 3: v[k] = 1.0 + small; break;
        default: v[k] = std::bit_cast<double>(g()); break;
      }
    }
    const Lanes r = f(v);
    for (int k = 0; k < 4; ++k) {
      const double s = f(v[k]);
      if (std::isnan(s)) {
        ASSERT_TRUE(std::isnan(r[k])) << std::hexfloat << v[k];
      } else {
        ASSERT_EQ(bits(r[k]), bits(s)) << std::hexfloat << v[k];
      }
    }
  }
}

// atan2's lanes against its scalar path over pairs of the same kinds, mixed.
TEST(LanesAreScalar, Atan2Bits) {
  std::mt19937_64 g(12);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const auto draw = [&](int kind) {
    switch (kind % 4) {
      case 0: return unit(g);
      case 1: return std::ldexp(unit(g), -static_cast<int>(g() % 1100));
      case 2: return std::ldexp(unit(g), static_cast<int>(g() % 1024));
      default: return std::bit_cast<double>(g());
    }
  };
  for (int i = 0; i < 100000; ++i) {
    Lanes y, x;
    for (int k = 0; k < 4; ++k) {
      y[k] = draw(i + k);
      x[k] = draw(static_cast<int>(g() % 4));
    }
    const Lanes r = atan2_correct(y, x);
    for (int k = 0; k < 4; ++k) {
      const double s = atan2_correct(y[k], x[k]);
      ASSERT_EQ(bits(r[k]), bits(s)) << std::hexfloat << y[k] << ", " << x[k];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EachFunction, LanesAreScalar,
                         ::testing::Values(Function::kExp, Function::kLog, Function::kExpm1,
                                           Function::kLog1p, Function::kErfc, Function::kSin,
                                           Function::kCos, Function::kSinh, Function::kCosh,
                                           Function::kAsinh, Function::kCbrt));

}  // namespace
