// Prices with cash dividends: the schedule's checks, the closed forms where
// a dividend falls on the expiry date (the payoff on S_T - D; an American
// call exercised just before it) or after it (Black-Scholes, bit for bit),
// across both of the last stretch's methods (exchanged where it is short).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "dividends/panels.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/dividends.hpp"

namespace {

using tarvik::DividendSchedule;

DividendSchedule schedule(const std::vector<double>& t, const std::vector<double>& d) {
  return {t, d};
}

TEST(DividendSchedule, BadSchedulesAreInvalidInput) {
  struct Case {
    std::vector<double> t, d;
  };
  const double nan = std::nan("");
  const Case bad[] = {{{0.5, 0.5}, {1, 1}}, {{0.0}, {1}},   {{nan}, {1}},
                      {{0.5}, {-1}},        {{0.5}, {nan}}, {{0.5, 0.6}, {1}}};
  for (const Case& c : bad) {
    const tarvik::Status err = tarvik::check_dividend_schedule(schedule(c.t, c.d));
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->kind(), tarvik::ErrorKind::InvalidInput);
  }
  EXPECT_FALSE(tarvik::check_dividend_schedule(schedule({0.1, 0.2}, {0.0, 3.0})));
}

TEST(EuropeanWithDividends, ADividendOnTheExpiryDateMeetsTheClosedForm) {
  // A call on max(S_T - D, 0) is a call of strike K + D; a put is a put of
  // strike K + D less one of strike D. An earlier dividend of 0 changes
  // nothing, and puts the expiry's dividend on either method of the last
  // stretch (w = vol sqrt(T - t) against the stretch's own 0).
  for (double vol : {0.05, 0.3, 1.2}) {
    for (bool call : {true, false}) {
      const double s = 100, k = 100, t = 0.75, r = 0.04, q = 0.01, d = 4;
      const auto bs = [&](double strike, bool c) {
        return tarvik::black_scholes_price(s, strike, t, r, q, vol, c).value();
      };
      const double want = call ? bs(k + d, true) : bs(k + d, false) - bs(d, false);
      for (const auto& times : {std::vector<double>{t}, std::vector<double>{0.25, t}}) {
        const std::vector<double> amounts = times.size() == 1 ? std::vector<double>{d}
                                                              : std::vector<double>{0.0, d};
        const double got =
            tarvik::european_price(s, k, t, r, q, vol, call, schedule(times, amounts)).value();
        EXPECT_NEAR(got, want, 1e-12 * std::max(want, 1e-2)) << vol << call;
      }
      // After the expiry: Black-Scholes, bit for bit.
      EXPECT_EQ(
          tarvik::european_price(s, k, t, r, q, vol, call, schedule({t + 1e-9}, {d})).value(),
          bs(k, call));
    }
  }
}

TEST(AmericanWithDividends, ACallExercisedBeforeADividendOnTheExpiryDateIsTheCallWithoutIt) {
  // Just before the expiry's ex-date max(S - K, (S - D - K)+) = (S - K)+: the
  // Black-Scholes call without the dividend, for any amount (above the strike
  // too), after an earlier dividend of 0 or alone.
  for (double vol : {0.05, 0.3, 1.2}) {
    for (double d : {4.0, 150.0}) {
      const double s = 100, k = 100, t = 0.75, r = 0.04;
      const double want = tarvik::black_scholes_price(s, k, t, r, 0.0, vol, true).value();
      for (const auto& times : {std::vector<double>{t}, std::vector<double>{0.25, t}}) {
        const std::vector<double> amounts = times.size() == 1 ? std::vector<double>{d}
                                                              : std::vector<double>{0.0, d};
        const auto got = tarvik::american_price_with_dividends(s, k, t, r, 0.0, vol, true,
                                                               schedule(times, amounts));
        ASSERT_TRUE(got) << vol << " " << d;
        EXPECT_NEAR(got.value(), want, 1e-12 * want) << vol << " " << d;
      }
    }
  }
  // A put on a negative yield at r > 0, a call on a positive one at r < 0:
  // not priced with dividends.
  for (const auto& [rate, q, call] : {std::tuple{0.05, -0.01, false},
                                      std::tuple{-0.01, 0.01, true}}) {
    const auto r = tarvik::american_price_with_dividends(100, 100, 1, rate, q, 0.3, call,
                                                         schedule({0.5}, {1.0}));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), tarvik::ErrorKind::InvalidInput);
  }
}

