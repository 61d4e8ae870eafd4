// The exercise boundary of an American put with strike 1, and the
// early-exercise premium on it. Private to the American pricer.
//
// Notation of Andersen, Lake and Offengenden (2016): tau is time to expiry,
// B(tau) the boundary, d+-(v, z) = (ln z + (r - q) v +- sigma^2 v / 2) /
// (sigma sqrt v). The boundary starts at X = min(1, r/q) (X = 1 for q <= 0)
// and is stored as H(xi) = (ln B - ln X)^2, a polynomial in the Chebyshev
// variable xi = 2 (tau / T)^(1 / (2 power)) - 1, smooth where B itself has a
// square-root singularity at tau = 0 (power 1 where r < q) or one of
// sqrt(tau ln(1/tau)) (power 2 where r >= q).
//
// Every integral of the boundary's equation over u in [0, tau] is taken in
// u = tau sin^2(theta), theta in [0, pi/2]: sqrt(u) = sqrt(tau) sin(theta)
// and sqrt(tau - u) = sqrt(tau) cos(theta), so both the boundary's
// square-root behaviour at u = 0 and the kernel's 1/sqrt(tau - u) at
// u = tau become smooth, and Gauss-Legendre converges geometrically. The
// premium takes a tanh-sinh rule instead (PremiumRule).
#pragma once

#include <algorithm>

#include <cmath>
#include <limits>

#include "tarvik/american.hpp"
#include "tarvik/errors.hpp"
#include "tarvik/normal.hpp"

namespace tarvik::american {

// Gauss-Legendre rule of `size` points mapped to theta in [0, pi/2]:
// sin and cos of each node and its weight.
struct ThetaRule {
  int size = 0;
  double sin_theta[kAmericanMaxPoints];
  double sin_root[kAmericanMaxPoints];  // sqrt(sin theta)
  double cos_theta[kAmericanMaxPoints];
  double weight[kAmericanMaxPoints];
};

void make_theta_rule(int size, ThetaRule& rule);

// The premium's rule: the double-exponential (tanh-sinh) rule of Takahasi
// and Mori (1974) on u in [0, T], u / T = (1 + tanh(pi/2 sinh t)) / 2, t on
// `size` equally spaced points of [-3, 2.6]. The premium's integrand has a
// weak singularity at u = 0 (the boundary's sqrt(u ln(1/u)) start, and
// the node variable's root of u) and, where the spot is near B(T), a steep
// rise within v = T - u of order ln(s/B(T))^2 / sigma^2, smooth but not
// analytic at v = 0; the rule's double-exponential clustering at both ends
// takes both, where Gauss-Legendre in u = T sin^2 theta converged only
// algebraically. The ends: u / T = 1e-17 (the integrand is bounded, what is
// left out some 1e-17 of a premium), v / T = 6e-10 (the integrand is flat
// there unless the spot is within some 1e-5 of B(T)). Per point: the
// fractions u / T and v / T = 1 - u / T (each from its own exponential,
// accurate where it is small), the roots of u / T the nodes' variable takes,
// sqrt(v / T), and du / T with the step folded in.
struct PremiumRule {
  int size = 0;
  double root_u[kAmericanMaxPoints];     // sqrt(u / T)
  double quarter_u[kAmericanMaxPoints];  // (u / T)^(1/4)
  double v[kAmericanMaxPoints];          // v / T
  double root_v[kAmericanMaxPoints];     // sqrt(v / T)
  double weight[kAmericanMaxPoints];     // du / T
};

// t on [-low, high]; the default ends are the premium's.
void make_premium_rule(int size, PremiumRule& rule, double low = 3.0, double high = 2.6);

// The two kernels of the integral equation and of the premium, written once
// (templates over the value type so that vector lanes can share them).
// log_ratio = ln(B(tau)/B(u)) or ln(S/B(u)); v = tau - u; sv = sigma sqrt(v).
template <class V>
struct Kernel {
  V d_plus;
  V d_minus;
};

template <class V>
inline Kernel<V> kernel_d(V log_ratio, V v, V sv, double carry, double half_var) {
  // (ln z + (r - q) v + sigma^2 v / 2) / (sigma sqrt v), and d- = d+ - sigma sqrt v.
  const V d_plus = (log_ratio + (carry * v + half_var * v)) / sv;
  return Kernel<V>{d_plus, d_plus - sv};
}

// The put problem in strike units.
struct PutProblem {
  double maturity;
  double rate;
  double dividend;
  double volatility;
  double start;      // X = B(0+)
  double log_start;  // ln X
  int power;         // the nodes' time variable is (tau / T)^(1 / (2 power))
  int form;          // kFormA or kFormB: which fixed-point form the sweeps take
  // Where the drift |r - q| outruns the spread sigma sqrt(T), or sigma^2 T is
  // large (a steep boundary), the boundary has its own time scale c far below
  // T (steep_scale): it moves from X to near the perpetual boundary within a
  // few c of expiry and is flat after. The nodes' variable is then
  // asinh((tau / c)^(1 / (2 power))) / asinh((T / c)^(1 / (2 power))), the
  // boundary integrals are split at v = 100 c, and the premium at the time
  // the spot's drift brings it to the boundary. 0 where the boundary is not
  // steep: the power map above and one panel each.
  double scale;
};

// The time scale c of a steep boundary (PutProblem::scale), or 0.
double steep_scale(double maturity, double rate, double dividend, double volatility);
// On a steep boundary, whether the drift leads (|r - q| >= sigma^2) rather
// than the variance: it picks the tier and, where r >= q, the sweeps' form.
bool steep_drift_leads(double rate, double dividend, double volatility);

// The two fixed-point forms of the boundary (Andersen, Lake and Offengenden
// 2016, their FP-A and FP-B).
inline constexpr int kFormA = 1;
inline constexpr int kFormB = 2;

// The boundary on the Chebyshev nodes x_i = cos(i pi / n), i = 0..n
// (tau_i = T ((1 + x_i) / 2)^(2 power), or the steep map's, so i = n is tau = 0
// where H = 0), and, where fit() has filled them, the Chebyshev coefficients
// of H.
struct Boundary {
  int nodes = 0;
  double h[kAmericanMaxNodes + 1];
  double coef[kAmericanMaxNodes + 1];

