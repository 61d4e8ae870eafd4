// Every Greek of a batch in one pass: the computations of the record
// operations (batch/ops.hpp), whose element is a record of fields (the price
// and each sensitivity), written into one output array per field. Each field
// has the bits of its single-quantity batch operation, NaN exactly where that
// one has NaN: it is the same formula (greeks.hpp, black_scholes.cpp, the
// normal model's kernel.hpp) on the same operands, with the logarithms, d1
// and the density phi(d1) of an element taken once for all of its fields.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "batch/elements.hpp"
#include "batch/ops.hpp"
#include "black/price_plans.hpp"
#include "black/terms.hpp"
#include "tarvik/bachelier.hpp"
#include "tarvik/batch.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"

namespace tarvik {
namespace elements {

// Black-76: price, delta, gamma, vega, theta, vanna, vomma.
struct BlackGreeks : ops::BlackGreeks {
  static constexpr std::size_t kRun = BlackRun::kSize;
  using Prepared = HoistedLogs;

  // Fields of elements start to start + len, each into out[f] + start.
  static void evaluate_run(const HoistedLogs& logs, const batch::Inputs<4>& in, std::size_t start,
                           std::size_t len, double* const* out) {
    const BlackRun run(logs, in, start, len);
    prices_of(run, len, out[0] + start);
    alignas(64) double pdf[kRun], delta[kRun];
    densities_of(run, len, pdf);
    deltas_of(run, len, delta);
    for (std::size_t j = 0; j < len; ++j) {
      const std::size_t i = start + j;
      if (!run.ok[j]) {
        for (std::size_t f = 1; f < kFields; ++f) out[f][i] = batch::kRejected;
        continue;
      }
      const BlackTerms t = run.terms(j);
      const bool call = run.call[j];
      if (t.total_vol == 0.0) {
        out[1][i] = sensitivity::at_zero_vol<sensitivity::Delta>(t, call);
        for (std::size_t f = 2; f < kFields; ++f) out[f][i] = 0.0;
        continue;
      }
      const double phi = pdf[j];
      out[1][i] = delta[j];
      out[2][i] = sensitivity::Gamma::with(t, phi, call);
      out[3][i] = sensitivity::Vega::with(t, phi, call);
      out[4][i] = sensitivity::Theta::with(t, phi, call);
      out[5][i] = sensitivity::Vanna::with(t, phi, call);
      out[6][i] = sensitivity::Vomma::with(t, phi, call);
    }
  }
};

// The spot model: price, delta, gamma, vega, theta, vanna, vomma, rho,
// dividend_rho. The price is staged as in black_scholes_prices; the
// sensitivities come from one black_scholes_greeks per element.
struct BlackScholesGreeks : ops::BlackScholesGreeks {
  static constexpr std::size_t kRun = batch::kPlanRun;
  using Prepared = ops::NoPreparation;

  static void evaluate_run(const ops::NoPreparation&, const batch::Inputs<6>& in, std::size_t start,
                           std::size_t len, double* const* out) {
    std::array<BlackScholesPricePlan, kRun> plans;
    std::array<ErfcPair, kRun> erfcs;
    const auto v = [&](std::size_t k, std::size_t i) { return in.value(k, i); };
    for (std::size_t j = 0; j < len; ++j) {
      const std::size_t i = start + j;
      plans[j] = plan_or_rejected(plan_black_scholes_price(v(0, i), v(1, i), v(2, i), v(3, i),
                                                           v(4, i), v(5, i), in.is_call(i)));
    }
    erfcs_of(plans.data(), len, erfcs);
    for (std::size_t j = 0; j < len; ++j) out[0][start + j] = plans[j].price(erfcs[j]);
    for (std::size_t j = 0; j < len; ++j) {
      const std::size_t i = start + j;
      const Result<SpotGreeks> g =
          black_scholes_greeks(v(0, i), v(1, i), v(2, i), v(3, i), v(4, i), v(5, i), in.is_call(i));
      const SpotGreeks r =
          g ? g.value()
            : SpotGreeks{batch::kRejected, batch::kRejected, batch::kRejected, batch::kRejected,
                         batch::kRejected, batch::kRejected, batch::kRejected, batch::kRejected};
      const double fields[] = {r.delta, r.gamma, r.vega, r.theta,
                               r.vanna, r.vomma, r.rho,  r.dividend_rho};
      for (std::size_t f = 1; f < kFields; ++f) out[f][i] = fields[f - 1];
    }
  }
};

// The normal model: price, delta, gamma, vega, theta, vanna, vomma, from one
// bachelier_greeks per element (its terms d and sigma sqrt(T), and the
// density, shared by all seven fields).
struct BachelierGreeks : ops::BachelierGreeks {
  static constexpr std::size_t kRun = batch::kPlanRun;
  using Prepared = ops::NoPreparation;