TEST(AmericanWithDividends, APutExercisedBetweenExDatesMeetsItsReferences) {
  // 45% in the money across a dividend of 2 at q = 0.02: the NumPy prototype
  // of the same nodes (reference/dividend_put_boundary.py) gives
  // 45.10920678739335, Crank-Nicolson (reference/american_lcp, eight
  // levels) 45.109206785666 +- 2.2e-8. Exercised now below the boundary.
  const auto got = tarvik::american_price_with_dividends(55, 100, 1, 0.05, 0.02, 0.3, false,
                                                         schedule({0.5}, {2.0}));
  ASSERT_TRUE(got);
  EXPECT_NEAR(got.value(), 45.10920678739335, 1e-12 * 45.1);
  const auto deep = tarvik::american_price_with_dividends(30, 100, 1, 0.05, 0.02, 0.3, false,
                                                          schedule({0.5}, {2.0}));
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep.value(), 70.0);
}

TEST(AmericanWithDividends, ACallOnAYieldExercisedBetweenExDatesMeetsItsReference) {
  // Three dividends of 1 at r = 5%, q = 1%: Crank-Nicolson (american_lcp,
  // eight levels) 10.159347609826 +- 1.6e-8. Exercised now above the
  // boundary.
  const auto got = tarvik::american_price_with_dividends(100, 100, 1, 0.05, 0.01, 0.25, true,
                                                         schedule({0.25, 0.5, 0.75}, {1, 1, 1}));
  ASSERT_TRUE(got);
  EXPECT_NEAR(got.value(), 10.159347609826, 1.6e-8);
  const auto deep = tarvik::american_price_with_dividends(700, 100, 1, 0.05, 0.01, 0.25, true,
                                                          schedule({0.25, 0.5, 0.75}, {1, 1, 1}));
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep.value(), 600.0);
}

TEST(AmericanWithDividends, APutsBoundaryOutOfReachIsHeldAndAMissedOpeningIsNoPrice) {
  // Nine dividends, one stretch's boundary sinking below 1% of the strike
  // while every spot the price reaches is above 12%: held where its node
  // solves lose their root. Crank-Nicolson (reference/american_lcp, seven
  // levels): 49.49417054928156 +- 1.5e-8.
  const auto held = tarvik::american_price_with_dividends(
      63.71057773773256, 100, 1.4465753424657535, 0.01356784107332576, 0.037882562172995106,
      0.39055784889166933, false,
      schedule({0.18904109589041096, 0.6575342465753424, 0.7041095890410959, 0.8410958904109589,
                1.1863013698630136, 1.2657534246575342, 1.4027397260273973, 1.4082191780821918,
                1.4465753424657535},
               {0.22883207891224802, 0.7754704670164361, 0.18460315001949615, 2.2253777581052727,
                1.1409036557621908, 2.911864809664785, 0.9561123851095218, 0.9157165563857078,
                0.9240487779126138}));
  ASSERT_TRUE(held);
  EXPECT_NEAR(held.value(), 49.49417054928156, 1.5e-8);
  // On no yield at 50% after a dividend of 0.5, the boundary collapses to
  // 0 before the region above the dividend opens: the reference's price
  // (27.116386439 +- 6e-7) or none, never the 27.058 of a boundary held at 0.
  const auto collapsed = tarvik::american_price_with_dividends(80, 100, 1, 0.05, 0.0, 0.5, false,
                                                               schedule({0.5}, {0.5}));
  if (collapsed) {
    EXPECT_NEAR(collapsed.value(), 27.116386439451087, 6e-7);
  } else {
    EXPECT_EQ(collapsed.error().kind(), tarvik::ErrorKind::NoConvergence);
  }
}