  // The Chebyshev sum at xi in [-1, 1] (Clenshaw).
  double sum(double xi) const {
    double b1 = 0.0;
    double b2 = 0.0;
    const double two_xi = xi + xi;
    for (int k = nodes; k >= 1; --k) {
      const double b0 = coef[k] + (two_xi * b1 - b2);
      b2 = b1;
      b1 = b0;
    }
    return coef[0] + (xi * b1 - b2);
  }
};

// Whether fixed-point sweeps have stalled: their least move has not fallen
// below kGain of itself over a window of sweeps (the first window from the
// first sweep's move). Both American solvers give way on it.
class Stall {
 public:
  static constexpr double kGain = 0.3;
  explicit Stall(int window) : window_(window) {}
  // After sweep s (counted from 1), which moved by `moved`.
  bool after(int s, double moved) {
    if (s == 1) before_ = moved;
    if (moved < least_) least_ = moved;
    if (s % window_ != 0) return false;
    if (!(least_ < kGain * before_)) return true;
    before_ = least_;
    return false;
  }
  // The least move so far (infinite before the first sweep).
  double least() const { return least_; }

 private:
  int window_;
  double least_ = std::numeric_limits<double>::infinity();
  double before_ = std::numeric_limits<double>::infinity();
};

// Solves for the boundary with the scheme's counts.
// Returns the number of sweeps taken, negative where they stopped at the
// scheme's limit without settling.
// The sweeps start from `start` (a solution on the same nodes with fewer
// quadrature points) where given, else from the QD+ boundary. Where
// `stall_window` is set they also stop, unsettled, where they stall over
// that many sweeps (Stall).
int solve_boundary(const PutProblem& p, const AmericanScheme& scheme, const ThetaRule& rule,
                   Boundary& boundary, const Boundary* start = nullptr, int stall_window = 0);

// The QD+ approximation of the boundary at tau (Li 2010), as ln B in strike
// units: the root of the smooth-pasting condition of the QD+ price, by
// Newton's method from ln B = log_guess, kept above the perpetual boundary's
// log_perpetual.
double qd_plus_boundary(const PutProblem& p, double tau, double log_guess, double log_perpetual);

// The early-exercise premium of the put at spot s (strike units) on the
// solved boundary, s above B(T); with its first and second derivatives in s
// where slopes is given (the premium itself the same bits either way).
struct PremiumSlopes {
  double first;
  double second;
};
double put_premium(const PutProblem& p, const Boundary& boundary, const PremiumRule& rule, double s,
                   PremiumSlopes* slopes = nullptr);

// Delta and gamma of an American price in its own spot.
struct SpotSlopes {
  double delta;
  double gamma;
};

// The perpetual put's value K phi(S / K), phi homogeneous of degree
// `power` (a power of S on a region's side): its delta and gamma in the
// option's own spot, a put's in S, a call's (the put on spot K and strike S,
// worth S phi(K / S)) in its own spot.
inline SpotSlopes power_slopes(double value, double power, double spot, bool is_call) {
  const double gamma = power * (power - 1.0) * value / (spot * spot);
  return is_call ? SpotSlopes{value / spot * (1.0 - power), gamma}
                 : SpotSlopes{power * value / spot, gamma};
}

// The perpetual put's equation sigma^2 / 2 l^2 + b l - r = 0 (McKean 1965,
// Merton 1973), b = r - q - sigma^2 / 2: b, sigma^2 and the discriminant
// b^2 + 2 sigma^2 r.
struct PerpetualEquation {
  double drift, var, disc;
};
inline PerpetualEquation perpetual_equation(double rate, double dividend, double volatility) {
  const double var = volatility * volatility;
  const double drift = (rate - dividend) - 0.5 * var;
  return PerpetualEquation{drift, var, drift * drift + 2.0 * (var * rate)};
}

// Whether a price known to lie in [value - gap, value] is the value: the gap
// below 1e-11 of max(value, 1e-4 K) and below 1e-3 of the value itself (far
// out of the money the bound is about the value, which the floor alone would
// let stand for a price smaller by many orders of magnitude).
inline bool perpetual_reached(double gap, double value, double strike) {
  return gap <= 1e-11 * std::max(value, 1e-4 * strike) && gap <= 1e-3 * value;
}

// The European delta and gamma (black_scholes_delta and _gamma).
Result<SpotSlopes> european_slopes(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call);

// The American delta and gamma from the European ones and the premium P at
// s (in units of the put form's strike, s its spot over its strike) with
// its slopes in s. The put's premium is K P(S / K); a call is the put on
// spot K and strike S, whose premium S P(K / S) has the derivatives P - s P'
// and s^2 P'' / S in S, s = K / S.
Result<SpotSlopes> american_slopes(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call,
                                   double premium, double s, const PremiumSlopes& slopes);

}  // namespace tarvik::american
