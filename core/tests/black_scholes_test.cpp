// Spot model (continuous rate and dividend yield): forward, discounted price
// and sensitivities, their validation and identities with Black-76; and, for
// both models, each Greek against a central finite difference of the price.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"

namespace tarvik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double ok(const Result<double>& r) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.value_or(kNaN);
}

struct Inputs {
  bool call;
  double S, K, T, r, q, v;
};

using SpotFn = std::function<Result<double>(const Inputs&)>;

// The price and the six sensitivities, each with its option type where it
// takes one.
const SpotFn kPrice = [](const Inputs& i) {
  return black_scholes_price(i.call, i.S, i.K, i.T, i.r, i.q, i.v);
};
const SpotFn kDelta = [](const Inputs& i) {
  return black_scholes_delta(i.call, i.S, i.K, i.T, i.r, i.q, i.v);
};
const SpotFn kGamma = [](const Inputs& i) {
  return black_scholes_gamma(i.S, i.K, i.T, i.r, i.q, i.v);
};
const SpotFn kVega = [](const Inputs& i) {
  return black_scholes_vega(i.S, i.K, i.T, i.r, i.q, i.v);
};
const SpotFn kTheta = [](const Inputs& i) {
  return black_scholes_theta(i.call, i.S, i.K, i.T, i.r, i.q, i.v);
};
const SpotFn kVanna = [](const Inputs& i) {
  return black_scholes_vanna(i.S, i.K, i.T, i.r, i.q, i.v);
};
const SpotFn kVomma = [](const Inputs& i) {
  return black_scholes_vomma(i.S, i.K, i.T, i.r, i.q, i.v);
};
const SpotFn kSensitivities[] = {kDelta, kGamma, kVega, kTheta, kVanna, kVomma};

TEST(BlackScholes, Forward) {
  EXPECT_NEAR(ok(black_scholes_forward(100, 1, 0.05, 0.02)), 103.0454533953517, 1e-12);
  struct Row { double S, T, r, q; const char* message; };
  const Row rows[] = {
      {100, kNaN, 0, 0, "invalid input: non-finite forward inputs"},
      {-1, 1, kInf, 0, "invalid input: non-finite forward inputs"},
      {0, 0, 0, 0, "invalid input: spot must be positive"},
      {100, 0, 0, 0, "maturity must be positive, got 0"},
      {100, 1, 1000, 0, "invalid input: non-finite or non-positive forward"},
      {100, 1, -1000, 0, "invalid input: non-finite or non-positive forward"},
  };
  for (const Row& r : rows) {
    const auto res = black_scholes_forward(r.S, r.T, r.r, r.q);
    ASSERT_FALSE(res.ok()) << r.message;
    EXPECT_EQ(res.error().message(), r.message);
  }
}

TEST(BlackScholes, ReferenceValues) {
  const Inputs c{true, 100, 100, 1, 0.05, 0, 0.2};
  Inputs p = c;
  p.call = false;
  const struct { const SpotFn& f; const Inputs& in; double want; } rows[] = {
      {kPrice, c, 10.4505835721856},  {kPrice, p, 5.57352602225697},
      {kDelta, c, 0.636830651175619}, {kDelta, p, -0.363169348824381},
      {kGamma, c, 0.0187620173458469}, {kVega, c, 37.5240346916938},
      {kTheta, c, -6.41402754643820}, {kTheta, p, -1.65788042393463},
      {kVanna, c, -0.281430260187702}, {kVomma, c, 9.85005910656954},
  };
  for (const auto& row : rows) {
    EXPECT_NEAR(ok(row.f(row.in)), row.want, 1e-13 * std::fabs(row.want));
  }
}

TEST(BlackScholes, ZeroVolatilityAndDiscountExtremes) {
  EXPECT_EQ(ok(kDelta({true, 110, 100, 1, 0, 0.01, 0})), std::exp(-0.01));
  EXPECT_EQ(ok(kDelta({false, 100, 100, 1, 0.01, 0.01, -0.0})), std::exp(-0.01) * -0.5);
  EXPECT_EQ(ok(kDelta({false, 100, 100, 1, 0, 0.01, 0.0})), -std::exp(-0.01));
  // Theta is 0 at zero volatility whatever the rate and dividend yield.
  for (const SpotFn& f : {kGamma, kVega, kTheta, kVanna, kVomma}) {
    EXPECT_EQ(ok(f({true, 110, 100, 1, 0.05, 0.02, 0})), 0.0);
  }
  // Rate and yield so large that the discount factors underflow to 0.
  EXPECT_EQ(ok(kPrice({true, 100, 100, 1, 1000, 1000, 0.2})), 0.0);
  EXPECT_EQ(ok(kDelta({true, 100, 100, 1, 1000, 1000, 0.2})), 0.0);
}

