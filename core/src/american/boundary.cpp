// The fixed point of the put's integral equation (Andersen, Lake and
// Offengenden 2016) on Chebyshev nodes, from the QD+ boundary of Li (2010),
// and the premium integral on it.
#include "american/boundary.hpp"

#include "american/recent.hpp"
#include "lanes/lanes.hpp"
#include "special/erfcx.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/elementary.hpp"

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
    double x = elementary::cos(std::numbers::pi * (i + 0.75) / (n + 0.5));
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
    rule.sin_theta[lo] = elementary::sin(theta_lo);
    rule.sin_root[lo] = std::sqrt(rule.sin_theta[lo]);
    rule.cos_theta[lo] = elementary::cos(theta_lo);
    rule.sin_theta[hi] = elementary::sin(theta_hi);
    rule.sin_root[hi] = std::sqrt(rule.sin_theta[hi]);
    rule.cos_theta[hi] = elementary::cos(theta_hi);
    rule.weight[lo] = w * quarter_pi;
    rule.weight[hi] = w * quarter_pi;
  }
}

void make_premium_rule(int size, PremiumRule& rule, double low, double high) {
  // t_k = -low + k h, h = (low + high) / (size - 1); with a = pi/2 sinh(t_k),
  // u / T = 1 / (1 + e^{-2a}), v / T = 1 / (1 + e^{2a}) and du / T =
  // h pi/4 cosh(t_k) / cosh(a)^2. A single point is the midpoint rule.
  rule.size = size;
  const double half_pi = std::numbers::pi / 2.0;
  const double step = size > 1 ? (low + high) / (size - 1) : 0.0;
  for (int k = 0; k < size; ++k) {
    const double t = size > 1 ? -low + k * step : 0.0;
    const double a = half_pi * elementary::sinh(t);
    const double u = 1.0 / (1.0 + elementary::exp(-2.0 * a));
    const double v = 1.0 / (1.0 + elementary::exp(2.0 * a));
    const double ch = elementary::cosh(a);
    rule.root_u[k] = std::sqrt(u);
    rule.quarter_u[k] = std::sqrt(rule.root_u[k]);
    rule.v[k] = v;
    rule.root_v[k] = std::sqrt(v);
    rule.weight[k] = size > 1 ? step * (0.5 * half_pi) * elementary::cosh(t) / (ch * ch) : 1.0;
  }
}

namespace {

// cos(j pi / n) for j < 2n: the Chebyshev nodes x_j (j <= n) and the
// cosines fit() takes. The thread's last few node counts are kept (a solve
// takes them twice, the tables built for a count once more); a pointer holds
// until four other counts have been asked for.
const double* chebyshev_cosines(int n) {
  struct Table {
    double cos[2 * kAmericanMaxNodes];
  };
  using Tables = Recent<Table, Table, 1, 4>;
  return Tables::find({key_word(n)}, [&](Table& table) {
           for (int j = 0; j < 2 * n; ++j) {
             table.cos[j] = elementary::cos(std::numbers::pi * j / n);
           }
         }).cos;
}

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

// The perpetual boundary gamma / (gamma - 1), gamma the negative root of
// sigma^2/2 g^2 + (r - q - sigma^2/2) g - r = 0: it lies below every B(tau).
double perpetual_boundary(const PutProblem& p) {
  const double var = p.volatility * p.volatility;
  const double drift = (p.rate - p.dividend) - 0.5 * var;
  const double gamma = (-drift - std::sqrt(drift * drift + 2.0 * var * p.rate)) / var;
  return gamma / (gamma - 1.0);
}

// The seed of Barone-Adesi and Whaley (1987): from the perpetual boundary
// B_inf, B(tau) = B_inf + (X - B_inf) exp(((r - q) tau - 2 sigma sqrt tau) X /
// (X - B_inf)), in strike units.
double seed(const PutProblem& p, double perpetual, double tau) {
  const double x = p.start;
  if (!(perpetual < x)) return x;
  const double h =
      ((p.rate - p.dividend) * tau - 2.0 * p.volatility * std::sqrt(tau)) * x / (x - perpetual);
  return perpetual + (x - perpetual) * elementary::exp(h);
}

}  // namespace

