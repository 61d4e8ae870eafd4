// The American pricer's default schemes against far finer solutions of the
// same equations, on seeded families over the benchmark portfolio's ranges
// and over the whole domain (a day to 30 years, 1% to 300% volatility, rates
// and yields to 20%), with the sweeps each solve takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "american/boundary.hpp"
#include "american/tiers.hpp"
#include "tarvik/american.hpp"

namespace {

struct Family {
  const char* name;
  double t_lo, t_hi, v_lo, v_hi, s_lo, s_hi, rate_hi, yield_hi;
  double bound;   // worst |p - p_fine| / max(p_fine, 1e-4 K)
  int most_fine;  // most full sweeps after the coarse stage
};

class AmericanFamily : public ::testing::TestWithParam<Family> {};

std::string family_name(const ::testing::TestParamInfo<Family>& param) { return param.param.name; }

TEST_P(AmericanFamily, DefaultAgreesWithAFinerScheme) {
  const Family& f = GetParam();
  const tarvik::AmericanScheme fine{64, 400, 64, 256, 1e-14, 0};
  std::mt19937_64 rng(20261207);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  auto log_uniform = [&](double lo, double hi) {
    return lo * std::exp(u(rng) * std::log(hi / lo));
  };
  double worst = 0.0;
  for (int i = 0; i < 24; ++i) {
    const double t = log_uniform(f.t_lo, f.t_hi);
    const double v = log_uniform(f.v_lo, f.v_hi);
    const double s = log_uniform(f.s_lo, f.s_hi);
    const double r = f.rate_hi * u(rng);
    const double q = f.yield_hi * u(rng);
    const bool call = i % 2 == 1;
    tarvik::AmericanSweeps counted;
    const auto got = tarvik::american_price_counted(
        tarvik::american_default_scheme(t, r, q, v, call), s, 100.0, t, r, q, v, call, counted);
    const int sweeps = counted.fine;
    const auto want = tarvik::american_price_with(fine, s, 100.0, t, r, q, v, call);
    ASSERT_TRUE(got && want) << s << " " << t << " " << r << " " << q << " " << v;
    const double error = std::fabs(got.value() - want.value()) / std::max(want.value(), 1e-2);
    EXPECT_LE(error, f.bound) << "S=" << s << " T=" << t << " r=" << r << " q=" << q << " v=" << v
                              << (call ? " call" : " put");
    if (!tarvik::american_is_european(r, q, call)) {
      EXPECT_LE(sweeps, f.most_fine);
    }
    worst = std::max(worst, error);
  }
  RecordProperty("worst", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Ranges, AmericanFamily,
                         ::testing::Values(Family{"portfolio", 1.0 / 12, 3.0, 0.1, 0.6, 25.0, 200.0,
                                                  0.1, 0.12, 2e-10, 8},
                                           Family{"domain", 1.0 / 365, 30.0, 0.01, 3.0, 20.0, 500.0,
                                                  0.2, 0.2, 1e-7, 64}),
                         family_name);

// Low volatility, a rate far above the yield, a long life: FP-B runs away
// here, and the solve must fall back on FP-A rather than return its number.
TEST(American, FallsBackWhereFpBRunsAway) {
  const double s = 104.625, t = 15.2573, r = 0.185329, q = 0.0141316, v = 0.101673;
  const tarvik::AmericanScheme fp_a{64, 400, 64, 256, 1e-14, 1};
  const double want = tarvik::american_price_with(fp_a, s, 100.0, t, r, q, v, false).value();
  const double got = tarvik::american_price(s, 100.0, t, r, q, v, false).value();
  EXPECT_LE(std::fabs(got - want), 1e-7 * want);
}

// The premium and its first slope (delta) for spots just above today's
// boundary B(T), where the integrand rises within v of order
// ln(s/B(T))^2 / sigma^2 of expiry: the default rule's 88 points against
// 512, on the boundary of the default scheme.
TEST(American, PremiumNearTheBoundary) {
  using namespace tarvik::american;
  static ThetaRule boundary_rule;
  static PremiumRule rule, fine;
  make_premium_rule(tarvik::kAmericanScheme.price_points, rule);
  make_premium_rule(512, fine);
  for (double r : {0.02, 0.1}) {
    for (double q : {0.0, 0.04, 0.12}) {
      for (double v : {0.1, 0.6}) {
        for (double t : {0.1, 3.0}) {
          const double x = q > 0.0 ? std::min(1.0, r / q) : 1.0;
          PutProblem p{t, r, q, v, x, std::log(x), r >= q ? 2 : 1, kFormB, 0.0};
          const tarvik::AmericanScheme& scheme = tarvik::american_default_scheme(t, r, q, v, false);
          make_theta_rule(scheme.boundary_points, boundary_rule);
          Boundary b;
          ASSERT_GT(solve_boundary(p, scheme, boundary_rule, b), 0);
          const double today = x * std::exp(-std::sqrt(b.h[0]));
          for (double above : {1e-4, 1e-3, 1e-2, 0.2}) {
            const double s = today * (1.0 + above);
            PremiumSlopes got{}, want{};
            const double p_got = put_premium(p, b, rule, s, &got);
            const double p_want = put_premium(p, b, fine, s, &want);
            const double price = p_want + std::max(0.0, 1.0 - s);
            EXPECT_LE(std::fabs(p_got - p_want), 5e-11 * std::max(price, 1e-4))
                << r << " " << q << " " << v << " " << t << " " << above;
            EXPECT_LE(std::fabs(got.first - want.first),
                      1e-6 * std::max(std::fabs(want.first), 1e-3))
                << r << " " << q << " " << v << " " << t << " " << above;
          }
        }
      }
    }
  }
}

}  // namespace