// The order of the checks, and the two reason texts in which the price and
// the sensitivities differ.
TEST(BlackScholes, ValidationOrderAndMessages) {
  struct Row { Inputs in; const char* price; const char* sensitivity; };
  const char* bs_input = "invalid input: non-finite Black-Scholes input";
  const char* black_input = "invalid input: non-finite Black input";
  const char* spot = "invalid input: spot must be positive";
  const Row rows[] = {
      {{true, kNaN, -1, 1, 0, 0, 0.2}, bs_input, bs_input},
      {{true, 100, kNaN, 1, 0, -kInf, 0.2}, bs_input, bs_input},
      {{true, 0, kNaN, 1, 0, 0, 0.2}, spot, spot},
      {{true, -5, 100, 1, 0, 0, 0.2}, spot, spot},
      {{true, 100, 100, kInf, 0, 0, 0.2}, black_input, black_input},
      {{true, 100, -1, -1, 0, 0, kNaN}, black_input, black_input},
      {{true, 100, -1, -1, 0, 0, -1}, "strike must be positive, got -1",
       "strike must be positive, got -1"},
      {{true, 100, 100, -0.0, 0, 0, -1}, "maturity must be positive, got -0",
       "maturity must be positive, got -0"},
      {{true, 100, 100, 1, 0, 0, -0.2}, "invalid input: volatility must be non-negative",
       "invalid input: volatility must be non-negative"},
      {{true, 100, 100, 1, 1000, 0, 0.2},
       "invalid input: non-finite or non-positive forward from spot/rates",
       "invalid input: non-finite or non-positive forward"},
      {{true, 100, 100, 1, 0, 1000, 0.2},
       "invalid input: non-finite or non-positive forward from spot/rates",
       "invalid input: non-finite or non-positive forward"},
      {{true, 100, 100, 1, -1000, -1000, 0.2}, "invalid input: non-finite discount factor",
       "invalid input: non-finite discount factors"},
      // D_q overflows while F and D_r stay finite: only the sensitivities fail.
      {{false, 1e-300, 100, 1, -300, -1000, 0.2}, nullptr,
       "invalid input: non-finite discount factors"},
  };
  for (const Row& r : rows) {
    for (bool call : {true, false}) {
      Inputs in = r.in;
      in.call = call;
      if (r.price) {
        const auto res = kPrice(in);
        ASSERT_FALSE(res.ok()) << r.price;
        EXPECT_EQ(res.error().message(), r.price);
      }
      for (const SpotFn& f : kSensitivities) {
        const auto res = f(in);
        ASSERT_FALSE(res.ok()) << r.sensitivity;
        EXPECT_EQ(res.error().message(), r.sensitivity);
      }
    }
  }
  // The price needs no dividend discount factor.
  EXPECT_TRUE(kPrice({false, 1e-300, 100, 1, -300, -1000, 0.2}).ok());
}

std::vector<Inputs> random_inputs(unsigned seed, int n) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> S(60, 140), K(60, 140), T(0.1, 3), r(-0.05, 0.1),
      q(-0.05, 0.1), v(0.05, 0.8);
  std::vector<Inputs> out;
  for (int i = 0; i < n; ++i) {
    out.push_back({i % 2 == 0, S(rng), K(rng), T(rng), r(rng), q(rng), v(rng)});
  }
  return out;
}

TEST(BlackScholes, Identities) {
  for (Inputs in : random_inputs(3, 500)) {
    in.call = true;
    const double call = ok(kDelta(in));
    in.call = false;
    const double put = ok(kDelta(in));
    const double d_q = std::exp(-(in.q * in.T));
    EXPECT_NEAR(call - put, d_q, 4.5e-16 * d_q);

    // r = q = 0: exactly the Black-76 results at F = S.
    in.r = in.q = 0;
    const double S = in.S, K = in.K, T = in.T, v = in.v;
    for (const bool c : {true, false}) {
      in.call = c;
      EXPECT_EQ(ok(kPrice(in)), ok(black_price(c, S, K, T, v)));
      EXPECT_EQ(ok(kDelta(in)), ok(delta(c, S, K, T, v)));
      EXPECT_EQ(ok(kTheta(in)), ok(theta(S, K, T, v)));
    }
    EXPECT_EQ(ok(kGamma(in)), ok(gamma(S, K, T, v)));
    EXPECT_EQ(ok(kVega(in)), ok(vega(S, K, T, v)));
    EXPECT_EQ(ok(kVanna(in)), ok(vanna(S, K, T, v)));
    EXPECT_EQ(ok(kVomma(in)), ok(vomma(S, K, T, v)));
  }
}

// Finite differences, for both models: Black-76 on F = S with r = q = 0
// ignored, and the spot model.
struct FdInputs {
  bool spot;  // spot model, or Black-76 on the forward S
  Inputs in;
};

double price(const FdInputs& p) {
  const Inputs& i = p.in;
  return p.spot ? kPrice(i).value() : black_price(i.call, i.S, i.K, i.T, i.v).value();
}

