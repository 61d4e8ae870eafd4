// The normal model without Python: the one-pass greeks against the single
// functions bit for bit over a seeded family (negative forwards and strikes,
// zero and tiny volatilities, far tails), the round trip through the implied
// volatility, and the checks in their order.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "tarvik/bachelier.hpp"

namespace tarvik {
namespace {

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

double value(const Result<double>& r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : std::numeric_limits<double>::quiet_NaN();
}

TEST(Bachelier, GreeksInOnePassAreTheSingleFunctionsBits) {
  std::mt19937_64 rng(20);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    const double f = (unit(rng) - 0.5) * std::pow(10.0, unit(rng) * 6 - 3);
    const double u = i % 7 == 0 ? 0.0 : std::pow(10.0, unit(rng) * 4 - 2);  // |F - K|/s
    const double t = std::pow(10.0, unit(rng) * 3 - 2);
    const double sigma = i % 11 == 0 ? 0.0 : (i % 13 == 0 ? 1e-300 : std::fabs(f) + 1e-3);
    const double k = f + (unit(rng) < 0.5 ? -1 : 1) * u * (sigma + 1e-3) * std::sqrt(t);
    const bool call = i % 2 == 0;
    const Result<BachelierGreeks> g = bachelier_greeks(f, k, t, sigma, call);
    ASSERT_TRUE(g.ok());
    const BachelierGreeks& v = g.value();
    EXPECT_TRUE(same_bits(v.price, value(bachelier_price(f, k, t, sigma, call))));
    EXPECT_TRUE(same_bits(v.delta, value(bachelier_delta(f, k, t, sigma, call))));
    EXPECT_TRUE(same_bits(v.gamma, value(bachelier_gamma(f, k, t, sigma))));
    EXPECT_TRUE(same_bits(v.vega, value(bachelier_vega(f, k, t, sigma))));
    EXPECT_TRUE(same_bits(v.theta, value(bachelier_theta(f, k, t, sigma))));
    EXPECT_TRUE(same_bits(v.vanna, value(bachelier_vanna(f, k, t, sigma))));
    EXPECT_TRUE(same_bits(v.vomma, value(bachelier_vomma(f, k, t, sigma))));
    for (double x : {v.price, v.delta, v.gamma, v.vega, v.theta, v.vanna, v.vomma}) {
      EXPECT_FALSE(std::isnan(x)) << f << " " << k << " " << t << " " << sigma;
    }
    // The price's own volatility comes back while the time value is a
    // normal double and carries the volatility (not lost beside F - K).
    const double intrinsic = std::fmax(call ? f - k : k - f, 0.0);
    if (sigma > 1e-200 && v.price - intrinsic > 1e-300 && u < 20 &&
        (v.price - intrinsic) > 1e-6 * intrinsic) {
      const double iv = value(bachelier_implied_volatility(v.price, f, k, t, call));
      EXPECT_NEAR(iv / sigma, 1.0, 1e-9) << f << " " << k << " " << t << " " << sigma;
    }
  }
}

TEST(Bachelier, ChecksInOrder) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(bachelier_price(inf, 0, -1, -1, true).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(bachelier_price(1, 0, 0, -1, true).error().kind(), ErrorKind::NegativeTime);
  EXPECT_EQ(bachelier_gamma(1, 0, 1, -1).error().reason(),
            std::string_view("volatility must be non-negative"));
  EXPECT_EQ(bachelier_vega(1e308, -1e308, 1, 1).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(bachelier_greeks(0, 0, -0.0, 1, true).error(), IVError::negative_time(-0.0));
  EXPECT_EQ(bachelier_implied_volatility(0.5, 2, 1, 1, true).error(),
            IVError::price_below_intrinsic(0.5, 1.0));
  EXPECT_EQ(bachelier_implied_volatility(-1e-300, 1, 2, 1, true).error().kind(),
            ErrorKind::PriceBelowIntrinsic);
  EXPECT_EQ(value(bachelier_implied_volatility(1, 2, 1, 1, true)), 0.0);
  EXPECT_EQ(value(bachelier_implied_volatility(0, -1, -0.5, 3, true)), 0.0);
  EXPECT_EQ(value(bachelier_delta(-1, -1, 1, 0, false)), -0.5);
}

}  // namespace
}  // namespace tarvik
