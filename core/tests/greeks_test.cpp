// Black-76 sensitivities: reference values, zero volatility, validation and
// identities. The finite-difference checks of both models are in
// black_scholes_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "tarvik/black.hpp"
#include "tarvik/greeks.hpp"

namespace tarvik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double ok(const Result<double>& r) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.value_or(kNaN);
}

void expect_near_rel(double got, double want, double rel) {
  EXPECT_LE(std::fabs(got - want), rel * std::fabs(want)) << got << " vs " << want;
}

TEST(BlackGreeks, ReferenceAtTheMoney) {
  const double F = 100, K = 100, T = 1, v = 0.2;
  expect_near_rel(ok(delta(true, F, K, T, v)), 0.539827837277029, 1e-14);
  expect_near_rel(ok(delta(false, F, K, T, v)), -0.460172162722971, 1e-14);
  expect_near_rel(ok(gamma(F, K, T, v)), 0.01984762737385059, 1e-14);
  expect_near_rel(ok(vega(F, K, T, v)), 39.69525474770118, 1e-14);
  expect_near_rel(ok(theta(F, K, T, v)), -3.969525474770118, 1e-14);
  expect_near_rel(ok(vanna(F, K, T, v)), 0.19847627373850588, 1e-14);
  expect_near_rel(ok(vomma(F, K, T, v)), -1.9847627373850592, 1e-14);
}

TEST(BlackGreeks, TermsAndZeroTotalVolatility) {
  const auto t = BlackTerms::make(100, 100, 1, 0.2);
  ASSERT_TRUE(t.ok() && t.value().has_value());
  EXPECT_DOUBLE_EQ(t.value()->d1, 0.1);
  EXPECT_DOUBLE_EQ(t.value()->d2, -0.1);
  // sigma = 0, -0, or a product sigma*sqrt(T) that underflows: no terms.
  for (const double v : {0.0, -0.0, 1e-300}) {
    const auto z = BlackTerms::make(100, 100, 1e-300, v);
    ASSERT_TRUE(z.ok());
    EXPECT_FALSE(z.value().has_value()) << v;
  }
}

TEST(BlackGreeks, ZeroVolatility) {
  struct Row { double F; double call; double put; };
  for (const Row r : {Row{110, 1.0, 0.0}, Row{100, 0.5, -0.5}, Row{90, 0.0, -1.0}}) {
    EXPECT_EQ(ok(delta(true, r.F, 100, 1, 0.0)), r.call) << r.F;
    EXPECT_EQ(ok(delta(false, r.F, 100, 1, -0.0)), r.put) << r.F;
    for (auto* g : {&gamma, &vega, &theta, &vanna, &vomma}) {
      const double value = ok(g(r.F, 100, 1, 0.0));
      EXPECT_EQ(value, 0.0);
      EXPECT_FALSE(std::signbit(value));
    }
  }
}

// Every Greek runs the same validation, in the same order, as black_price.
TEST(BlackGreeks, ValidationOrderAndMessages) {
  struct Row { double F, K, T, v; const char* kind; const char* message; };
  const Row rows[] = {
      {kNaN, -1, 1, 0.2, "invalid_input", "invalid input: non-finite Black input"},
      {100, 100, kInf, 0.2, "invalid_input", "invalid input: non-finite Black input"},
      {100, 100, 1, -kInf, "invalid_input", "invalid input: non-finite Black input"},
      {-1, -1, -1, -1, "negative_forward", "forward must be positive, got -1"},
      {0, 100, 1, 0.2, "negative_forward", "forward must be positive, got 0"},
      {100, -1, 0, -1, "negative_strike", "strike must be positive, got -1"},
      {100, 100, 0, -1, "negative_time", "maturity must be positive, got 0"},
      {100, 100, -0.0, 0.2, "negative_time", "maturity must be positive, got -0"},
      {100, 100, 1, -0.2, "invalid_input", "invalid input: volatility must be non-negative"},
  };
  const std::function<Result<double>(double, double, double, double)> greeks[] = {
      [](double F, double K, double T, double v) { return delta(true, F, K, T, v); },
      [](double F, double K, double T, double v) { return delta(false, F, K, T, v); },
      gamma, vega, theta, vanna, vomma,
      [](double F, double K, double T, double v) -> Result<double> {
        const auto t = BlackTerms::make(F, K, T, v);
        if (!t) return t.error();
        return 0.0;
      },
  };
  for (const Row& r : rows) {
    for (std::size_t i = 0; i < std::size(greeks); ++i) {
      const Result<double> res = greeks[i](r.F, r.K, r.T, r.v);
      ASSERT_FALSE(res.ok()) << "greek " << i << ": " << r.message;
      EXPECT_EQ(res.error().kind_string(), r.kind);
      EXPECT_EQ(res.error().message(), r.message) << "greek " << i;
    }
  }
}

TEST(BlackGreeks, Identities) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> FK(60, 140), T(0.1, 3), v(0.05, 0.8);
  for (int i = 0; i < 500; ++i) {
    const double F = FK(rng), K = FK(rng), t = T(rng), sigma = v(rng);
    EXPECT_NEAR(ok(delta(true, F, K, t, sigma)) - ok(delta(false, F, K, t, sigma)), 1.0, 4.5e-16);
    expect_near_rel(ok(theta(F, K, t, sigma)), -sigma / (2 * t) * ok(vega(F, K, t, sigma)), 1e-15);
  }
}

}  // namespace
}  // namespace tarvik