  static void evaluate_run(const ops::NoPreparation&, const batch::Inputs<4>& in, std::size_t start,
                           std::size_t len, double* const* out) {
    for (std::size_t i = start; i < start + len; ++i) {
      const Result<tarvik::BachelierGreeks> g = bachelier_greeks(
          in.value(0, i), in.value(1, i), in.value(2, i), in.value(3, i), in.is_call(i));
      if (!g) {
        for (std::size_t f = 0; f < kFields; ++f) out[f][i] = batch::kRejected;
        continue;
      }
      const tarvik::BachelierGreeks& r = g.value();
      const double fields[] = {r.price, r.delta, r.gamma, r.vega, r.theta, r.vanna, r.vomma};
      for (std::size_t f = 0; f < kFields; ++f) out[f][i] = fields[f];
    }
  }
};

// The nine spot-model fields of elements [start, start + len), each from
// greeks(spot, strike, maturity, rate, dividend, vol, is_call) -> a
// Result<AmericanGreeks>, NaN in every field for an error.
template <class Greeks>
void each_record(const batch::Inputs<6>& in, std::size_t start, std::size_t len,
                 double* const* out, Greeks greeks) {
  constexpr std::size_t kFields = ops::AmericanGreeks::kFields;
  for (std::size_t i = start; i < start + len; ++i) {
    const Result<tarvik::AmericanGreeks> g = greeks(in.value(0, i), in.value(1, i), in.value(2, i),
                                                    in.value(3, i), in.value(4, i), in.value(5, i),
                                                    in.is_call(i));
    if (!g) {
      for (std::size_t f = 0; f < kFields; ++f) out[f][i] = batch::kRejected;
      continue;
    }
    const tarvik::AmericanGreeks& r = g.value();
    const double fields[] = {r.price, r.delta, r.gamma, r.vega,        r.theta,
                             r.vanna, r.vomma, r.rho,   r.dividend_rho};
    for (std::size_t f = 0; f < kFields; ++f) out[f][i] = fields[f];
  }
}

// American exercise: price and the Greeks of the spot model from one
// american_greeks per element (one boundary for price, delta, gamma and
// theta; twelve more prices for the others), on the batch's schedule.
struct AmericanGreeks : ops::AmericanGreeks {
  static constexpr std::size_t kRun = batch::kPlanRun;
  using Prepared = ops::NoPreparation;

  static void evaluate_run(const ops::NoPreparation&, const batch::Inputs<6>& in, std::size_t start,
                           std::size_t len, double* const* out) {
    each_record(in, start, len, out, [&](auto... args) {
      return american_greeks_with_dividends(args..., in.schedule());
    });
  }
};

// Cash dividends: one european_greeks per element, on the batch's schedule.
struct EuropeanGreeks : ops::EuropeanGreeks {
  static constexpr std::size_t kRun = batch::kPlanRun;
  using Prepared = ops::NoPreparation;

  static void evaluate_run(const ops::NoPreparation&, const batch::Inputs<6>& in, std::size_t start,
                           std::size_t len, double* const* out) {
    each_record(in, start, len, out,
                [&](auto... args) { return european_greeks(args..., in.schedule()); });
  }
};

}  // namespace elements

namespace batch {

// clang-format off
template <> struct Element<ops::BlackGreeks> { using type = elements::BlackGreeks; };
template <> struct Element<ops::BlackScholesGreeks> { using type = elements::BlackScholesGreeks; };
template <> struct Element<ops::BachelierGreeks> { using type = elements::BachelierGreeks; };
template <> struct Element<ops::AmericanGreeks> { using type = elements::AmericanGreeks; };
template <> struct Element<ops::EuropeanGreeks> { using type = elements::EuropeanGreeks; };
// clang-format on

}  // namespace batch
}  // namespace tarvik
