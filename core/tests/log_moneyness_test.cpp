// The accurate log-moneyness against 50-digit mpmath values of ln(F/K),
// rounded once, in each of its regimes; and the inversion built on it
// against the original one.
#include <gtest/gtest.h>

#include <cmath>

#include "tarvik/black.hpp"
#include "tarvik/implied_volatility.hpp"

namespace tarvik {
namespace {

double ulps_apart(double a, double b) {
  return std::fabs(a - b) / (std::nextafter(std::fabs(b), INFINITY) - std::fabs(b));
}

TEST(AccurateLogMoneyness, WithinAnUlpOfMpmath) {
  struct Case {
    double forward, strike, exact;  // exact: mpmath at 50 digits, rounded
  };
  const Case cases[] = {
      {100.0, 100.001, -9.999950000381079e-06},             // near the money: log1p
      {100.0, 99.99999999, 9.999993722476352e-11},          // nearer
      {100.0, 100.00000000000091, -9.094947017729242e-15},  // one part in 1e14
      {100.0, 300.0, -1.0986122886681098},                  // the ratio's logarithm
      {3.0, 1.0, 1.0986122886681098},
  };
  for (const Case& c : cases) {
    EXPECT_LE(ulps_apart(accurate_log_moneyness(c.forward, c.strike), c.exact), 1.0)
        << c.forward << " " << c.strike;
  }
  EXPECT_EQ(accurate_log_moneyness(7.0, 7.0), 0.0);
  // A ratio that overflows or underflows: the two logarithms.
  EXPECT_EQ(accurate_log_moneyness(1e300, 1e-300), log_moneyness(1e300, 1e-300));
  EXPECT_EQ(accurate_log_moneyness(5e-324, 1e300), log_moneyness(5e-324, 1e300));
}

TEST(AccurateLogMoneyness, InversionKeepsItsChecksAndRecoversTheVolatility) {
  // The same errors as implied_volatility; near the money a volatility
  // within a few ulps where ln F - ln K costs more.
  EXPECT_FALSE(black_implied_volatility(120.0, 100.0, 100.0, 1.0, true));
  EXPECT_FALSE(black_implied_volatility(1.0, -100.0, 100.0, 1.0, true));
  const Result<double> price = black_price(100.0, 100.001, 0.5, 0.2, true);
  ASSERT_TRUE(price);
  const Result<double> vol = black_implied_volatility(price.value(), 100.0, 100.001, 0.5, true);
  ASSERT_TRUE(vol);
  EXPECT_LE(ulps_apart(vol.value(), 0.2), 4.0);
}

}  // namespace
}  // namespace tarvik