double qd_plus_boundary(const PutProblem& p, double tau, double log_guess, double log_perpetual) {
  // Li (2010), QD+: the put's price near the boundary S* is taken as
  // p(S) + (K - S* - p(S*)) (S / S*)^(lambda + c0), with h = 1 - e^{-r tau},
  // alpha = 2 r / sigma^2, beta = 2 (r - q) / sigma^2,
  //   lambda = (-(beta - 1) - sqrt((beta - 1)^2 + 4 alpha / h)) / 2,
  //   lambda' = alpha / (h^2 sqrt((beta - 1)^2 + 4 alpha / h)),
  //   c0 = -(1 - h) alpha / (2 lambda + beta - 1)
  //        [1 / h - e^{r tau} Theta(S*) / (r (K - S* - p(S*))) + lambda' / (2 lambda + beta - 1)],
  // Theta the European put's dp/dt. Smooth pasting (delta -1 at S*) gives
  //   F(S*) = (1 - e^{-q tau} Phi(-d+)) S* + (lambda + c0) (K - S* - p(S*)) = 0.
  // c0 alone is singular where K - S* - p(S*) vanishes (near expiry), its
  // product with it is not: F is summed as
  //   kept S + lambda gap - a [gap (1 / h + lambda' / (2 lambda + beta - 1)) - e^{r tau} Theta /
  //   r],
  // a = (1 - h) alpha / (2 lambda + beta - 1), gap = K - S - p(S), kept =
  // 1 - e^{-q tau} Phi(-d+). F rises through its root from below; Newton's
  // method in ln S* with the exact slope, bisecting between the perpetual
  // boundary and X whenever a step leaves the bracket found so far.
  const double var = p.volatility * p.volatility;
  const double root_tau = std::sqrt(tau);
  const double sv = p.volatility * root_tau;
  const double rate_discount = elementary::exp(-(p.rate * tau));
  const double yield_discount = elementary::exp(-(p.dividend * tau));
  const double h = -elementary::expm1(-(p.rate * tau));
  const double alpha = 2.0 * p.rate / var;
  const double beta = 2.0 * (p.rate - p.dividend) / var;
  const double spread = std::sqrt((beta - 1.0) * (beta - 1.0) + 4.0 * alpha / h);
  const double lambda = 0.5 * (-(beta - 1.0) - spread);
  const double denominator = -spread;  // 2 lambda + beta - 1
  const double lambda_term = 1.0 / h + (alpha / ((h * h) * spread)) / denominator;
  const double a = (1.0 - h) * alpha / denominator;
  const double theta_scale = 1.0 / (p.rate * rate_discount);
  double lo = log_perpetual;
  double hi = p.log_start;
  double x = log_guess;
  if (!(x > lo && x < hi)) x = 0.5 * (lo + hi);
  if (!std::isfinite(x)) return log_guess;
  for (int step = 0; step < 32; ++step) {
    const double s = elementary::exp(x);
    const Kernel<double> d = kernel_d(x, tau, sv, p.rate - p.dividend, 0.5 * var);
    const double upper = norm_cdf_c(d.d_plus);
    const double lower = norm_cdf_c(d.d_minus);
    const double density = norm_pdf(d.d_plus);
    const double european = rate_discount * lower - s * (yield_discount * upper);
    const double theta = p.rate * rate_discount * lower -
                         p.dividend * s * (yield_discount * upper) -
                         p.volatility * s * (yield_discount * density) / (2.0 * root_tau);
    const double theta_slope =
        yield_discount * ((p.dividend - p.rate) * density / sv - p.dividend * upper -
                          p.volatility * density * (1.0 - d.d_plus / sv) / (2.0 * root_tau));
    const double gap = 1.0 - s - european;
    const double kept = 1.0 - yield_discount * upper;
    const double f = kept * s + lambda * gap - a * (gap * lambda_term - theta * theta_scale);
    const double slope = kept + yield_discount * density / sv - lambda * kept -
                         a * (-kept * lambda_term - theta_slope * theta_scale);
    if (!std::isfinite(f)) break;
    if (f < 0.0) {
      lo = x;
    } else {
      hi = x;
    }
    double next = x - f / (slope * s);
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    const double moved = std::fabs(next - x);
    x = next;
    // A start for the sweeps only (QD+ is itself some 1e-3 off the true
    // boundary): Newton stops once its step falls below 1e-7 (from the
    // extrapolated start 2.5 steps a node on the scheme benchmark at 1e-8,
    // 0.2% fewer instructions in all at 1e-7 with the same sweeps and
    // errors; 1e-6 the same sweeps as well). Not much looser: at 1e-5 the
    // sweeps no longer settle for some options, the nodes next to expiry
    // (ln B - ln X near 1e-5) then starting too far off. Nor stopping one
    // step early where the last two steps predict (at Newton's quadratic
    // rate) a next one below 1e-8: FP-B then failed to settle for a few
    // options more and fell back on FP-A (1.9 times the sweeps).
    if (moved <= 1e-7) break;
  }
  return x;
}

