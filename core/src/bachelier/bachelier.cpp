// The validating front ends of the normal model over the formulas of
// kernel.hpp.
#include "tarvik/bachelier.hpp"

#include <cmath>

#include "block.hpp"
#include "kernel.hpp"
#include "tarvik/batch.hpp"
#include "tarvik/black.hpp"

namespace tarvik {

namespace {

// The checks of every price and sensitivity, then the shared terms.
Result<bachelier::Terms<double>> valid_terms(double forward, double strike, double maturity,
                                             double volatility) {
  if (!std::isfinite(forward) || !std::isfinite(strike) || !std::isfinite(maturity) ||
      !std::isfinite(volatility)) {
    return IVError::invalid_input("non-finite Bachelier input");
  }
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  if (Status err = require_volatility(volatility)) return *err;
  if (!std::isfinite(forward - strike)) {
    return IVError::invalid_input("forward minus strike overflows");
  }
  return bachelier::Terms<double>::of(forward, strike, maturity, volatility);
}

template <class Formula>
Result<double> evaluate(double forward, double strike, double maturity, double volatility,
                        Formula formula) {
  const auto t = valid_terms(forward, strike, maturity, volatility);
  if (!t) return t.error();
  return formula(t.value());
}

}  // namespace

Result<double> bachelier_price(double forward, double strike, double maturity, double volatility,
                               bool is_call) {
  return evaluate(forward, strike, maturity, volatility,
                  [&](const auto& t) { return bachelier::price(t, is_call); });
}

Result<double> bachelier_delta(double forward, double strike, double maturity, double volatility,
                               bool is_call) {
  return evaluate(forward, strike, maturity, volatility,
                  [&](const auto& t) { return bachelier::delta(t, is_call); });
}

Result<double> bachelier_gamma(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::gamma(t); });
}

Result<double> bachelier_vega(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::vega(t); });
}

Result<double> bachelier_theta(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::theta(t); });
}

Result<double> bachelier_vanna(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::vanna(t); });
}

Result<double> bachelier_vomma(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::vomma(t); });
}

Result<BachelierGreeks> bachelier_greeks(double forward, double strike, double maturity,
                                         double volatility, bool is_call) {
  const auto terms = valid_terms(forward, strike, maturity, volatility);
  if (!terms) return terms.error();
  const bachelier::Terms<double>& t = terms.value();
  return BachelierGreeks{.price = bachelier::price(t, is_call),
                         .delta = bachelier::delta(t, is_call),
                         .gamma = bachelier::gamma(t),
                         .vega = bachelier::vega(t),
                         .theta = bachelier::theta(t),
                         .vanna = bachelier::vanna(t),
                         .vomma = bachelier::vomma(t)};
}

namespace bachelier {

// The checks of the implied volatility, then either its value where it needs
// no inversion (written to `value`) or the time value v > 0, a = |F - K| and
// sqrt(T) of an inversion.
Status prepare_inversion(double price, double forward, double strike, double maturity, bool is_call,
                         Inversion& out) {
  if (!std::isfinite(price) || !std::isfinite(forward) || !std::isfinite(strike) ||
      !std::isfinite(maturity)) {
    return IVError::invalid_input("non-finite implied-volatility input");
  }
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  const double m = forward - strike;
  if (!std::isfinite(m)) return IVError::invalid_input("forward minus strike overflows");
  const double x = is_call ? m : -m;
  const double intrinsic = x > 0.0 ? x : 0.0;
  if (price < intrinsic) return IVError::price_below_intrinsic(price, intrinsic);
  out.sqrt_maturity = std::sqrt(maturity);
  if (price == intrinsic) {
    out.done = true;
    out.value = 0.0;
    return std::nullopt;
  }
  out.time_value = price - intrinsic;
  out.distance = std::fabs(x);
  double s;
  out.done = direct_total_volatility(out.time_value, out.distance, s);
  if (out.done) out.value = s / out.sqrt_maturity;
  return std::nullopt;
}

}  // namespace bachelier

Result<double> bachelier_implied_volatility(double price, double forward, double strike,
                                            double maturity, bool is_call) {
  bachelier::Inversion in;
  if (Status err = bachelier::prepare_inversion(price, forward, strike, maturity, is_call, in)) {
    return *err;
  }
  if (in.done) return in.value;
  const bachelier::Start<double> st = bachelier::start(in.time_value, in.distance);
  const double u = bachelier::halley(st, bachelier::mills_complement(st.u));
  return (in.distance / u) / in.sqrt_maturity;
}

void bachelier_implied_volatility_block(const double* price, const double* forward,
                                        const double* strike, const double* maturity,
                                        const std::uint8_t* is_call, std::size_t n, double* out) {
  // Stage by stage over the elements that need an inversion (listed in
  // `pick`), each stage the scalar function's operations on its operands.
  std::size_t pick[kBachelierBlock];
  double v[kBachelierBlock], a[kBachelierBlock], root_t[kBachelierBlock], q[kBachelierBlock];
  bachelier::Start<double> st[kBachelierBlock];
  std::size_t m = 0;
  for (std::size_t j = 0; j < n; ++j) {
    bachelier::Inversion in;
    if (bachelier::prepare_inversion(price[j], forward[j], strike[j], maturity[j], is_call[j] != 0,
                                     in)) {
      out[j] = batch::kRejected;
    } else if (in.done) {
      out[j] = in.value;
    } else {
      pick[m] = j;
      v[m] = in.time_value;
      a[m] = in.distance;
      root_t[m] = in.sqrt_maturity;
      ++m;
    }
  }
  // The starts near the money and away from it in two passes (lists made
  // without branches), so that neither pass branches on the region.
  std::size_t near[kBachelierBlock], far[kBachelierBlock];
  std::size_t n_near = 0, n_far = 0;
  double r[kBachelierBlock];
  for (std::size_t i = 0; i < m; ++i) {
    r[i] = v[i] / a[i];
    const bool is_near = r[i] >= bachelier::kNearMin;
    near[n_near] = i;
    far[n_far] = i;
    n_near += is_near ? 1 : 0;
    n_far += is_near ? 0 : 1;
  }
  for (std::size_t k = 0; k < n_near; ++k) st[near[k]] = bachelier::start_near(r[near[k]]);
  for (std::size_t k = 0; k < n_far; ++k) {
    const std::size_t i = far[k];
    st[i] = bachelier::start_far(v[i], a[i], r[i]);
  }
  for (std::size_t i = 0; i < m; ++i) q[i] = bachelier::mills_complement(st[i].u);
  for (std::size_t i = 0; i < m; ++i) {
    out[pick[i]] = (a[i] / bachelier::halley(st[i], q[i])) / root_t[i];
  }
}

}  // namespace tarvik
