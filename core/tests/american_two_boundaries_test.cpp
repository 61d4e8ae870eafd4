// The American put with q < r < 0 (two exercise boundaries) and the call
// with r < q < 0: the default counts against far finer solves of the same
// equations over seeded families, the boundaries' shape, the bounds and
// limits a price must respect, and delta and gamma against differences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "american/double_boundary.hpp"
#include "black/terms.hpp"
#include "tarvik/american.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"

namespace {

using tarvik::AmericanScheme;
using tarvik::american_price;
using tarvik::american_price_with;

struct Family {
  const char* name;
  double t_lo, t_hi, v_lo, v_hi;
  double bound;  // worst |p - p_fine| / max(p_fine, 1e-4 K)
};

class TwoBoundaryFamily : public ::testing::TestWithParam<Family> {};

std::string family_name(const ::testing::TestParamInfo<Family>& param) { return param.param.name; }

TEST_P(TwoBoundaryFamily, DefaultAgreesWithAFinerSolve) {
  const Family& f = GetParam();
  // Sweeps enough for the finer counts and tolerance (the work allowed a
  // price grows with them).
  const AmericanScheme fine{48, 2500, 96, 256, 1e-13, 0};
  std::mt19937_64 rng(20261207);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  auto log_uniform = [&](double lo, double hi) {
    return lo * std::exp(u(rng) * std::log(hi / lo));
  };
  double worst = 0.0;
  for (int i = 0; i < 10; ++i) {
    const double t = log_uniform(f.t_lo, f.t_hi);
    const double v = log_uniform(f.v_lo, f.v_hi);
    const double s = log_uniform(20.0, 300.0);
    const double q = -0.2 * u(rng);
    const double r = q * (0.05 + 0.9 * u(rng));  // q < r < 0
    const bool call = i % 2 == 1;
    // A call is the put with spot and strike, rate and yield swapped:
    // C(100, s, q, r) = P(s, 100, r, q).
    const auto got = call ? american_price(100.0, s, t, q, r, v, true)
                          : american_price(s, 100.0, t, r, q, v, false);
    const auto want = american_price_with(fine, s, 100.0, t, r, q, v, false);
    ASSERT_TRUE(got && want) << s << " " << t << " " << r << " " << q << " " << v;
    const double error = std::fabs(got.value() - want.value()) / std::max(want.value(), 1e-2);
    EXPECT_LE(error, f.bound) << "S=" << s << " T=" << t << " r=" << r << " q=" << q
                              << " v=" << v << (call ? " call" : " put");
    worst = std::max(worst, error);
  }
  RecordProperty("worst", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Ranges, TwoBoundaryFamily,
                         ::testing::Values(Family{"short", 1.0 / 365, 1.0, 0.05, 1.0, 1e-8},
                                           Family{"long", 1.0, 50.0, 0.2, 1.0, 3e-7},
                                           Family{"high_volatility", 1.0 / 12, 10.0, 1.0,
                                                  5.0, 1e-8}),
                         family_name);

// The boundaries start at K and K r / q, close monotonically, and meet once:
// the nodes over (1 - 5%) of tau*, tau* itself the same at finer counts.
TEST(TwoBoundaries, StartCloseAndMeet) {
  const double r = -0.01, q = -0.03, v = 0.3, t = 5.0;
  tarvik::american::TwoBoundaries b, fine;
  tarvik::american::solve_two_boundaries(t, r, q, v, {24, 48, 96, 300, 1e-11}, b);
  tarvik::american::solve_two_boundaries(t, r, q, v, {64, 128, 96, 300, 1e-12}, fine);
  ASSERT_TRUE(b.converged && fine.converged);
  ASSERT_TRUE(b.meet && fine.meet);
  EXPECT_NEAR(b.meet_time, fine.meet_time, 1e-4 * fine.meet_time);
  EXPECT_NEAR(b.end, 0.95 * b.meet_time, 2e-3 * b.meet_time);
  double up0, low0;
  tarvik::american::two_boundary_at(b, 0.0, up0, low0);
  EXPECT_NEAR(up0, 0.0, 1e-12);
  EXPECT_NEAR(low0, std::log(r / q), 1e-12);
  double last_up = up0, last_low = low0;
  for (int k = 1; k <= 40; ++k) {
    double up, low;
    tarvik::american::two_boundary_at(b, b.meet_time * k / 40.0, up, low);
    EXPECT_LT(up, last_up) << k;
    EXPECT_GT(low, last_low) << k;
    EXPECT_GE(up, low - 1e-12) << k;
    last_up = up;
    last_low = low;
  }
  EXPECT_NEAR(last_up, last_low, 1e-12);
}

// Bounds and limits: at least the European price and the exercise value,
// rising with volatility; the European price as r falls to q; continuous
// across r = 0 with the single-boundary pricer; the zero-volatility value
// (stopping now, at T, or where K e^{-r t} - S e^{-q t} is stationary)
// as volatility vanishes.
TEST(TwoBoundaries, BoundsAndLimits) {
  for (double s : {40.0, 70.0, 95.0, 130.0}) {
    double last = 0.0;
    for (double v : {0.02, 0.05, 0.1, 0.2, 0.4, 0.8, 1.6}) {
      const double p = american_price(s, 100.0, 3.0, -0.02, -0.06, v, false).value();
      const double e = tarvik::black_scholes_price(s, 100.0, 3.0, -0.02, -0.06, v, false).value();
      EXPECT_GE(p, std::max(e, 100.0 - s)) << s << " " << v;
      EXPECT_GE(p, last) << s << " " << v;
      last = p;
    }
  }
  const double s = 100.0, t = 1.0, q = -0.02, v = 0.2;
  const double near_q = american_price(s, 100.0, t, q + 1e-6, q, v, false).value();
  EXPECT_NEAR(near_q, tarvik::black_scholes_price(s, 100.0, t, q + 1e-6, q, v, false).value(),
              1e-12 * near_q);
  // The step in r small enough that rho (some -40 here) moves the price by
  // 1e-10 only.
  const double below = american_price(s, 100.0, t, -1e-12, q, v, false).value();
  const double above = american_price(s, 100.0, t, 1e-12, q, v, false).value();
  EXPECT_NEAR(below, above, 2e-9 * above);
  for (double spot : {20.0, 60.0, 90.0}) {
    const double zero = american_price(spot, 100.0, 2.0, -0.05, -0.15, 0.0, false).value();
    const double tiny = american_price(spot, 100.0, 2.0, -0.05, -0.15, 1e-4, false).value();
    EXPECT_GE(zero, 100.0 - spot);
    EXPECT_NEAR(tiny, zero, 1e-4 * 100.0) << spot;
  }
}

// Delta and gamma of american_greeks (from the premium integral's
// derivatives) against Richardson differences of prices, puts and calls,
// before and after the boundaries meet.
TEST(TwoBoundaries, DeltaAndGammaAgreeWithDifferences) {
  struct Case {
    double s, k, t, r, q, v;
    bool call;
  };
  for (const Case& c : {Case{100, 100, 1, -0.01, -0.02, 0.2, false},
                        Case{90, 100, 5, -0.01, -0.03, 0.3, false},
                        Case{100, 90, 5, -0.03, -0.01, 0.3, true},
                        Case{80, 100, 20, -0.01, -0.02, 0.5, false}}) {
    const auto g = tarvik::american_greeks(c.s, c.k, c.t, c.r, c.q, c.v, c.call).value();
    auto price = [&](double s) {
      return american_price(s, c.k, c.t, c.r, c.q, c.v, c.call).value();
    };
    const double h = 1e-3 * c.s;
    const double delta =
        (8.0 * (price(c.s + h) - price(c.s - h)) - (price(c.s + 2 * h) - price(c.s - 2 * h))) /
        (12.0 * h);
    const double gamma = (16.0 * (price(c.s + h) + price(c.s - h)) -
                          (price(c.s + 2 * h) + price(c.s - 2 * h)) - 30.0 * price(c.s)) /
                         (12.0 * h * h);
    EXPECT_NEAR(g.delta, delta, 1e-8) << c.s << " " << c.t;
    EXPECT_NEAR(g.gamma, gamma, 1e-6 * std::fabs(gamma) + 1e-9) << c.s << " " << c.t;
  }
}

}  // namespace
