// Prices and Greeks of both models without Python: reference values, the
// first failing check of each operation, put-call parity and the limits at
// zero and unbounded volatility.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"

namespace tarvik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Reference {
  const char* name;
  std::function<Result<double>()> f;
  double want;
};

// At F = K = 100, T = 1, sigma = 0.2 (d1 = 0.1) and, for the spot model,
// S = K = 100, r = 0.05, q = 0.
TEST(Pricing, ReferenceValues) {
  const Reference cases[] = {
      {"black call", [] { return black_price(100, 100, 1, 0.2, true); }, 7.965567455405804},
      {"black put", [] { return black_price(100, 100, 1, 0.2, false); }, 7.965567455405804},
      {"delta", [] { return delta(100, 100, 1, 0.2, true); }, 0.539827837277029},
      {"put delta", [] { return delta(100, 100, 1, 0.2, false); }, -0.460172162722971},
      {"gamma", [] { return gamma(100, 100, 1, 0.2); }, 0.01984762737385059},
      {"vega", [] { return vega(100, 100, 1, 0.2); }, 39.69525474770118},
      {"theta", [] { return theta(100, 100, 1, 0.2); }, -3.969525474770118},
      {"vanna", [] { return vanna(100, 100, 1, 0.2); }, 0.19847627373850588},
      {"vomma", [] { return vomma(100, 100, 1, 0.2); }, -1.9847627373850592},
      {"forward", [] { return black_scholes_forward(100, 1, 0.05, 0.02); }, 103.0454533953517},
      {"bs call", [] { return black_scholes_price(100, 100, 1, 0.05, 0, 0.2, true); },
       10.4505835721856},
      {"bs put", [] { return black_scholes_price(100, 100, 1, 0.05, 0, 0.2, false); },
       5.57352602225697},
      {"bs delta", [] { return black_scholes_delta(100, 100, 1, 0.05, 0, 0.2, true); },
       0.636830651175619},
      {"bs gamma", [] { return black_scholes_gamma(100, 100, 1, 0.05, 0, 0.2); },
       0.0187620173458469},
      {"bs vega", [] { return black_scholes_vega(100, 100, 1, 0.05, 0, 0.2); }, 37.5240346916938},
      {"bs call theta", [] { return black_scholes_theta(100, 100, 1, 0.05, 0, 0.2, true); },
       -6.41402754643820},
      {"bs put theta", [] { return black_scholes_theta(100, 100, 1, 0.05, 0, 0.2, false); },
       -1.65788042393463},
      {"bs vanna", [] { return black_scholes_vanna(100, 100, 1, 0.05, 0, 0.2); },
       -0.281430260187702},
      {"bs vomma", [] { return black_scholes_vomma(100, 100, 1, 0.05, 0, 0.2); }, 9.85005910656954},
  };
  for (const Reference& c : cases) {
    const Result<double> r = c.f();
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().message();
    EXPECT_NEAR(r.value(), c.want, 1e-13 * std::fabs(c.want)) << c.name;
  }
}

struct Rejection {
  std::function<Result<double>()> f;
  std::string message;
};

// The first failing check decides: finiteness before signs, the forward (or
// spot) before the strike before the maturity before the volatility, and
// for the spot model the spot-side inputs before the rest.
TEST(Pricing, FirstFailingCheck) {
  const Rejection cases[] = {
      {[] { return black_price(-1, -1, -1, -1, true); }, "forward must be positive, got -1"},
      {[] { return black_price(kNaN, -1, 1, 0.2, true); }, "invalid input: non-finite Black input"},
      {[] { return gamma(100, -0.0, 0, 0.2); }, "strike must be positive, got -0"},
      {[] { return vega(100, 100, 0, 0.2); }, "maturity must be positive, got 0"},
      {[] { return vanna(100, 100, 1, -0.2); }, "invalid input: volatility must be non-negative"},
      {[] { return black_scholes_price(kNaN, -1, 1, 0, 0, 0.2, true); },
       "invalid input: non-finite Black-Scholes input"},
      {[] { return black_scholes_price(100, 100, kInf, 0, 0, 0.2, true); },
       "invalid input: non-finite Black input"},
      {[] { return black_scholes_price(0, -1, 1, 0, 0, 0.2, true); },
       "invalid input: spot must be positive"},
      {[] { return black_scholes_price(100, 100, 1, 1000, 0, 0.2, true); },
       "invalid input: non-finite or non-positive forward from spot/rates"},
      {[] { return black_scholes_delta(100, 100, 1, 1000, 0, 0.2, true); },
       "invalid input: non-finite or non-positive forward"},
      {[] { return black_scholes_price(100, 100, 1, -1000, -1000, 0.2, true); },
       "invalid input: non-finite discount factor"},
      {[] { return black_scholes_delta(100, 100, 1, -1000, -1000, 0.2, true); },
       "invalid input: non-finite discount factors"},
      {[] { return black_scholes_forward(100, 0, 0, 0); }, "maturity must be positive, got 0"},
  };
  for (const Rejection& c : cases) {
    const Result<double> r = c.f();
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().message(), c.message);
  }
}

// The batch kernels' branch-free check passes exactly the inputs the scalar
// checks pass.
TEST(Pricing, BranchFreeCheckAgrees) {
  const double values[] = {kNaN, -kInf, -1.0, -0.0, 0.0, 5e-324, 1.0, 1e308, kInf};
  for (double f : values)
    for (double k : values)
      for (double t : values)
        for (double v : values) {
          EXPECT_EQ(black_inputs_valid(f, k, t, v), !validate_black_inputs(f, k, t, v))
              << f << " " << k << " " << t << " " << v;
        }
}

// call - put = F - K to two roundings; delta(call) - delta(put) = 1.
TEST(Pricing, PutCallParity) {
  for (const double k : {50.0, 90.0, 100.0, 111.0, 300.0}) {
    for (const double s : {0.01, 0.3, 2.0}) {
      const double call = black_price(100, k, 1, s, true).value();
      const double put = black_price(100, k, 1, s, false).value();
      EXPECT_NEAR(call - put, 100 - k, 2.5e-16 * std::fmax(call, put)) << k << " " << s;
      const double d = delta(100, k, 1, s, true).value() - delta(100, k, 1, s, false).value();
      EXPECT_NEAR(d, 1.0, 4.5e-16) << k << " " << s;
    }
  }
}

TEST(Pricing, ZeroAndUnboundedVolatility) {
  EXPECT_EQ(black_price(110, 100, 1, 0.0, true).value(), 10.0);
  EXPECT_EQ(black_price(110, 100, 1, -0.0, false).value(), 0.0);
  EXPECT_EQ(delta(100, 100, 1, 0.0, false).value(), -0.5);
  EXPECT_EQ(black_scholes_delta(110, 100, 1, 0, 0.01, 0, true).value(), std::exp(-0.01));
  // The half variance overflows: the call tends to F, the put to K.
  for (const double s : {1.9e154, 1e300}) {
    EXPECT_EQ(black_price_total_vol(100, 120, s, true), 100.0);
    EXPECT_EQ(black_price_total_vol(100, 120, s, false), 120.0);
  }
  EXPECT_TRUE(std::isnan(black_price(100, 100, 4, 1.7976931348623157e308, true).value()));
}

}  // namespace
}  // namespace tarvik