// Random valid inputs away from expiry and zero volatility: Black-76 and
// spot model alternately.
std::vector<FdInputs> fd_inputs(unsigned seed, int n) {
  std::vector<FdInputs> out;
  for (const Inputs& in : random_inputs(seed, n)) {
    const bool spot = out.size() % 4 < 2;
    out.push_back({spot, in});
    if (!spot) out.back().in.r = out.back().in.q = 0;
  }
  return out;
}

FdInputs with(FdInputs p, double Inputs::*field, double shift) {
  p.in.*field += shift;
  return p;
}

// Fourth-order central differences of the price along one input, so that
// truncation stays far below the tolerance even at low total volatility.
template <class F>
double first(F f, double h) {
  return (f(-2 * h) - 8 * f(-h) + 8 * f(h) - f(2 * h)) / (12 * h);
}
template <class F>
double second(F f, double h) {
  return (-f(-2 * h) + 16 * f(-h) - 30 * f(0.0) + 16 * f(h) - f(2 * h)) / (12 * h * h);
}
auto along(const FdInputs& p, double Inputs::*field) {
  return [p, field](double shift) { return price(with(p, field, shift)); };
}

// Steps on the scale over which d1 moves by about one.
double total_vol(const Inputs& i) { return i.v * std::sqrt(i.T); }
double damp(const Inputs& i) {
  const double x = std::log(i.S / i.K) + (i.r - i.q) * i.T;
  return 1 + std::fabs(x) / total_vol(i);
}
double step_S(const FdInputs& p, double c) { return c * p.in.S * total_vol(p.in); }
double step_v(const FdInputs& p, double c) { return c * p.in.v / damp(p.in); }
double step_T(const FdInputs& p, double c) { return c * p.in.T / damp(p.in); }

// Gamma, vega, vanna and vomma are the same for calls and puts (parity is
// linear in S and free of sigma): difference the out-of-the-money price to
// keep rounding noise small.
FdInputs otm(FdInputs p) {
  p.in.call = p.in.S * std::exp((p.in.r - p.in.q) * p.in.T) < p.in.K;
  return p;
}

struct FdCase {
  const char* name;
  SpotFn spot_greek;
  std::function<Result<double>(const Inputs&)> black_greek;
  std::function<double(const FdInputs&)> difference;
  double scale;  // absolute floor of the tolerance, in the Greek's own unit
};

void PrintTo(const FdCase& c, std::ostream* os) { *os << c.name; }

class FiniteDifference : public ::testing::TestWithParam<FdCase> {};

TEST_P(FiniteDifference, MatchesPrice) {
  const FdCase& c = GetParam();
  for (const FdInputs& p : fd_inputs(5, 800)) {
    const Inputs& i = p.in;
    const double got = ok(p.spot ? c.spot_greek(i) : c.black_greek(i));
    EXPECT_NEAR(got, c.difference(p), 1e-6 * (std::fabs(got) + c.scale))
        << c.name << (p.spot ? " spot" : " Black-76") << (i.call ? " call" : " put")
        << " S=" << i.S << " K=" << i.K << " T=" << i.T << " r=" << i.r << " q=" << i.q
        << " v=" << i.v;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Greeks, FiniteDifference,
    ::testing::Values(
        FdCase{"delta", kDelta,
               [](const Inputs& i) { return delta(i.call, i.S, i.K, i.T, i.v); },
               [](const FdInputs& p) { return first(along(p, &Inputs::S), step_S(p, 1e-3)); },
               1e-3},
        FdCase{"gamma", kGamma, [](const Inputs& i) { return gamma(i.S, i.K, i.T, i.v); },
               [](const FdInputs& p) {
                 return second(along(otm(p), &Inputs::S), step_S(p, 1e-2));
               },
               1e-4},
        FdCase{"vega", kVega, [](const Inputs& i) { return vega(i.S, i.K, i.T, i.v); },
               [](const FdInputs& p) { return first(along(otm(p), &Inputs::v), step_v(p, 1e-3)); },
               1.0},
        // The spot theta depends on the option type: difference the price as given.
        FdCase{"theta", kTheta, [](const Inputs& i) { return theta(i.S, i.K, i.T, i.v); },
               [](const FdInputs& p) { return -first(along(p, &Inputs::T), step_T(p, 1e-3)); },
               1e-2},
        FdCase{"vanna", kVanna, [](const Inputs& i) { return vanna(i.S, i.K, i.T, i.v); },
               [](const FdInputs& p) {
                 const auto delta_at = [p](double dv) {
                   return first(along(with(otm(p), &Inputs::v, dv), &Inputs::S), step_S(p, 1e-2));
                 };
                 return first(delta_at, step_v(p, 1e-2));
               },
               1e-2},
        FdCase{"vomma", kVomma, [](const Inputs& i) { return vomma(i.S, i.K, i.T, i.v); },
               [](const FdInputs& p) {
                 return second(along(otm(p), &Inputs::v), step_v(p, 1e-2));
               },
               1.0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvik
