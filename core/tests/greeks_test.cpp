// Black-76 sensitivities: reference values, zero volatility, validation, and
// each Greek against a central finite difference of the price.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>

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

struct Inputs {
  bool call;
  double F, K, T, v;
};

// Valid inputs away from expiry and zero volatility, where central
// differences of the price are accurate to about 1e-8 relative.
std::vector<Inputs> random_inputs(unsigned seed, int n) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> F(60, 140), K(60, 140), T(0.1, 3), v(0.05, 0.8);
  std::vector<Inputs> out;
  for (int i = 0; i < n; ++i) out.push_back({i % 2 == 0, F(rng), K(rng), T(rng), v(rng)});
  return out;
}

TEST(BlackGreeks, Identities) {
  for (const Inputs& in : random_inputs(7, 500)) {
    const double call = ok(delta(true, in.F, in.K, in.T, in.v));
    const double put = ok(delta(false, in.F, in.K, in.T, in.v));
    EXPECT_NEAR(call - put, 1.0, 4.5e-16);
    const double vg = ok(vega(in.F, in.K, in.T, in.v));
    expect_near_rel(ok(theta(in.F, in.K, in.T, in.v)), -in.v / (2 * in.T) * vg, 1e-15);
  }
}

double price(const Inputs& in) {
  return black_price(in.call, in.F, in.K, in.T, in.v).value();
}

struct FdCase {
  const char* name;
  std::function<Result<double>(const Inputs&)> greek;
  std::function<double(const Inputs&)> difference;
  double scale;  // absolute floor of the tolerance, in the Greek's own unit
};

void PrintTo(const FdCase& c, std::ostream* os) { *os << c.name; }

class BlackFiniteDifference : public ::testing::TestWithParam<FdCase> {};

TEST_P(BlackFiniteDifference, MatchesPrice) {
  const FdCase& c = GetParam();
  for (const Inputs& in : random_inputs(11, 400)) {
    const double got = ok(c.greek(in));
    const double fd = c.difference(in);
    EXPECT_NEAR(got, fd, 1e-6 * (std::fabs(got) + c.scale))
        << c.name << (in.call ? " call" : " put") << " F=" << in.F << " K=" << in.K
        << " T=" << in.T << " v=" << in.v;
  }
}

Inputs with(Inputs in, double Inputs::*field, double shift) {
  in.*field += shift;
  return in;
}

// Fourth-order central differences, so that truncation stays far below the
// tolerance even at low total volatility.
template <class F>
double first(F f, double h) {
  return (f(-2 * h) - 8 * f(-h) + 8 * f(h) - f(2 * h)) / (12 * h);
}
template <class F>
double second(F f, double h) {
  return (-f(-2 * h) + 16 * f(-h) - 30 * f(0.0) + 16 * f(h) - f(2 * h)) / (12 * h * h);
}

// Steps on the scale over which d1 moves by about one: F*s in the forward,
// sigma/(1 + |x|/s) in the volatility and likewise in the maturity.
double step_F(const Inputs& i, double c) { return c * i.F * (i.v * std::sqrt(i.T)); }
double damp(const Inputs& i) {
  const double s = i.v * std::sqrt(i.T);
  return 1 + std::fabs(std::log(i.F / i.K)) / s;
}
double step_v(const Inputs& i, double c) { return c * i.v / damp(i); }
double step_T(const Inputs& i, double c) { return c * i.T / damp(i); }

// Gamma, vega, theta, vanna and vomma are the same for calls and puts;
// differencing the out-of-the-money price keeps rounding noise small.
Inputs otm(Inputs in) {
  in.call = in.F < in.K;
  return in;
}

// The price as a function of a shift of one input.
auto along(const Inputs& in, double Inputs::*field) {
  return [in, field](double shift) { return price(with(in, field, shift)); };
}

INSTANTIATE_TEST_SUITE_P(
    Greeks, BlackFiniteDifference,
    ::testing::Values(
        FdCase{"delta", [](const Inputs& i) { return delta(i.call, i.F, i.K, i.T, i.v); },
               [](const Inputs& i) { return first(along(i, &Inputs::F), step_F(i, 1e-3)); }, 1e-3},
        FdCase{"gamma", [](const Inputs& i) { return gamma(i.F, i.K, i.T, i.v); },
               [](const Inputs& i) { return second(along(otm(i), &Inputs::F), step_F(i, 1e-2)); }, 1e-4},
        FdCase{"vega", [](const Inputs& i) { return vega(i.F, i.K, i.T, i.v); },
               [](const Inputs& i) { return first(along(otm(i), &Inputs::v), step_v(i, 1e-3)); }, 1e-1},
        FdCase{"theta", [](const Inputs& i) { return theta(i.F, i.K, i.T, i.v); },
               [](const Inputs& i) { return -first(along(otm(i), &Inputs::T), step_T(i, 1e-3)); }, 1e-2},
        FdCase{"vanna", [](const Inputs& i) { return vanna(i.F, i.K, i.T, i.v); },
               [](const Inputs& i) {
                 const auto delta_at = [i](double dv) {
                   return first(along(with(otm(i), &Inputs::v, dv), &Inputs::F), step_F(i, 1e-2));
                 };
                 return first(delta_at, step_v(i, 1e-2));
               },
               1e-2},
        FdCase{"vomma", [](const Inputs& i) { return vomma(i.F, i.K, i.T, i.v); },
               [](const Inputs& i) { return second(along(otm(i), &Inputs::v), step_v(i, 1e-2)); }, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvik
