// The fixed point of the put's integral equation (Andersen, Lake and
// Offengenden 2016) on Chebyshev nodes in sqrt(tau), and the premium
// integral on it.
#include "boundary.hpp"

#include <algorithm>
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
    rule.sin_root[lo] = std::sqrt(rule.sin_theta[lo]);
    rule.cos_theta[lo] = std::cos(theta_lo);
    rule.sin_theta[hi] = std::sin(theta_hi);
    rule.sin_root[hi] = std::sqrt(rule.sin_theta[hi]);
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

namespace {

// The interpolation of H from its node values to the boundary points of every
// node: H(xi_ik) = sum_j W[j][ik] h_j with xi_ik = (1 + x_i) sin(theta_k) - 1
// (u = tau_i sin^2 theta_k, so sqrt(u / T) = sqrt(tau_i / T) sin theta_k). It
// depends on the counts only, not on the option: built once per thread and
// pair of counts, column j the Chebyshev fit of the j-th unit vector summed by
// Clenshaw at every point. Row-major in j so that a sweep's sum runs over
// contiguous points (each point the same sequence of operations).
struct Interpolation {
  int nodes = 0;
  int size = 0;
  std::vector<double> weight;
};

const Interpolation& interpolation(int n, int power, const ThetaRule& rule) {
  thread_local Interpolation caches[2];
  Interpolation& cache = caches[power - 1];
  if (cache.nodes == n && cache.size == rule.size) return cache;
  const int l = rule.size;
  const std::size_t points = static_cast<std::size_t>(n) * static_cast<std::size_t>(l);
  cache.weight.assign(points * static_cast<std::size_t>(n), 0.0);
  double cosines[2 * kAmericanMaxNodes] = {};
  for (int j = 0; j < 2 * n; ++j) cosines[j] = std::cos(std::numbers::pi * j / n);
  Boundary unit;
  unit.nodes = n;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i <= n; ++i) unit.h[i] = i == j ? 1.0 : 0.0;
    fit(unit, cosines);
    double* column = cache.weight.data() + static_cast<std::size_t>(j) * points;
    for (int i = 0; i < n; ++i) {
      for (int k = 0; k < l; ++k) {
        column[static_cast<std::size_t>(i) * l + k] = unit.sum(
            (1.0 + cosines[i]) * (power == 2 ? rule.sin_root[k] : rule.sin_theta[k]) - 1.0);
      }
    }
  }
  cache.nodes = n;
  cache.size = l;
  return cache;
}

// Anderson mixing of depth kDepth: with the residual f = G(x) - x of the
// last sweeps, the next iterate is G(x) - dG gamma, gamma the least-squares
// fit of f by the differences dF of past residuals (modified Gram-Schmidt).
// The plain sweep where the fit is degenerate; g stays <= 0.
constexpr int kDepth = 4;

class Mixing {
 public:
  explicit Mixing(int n) : n_(n) {}

  void step(double* x, const double* gx) {
    double f[kAmericanMaxNodes];
    for (int i = 0; i < n_; ++i) f[i] = gx[i] - x[i];
    if (have_last_) {
      const int slot = next_slot_;
      for (int i = 0; i < n_; ++i) {
        df_[slot][i] = f[i] - last_f_[i];
        dg_[slot][i] = gx[i] - last_g_[i];
      }
      next_slot_ = (next_slot_ + 1) % kDepth;
      if (count_ < kDepth) ++count_;
    }
    for (int i = 0; i < n_; ++i) {
      last_f_[i] = f[i];
      last_g_[i] = gx[i];
    }
    have_last_ = true;
    double gamma[kDepth] = {};
    const bool fitted = count_ > 0 && solve(f, gamma);
    for (int i = 0; i < n_; ++i) {
      double value = gx[i];
      if (fitted) {
        for (int j = 0; j < count_; ++j) value -= dg_[j][i] * gamma[j];
      }
      if (!(value <= 0.0)) value = value > 0.0 ? 0.0 : gx[i];
      x[i] = value;
    }
  }