namespace {

// The QD+ boundary on the nodes x_0 = 1 .. x_{n-1} (tau falling from T), as
// h_i = (ln B - ln X)^2. Newton's method at the first node starts from
// Barone-Adesi and Whaley's seed, at each later one from the polynomial
// through the last (up to) kExtrapolated nodes' ln B - ln X in the Chebyshev
// variable, taken one node on: the boundary is smooth in it, and over the
// scheme benchmark the start was then 2.5 Newton steps a node from the
// root where the node before took 4.9 (4 nodes: 2.9, 8: 2.4, for more
// arithmetic).
constexpr int kExtrapolated = 6;

// The smallest rate the start takes: QD+ divides by r and by 1 - e^{-r tau}
// (its alpha / h^2 overflows below some 1e-150), so that at r = 0 (a put
// with a negative yield, the mirror of a call on a stock without dividends
// at a negative rate) it starts from r = 1e-20, where its boundary has long
// reached the limit r -> 0; the sweeps then solve the problem at r itself.
constexpr double kLeastStartRate = 1e-20;

void qd_plus_start(const PutProblem& problem, int n, const double* z_node, const double* cosines,
                   double* h) {
  PutProblem p = problem;
  if (p.rate < kLeastStartRate) p.rate = kLeastStartRate;
  const double perpetual = perpetual_boundary(p);
  const double log_perpetual = elementary::log(perpetual);
  double g[kAmericanMaxNodes];
  for (int i = 0; i < n; ++i) {
    const double tau = z_node[i] * z_node[i];
    double guess;
    if (i == 0) {
      guess = elementary::log(seed(p, perpetual, tau)) - p.log_start;
    } else {
      // Lagrange's form of the extrapolating polynomial at x_i.
      const int m = std::min(i, kExtrapolated);
      const double x = cosines[i];
      guess = 0.0;
      for (int a = 1; a <= m; ++a) {
        double l = 1.0;
        for (int c = 1; c <= m; ++c) {
          if (c != a) l *= (x - cosines[i - c]) / (cosines[i - a] - cosines[i - c]);
        }
        guess += l * g[i - a];
      }
      // Above X (no boundary there) or not a number: the node before.
      if (!(guess < 0.0)) guess = g[i - 1];
    }
    g[i] = qd_plus_boundary(p, tau, p.log_start + guess, log_perpetual) - p.log_start;
    h[i] = g[i] * g[i];
  }
}

// The interpolation of H from its node values to the boundary points of every
// node: H(xi_ik) = sum_j W[j][ik] h_j with xi_ik = (1 + x_i) sin(theta_k) - 1
// (u = tau_i sin^2 theta_k, so sqrt(u / T) = sqrt(tau_i / T) sin theta_k). It
// depends on the counts only, not on the option: built once per thread and
// pair of counts (barycentric weights, below). Stored in blocks of kBlock
// points, a block's weights for j = 0, 1, ... contiguous, so that a sweep
// sums a block over j in registers, two or four points a lane (each point
// the same products and sums in the same order, j = 0 first, as one at a
// time).
constexpr std::size_t kBlock = lanes::kAmericanInterpolationBlock;

struct Interpolation {
  std::vector<double> weight;
};

// W[j] at every point's Chebyshev variable xi(point), point = 0, 1, ...,
// in the block layout above. The interpolant through the n + 1 nodes x_j =
// cos(j pi / n) (the polynomial whose Chebyshev coefficients fit() gives) in
// the barycentric form of Salzer (1972): weights (-1)^j, halved at both ends,
// so that W[j] at xi is (w_j / (xi - x_j)) / sum_m (w_m / (xi - x_m)); n
// operations a point, where summing the fit of each unit vector took n^2.
// Node j's barycentric weight over xi - x_j.
inline double barycentric_term(int j, int n, double gap) {
  const double sign = j % 2 == 0 ? 1.0 : -1.0;
  return (j == 0 || j == n ? 0.5 * sign : sign) / gap;
}

template <class Xi>
void fill_interpolation(Interpolation& cache, int n, std::size_t points, Xi xi) {
  const std::size_t padded = (points + kBlock - 1) / kBlock * kBlock;
  // Every point's weights are written below; only the padding's are zeroed
  // (zeroing the whole, some 3 MB at 64 nodes on a steep boundary, was a
  // tenth of such a price's instructions).
  const std::size_t size = padded * static_cast<std::size_t>(n);
  if (cache.weight.size() < size) cache.weight.resize(size);
  for (std::size_t at = points; at < padded; ++at) {
    double* block = cache.weight.data() + at / kBlock * kBlock * n + at % kBlock;
    for (int j = 0; j < n; ++j) block[j * kBlock] = 0.0;
  }
  const double* cosines = chebyshev_cosines(n);
  for (std::size_t at = 0; at < points; ++at) {
    const double x = xi(at);
    double terms[kAmericanMaxNodes + 1];
    double total = 0.0;
    int at_node = -1;
    for (int j = 0; j <= n; ++j) {
      const double gap = x - cosines[j];
      if (gap == 0.0) at_node = j;
      terms[j] = barycentric_term(j, n, gap);
      total += terms[j];
    }
    double* block = cache.weight.data() + at / kBlock * kBlock * n + at % kBlock;
    for (int j = 0; j < n; ++j) {
      block[j * kBlock] = at_node >= 0 ? (j == at_node ? 1.0 : 0.0) : terms[j] / total;
    }
  }
}

const Interpolation& interpolation(int n, int power, const ThetaRule& rule) {
  // The default schemes' coarse and fine stages take eight.
  using Tables = Recent<Interpolation, Interpolation, 3, 12>;
  return Tables::find({key_word(n), key_word(rule.size), key_word(power)},
                      [&](Interpolation& cache) {
                        const int l = rule.size;
                        const double* cosines = chebyshev_cosines(n);
                        // Point i l + k is node i's k-th: xi = (1 + x_i) sin(theta_k) - 1,
                        // or with sqrt(sin(theta_k)) where the nodes' variable is
                        // (tau / T)^(1/4).
                        fill_interpolation(
                            cache, n, static_cast<std::size_t>(n) * static_cast<std::size_t>(l),
                            [&](std::size_t at) {
                              const int i = static_cast<int>(at / l);
                              const int k = static_cast<int>(at % l);
                              return (1.0 + cosines[i]) *
                                         (power == 2 ? rule.sin_root[k] : rule.sin_theta[k]) -
                                     1.0;
                            });
                      });
}

// Anderson mixing of depth kDepth: with the residual f = G(x) - x of the
// last sweeps, the next iterate is G(x) - dG gamma, gamma the least-squares
// fit of f by the differences dF of past residuals (modified Gram-Schmidt).
// The plain sweep where the fit is degenerate; g stays <= 0.
constexpr int kDepth = 4;

class Mixing {
 public:
  explicit Mixing(int n) : n_(n), s_(store()) {}

  void step(double* x, const double* gx) {
    double* f = s_.f;
    for (int i = 0; i < n_; ++i) f[i] = gx[i] - x[i];
    if (have_last_) {
      const int slot = next_slot_;
      for (int i = 0; i < n_; ++i) {
        s_.df[slot][i] = f[i] - s_.last_f[i];
        s_.dg[slot][i] = gx[i] - s_.last_g[i];
      }
      next_slot_ = (next_slot_ + 1) % kDepth;
      if (count_ < kDepth) ++count_;
    }
    for (int i = 0; i < n_; ++i) {
      s_.last_f[i] = f[i];
      s_.last_g[i] = gx[i];
    }
    have_last_ = true;
    double gamma[kDepth] = {};
    const bool fitted = count_ > 0 && solve(f, gamma);
    for (int i = 0; i < n_; ++i) {
      double value = gx[i];
      if (fitted) {
        for (int j = 0; j < count_; ++j) value -= s_.dg[j][i] * gamma[j];
      }
      if (!(value <= 0.0)) value = value > 0.0 ? 0.0 : gx[i];
      x[i] = value;
    }
  }

