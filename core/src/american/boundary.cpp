// The fixed point of the put's integral equation (Andersen, Lake and
// Offengenden 2016) on Chebyshev nodes in sqrt(tau), and the premium
// integral on it.
#include "boundary.hpp"

#include <cmath>
#include <numbers>
#include <vector>

namespace tarvik::american {

void make_theta_rule(int size, ThetaRule& rule) {
  // Legendre roots by Newton's method on the three-term recurrence, weights
  // 2 / ((1 - x^2) P_n'(x)^2); then theta = pi/4 (1 + x), weight * pi/4.
  rule.size = size;
  const double n = size;
  const double quarter_pi = std::numbers::pi / 4.0;
  for (int i = 0; i < (size + 1) / 2; ++i) {
    double x = std::cos(std::numbers::pi * (i + 0.75) / (n + 0.5));
    double derivative = 1.0;
    for (int step = 0; step < 100; ++step) {
      double p1 = 1.0;
      double p2 = 0.0;
      for (int j = 1; j <= size; ++j) {
        const double p3 = p2;
        p2 = p1;
        p1 = ((2.0 * j - 1.0) * x * p2 - (j - 1.0) * p3) / j;
      }
      derivative = n * (x * p1 - p2) / (x * x - 1.0);
      const double dx = p1 / derivative;
      x -= dx;
      if (std::fabs(dx) <= 1e-16) break;
    }
    const double w = 2.0 / ((1.0 - x * x) * derivative * derivative);
    const int lo = i;
    const int hi = size - 1 - i;
    const double theta_lo = quarter_pi * (1.0 - x);
    const double theta_hi = quarter_pi * (1.0 + x);
    rule.sin_theta[lo] = std::sin(theta_lo);
    rule.cos_theta[lo] = std::cos(theta_lo);
    rule.sin_theta[hi] = std::sin(theta_hi);
    rule.cos_theta[hi] = std::cos(theta_hi);
    rule.weight[lo] = w * quarter_pi;
    rule.weight[hi] = w * quarter_pi;
  }
}

namespace {

// Chebyshev coefficients of the values on the extrema x_i = cos(i pi / n):
// c_k = (2/n) sum'' H_i cos(i k pi / n), the end terms halved, and c_0, c_n
// halved again so that H = sum c_k T_k.
void fit(Boundary& b, const double* cosines) {
  const int n = b.nodes;
  for (int k = 0; k <= n; ++k) {
    double sum = 0.0;
    for (int i = 0; i <= n; ++i) {
      const double term = b.h[i] * cosines[(i * k) % (2 * n)];
      sum += (i == 0 || i == n) ? 0.5 * term : term;
    }
    double c = (2.0 / n) * sum;
    if (k == 0 || k == n) c *= 0.5;
    b.coef[k] = c;
  }
}

// The seed of Barone-Adesi and Whaley (1987): the perpetual boundary B_inf
// and B(tau) = B_inf + (X - B_inf) exp(((r - q) tau - 2 sigma sqrt tau) X /
// (X - B_inf)), in strike units.
double seed(const PutProblem& p, double tau) {
  const double var = p.volatility * p.volatility;
  const double a = (p.rate - p.dividend) - 0.5 * var;
  const double lambda = (-a - std::sqrt(a * a + 2.0 * var * p.rate)) / var;
  const double perpetual = lambda / (lambda - 1.0);
  const double x = p.start;
  if (!(perpetual < x)) return x;
  const double h =
      ((p.rate - p.dividend) * tau - 2.0 * p.volatility * std::sqrt(tau)) * x / (x - perpetual);
  return perpetual + (x - perpetual) * std::exp(h);
}

}  // namespace

void solve_boundary(const PutProblem& p, const AmericanScheme& scheme, const ThetaRule& rule,
                    Boundary& b) {
  const int n = scheme.nodes;
  const int l = rule.size;
  b.nodes = n;
  const double root_t = std::sqrt(p.maturity);
  const double carry = p.rate - p.dividend;
  const double half_var = 0.5 * (p.volatility * p.volatility);
  double x_node[kAmericanMaxNodes + 1];
  double z_node[kAmericanMaxNodes + 1];
  double cosines[2 * kAmericanMaxNodes] = {};
  for (int j = 0; j < 2 * n; ++j) cosines[j] = std::cos(std::numbers::pi * j / n);
  for (int i = 0; i <= n; ++i) {
    x_node[i] = cosines[i];
    z_node[i] = root_t * (0.5 * (1.0 + x_node[i]));
  }
  for (int i = 0; i < n; ++i) {
    const double tau = z_node[i] * z_node[i];
    const double g = std::log(seed(p, tau)) - p.log_start;
    b.h[i] = g * g;
  }
  b.h[n] = 0.0;
  fit(b, cosines);

  // What does not change between sweeps, per node i and point k (u =
  // tau sin^2 theta, v = tau - u): xi(u), sigma sqrt v, the carry terms of
  // d+, both discounts over v, and the Jacobian 2 tau sin cos times the weight.
  struct Point {
    double xi, sv, drift, rate_discount, yield_discount, jac;
  };
  thread_local std::vector<Point> points;
  points.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(l));
  for (int i = 0; i < n; ++i) {
    const double z = z_node[i];
    const double tau = z * z;
    const double one_plus_x = 1.0 + x_node[i];
    for (int k = 0; k < l; ++k) {
      const double s = rule.sin_theta[k];
      const double c = rule.cos_theta[k];
      const double v = tau * (c * c);
      Point& pt = points[static_cast<std::size_t>(i) * l + k];
      pt.xi = one_plus_x * s - 1.0;
      pt.sv = (p.volatility * z) * c;
      pt.drift = carry * v + half_var * v;
      pt.rate_discount = std::exp(-(p.rate * v));
      pt.yield_discount = std::exp(-(p.dividend * v));
      pt.jac = rule.weight[k] * ((2.0 * tau) * (s * c));
    }
  }

