#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tarvik/surface.hpp"

namespace tarvik::surface {
namespace {

// Gatheral and Jacquier 2014, Example 3.1 (Axel Vogt's smile): arbitrageable.
constexpr Svi kVogt{-0.0410, 0.1331, 0.3060, 0.3586, 0.4153};

struct Chain {
  std::vector<double> k, w, weights;
};

Chain chain_of(const Svi& s, double lo, double hi, int n) {
  Chain c;
  for (int i = 0; i < n; ++i) {
    const double k = lo + (hi - lo) * i / (n - 1);
    c.k.push_back(k);
    c.w.push_back(svi_variance(s, k).w);
    c.weights.push_back(1.0 + 0.5 * std::cos(7.0 * k));
  }
  return c;
}

class ExactSmile : public ::testing::TestWithParam<Svi> {};

TEST_P(ExactSmile, FitGivesItsParametersBack) {
  const Svi truth = GetParam();
  ASSERT_TRUE(arbitrage_free(truth));
  const Chain c = chain_of(truth, truth.m - 4.0 * truth.sigma - 0.3, truth.m + 3.0 * truth.sigma + 0.2, 60);
  const SviFit fit = fit_svi(c.k, c.w, c.weights);
  ASSERT_EQ(fit.reason, nullptr);
  EXPECT_TRUE(arbitrage_free(fit.svi));
  for (std::size_t i = 0; i < c.k.size(); ++i) {
    EXPECT_NEAR(std::sqrt(svi_variance(fit.svi, c.k[i]).w / c.w[i]), 1.0, 1e-9) << c.k[i];
  }
  EXPECT_NEAR(fit.svi.rho, truth.rho, 1e-6);
  EXPECT_NEAR(fit.svi.m, truth.m, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Smiles, ExactSmile,
                         ::testing::Values(Svi{0.02, 0.1, -0.6, 0.05, 0.15},   // equity skew
                                           Svi{0.04, 0.2, 0.0, 0.0, 0.3},      // symmetric
                                           Svi{0.001, 0.05, -0.9, 0.01, 0.02},  // a week, steep
                                           Svi{0.3, 0.5, 0.4, -0.2, 0.8},      // long, upward
                                           // a < 0, the smallest variance 0.023
                                           Svi{-0.03359, 0.17783, -0.22306, 0.21954, 0.3245}));

TEST(Butterfly, SmallestGAgreesWithADenseScanAndFindsVogtsArbitrage) {
  std::mt19937_64 gen(29);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  int free = 0;
  for (int trial = 0; trial < 300; ++trial) {
    // The last 100 with sigma from 1e-6 to 1e-2: their own grid reaches
    // only 0.08 to 800 from m, the grid at unit scale the rest.
    const double sigma = trial < 200 ? 0.01 + 0.5 * u(gen) : 1e-6 * std::pow(1e4, u(gen));
    const Svi s{-0.05 + 0.1 * u(gen), 0.02 + 0.6 * u(gen), -0.95 + 1.9 * u(gen),
                -2.0 + 4.0 * u(gen), sigma};
    double scanned = INFINITY;
    for (int i = 0; i <= 200000; ++i) {
      const double k = -8.0 + 16.0 * i / 200000;
      scanned = std::min(scanned, butterfly(k, svi_variance(s, k)));
    }
    const ButterflyMinimum low = smallest_butterfly(s);
    // Never above the scan (a scan only samples), and close to it where the
    // smile stays positive (where w nears 0, g's dip is too narrow to scan).
    EXPECT_LE(low.g, scanned + 1e-12);
    const double lowest_w = s.a + s.b * s.sigma * std::sqrt(1.0 - s.rho * s.rho);
    if (sigma >= 0.01 && lowest_w > 0.01 && std::isfinite(low.k) && std::fabs(low.k) < 7.0) {
      EXPECT_NEAR(low.g, scanned, 1e-6);
    }
    // The check stops at the first g below 0 it meets: the same answer.
    free += arbitrage_free(s);
    EXPECT_EQ(arbitrage_free(s), lowest_w > 0.0 && low.g >= 0.0) << trial;
  }
  EXPECT_GT(free, 20);
  EXPECT_LT(free, 180);
  const ButterflyMinimum vogt = smallest_butterfly(kVogt);
  EXPECT_LT(vogt.g, 0.0);
  EXPECT_FALSE(arbitrage_free(kVogt));
}

TEST(Fit, AnArbitrageableSmileIsFittedWithoutArbitrage) {
  const Chain c = chain_of(kVogt, -1.5, 1.5, 80);
  const SviFit fit = fit_svi(c.k, c.w, c.weights);
  ASSERT_EQ(fit.reason, nullptr);
  EXPECT_TRUE(arbitrage_free(fit.svi));
  EXPECT_GE(smallest_butterfly(fit.svi).g, 0.0);
  // Vogt's a < 0 lies outside the fit's domain (a >= 0): some 0.006 of a
  // total variance of 0.05 to 0.2 is what the domain allows.
  EXPECT_LT(fit.rmse, 1e-2);
}

TEST(Density, IsAProbabilityWithTheForwardAsMean) {
  for (const Svi& s : {Svi{0.02, 0.1, -0.6, 0.05, 0.15}, Svi{0.3, 0.5, 0.4, -0.2, 0.8}}) {
    double mass = 0.0, mean = 0.0;
    const double h = 1e-3;
    for (double k = -60.0; k <= 60.0; k += h) {
      const double p = log_moneyness_density(k, svi_variance(s, k));
      ASSERT_GE(p, 0.0);
      mass += p * h;
      mean += std::exp(k) * p * h;
    }
    EXPECT_NEAR(mass, 1.0, 1e-6);
    EXPECT_NEAR(mean, 1.0, 1e-6);
  }
}

TEST(Fit, RefusesTooFewUsableQuotes) {
  const std::vector<double> k = {-0.1, 0.0, 0.1, 0.2, NAN, 0.3}, w = {0.04, 0.03, 0.035, 0.04, 0.05, -1.0},
                            om(6, 1.0);
  EXPECT_STREQ(fit_svi(k, w, om).reason, "fewer than 5 usable quotes");
  EXPECT_NE(fit_svi(std::vector<double>{0.0}, w, om).reason, nullptr);
}

// An eSSVI chain from a week to three years: theta, psi growing, rho
// flattening; Gatheral and Jacquier's bounds and the calendar order hold.
std::vector<Essvi> essvi_chain(int n) {
  std::vector<Essvi> out;
  for (int i = 0; i < n; ++i) {
    const double t = 0.02 * std::pow(150.0, i / (n - 1.0));
    const double theta = 0.04 * t + 0.001;
    out.push_back({theta, -0.7 + 0.3 * i / (n - 1.0), 0.25 * std::sqrt(theta)});
  }
  return out;
}

TEST(Essvi, IsTheSameSmileAsItsRawSvi) {
  for (const Essvi& e : essvi_chain(7)) {
    for (double k = -2.0; k <= 2.0; k += 0.25) {
      const Variance a = essvi_variance(e, k), b = svi_variance(to_svi(e), k);
      EXPECT_NEAR(a.w, b.w, 1e-15);
      EXPECT_NEAR(a.dw, b.dw, 1e-14);
      EXPECT_NEAR(a.d2w, b.d2w, 1e-12 * std::fabs(b.d2w));
    }
  }
}

TEST(Essvi, AChainIsFittedBackAndEachSmileLiesAboveTheOneBefore) {
  const std::vector<Essvi> truth = essvi_chain(12);
  std::vector<std::vector<double>> k(truth.size()), w(truth.size()), om(truth.size());
  std::vector<ExpiryQuotes> quotes;
  for (std::size_t i = 0; i < truth.size(); ++i) {
    for (int j = 0; j < 50; ++j) {
      k[i].push_back((-3.0 + 5.5 * j / 49) * std::sqrt(truth[i].theta));
      w[i].push_back(essvi_variance(truth[i], k[i].back()).w);
      om[i].push_back(1.0);
    }
    quotes.push_back({k[i], w[i], om[i]});
  }
  const std::vector<EssviFit> fits = fit_essvi(quotes);
  for (std::size_t i = 0; i < fits.size(); ++i) {
    ASSERT_EQ(fits[i].reason, nullptr);
    EXPECT_TRUE(arbitrage_free(to_svi(fits[i].essvi)));
    for (std::size_t j = 0; j < k[i].size(); ++j) {
      EXPECT_NEAR(std::sqrt(essvi_variance(fits[i].essvi, k[i][j]).w / w[i][j]), 1.0, 1e-9);
    }
  }
}

TEST(Essvi, AnExpiryBelowTheOneBeforeIsLiftedAboveItAtEveryK) {
  // The second expiry's quotes lie below the first's in the wings: its fit
  // must still lie on or above the first smile everywhere.
  const Essvi first{0.04, -0.6, 0.3}, second{0.05, 0.2, 0.15};
  std::vector<double> k, w1, w2, om;
  for (int j = 0; j < 60; ++j) {
    k.push_back(-1.5 + 3.0 * j / 59);
    w1.push_back(essvi_variance(first, k.back()).w);
    w2.push_back(essvi_variance(second, k.back()).w);
    om.push_back(1.0);
  }
  const ExpiryQuotes quotes[2] = {{k, w1, om}, {k, w2, om}};
  const std::vector<EssviFit> fits = fit_essvi(quotes);
  ASSERT_EQ(fits[1].reason, nullptr);
  for (double x = -50.0; x <= 50.0; x += 1e-3) {
    ASSERT_GE(essvi_variance(fits[1].essvi, x).w, essvi_variance(fits[0].essvi, x).w * (1 - 1e-12))
        << x;
  }
  EXPECT_TRUE(arbitrage_free(to_svi(fits[1].essvi)));
}

TEST(Surface, BeyondTheLastEssviExpiryTheSmilesStayFreeOfArbitrage) {
  const std::vector<Essvi> chain = essvi_chain(3);
  std::vector<Slice> slices;
  for (std::size_t i = 0; i < chain.size(); ++i) slices.push_back({1.0 + i, 0.0, to_svi(chain[i])});
  for (double t = 3.0; t <= 40.0; t += 0.5) {
    for (double k = -5.0; k <= 5.0; k += 0.01) {
      const Variance now = surface_variance(Smile::Essvi, slices, k, t);
      ASSERT_GE(butterfly(k, now), 0.0) << k << " " << t;
      ASSERT_GE(surface_variance(Smile::Essvi, slices, k, t + 0.5).w, now.w);
    }
  }
}

TEST(Surface, ItsLoopsGiveThePointwiseRuleBitForBit) {
  const std::vector<Essvi> chain = essvi_chain(6);
  std::vector<Slice> slices;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    slices.push_back({0.1 + 0.3 * i, 4.6 + 0.01 * i, to_svi(chain[i])});
  }
  std::vector<double> k, t;
  std::mt19937_64 gen(29);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int i = 0; i < 2000; ++i) {
    k.push_back(-2.0 + 4.0 * u(gen));
    // On, between, before and after the slices, and beyond the reach of a number.
    t.push_back(i % 7 == 0 ? slices[i % 6].maturity : i % 11 == 0 ? -1.0 : 2.5 * u(gen));
  }
  for (const Smile smile : {Smile::Svi, Smile::Essvi}) {
    std::vector<double> out(k.size());
    evaluate(smile, slices, InView(k.data(), k.size()), InView(t.data(), t.size()),
             Quantity::TotalVariance, out, Exec::Serial);
    for (std::size_t i = 0; i < k.size(); ++i) {
      const double want = surface_total_variance(smile, slices, k[i], t[i]);
      EXPECT_TRUE(std::memcmp(&out[i], &want, sizeof want) == 0) << k[i] << " " << t[i];
    }
  }
  std::vector<double> none(3);
  evaluate(Smile::Essvi, {}, InView(k.data(), 3), InView(t.data(), 3), Quantity::ImpliedVolatility,
           none, Exec::Serial);
  EXPECT_TRUE(std::isnan(none[0]) && std::isnan(none[2]));
}

}  // namespace
}  // namespace tarvik::surface