TEST(AmericanWithDividends, APutWhoseBoundaryWouldTakeTooLongIsNoConvergence) {
  // Ten dividends over 30 years at a volatility of 1e-4 (Ghat's sums over
  // some hundred thousand panels), and daily dividends for a year: a
  // bounded amount of work, then no_convergence.
  std::vector<double> yearly, daily(365), amounts(365, 0.01);
  for (int i = 1; i <= 10; ++i) yearly.push_back(30.0 * i / 11.0);
  for (std::size_t i = 0; i < daily.size(); ++i) daily[i] = (i + 1) / 365.0;
  const auto slow = tarvik::american_price_with_dividends(100, 100, 30, 0.5, 0.5, 1e-4, false,
                                                          schedule(yearly, std::vector<double>(10, 2.0)));
  ASSERT_FALSE(slow);
  EXPECT_EQ(slow.error().kind(), tarvik::ErrorKind::NoConvergence);
  const auto many = tarvik::american_price_with_dividends(100, 100, 1.0, 0.05, 0.0, 0.3, false,
                                                          schedule(daily, amounts));
  ASSERT_FALSE(many);
  EXPECT_EQ(many.error().kind(), tarvik::ErrorKind::NoConvergence);
}

TEST(DividendPanels, HoldAValueFunctionAndItsTwoSlopes) {
  // A put-like value 1 - s below b and smooth above, on panels of a width
  // that needs halving (a Gaussian bump in ln s, a power law), against its
  // derivatives in closed form; 0 above the top.
  struct Case {
    double b, width, bump;
  };
  for (const Case c : {Case{0.6, 0.5, 0.05}, Case{0.02, 4.0, 0.3}, Case{0.9, 0.01, 1.0}}) {
    const double x0 = std::log(c.b);
    const auto f = [&](double s) {
      const double z = (std::log(s) - x0 - 0.4) / c.bump;
      return (1.0 - c.b) * std::pow(c.b / s, 3.0) + 0.01 * std::exp(-0.5 * z * z);
    };
    tarvik::dividends::Panels p;
    const auto values = [&](const double* s, int n, double* out) {
      for (int i = 0; i < n; ++i) out[i] = f(s[i]);
      return true;
    };
    ASSERT_TRUE(tarvik::dividends::fit_panels(values, c.b, x0, x0 + 3.0, c.width, p));
    for (double x = x0 + 0.01; x < x0 + 3.0; x += 0.037) {
      const double s = std::exp(x), h = 1e-4 * s;
      double v, vs, vss;
      p.at(s, 2, v, vs, vss);
      EXPECT_NEAR(v, f(s), 1e-11) << c.b << " " << s;
      EXPECT_NEAR(vs, (f(s + h) - f(s - h)) / (2 * h), 1e-6 / s) << c.b << " " << s;
      EXPECT_NEAR(vss, (f(s + h) - 2 * f(s) + f(s - h)) / (h * h), 1e-3 / (s * s)) << s;
    }
    double v, vs, vss;
    p.at(0.5 * c.b, 2, v, vs, vss);
    EXPECT_EQ(v, 1.0 - 0.5 * c.b);
    EXPECT_EQ(vs, -1.0);
    p.at(std::exp(x0 + 3.5), 0, v, vs, vss);
    EXPECT_EQ(v, 0.0);
  }
}

TEST(EuropeanWithDividends, DividendsTooCloseForTheVolatilityAreNoConvergence) {
  // Ex-dates an ulp apart at a small volatility would take a grid of
  // billions of points, a second after a long first stretch at a high one
  // billions of the last sum's panels, a hundred thousand a tenth of a day
  // apart billions of terms: refused at once rather than computed for hours.
  struct Case {
    double vol;
    std::vector<double> t;
  };
  std::vector<double> daily(100000);
  for (std::size_t i = 0; i < daily.size(); ++i) daily[i] = (i + 1) / 3650.0;
  const Case cases[] = {{1e-3, {0.5, std::nextafter(0.5, 1.0)}},
                        {5.0, {3.0, 3.0 + 1.0 / (365.0 * 86400.0)}},
                        {0.3, daily}};
  for (const Case& c : cases) {
    const std::vector<double> amounts(c.t.size(), 0.01);
    const auto r = tarvik::european_price(100, 100, 30, 0.05, 0, c.vol, true, schedule(c.t, amounts));
    ASSERT_FALSE(r.ok()) << c.vol;
    EXPECT_EQ(r.error().kind(), tarvik::ErrorKind::NoConvergence);
  }
}

}  // namespace