 private:
  // Least squares min |f - dF gamma| by modified Gram-Schmidt; false when a
  // column is (numerically) dependent on the others.
  bool solve(const double* f, double* gamma) const {
    double q[kDepth][kAmericanMaxNodes];
    double r[kDepth][kDepth] = {};
    double rhs[kDepth];
    for (int j = 0; j < count_; ++j) {
      double norm0 = 0.0;
      for (int i = 0; i < n_; ++i) {
        q[j][i] = df_[j][i];
        norm0 += q[j][i] * q[j][i];
      }
      for (int m = 0; m < j; ++m) {
        double dot = 0.0;
        for (int i = 0; i < n_; ++i) dot += q[m][i] * q[j][i];
        r[m][j] = dot;
        for (int i = 0; i < n_; ++i) q[j][i] -= dot * q[m][i];
      }
      double norm = 0.0;
      for (int i = 0; i < n_; ++i) norm += q[j][i] * q[j][i];
      if (!(norm > 1e-20 * norm0) || !(norm > 0.0)) return false;
      norm = std::sqrt(norm);
      r[j][j] = norm;
      for (int i = 0; i < n_; ++i) q[j][i] /= norm;
    }
    for (int j = 0; j < count_; ++j) {
      double dot = 0.0;
      for (int i = 0; i < n_; ++i) dot += q[j][i] * f[i];
      rhs[j] = dot;
    }
    for (int j = count_ - 1; j >= 0; --j) {
      double value = rhs[j];
      for (int m = j + 1; m < count_; ++m) value -= r[j][m] * gamma[m];
      gamma[j] = value / r[j][j];
      if (!std::isfinite(gamma[j])) return false;
    }
    return true;
  }

  int n_;
  int count_ = 0;
  int next_slot_ = 0;
  bool have_last_ = false;
  double df_[kDepth][kAmericanMaxNodes] = {};
  double dg_[kDepth][kAmericanMaxNodes] = {};
  double last_f_[kAmericanMaxNodes] = {};
  double last_g_[kAmericanMaxNodes] = {};
};

}  // namespace

void solve_boundary(const PutProblem& p, const AmericanScheme& scheme, const ThetaRule& rule,
                    Boundary& b) {
  const int n = scheme.nodes;
  const int l = rule.size;
  const std::size_t points = static_cast<std::size_t>(n) * static_cast<std::size_t>(l);
  b.nodes = n;
  const double root_t = std::sqrt(p.maturity);
  const double carry = p.rate - p.dividend;
  const double half_var = 0.5 * (p.volatility * p.volatility);
  double z_node[kAmericanMaxNodes + 1];
  double cosines[2 * kAmericanMaxNodes] = {};
  for (int j = 0; j < 2 * n; ++j) cosines[j] = std::cos(std::numbers::pi * j / n);
  for (int i = 0; i <= n; ++i) {
    const double zeta = 0.5 * (1.0 + cosines[i]);
    z_node[i] = root_t * (p.power == 2 ? zeta * zeta : zeta);
  }
  for (int i = 0; i < n; ++i) {
    const double tau = z_node[i] * z_node[i];
    const double g = std::log(seed(p, tau)) - p.log_start;
    b.h[i] = g * g;
  }
  b.h[n] = 0.0;
  const Interpolation& w = interpolation(n, p.power, rule);

  // What does not change between sweeps, per node i and point k (u =
  // tau sin^2 theta, v = tau - u): sigma sqrt v, the carry terms of d+, both
  // discounts over v with the Jacobian 2 tau sin cos and the weight folded
  // in.
  struct Points {
    std::vector<double> sv, drift, rate_weight, yield_weight, h;
  };
  thread_local Points pts;
  for (auto* v : {&pts.sv, &pts.drift, &pts.rate_weight, &pts.yield_weight, &pts.h}) {
    v->resize(points);
  }
  for (int i = 0; i < n; ++i) {
    const double z = z_node[i];
    const double tau = z * z;
    for (int k = 0; k < l; ++k) {
      const double s = rule.sin_theta[k];
      const double c = rule.cos_theta[k];
      const double v = tau * (c * c);
      const double jac = rule.weight[k] * ((2.0 * tau) * (s * c));
      const std::size_t at = static_cast<std::size_t>(i) * l + k;
      pts.sv[at] = (p.volatility * z) * c;
      pts.drift[at] = carry * v + half_var * v;
      pts.rate_weight[at] = jac * std::exp(-(p.rate * v));
      pts.yield_weight[at] = jac * std::exp(-(p.dividend * v));
    }
  }

  // The stable form FP-A of the integral equation (their eq. (26)):
  // B(tau) = N / D with
  //   N = e^{-r tau} Phi(d-(tau, B)) + r int e^{-r v} Phi(d-(v, B/B(u))) du,
  //   D = e^{-q tau} Phi(d+(tau, B)) + q int e^{-q v} Phi(d+(v, B/B(u))) du,
  // swept over all nodes at once (Jacobi) on g = ln B - ln X. Alone it
  // contracts slowly where r is several times q at low volatility (some 0.9
  // a sweep); Anderson mixing (Walker and Ni 2011) of the last few sweeps
  // takes the fixed point in a handful. Sweeps stop once no node moves by
  // more than the tolerance.
  double* hq = pts.h.data();
  Mixing mix(n);
  double g[kAmericanMaxNodes];
  double mapped[kAmericanMaxNodes];
  for (int i = 0; i < n; ++i) g[i] = -std::sqrt(b.h[i]);
  for (int sweep = 0; sweep < scheme.iterations; ++sweep) {
    for (std::size_t at = 0; at < points; ++at) hq[at] = 0.0;
    for (int j = 0; j < n; ++j) {
      const double hj = g[j] * g[j];
      const double* column = w.weight.data() + static_cast<std::size_t>(j) * points;
      for (std::size_t at = 0; at < points; ++at) hq[at] += column[at] * hj;
    }
    double moved = 0.0;
    for (int i = 0; i < n; ++i) {
      const double z = z_node[i];
      const double tau = z * z;
      const double log_b = p.log_start + g[i];
      const Kernel<double> d0 = kernel_d(log_b, tau, p.volatility * z, carry, half_var);
      double num_int = 0.0;
      double den_int = 0.0;
      const std::size_t row = static_cast<std::size_t>(i) * l;
      for (int k = 0; k < l; ++k) {
        const std::size_t at = row + k;
        const double hu = hq[at] > 0.0 ? hq[at] : 0.0;
        const double d_plus = ((g[i] + std::sqrt(hu)) + pts.drift[at]) / pts.sv[at];
        num_int += pts.rate_weight[at] * norm_cdf(d_plus - pts.sv[at]);
        den_int += pts.yield_weight[at] * norm_cdf(d_plus);
      }
      const double num = std::exp(-(p.rate * tau)) * norm_cdf(d0.d_minus) + p.rate * num_int;
      const double den = std::exp(-(p.dividend * tau)) * norm_cdf(d0.d_plus) + p.dividend * den_int;
      double value = num / den;
      if (!(value > 0.0)) value = p.start * 1e-300;
      double next = std::log(value) - p.log_start;
      if (next > 0.0) next = 0.0;
      moved = std::max(moved, std::fabs(next - g[i]));
      mapped[i] = next;
    }
    if (moved <= scheme.tolerance) {
      for (int i = 0; i < n; ++i) g[i] = mapped[i];
      break;
    }
    mix.step(g, mapped);
  }
  for (int i = 0; i < n; ++i) b.h[i] = g[i] * g[i];
  fit(b, cosines);
}

