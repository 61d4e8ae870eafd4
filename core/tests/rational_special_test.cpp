// erfcx_cody, inverse_norm_cdf and normalised_black_call: their ranges, cuts
// and region boundaries, and their accuracy against 50-digit references
// computed with mpmath by reference/gen_normalised_black_reference.py.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "special/erfcx.hpp"
#include "special/inverse_norm_cdf.hpp"
#include "black/normalised_black.hpp"

namespace tarvik::rational {
namespace {

using Region = NormalisedBlackRegion;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kEps = 2.220446049250313e-16;

double up(double v) { return std::nextafter(v, kInf); }
double down(double v) { return std::nextafter(v, -kInf); }
double rel(double a, double b) { return std::fabs(a - b) / std::fabs(b); }
bool is_plus_zero(double v) { return v == 0.0 && !std::signbit(v); }

// The rows of a reference table: whitespace-separated numbers, '#' comments.
std::vector<std::vector<double>> read_table(const std::string& name) {
  std::vector<std::vector<double>> rows;
  std::ifstream in(std::string(TARVIK_TEST_DATA_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << "cannot open " << name;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<double> row;
    std::string field;
    while (fields >> field) row.push_back(std::strtod(field.c_str(), nullptr));
    rows.push_back(row);
  }
  return rows;
}

// ---- erfcx ---------------------------------------------------------------

TEST(Erfcx, RangesAndCuts) {
  EXPECT_EQ(erfcx_cody(0.0), 1.0);
  EXPECT_EQ(erfcx_cody(-0.0), 1.0);
  // |x| <= 1.11e-16: x^2 is dropped, the result is 1 - x A4 / B4 exactly.
  for (double x : {1e-300, 1.11e-16, -1.11e-16}) {
    EXPECT_EQ(erfcx_cody(x), 1.0 - (x * kCodyA.back()) / kCodyB.back()) << x;
  }
  for (double x : {6.71e7, 1e200, down(2.53e307)}) EXPECT_EQ(erfcx_cody(x), kInvSqrtPi / x) << x;
  EXPECT_NE(erfcx_cody(down(6.71e7)), kInvSqrtPi / down(6.71e7));
  for (double x : {2.53e307, kMax, kInf}) EXPECT_TRUE(is_plus_zero(erfcx_cody(x))) << x;
  // At -26.628 the reflection is still computed (below 1.79e308); beyond, the cap.
  EXPECT_LT(rel(erfcx_cody(-26.628), 1.728618506590026e308), 1e-12);
  for (double x : {down(-26.628), -27.0, -1e300, -kInf}) EXPECT_EQ(erfcx_cody(x), 1.79e308) << x;
  EXPECT_TRUE(std::isnan(erfcx_cody(kNaN)));
}

// ---- inverse normal ------------------------------------------------------

TEST(InverseNormCdf, Ends) {
  EXPECT_TRUE(is_plus_zero(inverse_norm_cdf(0.5)));
  EXPECT_EQ(inverse_norm_cdf(0.0), -kInf);
  EXPECT_EQ(inverse_norm_cdf(1.0), kInf);
  for (double u : {-1.0, up(1.0), kNaN}) EXPECT_TRUE(std::isnan(inverse_norm_cdf(u))) << u;
}

// Central interval and near tail meet at |q| = 0.425, near and far tail at
// r = sqrt(-log p) = 5: the approximations agree there to a few ulps.
TEST(InverseNormCdf, ContinuousAcrossSplits) {
  for (double u : {0.075, 0.925}) {
    EXPECT_LT(rel(inverse_norm_cdf(up(u)), inverse_norm_cdf(u)), 4 * kEps) << u;
    EXPECT_LT(rel(inverse_norm_cdf(down(u)), inverse_norm_cdf(u)), 4 * kEps) << u;
  }
  EXPECT_EQ(0.075 + -0.5, -0.425);  // the central test is made on q as computed
  // The largest p with r = 5 exactly takes the far tail, the next double up
  // the near tail.
  const auto r = [](double v) { return std::sqrt(-std::log(v)); };
  double p = std::exp(-25.0);
  while (r(up(p)) == 5.0) p = up(p);
  while (r(p) != 5.0) p = down(p);
  ASSERT_LT(r(up(p)), 5.0);
  EXPECT_LT(rel(inverse_norm_cdf(up(p)), inverse_norm_cdf(p)), 4 * kEps);
  EXPECT_LT(rel(inverse_norm_cdf(1.0 - up(p)), inverse_norm_cdf(1.0 - p)), 4 * kEps);
}

// Whenever 1 - u is exact, the result at 1 - u is the negation of that at u.
TEST(InverseNormCdf, OddAboutOneHalf) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0), exponent(-300.0, 0.0);
  int checked = 0;
  for (int i = 0; i < 4000; ++i) {
    const double u = i % 2 ? unit(rng) : std::pow(10.0, exponent(rng)) * 0.5;
    if (u <= 0.0 || 1.0 - (1.0 - u) != u) continue;
    ++checked;
    ASSERT_EQ(inverse_norm_cdf(1.0 - u), -inverse_norm_cdf(u)) << u;
  }
  EXPECT_GT(checked, 1000);
}

// The tables hold both neighbours of erfcx's range splits at +-0.46875 and
// +-4 and of the quantile's at 0.075. Measured maxima: 1.4 eps for erfcx,
// 2.4 eps for the quantile (whose reference 0 at u = 0.5 is met exactly).
TEST(ReferenceTables, ErfcxAndInverseNormCdf) {
  const struct {
    const char* file;
    double (*f)(double);
    double bound;
  } tables[] = {{"erfcx_reference.txt", erfcx_cody, 2.5 * kEps},
                {"inverse_norm_cdf_reference.txt", inverse_norm_cdf, 4 * kEps}};
  for (const auto& t : tables) {
    const auto rows = read_table(t.file);
    ASSERT_GT(rows.size(), 90u);
    for (const auto& r : rows) {
      EXPECT_TRUE(t.f(r[0]) == r[1] || rel(t.f(r[0]), r[1]) <= t.bound) << t.file << " " << r[0];
    }
  }
}

// ---- normalised Black function ------------------------------------------

TEST(NormalisedBlack, RegionBoundaries) {
  const double two_tau = 2 * kTau;
  ASSERT_EQ(two_tau, 0.4204482076268573);
  // Second asymptotic test at s = 1 (t = 0.5): h + t = tau + eta exactly.
  const double x_edge = kTauPlusEta - 0.5;
  ASSERT_EQ(x_edge + 0.5, kTauPlusEta);
  const struct {
    double x, s;
    Region region;
  } cases[] = {// at the money: small t below s = 2 tau, erfcx up to s = 1.7, then direct
               {0, down(two_tau), Region::SmallT},
               {0, two_tau, Region::Erfcx},
               {0, 1.7, Region::Erfcx},
               {0, 2, Region::Direct},
               // h + t = 0.85 exactly (x + s t == s 0.85 in doubles) stays in the erfcx region
               {-0.3, 2, Region::Erfcx},
               {-0.29, 2, Region::Direct},
               // both asymptotic tests are strict: h = -10 at t < tau is small t
               {-4, 0.4, Region::SmallT},
               {down(-4.0), 0.4, Region::Asymptotic},
               {x_edge, 1, Region::Erfcx},
               {down(x_edge), 1, Region::Asymptotic},
               // x > 0 is placed as -x
               {20, 1, Region::Asymptotic},
               {0.3, 2, Region::Erfcx},
               {-1, 0, Region::Zero},
               {-1, -1, Region::Zero},
               {0, 0, Region::Zero}};
  for (const auto& c : cases) {
    EXPECT_EQ(normalised_black_region(c.x, c.s), c.region) << c.x << ' ' << c.s;
  }
}

TEST(NormalisedBlack, ZeroAndExtremeTotalVolatility) {
  // s <= 0: +0 out of the money, the intrinsic value in the money.
  for (double s : {0.0, -0.0, -1.0}) {
    for (double x : {0.0, -0.0, -1e-300, -1.0, -700.0}) {
      EXPECT_TRUE(is_plus_zero(normalised_black_call(x, s))) << x << " " << s;
      EXPECT_EQ(normalised_black_call(-x, s), normalised_intrinsic(-x)) << x << " " << s;
    }
  }
  // Very large s: Phi(h + t) rounds to 1 and Phi(h - t) underflows, leaving
  // exactly exp(x/2). Subnormal s with ordinary x underflows to +0.
  for (double x : {0.0, -1e-8, -1.0, -7.5, -20.0}) {
    EXPECT_EQ(normalised_black_call(x, 100.0), std::exp(x * 0.5)) << x;
  }
  for (double x : {0.0, -1.0, -100.0, -1000.0}) {
    EXPECT_EQ(normalised_black_call(x, kMax), std::exp(x * 0.5)) << x;
  }
  for (double x : {-1e-300, -1e-10, -1.0, -50.0}) {
    EXPECT_TRUE(is_plus_zero(normalised_black_call(x, 4.9e-324))) << x;
    EXPECT_TRUE(is_plus_zero(normalised_black_call(x, 1e-310))) << x;
  }
}

// The intrinsic value against 2 sinh(x/2) on both sides of the switch from
// its series to B - 1/B at x = 0.109375 (x^2 = 98 * 2^-13 exactly).
TEST(NormalisedBlack, IntrinsicValueAcrossTaylorSwitch) {
  ASSERT_EQ(0.109375 * 0.109375, kIntrinsicTaylorLimit);
  for (double x : {1e-300, 1e-8, 0.01, 0.05, down(0.109375), 0.109375, 0.2, 1.0, 10.0, 700.0}) {
    const double exact = 2.0 * std::sinh(0.5 * x);
    EXPECT_LT(rel(normalised_intrinsic(x), exact), 16 * kEps) << x;
    // s small enough that the time value is far below one ulp of the intrinsic
    EXPECT_TRUE(x < 0.01 || rel(normalised_black_call(x, 1e-4), exact) < 16 * kEps) << x;
  }
  // The series is odd; the exponential form is taken from x = 0.109375 on.
  EXPECT_EQ(normalised_intrinsic(-down(0.109375)), -normalised_intrinsic(down(0.109375)));
  const double b = std::exp(0.5 * 0.109375);
  EXPECT_EQ(normalised_intrinsic(0.109375), b + (-1.0 / b));
}

// The solver relies on b rising with s; it must do so across every seam
// between the evaluation methods.
TEST(NormalisedBlack, IncreasingInTotalVolatility) {
  for (double x : {0.0, -1e-8, -1e-3, -0.05, -0.3, -1.0, -5.0, -10.0, -20.0, -40.0}) {
    double previous = 0.0;
    for (double s = 1e-3; s < 30.0; s *= 1.001) {
      const double b = normalised_black_call(x, s);
      ASSERT_GE(b, previous) << "x = " << x << ", s = " << s;
      ASSERT_LT(b, std::exp(0.5 * x) * (1 + kEps)) << "x = " << x << ", s = " << s;
      previous = b;
    }
  }
}

// b depends on exp(-(h^2 + t^2)/2) with h = x/s rounded once, so its
// attainable relative accuracy is about (1 + (h^2 + t^2)/2) eps. Measured
// maximum of the error over that scale: 5.2 (small-t region at x = -1,
// s = 0.245); per region 440 eps (asymptotic), 198 (small t), 1.5 (direct)
// and 38 (erfcx) in absolute ulps. Values below 1e-290 are compared in
// absolute terms.
TEST(NormalisedBlack, ReferenceTableWithinConditionedBound) {
  const auto rows = read_table("normalised_black_reference.txt");
  ASSERT_GT(rows.size(), 500u);
  int seen[5] = {0, 0, 0, 0, 0};
  for (const auto& r : rows) {
    const double x = r[0], s = r[1], ref = r[2];
    const double b = normalised_black_call(x, s);
    if (ref < 1e-290) {
      EXPECT_LE(std::fabs(b - ref), 1e-300) << "x = " << x << ", s = " << s;
      continue;
    }
    ++seen[static_cast<int>(normalised_black_region(x, s))];
    const double h = x / s, t = 0.5 * s;
    EXPECT_LE(rel(b, ref), 8.0 * (1.0 + (h * h + t * t) * 0.5) * kEps)
        << "x = " << x << ", s = " << s;
  }
  // The table exercises every evaluation method.
  for (auto region : {Region::Asymptotic, Region::SmallT, Region::Direct, Region::Erfcx}) {
    EXPECT_GT(seen[static_cast<int>(region)], 20) << static_cast<int>(region);
  }
}

}  // namespace
}  // namespace tarvik::rational