  // The stable form FP-A of the integral equation (their eq. (26)):
  // B(tau) = N / D with
  //   N = e^{-r tau} Phi(d-(tau, B/1)) + r int e^{-r(tau-u)} Phi(d-(tau-u, B(tau)/B(u))) du,
  //   D = e^{-q tau} Phi(d+(tau, B/1)) + q int e^{-q(tau-u)} Phi(d+(tau-u, B(tau)/B(u))) du,
  // swept over all nodes at once (Jacobi). The faster FP-B form oscillates
  // without converging where r is several times q at low volatility.
  double next[kAmericanMaxNodes + 1];
  for (int sweep = 0; sweep < scheme.iterations; ++sweep) {
    for (int i = 0; i < n; ++i) {
      const double z = z_node[i];
      const double tau = z * z;
      const double g = -std::sqrt(b.h[i]);  // ln B(tau) - ln X
      const Kernel<double> d0 = kernel_d(p.log_start + g, tau, p.volatility * z, carry, half_var);
      double num = std::exp(-(p.rate * tau)) * norm_cdf(d0.d_minus);
      double den = std::exp(-(p.dividend * tau)) * norm_cdf(d0.d_plus);
      double num_int = 0.0;
      double den_int = 0.0;
      const Point* row = points.data() + static_cast<std::size_t>(i) * l;
      for (int k = 0; k < l; ++k) {
        const Point& pt = row[k];
        const double log_ratio = g + std::sqrt(b.at(pt.xi));
        const double d_plus = (log_ratio + pt.drift) / pt.sv;
        num_int += pt.jac * (pt.rate_discount * norm_cdf(d_plus - pt.sv));
        den_int += pt.jac * (pt.yield_discount * norm_cdf(d_plus));
      }
      num += p.rate * num_int;
      den += p.dividend * den_int;
      double value = num / den;
      if (!(value > 0.0)) value = p.start * 1e-300;
      double step = std::log(value) - p.log_start;
      if (step > 0.0) step = 0.0;
      next[i] = step * step;
    }
    for (int i = 0; i < n; ++i) b.h[i] = next[i];
    fit(b, cosines);
  }
}

double put_premium(const PutProblem& p, const Boundary& b, const ThetaRule& rule, double s) {
  // int_0^T [r e^{-r(T-u)} Phi(-d-(T-u, s/B(u))) - q s e^{-q(T-u)}
  // Phi(-d+(T-u, s/B(u)))] du in u = T sin^2 theta, where
  // xi = 2 sqrt(u/T) - 1 = 2 sin theta - 1.
  const double t = p.maturity;
  const double carry = p.rate - p.dividend;
  const double half_var = 0.5 * (p.volatility * p.volatility);
  const double sv_full = p.volatility * std::sqrt(t);
  const double log_s = std::log(s) - p.log_start;  // ln(s/X)
  double strike_leg = 0.0;
  double spot_leg = 0.0;
  for (int k = 0; k < rule.size; ++k) {
    const double sn = rule.sin_theta[k];
    const double c = rule.cos_theta[k];
    const double v = t * (c * c);
    const double sv = sv_full * c;
    const double hu = b.at((sn + sn) - 1.0);
    const double log_ratio = log_s + std::sqrt(hu);
    const Kernel<double> d = kernel_d(log_ratio, v, sv, carry, half_var);
    const double jac = rule.weight[k] * ((2.0 * t) * (sn * c));
    strike_leg += jac * (std::exp(-(p.rate * v)) * norm_cdf_c(d.d_minus));
    spot_leg += jac * (std::exp(-(p.dividend * v)) * norm_cdf_c(d.d_plus));
  }
  return p.rate * strike_leg - (p.dividend * s) * spot_leg;
}

}  // namespace tarvik::american
