// American prices and implied volatilities: the European price of
// black_scholes_price plus the early-exercise premium on the boundary of
// boundary.cpp, calls as puts with spot and strike, rate and yield swapped.
#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "american/boundary.hpp"
#include "american/double_boundary.hpp"
#include "american/recent.hpp"
#include "american/tiers.hpp"
#include "batch/stop.hpp"
#include "black/terms.hpp"
#include "search/differences.hpp"
#include "search/volatility.hpp"
#include "tarvik/american.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"

namespace tarvik {

namespace {

using american::Boundary;
using american::PremiumRule;
using american::PutProblem;
using american::ThetaRule;

// The Gauss-Legendre rules of the last few sizes used on this thread, one
// cache per use (boundary, coarse boundary, premium), so that the rules one
// price takes never displace each other: a rule of 128 points takes longer to
// build than a price.
enum RuleUse { kBoundaryRule, kCoarseRule, kPriceRule };

template <RuleUse use> struct RuleTag {};

template <RuleUse use, class Rule = std::conditional_t<use == kPriceRule, PremiumRule, ThetaRule>>
const Rule& cached_rule(int size) {
  // One size a default scheme and some to spare (16 to 20 KiB a rule).
  using Rules = american::Recent<RuleTag<use>, Rule, 1, 6>;
  return Rules::find({american::key_word(size)}, [&](Rule& rule) {
    if constexpr (use == kPriceRule) {
      american::make_premium_rule(size, rule);
    } else {
      american::make_theta_rule(size, rule);
    }
  });
}

// The coarse stage: this many boundary points; its sweeps stop at this
// multiple of the scheme's tolerance.
constexpr int kCoarsePoints = 8;
constexpr double kCoarseMove = 1000.0;
// Its sweeps give up once their least move has not fallen below 0.3 of
// itself over this many: where eight points do not resolve the integrals
// (a long carry near the steep boundary's scale) they wandered for all 64
// sweeps the tiers allow, 9% of such a price's instructions, and the full
// sweeps then start from the QD+ boundary as they would after 64. Over the
// benchmark portfolio and 5,749 seeded whole-domain single-boundary options
// no price moves.
constexpr int kCoarseStall = 20;

// The put in exercise form: who pays the strike, who the spot.
struct PutForm {
  double spot;
  double strike;
  double rate;
  double dividend;
};

PutForm put_form(double spot, double strike, double rate, double dividend, bool is_call) {
  if (is_call) return PutForm{strike, spot, dividend, rate};
  return PutForm{spot, strike, rate, dividend};
}

// Zero volatility: the best of stopping at 0, at T, or where the discounted
// gain K e^{-r t} - S e^{-q t} is stationary, t* = ln(q S / (r K)) / (q - r),
// where r and q have one sign. Its second derivative there is
// r K e^{-r t*} (r - q): a maximum for 0 < r < q (the spot above K r / q)
// and for q < r < 0 (the spot below K r / q, drifting up to it).
double deterministic_value(const PutForm& f, double maturity) {
  auto gain = [&](double t) {
    return f.strike * elementary::exp(-(f.rate * t)) - f.spot * elementary::exp(-(f.dividend * t));
  };
  double best = std::max(0.0, std::max(f.strike - f.spot, gain(maturity)));
  if (f.dividend != f.rate && (f.dividend > 0.0 || f.rate < 0.0)) {
    const double t = elementary::log((f.dividend * f.spot) / (f.rate * f.strike)) / (f.dividend - f.rate);
    if (t > 0.0 && t < maturity) best = std::max(best, gain(t));
  }
  return best;
}

// The perpetual put (McKean 1965; Merton 1973), for r > 0: with lambda the
// negative root of sigma^2/2 l^2 + b l - r = 0, b = r - q - sigma^2/2, it is
// exercised at or below S* = K lambda / (lambda - 1) and worth
// (K - S*) (S / S*)^lambda above. Every finite life's put is worth at most
// that, so its boundary lies at or above S*. The root is taken in the form
// without cancellation: (-b - sqrt(D)) / sigma^2 where b > 0, else
// -2r / (-b + sqrt(D)) (the product of the roots is -2r / sigma^2).
struct Perpetual {
  double lambda;
  double edge;   // S* / K
  double drift;  // b
};

Perpetual perpetual_put(double rate, double dividend, double volatility) {
  const american::PerpetualEquation e = american::perpetual_equation(rate, dividend, volatility);
  const double b = e.drift;
  const double root = std::sqrt(e.disc);
  const double lambda = b > 0.0 ? (-b - root) / e.var : (-2.0 * rate) / (root - b);
  return Perpetual{lambda, lambda / (lambda - 1.0), b};
}

}  // namespace

const AmericanScheme& american_default_scheme(double maturity, double rate, double dividend,
                                              double volatility, bool is_call) {
  const PutForm f = put_form(1.0, 1.0, rate, dividend, is_call);
  const bool two_boundaries = f.rate < 0.0 && f.dividend < f.rate;
  if (american::steep_scale(maturity, f.rate, f.dividend, volatility) > 0.0) {
    if (american::steep_drift_leads(f.rate, f.dividend, volatility)) return kAmericanSchemeSteep;
    return two_boundaries ? kAmericanSchemeTwoBoundaries : kAmericanSchemeSteepVariance;
  }
  if (f.rate >= f.dividend) {
    // The boundary's fall below K over the life, in units of its spread.
    const double carry = f.rate * maturity;
    const double spread = volatility * volatility;
    if (carry >= 4.0 * spread) return kAmericanSchemeLongCarry;
    return carry >= 0.75 * spread ? kAmericanScheme : kAmericanSchemeShortCarry;
  }
  // The boundary keeps its sqrt(tau) shape over the whole life where the
  // distance ln(q / r) from K r / q up to K exceeds the spread sigma sqrt(T);
  // the smaller their ratio, the earlier in the life it changes shape.
  if (!(f.rate > 0.0)) return kAmericanSchemeYield;
  const double ratio = elementary::log(f.dividend / f.rate) / (volatility * std::sqrt(maturity));
  if (ratio >= 1.3) return kAmericanSchemeHighYield;
  if (ratio >= 1.0) return kAmericanSchemeUpperYield;
  if (ratio >= 0.7) return kAmericanSchemeMidYield;
  if (ratio >= 0.3) return kAmericanSchemeLowYield;
  return kAmericanSchemeYield;
}

bool american_is_european(double rate, double dividend, bool is_call) {
  const PutForm f = put_form(1.0, 1.0, rate, dividend, is_call);
  return f.rate <= 0.0 && f.dividend >= f.rate;
}

namespace {

using american::SpotSlopes;

// The boundary solve: a coarse stage, the full sweeps from it, and the
// fallbacks where they do not settle. The boundary in strike units depends
// on the put problem and the scheme's counts alone, not on the spot or the
// strike.
struct Solved {
  Boundary boundary;
  int coarse;  // the coarse stage's sweeps, settled or not (0 where there was none)
  int fine;    // the full sweeps, negative where they did not settle
};

void solve(const PutProblem& p, const AmericanScheme& scheme, Solved& out) {
  const ThetaRule& boundary_rule = cached_rule<kBoundaryRule>(scheme.boundary_points);
  Boundary& boundary = out.boundary;
  // A coarse stage first, on the same nodes with eight boundary points, from
  // the QD+ start to a move of 1000 times the tolerance; the fewer points
  // move the fixed point by some 1e-9 only, so that the full sweeps then
  // take 2 to 4 where they took 7 from the QD+ start. Measured on the
  // reference: a third of the points and 1000 times the tolerance took 5%
  // fewer instructions than half the points and 100 times (3.2 full sweeps
  // and 4.7 coarse ones a price against 2.5 and 5.5); eight points 3.5%
  // fewer again than a third (3.4 full sweeps, 4.5 coarse), six 3.5% more
  // (4.0 full sweeps), the same accuracy. (Fewer nodes as well starts the
  // full sweeps too far off near expiry: they then take some 20.)
  // Not on a steep boundary: eight points do not resolve its integrals' own
  // time scale, and FP-A from such a coarse boundary settled at a false
  // point for some options (without the stage, the same time over the
  // domain's seeded sample).
  const bool staged =
      scheme.form == 0 && scheme.boundary_points >= 2 * kCoarsePoints && p.scale == 0.0;
  Boundary coarse;
  int sweeps = 0;
  if (staged) {
    const AmericanScheme stage{scheme.nodes,
                               scheme.iterations,
                               kCoarsePoints,
                               scheme.price_points,
                               kCoarseMove * scheme.tolerance,
                               scheme.form};
    sweeps = american::solve_boundary(p, stage, cached_rule<kCoarseRule>(stage.boundary_points),
                                      coarse, nullptr, kCoarseStall);
  }
  int fine = american::solve_boundary(p, scheme, boundary_rule, boundary,
                                      staged && sweeps > 0 ? &coarse : nullptr);
  if (fine < 0 && scheme.form == 0) {
    // FP-B did not settle (it can lose its footing at the smallest nodes in
    // extreme regimes): FP-A, slower but stable, from the QD+ start. Where
    // FP-A did not settle either, FP-A on half as many nodes again and
    // twice the boundary points (at least 48 and 64): a steep boundary at a
    // low volatility, 10 to 40 of its time scales from expiry, whose
    // integrals the tier's 32 points did not resolve (r - q = 0.265, sigma =
    // 0.0067: no number of sweeps settled there; these counts settle in 9).
    PutProblem stable = p;
    stable.form = american::kFormA;
    if (p.form != american::kFormA) {
      fine = american::solve_boundary(stable, scheme, boundary_rule, boundary);
    }
    if (fine < 0) {
      AmericanScheme finer = scheme;
      finer.nodes = std::min(std::max(48, scheme.nodes + scheme.nodes / 2), kAmericanMaxNodes);
      finer.boundary_points =
          std::min(std::max(64, 2 * scheme.boundary_points), kAmericanMaxPoints);
      fine = american::solve_boundary(stable, finer,
                                      cached_rule<kBoundaryRule>(finer.boundary_points), boundary);
    }
  }
  out.coarse = std::abs(sweeps);
  out.fine = fine;
}

// The boundary of the problem and counts, solved once a thread (recent.hpp).
// The rest of the put problem (its start, power and steep scale) follows
// from the maturity, the rates and the volatility.
const Solved& solved_boundary(const PutProblem& p, const AmericanScheme& scheme) {
  using american::key_word;
  // Room for a Greeks dict's stencil (some thirteen prices) and to spare.
  using Boundaries = american::Recent<Solved, Solved, 10, 24>;
  const Boundaries::Key key{key_word(p.maturity),
                            key_word(p.rate),
                            key_word(p.dividend),
                            key_word(p.volatility),
                            key_word(p.form),
                            key_word(scheme.nodes),
                            key_word(scheme.iterations),
                            key_word(scheme.boundary_points),
                            key_word(scheme.tolerance),
                            key_word(scheme.form)};
  return Boundaries::find(key, [&](Solved& out) { solve(p, scheme, out); });
}

Result<double> evaluate(const AmericanScheme& scheme, double spot, double strike, double maturity,
                        double rate, double dividend, double volatility, bool is_call,
                        SpotSlopes* slopes, AmericanSweeps* counts = nullptr) {
  const Result<double> european =
      black_scholes_price(spot, strike, maturity, rate, dividend, volatility, is_call);
  if (!european) return european;
  if (american_is_european(rate, dividend, is_call)) return european;
  const PutForm f = put_form(spot, strike, rate, dividend, is_call);
  if (scheme.nodes < 2 || scheme.nodes > kAmericanMaxNodes || scheme.iterations < 0 ||
      scheme.boundary_points < 1 || scheme.boundary_points > kAmericanMaxPoints ||
      scheme.price_points < 1 || scheme.price_points > kAmericanMaxPoints || scheme.form < 0 ||
      scheme.form > 2) {
    return IVError::invalid_input("American scheme counts out of range");
  }
  const double exercise = std::max(f.strike - f.spot, 0.0);
  // Everything from here on is the put's, so that a call and its mirrored
  // put, C(S, K, T, r, q) = P(K, S, T, q, r), are the same bits.
  // (Where the mirrored put's forward overflows, a call's own formulas.)
  auto put_price = [&](double vol) {
    const Result<double> put =
        black_scholes_price(f.spot, f.strike, maturity, f.rate, f.dividend, vol, false);
    if (put) return put.value();
    return black_scholes_price(spot, strike, maturity, rate, dividend, vol, is_call).value();
  };
  const double put_european = is_call ? put_price(volatility) : european.value();
  // The price at zero volatility, a floor for every volatility (the price
  // does not fall as volatility grows).
  const double still = std::max(put_price(0.0), deterministic_value(f, maturity));
  if (volatility == 0.0) return still;
  // Where the drift outruns the spread by more than kappa = |r - q| sqrt(T) /
  // sigma = kMaxSteepness the boundary's distance from X, some sigma^2 /
  // (2 |r - q|), is lost in the rounding of ln B: the price there is taken
  // on the line in sigma from the zero-volatility value to the price where
  // kappa is kMaxSteepness (far below the volatilities that matter: kappa is
  // at most 5e4 for sigma >= 1e-4, T <= 50 and |r - q| <= 0.7).
  constexpr double kMaxSteepness = 3e5;
  const double least = std::fabs(f.rate - f.dividend) * std::sqrt(maturity) / kMaxSteepness;
  if (volatility < least) {
    const Result<double> edge = evaluate(scheme, spot, strike, maturity, rate, dividend, least,
                                         is_call, slopes, counts);
    if (!edge) return edge;
    return still + (volatility / least) * (edge.value() - still);
  }

  if (f.rate < 0.0) {
    // Two exercise boundaries (q < r < 0 in the put's form): double_boundary.cpp,
    // from the put's European price (the same bits as the mirrored put), at
    // least the zero-volatility value.
    const Result<double> v = american::two_boundary_price(
        scheme, spot, strike, maturity, rate, dividend, volatility, is_call, put_european, slopes);
    if (!v) return v;
    return std::max(v.value(), still);
  }

  // (Where r = 0 and b <= 0 the root is 0: the perpetual put is never
  // exercised, and nothing here applies; nor where the root is within 1e-12
  // of 0, S* below 1e-12 K, as for a rate of some 1e-300.)
  const Perpetual perpetual = perpetual_put(f.rate, f.dividend, volatility);
  const double edge = f.strike * perpetual.edge;
  const bool has_edge = perpetual.lambda < -1e-12;
  // At or below the perpetual boundary (with a margin for its rounding):
  // exercise now, as the solved boundary would say, without solving it.
  if (has_edge && f.spot <= edge * (1.0 - 1e-12)) {
    if (slopes) *slopes = SpotSlopes{is_call ? 1.0 : -1.0, 0.0};
    return exercise;
  }
  // Above it, the put's value falls short of the perpetual one by at most
  // (K - S*) E[e^{-r tau} 1{T < tau < inf}], tau the first time the spot
  // reaches S* (stopping there when tau <= T attains the rest), which is at
  // most (K - S*) e^{-rT} P(T < tau < inf). For ln S a Brownian motion with
  // drift b and volatility sigma, at d = ln(S / S*) above S*, that chance
  // is at most e^{-2 b+ d / sigma^2} Phi((d - |b| T) / (sigma sqrt T))
  // (the law of the first passage: Borodin and Salminen 2002, 2.0.2). Where
  // that bound is below 1e-11 of max(value, 1e-4 K) (the put form's K, so
  // that a call and its mirrored put agree to the bit) and below 1e-3 of the
  // value itself, the put has all but surely reached its perpetual value: a
  // steep boundary long settled at S*, which the sweeps resolve poorly at
  // low volatility (it lies some sigma^2 / (2 b) below K there). (Far out of
  // the money the bound is about the value itself, which the floor alone
  // would let stand for a price smaller by many orders of magnitude.)
  double perpetual_value = std::numeric_limits<double>::infinity();
  double perpetual_gap = std::numeric_limits<double>::infinity();
  // The perpetual value, with its slopes: value = K phi(S / K), phi
  // homogeneous of degree lambda in its argument; the put's slopes in its
  // spot, a call's in its own spot (the put's strike) through C(S, K) =
  // S phi(K / S).
  auto perpetual_price = [&]() -> double {
    if (slopes) *slopes = american::power_slopes(perpetual_value, perpetual.lambda, spot, is_call);
    return perpetual_value;
  };
  if (has_edge) {
    const double d = elementary::log(f.spot / edge);
    const double var = volatility * volatility;
    const double b = perpetual.drift;
    const double sv = volatility * std::sqrt(maturity);
    const double reach = elementary::exp(-(2.0 * std::max(b, 0.0) * d / var)) *
                         norm_cdf((d - std::fabs(b) * maturity) / sv);
    const double above = f.strike / (1.0 - perpetual.lambda);  // K - S*, without cancelling
    perpetual_gap = above * elementary::exp(-(f.rate * maturity)) * reach;
    perpetual_value = above * elementary::exp(perpetual.lambda * d);
    if (american::perpetual_reached(perpetual_gap, perpetual_value, f.strike)) {
      return perpetual_price();
    }
  }

  const double start = f.dividend > 0.0 ? std::min(1.0, f.rate / f.dividend) : 1.0;
  PutProblem p{maturity,
               f.rate,
               f.dividend,
               volatility,
               start,
               elementary::log(start),
               f.rate >= f.dividend ? 2 : 1,
               scheme.form == 0 ? american::kFormB : scheme.form,
               american::steep_scale(maturity, f.rate, f.dividend, volatility)};
  // A steep boundary where r >= q (in the put's form) and the drift leads
  // drifts away from FP-B's fixed point from the QD+ start: FP-A, which
  // settles there in some 10 to 30 sweeps. Where the variance leads FP-B
  // settles (13 sweeps where FP-A took 37 on a long call at sigma = 3).
  if (scheme.form == 0 && p.scale > 0.0 && p.power == 2 &&
      american::steep_drift_leads(f.rate, f.dividend, volatility)) {
    p.form = american::kFormA;
  }
  const Solved& solved = solved_boundary(p, scheme);
  const Boundary& boundary = solved.boundary;
  const int sweeps = solved.fine;
  if (counts) *counts = AmericanSweeps{solved.coarse, std::abs(sweeps)};
  // The price lies in [V_inf - gap, V_inf] (the perpetual put's value and
  // the bound above). One from settled sweeps that falls outside by their
  // error is taken to the nearer end. One from sweeps that never settled
  // (a boundary off by an unknown amount) that falls outside is certainly
  // wrong (they had put a steep boundary at a low volatility, r - q = 0.265
  // and sigma = 0.0067, 10 to 40 of its time scales from expiry, 20 to 33%
  // above V_inf): V_inf where the gap is within 1e-9 of max(V_inf, 1e-4 K),
  // else no number.
  auto settled = [&](double value) -> Result<double> {
    const double floor = perpetual_value - perpetual_gap;
    if (!(value > perpetual_value || value < floor)) return value;
    if (sweeps >= 0) return value > perpetual_value ? perpetual_price() : floor;
    if (perpetual_gap <= 1e-9 * std::max(perpetual_value, 1e-4 * f.strike)) {
      return perpetual_price();
    }
    return IVError::no_convergence_of("the American option's exercise boundary", -sweeps);
  };
  const double s = f.spot / f.strike;
  const double log_s = elementary::log(s);
  // At or below today's boundary B(T) = X exp(-sqrt(H(1))): exercise now.
  if (log_s <= p.log_start - std::sqrt(boundary.h[0])) {
    if (slopes) *slopes = SpotSlopes{is_call ? 1.0 : -1.0, 0.0};
    return settled(exercise);
  }
  american::PremiumSlopes premium_slopes{};
  const PremiumRule& price_rule = cached_rule<kPriceRule>(scheme.price_points);
  const double premium = f.strike * american::put_premium(p, boundary, price_rule, s,
                                                          slopes ? &premium_slopes : nullptr);
  const double value = put_european + premium;
  if (!std::isfinite(value)) return IVError::invalid_input("non-finite American price");
  if (slopes) {
    const Result<SpotSlopes> both =
        american::american_slopes(spot, strike, maturity, rate, dividend, volatility, is_call,
                                  premium / f.strike, s, premium_slopes);
    if (!both) return both.error();
    *slopes = both.value();
  }
  return settled(std::max(value, std::max(still, put_european)));
}

// Which formula a pair of rates takes: the European one, the American one,
// or none (two boundaries).
int regime(double rate, double dividend, bool is_call) {
  if (american_is_european(rate, dividend, is_call)) return 0;
  return (is_call ? dividend : rate) <= 0.0 ? 2 : 1;
}

}  // namespace

Result<double> american_price_with(const AmericanScheme& scheme, double spot, double strike,
                                   double maturity, double rate, double dividend, double volatility,
                                   bool is_call) {
  return evaluate(scheme, spot, strike, maturity, rate, dividend, volatility, is_call, nullptr);
}

Result<double> american_price_counted(const AmericanScheme& scheme, double spot, double strike,
                                      double maturity, double rate, double dividend,
                                      double volatility, bool is_call, AmericanSweeps& sweeps) {
  sweeps = AmericanSweeps{};
  return evaluate(scheme, spot, strike, maturity, rate, dividend, volatility, is_call, nullptr,
                  &sweeps);
}

Result<AmericanGreeks> black_scholes_record(double spot, double strike, double maturity,
                                            double rate, double dividend, double volatility,
                                            bool is_call) {
  const Result<double> price =
      black_scholes_price(spot, strike, maturity, rate, dividend, volatility, is_call);
  if (!price) return price.error();
  const Result<SpotGreeks> g =
      black_scholes_greeks(spot, strike, maturity, rate, dividend, volatility, is_call);
  if (!g) return g.error();
  const SpotGreeks& e = g.value();
  return AmericanGreeks{price.value(), e.delta, e.gamma, e.vega,        e.theta,
                        e.vanna,       e.vomma, e.rho,   e.dividend_rho};
}

Result<AmericanGreeks> american_greeks(double spot, double strike, double maturity, double rate,
                                       double dividend, double volatility, bool is_call) {
  if (american_is_european(rate, dividend, is_call)) {
    return black_scholes_record(spot, strike, maturity, rate, dividend, volatility, is_call);
  }
  SpotSlopes at{};
  const Result<double> price =
      evaluate(american_default_scheme(maturity, rate, dividend, volatility, is_call), spot, strike,
               maturity, rate, dividend, volatility, is_call, &at);
  if (!price) return price.error();
  if (volatility == 0.0) {
    // Without volatility the price is deterministic: it is given (so that
    // the price field equals american_price everywhere), its sensitivities
    // are not (the volatility stencil cannot straddle 0), NaN.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return AmericanGreeks{price.value(), nan, nan, nan, nan, nan, nan, nan, nan};
  }
  const double v0 = price.value();
  // theta = dV/dt from the Black-Scholes equation where the option is held,
  // 0 where it is exercised at once (its value then the exercise value).
  const double exercise = std::max(is_call ? spot - strike : strike - spot, 0.0);
  const bool held = !(v0 == exercise && at.gamma == 0.0);
  const double theta = held ? rate * v0 - (rate - dividend) * spot * at.delta -
                                  (0.5 * (volatility * volatility)) * (spot * spot) * at.gamma
                            : 0.0;
  auto price_at = [&](double vol, double r, double q, SpotSlopes* s) {
    const Result<double> v = evaluate(american_default_scheme(maturity, r, q, vol, is_call), spot,
                                      strike, maturity, r, q, vol, is_call, s);
    return v ? v.value() : std::numeric_limits<double>::quiet_NaN();
  };
  // Steps chosen by measurement: the prices carry some 1e-12 of relative
  // noise (the sweeps' stopping), so a step near 1% of the volatility and of
  // 1e-3 in the rates keeps both noise and truncation (h^4) near 1e-8.
  const double hv = 0.01 * volatility;
  // The price and delta at volatility + step (NaN both where it is refused).
  auto both_at = [&](double step, double& value, double& delta) {
    SpotSlopes s{};
    value = price_at(volatility + step, rate, dividend, &s);
    delta = std::isnan(value) ? value : s.delta;
  };
  // Below some 1e-152 no difference in the volatility resolves
  // (search::resolves): its three sensitivities are NaN, as at zero
  // volatility.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double vega = nan, vanna = nan, vomma = nan;
  if (search::resolves(hv)) {
    double vp[5], dp[5];  // at volatility + (j - 2) hv
    for (int j = 0; j < 5; ++j) {
      if (j == 2) {
        vp[j] = v0;
        dp[j] = at.delta;
        continue;
      }
      both_at((j - 2) * hv, vp[j], dp[j]);
    }
    vega = search::first_difference(vp, hv);
    vanna = search::first_difference(dp, hv);
    vomma = search::second_difference(vp, hv);
    if (std::isnan(vega)) {
      // A price of the stencil refused: the one-sided formulas on a side
      // whose prices all hold, upward first (as search::derivative).
      for (const double step : {hv, -hv}) {
        // At volatility + j step; +-h and +-2h from the central stencil.
        const int near = step > 0.0 ? 3 : 1;
        const int far = step > 0.0 ? 4 : 0;
        double sp[6] = {v0, vp[near], vp[far]};
        double sd[6] = {at.delta, dp[near], dp[far]};
        bool whole = !std::isnan(sp[1]) && !std::isnan(sp[2]);
        for (int j = 3; j < 6 && whole; ++j) {
          both_at(j * step, sp[j], sd[j]);
          whole = !std::isnan(sp[j]);
        }
        if (!whole) continue;
        vega = search::one_sided_first(sp, step);
        vanna = search::one_sided_first(sd, step);
        vomma = search::one_sided_second(sp, step);
        break;
      }
    }
  }
  const int here = regime(rate, dividend, is_call);
  const double h = 1e-3;
  const double rho = search::derivative(
      [&](double r) { return price_at(volatility, r, dividend, nullptr); }, rate, h, v0,
      [&](double r) { return regime(r, dividend, is_call) == here; });
  const double dividend_rho = search::derivative(
      [&](double q) { return price_at(volatility, rate, q, nullptr); }, dividend, h, v0,
      [&](double q) { return regime(rate, q, is_call) == here; });
  return AmericanGreeks{v0, at.delta, at.gamma, vega, theta, vanna, vomma, rho, dividend_rho};
}

Result<double> american_price(double spot, double strike, double maturity, double rate,
                              double dividend, double volatility, bool is_call) {
  return american_price_with(american_default_scheme(maturity, rate, dividend, volatility, is_call),
                             spot, strike, maturity, rate, dividend, volatility, is_call);
}

Result<double> american_implied_volatility(double price, double spot, double strike,
                                           double maturity, double rate, double dividend,
                                           bool is_call) {
  if (american_is_european(rate, dividend, is_call)) {
    return black_scholes_implied_volatility(price, spot, strike, maturity, rate, dividend, is_call);
  }
  // The lowest attainable price, with every input check of the pricer.
  const Result<double> floor = american_price(spot, strike, maturity, rate, dividend, 0.0, is_call);
  if (!floor) return floor;
  if (!std::isfinite(price)) return IVError::invalid_input("non-finite implied-volatility input");
  if (price < floor.value()) return IVError::price_below_intrinsic(price, floor.value());
  if (price == floor.value()) return 0.0;
  const double limit =
      search::price_limit(spot, strike, maturity, rate, dividend, is_call, /*american=*/true);
  if (price >= limit) return IVError::price_above_maximum(price, limit);

  auto excess = [&](double vol) -> double {
    // A stopped batch's elements end at once (their prices would fail).
    if (batch::stop_requested()) return std::numeric_limits<double>::quiet_NaN();
    const Result<double> v = american_price(spot, strike, maturity, rate, dividend, vol, is_call);
    return v ? v.value() - price : std::numeric_limits<double>::quiet_NaN();
  };
  // The European volatility of the same price starts the search, with its
  // vega: American >= European, so it is an upper end.
  double x = 1.0;
  double slope = 0.0;
  const Result<double> european_vol =
      black_scholes_implied_volatility(price, spot, strike, maturity, rate, dividend, is_call);
  if (european_vol && european_vol.value() > 0.0 && std::isfinite(european_vol.value())) {
    x = std::min(european_vol.value(), search::kMaxVolatility);
    const Result<double> vega = black_scholes_vega(spot, strike, maturity, rate, dividend, x);
    if (vega && vega.value() > 0.0) slope = vega.value();
  }
  search::Rule rule;
  rule.retreats = 8;
  return search::volatility(excess, floor.value() - price, x, slope, rule);
}

}  // namespace tarvik