double put_premium(const PutProblem& p, const Boundary& b, const ThetaRule& rule, double s,
                   PremiumSlopes* slopes) {
  // int_0^T [r e^{-r(T-u)} Phi(-d-(T-u, s/B(u))) - q s e^{-q(T-u)}
  // Phi(-d+(T-u, s/B(u)))] du in u = T sin^2 theta. With e^{-r v} phi(d-) =
  // (s / B(u)) e^{-q v} phi(d+), its derivatives in s are
  //   P'  = int e^{-q v} [phi(d+) (q - r / B(u)) / (sigma sqrt v) - q Phi(-d+)] du,
  //   P'' = int e^{-q v} phi(d+) / (s sigma sqrt v) [q - d+ (q - r / B(u)) / (sigma sqrt v)] du.
  const double t = p.maturity;
  const double carry = p.rate - p.dividend;
  const double half_var = 0.5 * (p.volatility * p.volatility);
  const double sv_full = p.volatility * std::sqrt(t);
  const double log_s = std::log(s) - p.log_start;  // ln(s/X)
  double strike_leg = 0.0;
  double spot_leg = 0.0;
  double first = 0.0;
  double second = 0.0;
  for (int k = 0; k < rule.size; ++k) {
    const double sn = rule.sin_theta[k];
    const double c = rule.cos_theta[k];
    const double v = t * (c * c);
    const double sv = sv_full * c;
    const double root = std::sqrt(b.at(2.0 * (p.power == 2 ? rule.sin_root[k] : sn) - 1.0));
    const double log_ratio = log_s + root;
    const Kernel<double> d = kernel_d(log_ratio, v, sv, carry, half_var);
    const double jac = rule.weight[k] * ((2.0 * t) * (sn * c));
    const double yield_weight = jac * std::exp(-(p.dividend * v));
    const double upper = norm_cdf_c(d.d_plus);
    strike_leg += jac * (std::exp(-(p.rate * v)) * norm_cdf_c(d.d_minus));
    spot_leg += jac * (std::exp(-(p.dividend * v)) * upper);
    if (slopes) {
      const double pull = (p.dividend - (p.rate / p.start) * std::exp(root)) / sv;
      const double density = norm_pdf(d.d_plus);
      first += yield_weight * (density * pull - p.dividend * upper);
      second += yield_weight * (density / (s * sv) * (p.dividend - d.d_plus * pull));
    }
  }
  if (slopes) *slopes = PremiumSlopes{first, second};
  return p.rate * strike_leg - (p.dividend * s) * spot_leg;
}

}  // namespace tarvik::american