 private:
  // Least squares min |f - dF gamma| by modified Gram-Schmidt; false when a
  // column is (numerically) dependent on the others.
  bool solve(const double* f, double* gamma) const {
    auto& q = s_.q;
    double r[kDepth][kDepth] = {};
    double rhs[kDepth];
    for (int j = 0; j < count_; ++j) {
      double norm0 = 0.0;
      for (int i = 0; i < n_; ++i) {
        q[j][i] = s_.df[j][i];
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
  // The history and the fit's scratch (some 15 KiB): the thread's, off its
  // stack, which may be small; a solve never runs inside another on the
  // same thread. Written before they are read (rows below count_, the last
  // ones once have_last_), so not cleared between solves.
  struct Store {
    double df[kDepth][kAmericanMaxNodes];
    double dg[kDepth][kAmericanMaxNodes];
    double last_f[kAmericanMaxNodes];
    double last_g[kAmericanMaxNodes];
    double q[kDepth][kAmericanMaxNodes];
    double f[kAmericanMaxNodes];
  };
  static Store& store() {
    thread_local Store kept;
    return kept;
  }
  Store& s_;
};

// The steep map (PutProblem::scale): the nodes' variable y = (1 + xi) / 2 in
// [0, 1] and the time to expiry tau = c sinh(A y)^(2 power), A = asinh((T /
// c)^(1 / (2 power))): near expiry y is (tau / c)^(1 / (2 power)) / A, the
// power map's shape on the boundary's own time scale, and beyond some c it
// grows like ln(tau / c) / (2 power A), so that the nodes spread evenly over
// the scales where the boundary still moves.
struct SteepMap {
  double scale;
  int power;
  double span;

  explicit SteepMap(const PutProblem& p)
      : scale(p.scale),
        power(p.power),
        span(p.scale > 0.0 ? elementary::asinh(root(p.maturity / p.scale)) : 0.0) {}
  double root(double x) const {
    const double r = std::sqrt(x);
    return power == 2 ? std::sqrt(r) : r;
  }
  // sqrt(tau) at y.
  double root_tau(double y) const {
    const double w = elementary::sinh(span * y);
    return std::sqrt(scale) * (power == 2 ? w * w : w);
  }
  // xi at the time to expiry u.
  double xi(double u) const { return 2.0 * (elementary::asinh(root(u / scale)) / span) - 1.0; }
};

// A steep boundary's integrals at a node take [0, kSteepReach c] in v on
// their own (the kernels' scale is c there) and the rest of [0, tau] as a
// second panel, where tau exceeds twice that.
constexpr double kSteepReach = 100.0;

// The second panel is left out where d+ <= (r - q + sigma^2 / 2) sqrt(v) /
// sigma (the boundary falls with tau, ln(B(tau) / B(u)) <= 0) is below this
// on all of it: Phi(-9) = 1.1e-19 of each integrand's scale.
constexpr double kNegligibleD = -9.0;

// Where q < 0 the yield's terms of D grow like e^{-q tau} while D itself
// stays of order 1 (at a boundary near the perpetual one Phi(d+) is near 1 on
// most of [0, tau], and e^{-q tau} Phi(d+(tau)) + q int e^{-q v} Phi(d+) du
// then nearly cancels): the direct sums lose some e^{-q tau} ulps, all of D
// once -q tau passes 37 (q = -0.04 at T = 1000). With q int_0^tau e^{-q v} du
// = 1 - e^{-q tau} and Phi(d+) = 1 - Phi(-d+), D is also
//   FP-A: 1 - e^{-q tau} Phi(-d+(tau, B)) - q int e^{-q v} Phi(-d+) du,
//   FP-B: 1 + e^{-q tau} [phi(d+(tau, B)) / (sigma sqrt tau) - Phi(-d+(tau, B))]
//         + q int e^{-q v} [phi(d+) / (sigma sqrt v) - Phi(-d+)] du,
// whose terms e^{-q v} Phi(-d+) and e^{-q v} phi(d+) decay with v like
// e^{-lambda v} (lambda = (r - q + sigma^2 / 2)^2 / (2 sigma^2) + q, the
// steep scale's, > 0): nothing cancels at long tau. Near expiry that form
// takes Phi(d+) as 1 - Phi(-d+), small where B is below X, and any change of
// form moves a price by the sweeps' stopping noise (some 1e-10): the nodes
// take it where -q tau exceeds 10, beyond the domain's q >= -0.2 and T <= 50,
// whose prices stay as they were (the direct form loses at most e^10 = 2.2e4
// ulps of D there). The identity needs the whole of [0, tau]: where q < 0 <= r
// the second panel of a steep boundary always counts (d+ grows with v).
constexpr double kComplementAbove = 10.0;

}  // namespace

bool steep_drift_leads(double rate, double dividend, double volatility) {
  return volatility * volatility <= std::fabs(rate - dividend);
}

double steep_scale(double maturity, double rate, double dividend, double volatility) {
  // The transition density of ln S with drift mu = r - q - sigma^2 / 2,
  // discounted at r, decays in time like exp(-lambda t), lambda = mu^2 /
  // (2 sigma^2) + r: the boundary settles towards the perpetual one at that
  // rate, and where the drift outruns the spread (|r - q| sqrt(T) / sigma
  // large) its distance from X, some sigma^2 / (2 |r - q|), is reached
  // within some c = 1 / (2 lambda) of expiry, near sigma^2 / (r - q)^2. Where
  // T exceeds 8 c the power map needs many more nodes than the tiers give
  // (the benchmark portfolio's options reach T = 3.3 c).
  constexpr double kSteep = 8.0;
  const double var = volatility * volatility;
  const double drift = (rate - dividend) - 0.5 * var;
  const double twice_rate = (drift * drift) / var + 2.0 * std::max(rate, 0.0);
  if (!(twice_rate * maturity > kSteep)) return 0.0;
  return 1.0 / twice_rate;
}

int solve_boundary(const PutProblem& p, const AmericanScheme& scheme, const ThetaRule& rule,
                   Boundary& b, const Boundary* start, int stall_window) {
  const int n = scheme.nodes;
  const int l = rule.size;
  b.nodes = n;
  const double root_t = std::sqrt(p.maturity);
  const double carry = p.rate - p.dividend;
  const double half_var = 0.5 * (p.volatility * p.volatility);
  double z_node[kAmericanMaxNodes + 1];
  const double* cosines = chebyshev_cosines(n);
  const bool steep = p.scale > 0.0;
  const SteepMap map(p);
  for (int i = 0; i <= n; ++i) {
    const double zeta = 0.5 * (1.0 + cosines[i]);
    z_node[i] = steep ? map.root_tau(zeta) : root_t * (p.power == 2 ? zeta * zeta : zeta);
  }
  if (start) {
    for (int i = 0; i < n; ++i) b.h[i] = start->h[i];
  } else {
    qd_plus_start(p, n, z_node, cosines, b.h);
  }
  b.h[n] = 0.0;

  // Node i's points are row[i] .. row[i + 1] - 1: the rule's l points over
  // [0, tau] (u = tau sin^2 theta), or on a steep boundary where tau exceeds
  // twice the reach R, l over v in [0, R] (v = R cos^2 theta) and, unless
  // negligible, l over u in [0, tau - R] (u = (tau - R) sin^2 theta).
  int row[kAmericanMaxNodes + 1];
  const double reach = kSteepReach * p.scale;
  const bool second_counts =
      !((carry + half_var) * std::sqrt(reach) / p.volatility <= kNegligibleD);
  auto split = [&](int i) { return steep && z_node[i] * z_node[i] > 2.0 * reach; };
  row[0] = 0;
  for (int i = 0; i < n; ++i) row[i + 1] = row[i] + (split(i) && second_counts ? 2 * l : l);
  const std::size_t points = static_cast<std::size_t>(row[n]);

  // What does not change between sweeps, per point (u its time to expiry,
  // v = tau - u): sigma sqrt v, the carry terms of d+, both discounts over v
  // with the Jacobian (2 tau sin cos on the rule's own map) and the weight
  // folded in; on a steep boundary the point's Chebyshev variable.
  struct Points {
    std::vector<double> sv, inv_sv, drift, rate_weight, yield_weight, rate_density, h, xi, jac;
    std::vector<double> scratch = std::vector<double>(6 * kAmericanMaxPoints);  // a row's
    Interpolation steep;
  };
  // Grown only, never shrunk: the coarse and full stages take turns, and
  // each growth would clear the tail again (2% of a price).
  thread_local Points pts;
  const std::size_t padded = (points + kBlock - 1) / kBlock * kBlock;
  for (auto* v : {&pts.sv, &pts.inv_sv, &pts.drift, &pts.rate_weight, &pts.yield_weight,
                  &pts.rate_density, &pts.xi, &pts.jac}) {
    if (v->size() < points) v->resize(points);
  }
  if (pts.h.size() < padded) pts.h.resize(padded);
  // The discounts' exponents here, their exponentials over all points at
  // once below.
  auto set_point = [&](std::size_t at, double v, double sv, double jac) {
    pts.sv[at] = sv;
    pts.inv_sv[at] = 1.0 / pts.sv[at];
    pts.drift[at] = carry * v + half_var * v;
    pts.jac[at] = jac;
    pts.yield_weight[at] = -(p.dividend * v);
    // FP-B takes e^{-r v} only with phi(d-): one exp of the summed
    // exponents in the sweeps; here -r v and the factors before it.
    pts.rate_weight[at] = -(p.rate * v);
    if (p.form != kFormA) pts.rate_density[at] = (jac * pts.inv_sv[at]) * kInvSqrtTwoPi;
  };
  for (int i = 0; i < n; ++i) {
    const double z = z_node[i];
    const double tau = z * z;
    const std::size_t at = static_cast<std::size_t>(row[i]);
    if (!split(i)) {
      for (int k = 0; k < l; ++k) {
        const double s = rule.sin_theta[k];
        const double c = rule.cos_theta[k];
        const double v = tau * (c * c);
        const double jac = rule.weight[k] * ((2.0 * tau) * (s * c));
        set_point(at + k, v, (p.volatility * z) * c, jac);
        if (steep) pts.xi[at + k] = map.xi(tau * (s * s));
      }
      continue;
    }
    const double root_reach = std::sqrt(reach);
    for (int k = 0; k < l; ++k) {
      const double s = rule.sin_theta[k];
      const double c = rule.cos_theta[k];
      const double v = reach * (c * c);
      set_point(at + k, v, (p.volatility * root_reach) * c,
                rule.weight[k] * ((2.0 * reach) * (s * c)));
      pts.xi[at + k] = map.xi(tau - v);
    }
    if (!second_counts) continue;
    const double rest = tau - reach;
    for (int k = 0; k < l; ++k) {
      const double s = rule.sin_theta[k];
      const double c = rule.cos_theta[k];
      const double u = rest * (s * s);
      const double v = tau - u;
      set_point(at + l + k, v, p.volatility * std::sqrt(v),
                rule.weight[k] * ((2.0 * rest) * (s * c)));
      pts.xi[at + l + k] = map.xi(u);
    }
  }
  // yield_weight = jac e^{-q v}, and in FP-A rate_weight = jac e^{-r v}.
  const auto discount = [&](std::vector<double>& weight) {
    lanes::exp_each(weight.data(), points, weight.data());
    for (std::size_t k = 0; k < points; ++k) weight[k] = pts.jac[k] * weight[k];
  };
  discount(pts.yield_weight);
  if (p.form == kFormA) discount(pts.rate_weight);
  const Interpolation* w = &interpolation(n, p.power, rule);
  if (steep) {
    fill_interpolation(pts.steep, n, points, [&](std::size_t at) { return pts.xi[at]; });
    w = &pts.steep;
  }

  // Two forms of the integral equation as B(tau) = N / D (Andersen, Lake and
  // Offengenden 2016, FP-A and FP-B). FP-A, from Kim's equation itself:
  //   N = e^{-r tau} Phi(d-(tau, B)) + r int e^{-r v} Phi(d-(v, B/B(u))) du,
  //   D = e^{-q tau} Phi(d+(tau, B)) + q int e^{-q v} Phi(d+(v, B/B(u))) du.
  // FP-B, from smooth pasting (the price's slope -1 at B), with the term
  // e^{-r tau} phi(d-) / (sigma sqrt tau) = B e^{-q tau} phi(d+) / (sigma sqrt tau)
  // added to both sides:
  //   N = e^{-r tau} phi(d-(tau, B)) / (sigma sqrt tau)
  //       + r int e^{-r v} phi(d-(v, B/B(u))) / (sigma sqrt v) du,
  //   D = e^{-q tau} [phi(d+(tau, B)) / (sigma sqrt tau) + Phi(d+(tau, B))]
  //       + q int e^{-q v} [Phi(d+(v, B/B(u))) + phi(d+(v, B/B(u))) / (sigma sqrt v)] du.
  // Both are swept over all nodes at once (Jacobi) on g = ln B - ln X.
  // Measured on the benchmark portfolio from the QD+ start, FP-B reaches
  // 1e-10 in some 5 to 9 sweeps, FP-A in 10 to 60 (it contracts by some 0.9
  // a sweep where r is several times q at low volatility). Anderson mixing
  // (Walker and Ni 2011) of the last few sweeps keeps FP-B from
  // oscillating where plain sweeps of it would not settle. The sweeps stop
  // once no node moves by more than the tolerance, a node's move weighted by
  // sqrt(tau / T): the last nodes before expiry, a fraction 1e-10 of the
  // life or less, carry rounding noise of 1e-6 in ln B (and almost no
  // price).
  double* hq = pts.h.data();
  Mixing mix(n);
  double g[kAmericanMaxNodes];
  double mapped[kAmericanMaxNodes];
  double rate_discount[kAmericanMaxNodes];
  double yield_discount[kAmericanMaxNodes];
  for (int i = 0; i < n; ++i) {
    g[i] = -std::sqrt(b.h[i]);
    const double tau = z_node[i] * z_node[i];
    rate_discount[i] = -(p.rate * tau);
    yield_discount[i] = -(p.dividend * tau);
  }
  lanes::exp_each(rate_discount, static_cast<std::size_t>(n), rate_discount);
  lanes::exp_each(yield_discount, static_cast<std::size_t>(n), yield_discount);
  int sweeps = 0;
  bool converged = false;
  Stall stall(stall_window);
  for (int sweep = 0; sweep < scheme.iterations; ++sweep) {
    ++sweeps;
    double hn[kAmericanMaxNodes];
    for (int j = 0; j < n; ++j) hn[j] = g[j] * g[j];
    lanes::american_interpolate(w->weight.data(), hn, n, padded, hq);
    double moved = 0.0;
    // A node whose N / D is not positive has left the equation's reach (D
    // turned negative through the rounding of its terms): it is held at a
    // floor, and the sweeps have not settled while any node sits there.
    bool lost = false;
    // Each node's d+ and d- at its B, and in FP-B the exponential of phi(d+),
    // over all nodes at once; the logarithms of the new N / D likewise.
    Kernel<double> at_node[kAmericanMaxNodes];
    double node_exp[kAmericanMaxNodes];
    double value[kAmericanMaxNodes];
    for (int i = 0; i < n; ++i) {
      const double z = z_node[i];
      at_node[i] = kernel_d(p.log_start + g[i], z * z, p.volatility * z, carry, half_var);
      node_exp[i] = tarvik::detail::norm_pdf_exponent(at_node[i].d_plus);
    }
    if (p.form != kFormA) lanes::exp_each(node_exp, static_cast<std::size_t>(n), node_exp);
    for (int i = 0; i < n; ++i) {
      const double z = z_node[i];
      const double tau = z * z;
      const Kernel<double> d0 = at_node[i];
      double num_int = 0.0;
      double den_int = 0.0;
      const std::size_t first = static_cast<std::size_t>(row[i]);
      const int size = row[i + 1] - row[i];
      const bool complement =
          p.dividend < 0.0 && second_counts && -(p.dividend * tau) > kComplementAbove;
      double num;
      double den;
      // Without a yield (q = 0) the D integral is multiplied by 0: not summed.
      const bool yield = p.dividend != 0.0;
      if (p.form == kFormA) {
        for (int k = 0; k < size; ++k) {
          const std::size_t at = first + k;
          const double hu = hq[at] > 0.0 ? hq[at] : 0.0;
          const double d_plus = ((g[i] + std::sqrt(hu)) + pts.drift[at]) / pts.sv[at];
          num_int += pts.rate_weight[at] * norm_cdf(d_plus - pts.sv[at]);
          if (yield) den_int += pts.yield_weight[at] * norm_cdf(complement ? -d_plus : d_plus);
        }
        num = rate_discount[i] * norm_cdf(d0.d_minus) + p.rate * num_int;
        den = complement ? 1.0 - (yield_discount[i] * norm_cdf(-d0.d_plus) + p.dividend * den_int)
                         : yield_discount[i] * norm_cdf(d0.d_plus) + p.dividend * den_int;
      } else {
        const lanes::AmericanRow at_row{hq + first,
                                        pts.sv.data() + first,
                                        pts.inv_sv.data() + first,
                                        pts.drift.data() + first,
                                        pts.rate_weight.data() + first,
                                        pts.rate_density.data() + first,
                                        pts.yield_weight.data() + first,
                                        pts.scratch.data(),
                                        complement};
        const lanes::AmericanIntegrals sums =
            lanes::american_row_integrals(at_row, size, g[i], yield);
        num_int = sums.rate;
        den_int = sums.yield;
        const double sv0 = p.volatility * z;
        const double e = node_exp[i];
        const double density = (e * kInvSqrtTwoPi) / sv0;
        num = rate_discount[i] * (norm_pdf(d0.d_minus) / sv0) + p.rate * num_int;
        if (complement) {
          const double lower = rational::norm_cdf_given_density(-d0.d_plus, e);
          den = 1.0 + (yield_discount[i] * (density - lower) + p.dividend * den_int);
        } else {
          const double upper = rational::norm_cdf_given_density(d0.d_plus, e);
          den = yield_discount[i] * (density + upper) + p.dividend * den_int;
        }
      }
      value[i] = num / den;
      if (!(value[i] > 0.0)) {
        value[i] = p.start * 1e-300;
        lost = true;
      }
    }
    lanes::log_each(value, static_cast<std::size_t>(n), value);
    for (int i = 0; i < n; ++i) {
      double next = value[i] - p.log_start;
      if (next > 0.0) next = 0.0;
      moved = std::max(moved, std::fabs(next - g[i]) * (z_node[i] / root_t));
      mapped[i] = next;
    }
    if (moved <= scheme.tolerance && !lost) {
      for (int i = 0; i < n; ++i) g[i] = mapped[i];
      converged = true;
      break;
    }
    if (stall_window > 0 && stall.after(sweeps, moved)) break;
    mix.step(g, mapped);
  }
  for (int i = 0; i < n; ++i) b.h[i] = g[i] * g[i];
  return converged || sweeps == 0 ? sweeps : -sweeps;
}

namespace {

// H at the premium rule's points as a matrix on the node values: H(xi_k) =
// sum_j W[j][k] h_j, column j the Chebyshev fit of the j-th unit vector
// summed at every point, the polynomial that fit() and Boundary::sum give
// (h_n = 0 drops out). n products a point where Clenshaw took 3n operations
// and the loop over points runs in vector lanes. It depends on the counts
// only: built once per thread and triple of counts.
struct PremiumWeights {
  std::vector<double> weight;  // W[j][k] at j * size + k
};

const PremiumWeights& premium_weights(int n, int power, const PremiumRule& rule) {
  // One per default scheme's pair of node count and power, and some to spare.
  using Tables = Recent<PremiumWeights, PremiumWeights, 3, 8>;
  return Tables::find({key_word(n), key_word(rule.size), key_word(power)},
                      [&](PremiumWeights& cache) {
                        const int l = rule.size;
                        cache.weight.assign(
                            static_cast<std::size_t>(n) * static_cast<std::size_t>(l), 0.0);
                        const double* cosines = chebyshev_cosines(n);
                        const double* xi_root = power == 2 ? rule.quarter_u : rule.root_u;
                        Boundary unit;
                        unit.nodes = n;
                        for (int j = 0; j < n; ++j) {
                          for (int i = 0; i <= n; ++i) unit.h[i] = i == j ? 1.0 : 0.0;
                          fit(unit, cosines);
                          double* column = cache.weight.data() + static_cast<std::size_t>(j) * l;
                          for (int k = 0; k < l; ++k) column[k] = unit.sum(2.0 * xi_root[k] - 1.0);
                        }
                      });
}

}  // namespace

namespace {

// H at xi from the node values (the barycentric form of fill_interpolation).
double interpolate_at(const Boundary& b, double xi) {
  const int n = b.nodes;
  const double* cosines = chebyshev_cosines(n);
  double sum = 0.0;
  double total = 0.0;
  for (int j = 0; j <= n; ++j) {
    const double gap = xi - cosines[j];
    if (gap == 0.0) return b.h[j];
    const double term = barycentric_term(j, n, gap);
    sum += term * b.h[j];
    total += term;
  }
  return sum / total;
}

}  // namespace

double put_premium(const PutProblem& p, const Boundary& b, const PremiumRule& rule, double s,
                   PremiumSlopes* slopes) {
  // int_0^T [r e^{-r(T-u)} Phi(-d-(T-u, s/B(u))) - q s e^{-q(T-u)}
  // Phi(-d+(T-u, s/B(u)))] du by the tanh-sinh rule. With e^{-r v} phi(d-) =
  // (s / B(u)) e^{-q v} phi(d+), its derivatives in s are
  //   P'  = int e^{-q v} [phi(d+) (q - r / B(u)) / (sigma sqrt v) - q Phi(-d+)] du,
  //   P'' = int e^{-q v} phi(d+) / (s sigma sqrt v) [q - d+ (q - r / B(u)) / (sigma sqrt v)] du.
  const double t = p.maturity;
  const double carry = p.rate - p.dividend;
  const double half_var = 0.5 * (p.volatility * p.volatility);
  const double sv_full = p.volatility * std::sqrt(t);
  const double log_s = elementary::log(s) - p.log_start;  // ln(s/X)
  double strike_leg = 0.0;
  double spot_leg = 0.0;
  double first = 0.0;
  double second = 0.0;
  const int l = rule.size;
  // Each point's v = T - u, sigma sqrt v, H(u) and du with the weight, then
  // d+ and d-, and the exponentials and erfc of the integrand, each taken
  // over all points at once: the thread's (up to three panels of the rule),
  // off its stack.
  constexpr int kSize = 3 * kAmericanMaxPoints;
  struct Points {
    double v[kSize], sv[kSize], h[kSize], jac[kSize];
    double d_plus[kSize], d_minus[kSize], root[kSize];
    double rate_exp[kSize], yield_exp[kSize], upper[kSize], lower[kSize];
    double pdf_exp[kSize], root_exp[kSize];
  };
  thread_local Points pt;
  int size = l;
  // Where the integrands change within a small part of the life, [0, T] is
  // cut in v into panels, each with the symmetric rule below. Just above
  // today's boundary they live within v of some (ln(s / B(T)) / sigma)^2
  // (the second slope most: its part d+ phi(d+) (q - r / B) / (s sv^2) holds
  // a fixed mass there however close s is), far inside the rule's end at
  // 6e-10 T for a spot within some 1e-5 of the boundary: a panel of kNearReach
  // times that where it is below kNearShare of the life. On a steep boundary,
  // where the spot's drift at |r - q| brings it to B(T) within the life, at
  // v* = ln(s / B(T)) / |r - q|, they turn on within some sigma sqrt(v*) /
  // |r - q| of v*, a front far narrower than the life: a cut at v*.
  constexpr double kNearReach = 100.0;
  constexpr double kNearShare = 1e-3;
  const double above = log_s + std::sqrt(b.h[0]);  // ln(s / B(T))
  const double near = kNearReach * ((above / p.volatility) * (above / p.volatility));
  double edges[4] = {0.0};
  int panels = 0;
  if (near < kNearShare * t) edges[++panels] = near;
  if (p.scale > 0.0) {
    const double front = above / std::fabs(carry);
    if (front > edges[panels] && front < t) edges[++panels] = front;
  }
  edges[++panels] = t;
  if (p.scale == 0.0 && panels == 1) {
    const PremiumWeights& w = premium_weights(b.nodes, p.power, rule);
    for (int k = 0; k < l; ++k) pt.h[k] = 0.0;
    for (int j = 0; j < b.nodes; ++j) {
      const double hj = b.h[j];
      const double* column = w.weight.data() + static_cast<std::size_t>(j) * l;
      for (int k = 0; k < l; ++k) pt.h[k] += column[k] * hj;
    }
    for (int k = 0; k < l; ++k) {
      pt.v[k] = t * rule.v[k];
      pt.sv[k] = sv_full * rule.root_v[k];
      pt.jac[k] = t * rule.weight[k];
    }
  } else {
    // The nodes' variable at a time to expiry u.
    const SteepMap map(p);
    auto xi = [&](double u) {
      if (p.scale > 0.0) return map.xi(u);
      const double root = std::sqrt(u / t);
      return 2.0 * (p.power == 2 ? std::sqrt(root) : root) - 1.0;
    };
    auto add = [&](int k, double u, double v, double jac) {
      pt.v[k] = v;
      pt.sv[k] = p.volatility * std::sqrt(v);
      pt.jac[k] = jac;
      pt.h[k] = interpolate_at(b, xi(u));
    };
    if (panels == 1) {
      for (int k = 0; k < l; ++k) {
        add(k, t * (rule.root_u[k] * rule.root_u[k]), t * rule.v[k], t * rule.weight[k]);
      }
    } else {
      // Both ends of a panel carry the integrand, so the panels' rule
      // reaches 2e-17 of the panel at both, t in [-3.2, 3.2]; each point's v
      // (and u in the last panel) from the end it is nearer.
      thread_local PremiumRule panel;
      if (panel.size != l) make_premium_rule(l, panel, 3.2, 3.2);
      size = 0;
      for (int m = 0; m < panels; ++m) {
        const double from = edges[m];
        const double to = edges[m + 1];
        const double span = to - from;
        for (int k = 0; k < l; ++k) {
          const double early = panel.v[k];  // (v - from) / span
          const double late = panel.root_u[k] * panel.root_u[k];  // (to - v) / span
          const double v = early <= 0.5 ? from + span * early : to - span * late;
          const double u = m + 1 == panels && late <= 0.5 ? span * late : t - v;
          add(size++, u, v, span * panel.weight[k]);
        }
      }
    }
  }
  const std::size_t count = static_cast<std::size_t>(size);
  // Without a yield the spot leg is multiplied by 0 (and so are its terms
  // in the slopes): not summed.
  const bool yield = p.dividend != 0.0;
  for (int k = 0; k < size; ++k) {
    const double v = pt.v[k];
    pt.root[k] = std::sqrt(pt.h[k] > 0.0 ? pt.h[k] : 0.0);
    const Kernel<double> d = kernel_d(log_s + pt.root[k], v, pt.sv[k], carry, half_var);
    pt.d_plus[k] = d.d_plus;
    pt.d_minus[k] = d.d_minus;
    pt.yield_exp[k] = -(p.dividend * v);
    pt.rate_exp[k] = -(p.rate * v);
    pt.upper[k] = tarvik::detail::norm_cdf_c_arg(d.d_plus);
    pt.lower[k] = tarvik::detail::norm_cdf_c_arg(d.d_minus);
    pt.pdf_exp[k] = tarvik::detail::norm_pdf_exponent(d.d_plus);
  }
  lanes::exp_each(pt.yield_exp, count, pt.yield_exp);
  lanes::exp_each(pt.rate_exp, count, pt.rate_exp);
  lanes::erfc_each(pt.lower, count, pt.lower);
  if (yield) lanes::erfc_each(pt.upper, count, pt.upper);
  if (slopes) {
    lanes::exp_each(pt.root, count, pt.root_exp);
    lanes::exp_each(pt.pdf_exp, count, pt.pdf_exp);
  }
  for (int k = 0; k < size; ++k) {
    const double sv = pt.sv[k];
    const double d_plus = pt.d_plus[k];
    const double jac = pt.jac[k];
    const double yield_weight = jac * pt.yield_exp[k];
    const double upper = yield ? tarvik::detail::norm_cdf_c_given(d_plus, pt.upper[k]) : 0.0;
    const double lower = tarvik::detail::norm_cdf_c_given(pt.d_minus[k], pt.lower[k]);
    strike_leg += jac * (pt.rate_exp[k] * lower);
    spot_leg += yield_weight * upper;
    if (slopes) {
      const double density = tarvik::detail::norm_pdf_given(d_plus, pt.pdf_exp[k]);
      if (density > 0.0) {
        const double pull = (p.dividend - (p.rate / p.start) * pt.root_exp[k]) / sv;
        first += yield_weight * (density * pull - p.dividend * upper);
        second += yield_weight * (density / (s * sv) * (p.dividend - d_plus * pull));
      } else {
        // Where the density underflows its terms vanish, however steep the
        // pull: X / B(u) = e^{root} overflows where the boundary lies
        // hundreds of units of ln S below X, far beyond the spot's reach.
        first -= yield_weight * (p.dividend * upper);
      }
    }
  }
  if (slopes) *slopes = PremiumSlopes{first, second};
  return p.rate * strike_leg - (p.dividend * s) * spot_leg;
}

Result<SpotSlopes> european_slopes(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call) {
  const Result<double> delta =
      black_scholes_delta(spot, strike, maturity, rate, dividend, volatility, is_call);
  const Result<double> gamma =
      black_scholes_gamma(spot, strike, maturity, rate, dividend, volatility);
  if (!delta || !gamma) return IVError::invalid_input("non-finite American price");
  return SpotSlopes{delta.value(), gamma.value()};
}

Result<SpotSlopes> american_slopes(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call,
                                   double premium, double s, const PremiumSlopes& slopes) {
  const Result<SpotSlopes> e =
      european_slopes(spot, strike, maturity, rate, dividend, volatility, is_call);
  if (!e) return e;
  const SpotSlopes& eu = e.value();
  if (is_call) {
    return SpotSlopes{eu.delta + (premium - s * slopes.first),
                      eu.gamma + (s * s) * slopes.second / spot};
  }
  return SpotSlopes{eu.delta + slopes.first, eu.gamma + slopes.second / strike};
}

}  // namespace tarvik::american
