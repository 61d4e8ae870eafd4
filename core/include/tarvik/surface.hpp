// Implied-volatility smiles and surfaces: raw SVI per expiry (Gatheral 2004)
// on total implied variance w(k) = vol^2 T in log-moneyness k = ln(K/F), its
// butterfly condition and risk-neutral density (Gatheral and Jacquier,
// "Arbitrage-free SVI volatility surfaces", Quantitative Finance 14, 2014),
// a least-squares fit that stays on the arbitrage-free parameters, and the
// surface that joins fitted expiries in T.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tarvik/batch.hpp"

namespace tarvik::surface {

// w(k) = a + b (rho (k - m) + sqrt((k - m)^2 + sigma^2)).
struct Svi {
  double a, b, rho, m, sigma;
};

// A total variance and its first two derivatives in k.
struct Variance {
  double w, dw, d2w;
};

Variance svi_variance(const Svi& s, double k);

// Durrleman's condition (Gatheral and Jacquier 2014, eq. 2.1):
//   g(k) = (1 - k w'/(2w))^2 - w'^2/4 (1/w + 1/4) + w''/2;
// a smile has no butterfly arbitrage where g >= 0 and w > 0.
double butterfly(double k, const Variance& v);

// The risk-neutral density of ln(S_T/F) at k (Gatheral and Jacquier 2014,
// eq. 2.2): g(k) / sqrt(2 pi w) exp(-d2^2 / 2), d2 = -k/sqrt(w) - sqrt(w)/2.
// The density of S_T at strike K = F e^k is this divided by K.
double log_moneyness_density(double k, const Variance& v);

// The smallest g over every k and where it lies: g on grids in
// y = (k - m)/sigma = sinh(u) and, unless that grid is finer at every k, in
// k = sinh(u), refined by Brent's search around each grid minimum, and g's
// limits as k -> +-inf (1/4 - b^2 (1 +- rho)^2 / 16).
struct ButterflyMinimum {
  double k, g;
};
ButterflyMinimum smallest_butterfly(const Svi& s);

// Whether s is a smile free of butterfly arbitrage: b >= 0, |rho| <= 1,
// sigma > 0, Lee's bound b (1 + |rho|) <= 2, w > 0 everywhere and g >= 0
// everywhere.
bool arbitrage_free(const Svi& s);

// One expiry's fit: weighted least squares of total variance over the
// arbitrage-free raw SVI parameters (see fit.cpp). `reason` is null for a
// fitted smile, else why it was not fitted.
struct SviFit {
  Svi svi;
  double rmse;  // root of the weighted mean squared residual in total variance
  int evaluations;
  const char* reason;
};
SviFit fit_svi(std::span<const double> k, std::span<const double> w,
               std::span<const double> weights);

// An eSSVI smile: SSVI (Gatheral and Jacquier 2014, eq. 4.1) with its own
// correlation per expiry (Hendriks and Martini, "The extended SSVI volatility
// surface", 2019), in psi = theta phi:
//   w(k) = (theta + rho psi k + sqrt((psi k + theta rho)^2 + theta^2 (1 - rho^2))) / 2,
// theta the at-the-money total variance.
struct Essvi {
  double theta, rho, psi;
};

Variance essvi_variance(const Essvi& e, double k);

// The same smile as raw SVI: a = theta (1 - rho^2)/2, b = psi/2, rho,
// m = -rho theta/psi, sigma = theta sqrt(1 - rho^2)/psi (psi = 0: w = theta).
Svi to_svi(const Essvi& e);

// One expiry's quotes, for the fit of a chain.
struct ExpiryQuotes {
  std::span<const double> k, w, weights;
};

// A chain's eSSVI smiles, expiry after expiry in increasing maturity (the
// robust slice-by-slice fit of Corbetta, Cohort, Laachir and Martini,
// "Robust calibration and arbitrage-free interpolation of SSVI slices",
// 2019; see essvi_fit.cpp): each free of butterfly arbitrage by Gatheral
// and Jacquier's Theorem 4.2 (psi (1 + |rho|) <= 4 and psi^2 (1 + |rho|)
// <= 4 theta) and lying on or above the one before at every k. An expiry
// that is not fitted (reason not null) constrains none after it.
struct EssviFit {
  Essvi essvi;
  double rmse;
  int evaluations;
  const char* reason;
};
std::vector<EssviFit> fit_essvi(std::span<const ExpiryQuotes> expiries);

// A fitted expiry of a surface: its maturity, the log of its forward and
// its smile.
struct Slice {
  double maturity, log_forward;
  Svi svi;
};

// How a surface continues beyond its last expiry Tn, at t > Tn, its
// at-the-money total variance theta(t) = theta_n + (t - Tn) r growing at the
// rate r >= 0 of its last segment (theta_n / Tn for one expiry):
//   Shift (raw SVI): w = wn(k) + theta(t) - theta_n;
//   Stretch (eSSVI): w = l wn(k / l), l = theta(t) / theta_n, which is the
//     eSSVI smile of theta(t) with psi and rho kept: free of arbitrage, as
//     w grows with theta there and Gatheral and Jacquier's bounds hold.
enum class Smile { Svi, Essvi };

// The total variance of a surface of slices (sorted by maturity, each
// arbitrage-free, their total variances nondecreasing in T at every k) at
// (k, t), with its k-derivatives:
//   at a slice, its smile;
//   between slices T1 < t < T2, linear in t at fixed k:
//     w = (1 - x) w1(k) + x w2(k), x = (t - T1)/(T2 - T1);
//   before the first, w1(k) t / T1 (toward 0 at t = 0);
//   after the last, as `smile` says.
// NaN for t < 0 or infinite, a NaN argument or an empty surface.
Variance surface_variance(Smile smile, std::span<const Slice> slices, double k, double t);
// The total variance alone: the same bits as surface_variance's.
double surface_total_variance(Smile smile, std::span<const Slice> slices, double k, double t);

// ln F(t), the log of the forward at t: linear in t between slices, at the
// nearest segment's rate beyond them (one slice: its own). NaN as above.
double surface_log_forward(std::span<const Slice> slices, double t);

// What evaluate() gives at each point (x, t): the total variance, g or the
// density of ln(S_T/F) at log-moneyness x; the Black-76 implied volatility
// sqrt(w / t) at strike x, at k = ln x - ln F(t); or the forward
// F(t) = exp(ln F(t)).
enum class Quantity { TotalVariance, Butterfly, LogMoneynessDensity, ImpliedVolatility, Forward };

// out[i] = the quantity at (x[i], t[i]) of the surface, x and t each of
// out's length or of length 1 (broadcast); on the worker pool for
// Exec::Parallel, with the same bits.
void evaluate(Smile smile, std::span<const Slice> slices, InView x, InView t,
              Quantity quantity, std::span<double> out, Exec exec);

}  // namespace tarvik::surface
