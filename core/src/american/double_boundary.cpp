// The two exercise boundaries of the put with q < r < 0 as the fixed point
// of their integral equations, and the premium over the region between them
// (Healy 2021, after Andersen, Lake and Offengenden 2016).
//
// With both boundaries known for u < tau, the put's value at S (strike 1) is
//   V(S, tau) = p(S, tau) + int_0^tau [r e^{-r v} (Phi(-d-(v, S/B(u))) - Phi(-d-(v, S/Y(u))))
//                                 - q S e^{-q v} (Phi(-d+(v, S/B(u))) - Phi(-d+(v, S/Y(u))))] du,
// v = tau - u, p the European put, the integrand the single-boundary one
// taken at B less the same at Y: the running gain r - q S of the exercised
// position, earned while S lies between them. The integral runs over the u
// where the region exists, u < min(tau, tau*). Both boundaries solve V = 1 - z,
// which, with 1 = e^{-r tau} + r int_0^tau e^{-r v} du and the same in q, reads
// z = N(z) / D(z) (the form FP-A of Andersen, Lake and Offengenden):
//   N = e^{-r tau} Phi(d-(tau, z)) + r int e^{-r v} [Phi(-d-(v, z/Y(u))) + Phi(d-(v, z/B(u)))] du,
//   D = e^{-q tau} Phi(d+(tau, z)) + q int e^{-q v} [Phi(-d+(v, z/Y(u))) + Phi(d+(v, z/B(u)))] du;
// smooth pasting (dV/dS = -1 at both) gives the form FP-B,
//   z = n(z) / (D(z) + d(z)),
//   n = e^{-r tau} phi(d-(tau, z)) / (sigma sqrt tau)
//       + r int e^{-r v} [phi(d-(v, z/B(u))) - phi(d-(v, z/Y(u)))] / (sigma sqrt v) du,
//   d = e^{-q tau} phi(d+(tau, z)) / (sigma sqrt tau)
//       + q int e^{-q v} [phi(d+(v, z/B(u))) - phi(d+(v, z/Y(u)))] / (sigma sqrt v) du.
// Without Y (Y = 0) both are the single-boundary forms of boundary.cpp.
#include "american/double_boundary.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "american/boundary.hpp"
#include "american/recent.hpp"
#include "batch/stop.hpp"
#include "black/terms.hpp"
#include "lanes/lanes.hpp"
#include "special/erfcx.hpp"
#include "special/inverse_norm_cdf.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/normal.hpp"

namespace tarvik::american {

namespace {

// Sweeps to 1e-10 (1e-11 moved the prices of 560 seeded options by 2e-11
// of the price at most, for a tenth more sweeps; 3e-10 by 3e-9), and to
// kNarrowTolerance where the spread is narrow (narrow_spread): there the
// check of the solution sits near its bound kResidual, which 1e-10 can
// carry it past.
constexpr TwoBoundaryCounts kTwoBoundaryDefault{24, 48, 96, 300, 1e-10};
constexpr double kNarrowTolerance = 1e-11;

// The start's span where the European region closes before T, as a fraction
// of its meeting time; a node counts as open where its gap exceeds kOpen
// times the gap ln(q / r) at tau = 0. Where the gap has closed at E, E shrinks by
// kShrink. The nodes span (1 - kMargin) tau* where the boundaries meet
// before T / (1 - kMargin), settled to kSpanTolerance in at most kRounds
// spans. Until the span settles the sweeps stop at kSpanSweeps, or where
// they stall within 1000 times that (the estimate of tau* moves by some 1e-7
// of itself from one span to the next well before then: the estimate's own
// noise); the last span's sweeps go on to the counts' tolerance. The margin is a layout, not a condition on the
// solution: a span within kSpanTolerance of its target serves as well as
// the target itself.
constexpr double kStartFraction = 0.6;
constexpr double kOpen = 1e-9;
constexpr double kShrink = 0.7;
constexpr double kMargin = 0.05;
constexpr double kSpanTolerance = 2e-3;
constexpr double kSpanSweeps = 1e-7;
constexpr double kLineBack = 0.9;
constexpr int kRounds = 24;
// The most sweeps of a solve over all its spans, kSolveShare of the counts'
// iterations, and the most work of all the solves of a price (node counts,
// forms, spans): kWorkShare of the counts' iterations, in sweeps at the
// counts asked for (work_units; the sweeps and the layouts of the points at
// finer counts count for more), 210 at the default counts, some 0.1 s. Where
// the sweeps do not settle within them the price is no_convergence, not a
// number off by an unknown amount, nor one that took seconds. (At 120 the
// finer counts had no room left where the span took long to find: a put
// with S = K = 100, T = 5, r = -0.01, q = -0.03, sigma = 0.25 kept the
// coarsest counts' solution, 2.8e-9 off, where 210 let it have 2.2e-10.)
constexpr double kSolveShare = 0.5;
constexpr double kWorkShare = 0.7;
constexpr double kLooser = 1000.0;
// The window over which sweeps that have not settled are found stalled.
constexpr int kStallWindow = 20;
constexpr double kFrozen = 1e-8;
constexpr double kLowNegligible = 1e-8;
// The weighted move at the midpoints below which a solution is taken at
// once, and the largest a solution may show at all.
constexpr double kResolved = 3e-8;
constexpr double kResidual = 1e-6;
// The spread is narrow where sigma sqrt(T) is below kNarrowSpread of the
// region's first width ln(q / r) (FP-B wandered at 0.064 of it, a put with
// T = 2, r = -0.03, q = -0.09, sigma = 0.05; FP-A took 69 sweeps where FP-B
// took 10 at 0.094, S = 30, K = 100, T = 0.5, r = -0.005, q = -0.1,
// sigma = 0.4).
constexpr double kNarrowSpread = 0.08;

bool narrow_spread(double maturity, double volatility, double log_low) {
  return !std::isinf(log_low) && volatility * std::sqrt(maturity) < kNarrowSpread * -log_low;
}
// A solution whose check moves by more than kSpurious is not one the nodes
// fail to resolve but a spurious fixed point of the sweeps.
constexpr double kSpurious = 1e-4;

// Phi(a) - Phi(b) for a >= b, each difference taken in the tail where it is
// small so that neither side loses the digits of the other.
inline double cdf_gap(double a, double b) {
  if (b >= 0.0) return norm_cdf_c(b) - norm_cdf_c(a);
  if (a <= 0.0) return norm_cdf(a) - norm_cdf(b);
  return (1.0 - norm_cdf_c(a)) - norm_cdf(b);
}

// The nodes' place in time: sin(theta) = s, theta = pi (1 + x) / 4, and
// tau / E = s^4 (the plain map), or, where the span E is many times the
// time c = sigma^2 / (r - q - sigma^2 / 2)^2 over which the drift of ln S
// outruns its spread (low volatility: the boundaries leave K and K r / q
// within some c of expiry and then hardly move), the steep map
//   tau / E = (sinh(A s) / sinh(A))^4,  A = asinh((E / c)^(1/4)),
// the single-boundary scheme's steep map (boundary.cpp) with s for its
// variable: s^4 on the scale c near expiry, ln tau evenly spread beyond it,
// and the nodes still packed towards E, where the gap of the boundaries is
// read for their meeting time.
struct NodeMap {
  double a = 0.0;   // A; 0 for the plain map
  double sh = 0.0;  // sinh(A)

  static NodeMap of(double a) {
    NodeMap m;
    if (a > 0.0) {
      m.a = a;
      m.sh = elementary::sinh(a);
    }
    return m;
  }
  // tau / E at s = sin(theta).
  double fraction(double s) const {
    if (a == 0.0) return (s * s) * (s * s);
    const double w = elementary::sinh(a * s) / sh;
    return (w * w) * (w * w);
  }
  // x at tau / E, given as its root sqrt(tau / E) and its rest 1 - tau / E.
  // Plain: theta from its sine (tau / E)^(1/4) and its cosine, cos^2 theta =
  // 1 - sqrt(tau / E) = (1 - tau / E) / (1 + sqrt(tau / E)), the latter known
  // more accurately.
  double variable(double root, double rest) const {
    double sin_theta, cos_theta;
    if (a == 0.0) {
      sin_theta = std::sqrt(root);
      cos_theta = std::sqrt(rest / (1.0 + root));
    } else {
      sin_theta = std::min(elementary::asinh(sh * std::sqrt(root)) / a, 1.0);
      cos_theta = std::sqrt((1.0 - sin_theta) * (1.0 + sin_theta));
    }
    return elementary::atan2(sin_theta, cos_theta) * (4.0 / std::numbers::pi) - 1.0;
  }
};

// Spans beyond kSteepSpan times c take the steep map.
constexpr double kSteepSpan = 1000.0;

double map_parameter(double end, double scale) {
  return end > kSteepSpan * scale ? elementary::asinh(std::sqrt(std::sqrt(end / scale))) : 0.0;
}

// The Chebyshev nodes x_j = cos(j pi / n), j = 0..n, and their place in
// time tau_j = E fraction(sin theta_j) (x_0 = 1 is tau = E, x_n = -1 is
// tau = 0).
struct Nodes {
  int n = 0;
  double x[kAmericanMaxNodes + 1];
  double fraction[kAmericanMaxNodes + 1];  // tau_j / E
};

void make_nodes(int n, const NodeMap& map, Nodes& nodes) {
  nodes.n = n;
  for (int j = 0; j <= n; ++j) {
    nodes.x[j] = elementary::cos(std::numbers::pi * j / n);
    const double s = elementary::sin(0.25 * std::numbers::pi * (1.0 + nodes.x[j]));
    nodes.fraction[j] = j == n ? 0.0 : map.fraction(s);
  }
  nodes.fraction[0] = 1.0;
}

// The barycentric weights of the interpolant through x_j = cos(j pi / n)
// (Salzer 1972: (-1)^j, halved at both ends) at x: w[j] for j < n (the value
// at x_n = -1, tau = 0, is 0 for both H_B and H_Y and drops out).
void interpolation_weights(const Nodes& nodes, double x, double* w) {
  const int n = nodes.n;
  double terms[kAmericanMaxNodes + 1];
  double total = 0.0;
  for (int j = 0; j <= n; ++j) {
    const double gap = x - nodes.x[j];
    if (gap == 0.0) {
      for (int m = 0; m < n; ++m) w[m] = m == j ? 1.0 : 0.0;
      return;
    }
    const double sign = j % 2 == 0 ? 1.0 : -1.0;
    terms[j] = (j == 0 || j == n ? 0.5 * sign : sign) / gap;
    total += terms[j];
  }
  for (int j = 0; j < n; ++j) w[j] = terms[j] / total;
}

// The nodes and the Gauss-Legendre rule of the sweeps, per thread, counts
// and map (one set at a time: a reference to it holds until the next call).
struct SweepTables {
  int n = 0;
  int l = 0;
  NodeMap map;
  Nodes nodes;
  ThetaRule rule;
};

const SweepTables& sweep_tables(int n, int l, double map_a) {
  thread_local SweepTables t;
  if (t.n == n && t.l == l && t.map.a == map_a) return t;
  t.map = NodeMap::of(map_a);
  make_nodes(n, t.map, t.nodes);
  if (t.l != l) make_theta_rule(l, t.rule);
  t.n = n;
  t.l = l;
  return t;
}

const PremiumRule& premium_rule(int size) {
  thread_local PremiumRule rule;
  if (rule.size != size) make_premium_rule(size, rule);
  return rule;
}

// The work of a sweep of `rows` nodes over n nodes and l points, or of the
// layout of its points: each point's terms, and its interpolation from the
// n nodes (some 24 nodes' products take as long as the terms).
inline double work_units(int rows, int n, int l) {
  return static_cast<double>(rows) * l * (n + 24);
}

// The perpetual put, where it has a region: with b = r - q - sigma^2 / 2 > 0
// and D = b^2 + 2 sigma^2 r >= 0, sigma^2 / 2 l^2 + b l - r = 0 has two
// negative roots l1 = (-b - sqrt D) / sigma^2 < l2 = 2 r / (b + sqrt D),
// and the perpetual put is exercised on [Y_inf, B_inf] = [K l2 / (l2 - 1),
// K l1 / (l1 - 1)], worth (K - Y_inf) (S / Y_inf)^l2 below it and
// (K - B_inf) (S / B_inf)^l1 above it: both convex and tangent to K - S
// (Battauz, De Donno and Sbuelz, "Real options and American derivatives:
// the double continuation region", Management Science 61(5), 2015). (Where
// D < 0 the roots are complex and every finite life's region closes.)
// Every finite life's put is worth at most that, so its region holds
// [Y_inf, B_inf] (given Y_inf >= K r / q, where exercising earns r K - q S
// >= 0), and a region only shrinks as the life grows.
struct Perpetual {
  bool exists = false;
  double l1 = 0.0, l2 = 0.0;
  double up = 0.0, low = 0.0;  // B_inf / K and Y_inf / K
  double g = 0.0;              // sqrt D
};

Perpetual perpetual_pair(double rate, double dividend, double volatility) {
  Perpetual out;
  const PerpetualEquation e = perpetual_equation(rate, dividend, volatility);
  if (!(e.drift > 0.0 && e.disc >= 0.0)) return out;
  out.g = std::sqrt(e.disc);
  out.l1 = (-e.drift - out.g) / e.var;
  out.l2 = (2.0 * rate) / (e.drift + out.g);
  out.up = out.l1 / (out.l1 - 1.0);
  out.low = out.l2 / (out.l2 - 1.0);
  out.exists = out.low >= rate / dividend;
  return out;
}

struct Put {
  double t, r, q, sigma, half_var, carry, log_low;
  bool form_a = false;  // the sweeps' form: FP-A where set, else FP-B
  double* work_left = nullptr;  // what is left of the work budget (work_units)
  bool steep = false;  // the steep map where the span is long enough for it
  bool short_start = false;  // the first span kStartFraction of T, though the European region outlives T

  // c = sigma^2 / (r - q - sigma^2 / 2)^2 (NodeMap).
  double scale() const {
    const double drift = carry - half_var;
    return (sigma * sigma) / (drift * drift);
  }
  // The nodes' map over the span `end`.
  double map_a(double end) const { return steep ? map_parameter(end, scale()) : 0.0; }
};

// The exercise value less the European put, 1 - z - p(z, tau), at ln z.
double european_excess(const Put& p, double log_z, double tau) {
  const Kernel<double> d = kernel_d(log_z, tau, p.sigma * std::sqrt(tau), p.carry, p.half_var);
  const double z = elementary::exp(log_z);
  return (1.0 - z) - (elementary::exp(-(p.r * tau)) * norm_cdf_c(d.d_minus) -
                      z * (elementary::exp(-(p.q * tau)) * norm_cdf_c(d.d_plus)));
}

// Where that excess peaks in z: its slope -1 + e^{-q tau} Phi(-d+) vanishes
// at d+ = Phi^{-1}(1 - e^{q tau}).
double european_peak(const Put& p, double tau) {
  return p.sigma * std::sqrt(tau) * rational::inverse_norm_cdf(-elementary::expm1(p.q * tau)) -
         (p.carry + p.half_var) * tau;
}

// The root of the excess in ln z between lo (excess < 0) and hi (> 0) or
// the reverse, by bisection refined with the secant.
double excess_root(const Put& p, double tau, double lo, double hi) {
  double f_lo = european_excess(p, lo, tau);
  double f_hi = european_excess(p, hi, tau);
  for (int step = 0; step < 200 && std::fabs(hi - lo) > 1e-13; ++step) {
    double x = lo - f_lo * (hi - lo) / (f_hi - f_lo);
    if (!(std::fabs(x - lo) > 0.01 * std::fabs(hi - lo) && std::fabs(hi - x) > 0.01 * std::fabs(hi - lo))) {
      x = 0.5 * (lo + hi);
    }
    const double f = european_excess(p, x, tau);
    if ((f < 0.0) == (f_lo < 0.0)) {
      lo = x;
      f_lo = f;
    } else {
      hi = x;
      f_hi = f;
    }
  }
  return 0.5 * (lo + hi);
}

// The time to expiry at which the European region {z: 1 - z > p(z, tau)}
// closes, T where it is still open at T (bisection in ln tau).
double european_fold_time(const Put& p) {
  auto fold = [&](double tau) { return european_excess(p, european_peak(p, tau), tau); };
  if (fold(p.t) > 0.0) return p.t;
  double lo = elementary::log(p.t) - 30.0;
  double hi = elementary::log(p.t);
  for (int step = 0; step < 80 && hi - lo > 1e-12; ++step) {
    const double mid = 0.5 * (lo + hi);
    if (fold(elementary::exp(mid)) > 0.0) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return elementary::exp(lo);
}

// The start of the sweeps: the region where exercising now beats the
// European put, {z: 1 - z > p(z, tau)}. It holds the true region (the
// American put is worth at least the European one), the same fold at its
// end, and its own meeting time, at or after tau*.
void european_start(const Put& p, int n, int l, TwoBoundaries& b) {
  const double t = p.t;
  b.end = european_fold_time(p);
  b.meet = b.end < t;
  const Nodes& nodes = sweep_tables(n, l, p.map_a(b.end)).nodes;
  for (int i = 0; i < n; ++i) {
    const double tau = b.end * nodes.fraction[i];
    const double peak = std::min(european_peak(p, tau), 0.0);
    if (!(european_excess(p, peak, tau) > 0.0)) {
      // Only where the excess, some sigma sqrt(tau) of the strike, is lost
      // to rounding (tau within 1e-12 of expiry): the limits K and K r / q.
      b.h_up[i] = 0.0;
      b.h_low[i] = 0.0;
      continue;
    }
    const double up = excess_root(p, tau, peak, 0.0);
    double below = std::min(peak, p.log_low) - 0.1;
    while (european_excess(p, below, tau) > 0.0 && below > -700.0) below -= 1.0;
    const double low = excess_root(p, tau, below, peak);
    b.h_up[i] = up * up;
    const double g = std::isinf(p.log_low) ? 0.0 : std::max(low - p.log_low, 0.0);
    b.h_low[i] = g * g;
  }
  b.h_up[n] = 0.0;
  b.h_low[n] = 0.0;
}



// Anderson mixing (Walker and Ni 2011) of the last kDepth sweeps: with the
// residuals f = G(x) - x, the next iterate is G(x) - dG gamma, gamma the
// least-squares fit of f by the differences dF of past residuals (normal
// equations by modified Gram-Schmidt); the plain sweep where that fit is
// degenerate.
class Anderson {
 public:
  static constexpr int kDepth = 5;
  explicit Anderson(int m) : m_(m), df_(kDepth * m), dg_(kDepth * m), last_f_(m), last_g_(m), q_(kDepth * m), f_(m) {}

  void step(double* x, const double* gx) {
    for (int i = 0; i < m_; ++i) f_[i] = gx[i] - x[i];
    if (have_last_) {
      const int slot = next_;
      for (int i = 0; i < m_; ++i) {
        df_[slot * m_ + i] = f_[i] - last_f_[i];
        dg_[slot * m_ + i] = gx[i] - last_g_[i];
      }
      next_ = (next_ + 1) % kDepth;
      if (count_ < kDepth) ++count_;
    }
    for (int i = 0; i < m_; ++i) {
      last_f_[i] = f_[i];
      last_g_[i] = gx[i];
    }
    have_last_ = true;
    double gamma[kDepth] = {};
    const bool fitted = count_ > 0 && solve(gamma);
    for (int i = 0; i < m_; ++i) {
      double value = gx[i];
      if (fitted) {
        for (int j = 0; j < count_; ++j) value -= dg_[j * m_ + i] * gamma[j];
      }
      x[i] = value;
    }
  }

  void reset() {
    count_ = 0;
    next_ = 0;
    have_last_ = false;
  }

 private:
  bool solve(double* gamma) {
    double r[kDepth][kDepth] = {};
    double rhs[kDepth];
    for (int j = 0; j < count_; ++j) {
      double* qj = q_.data() + j * m_;
      double norm0 = 0.0;
      for (int i = 0; i < m_; ++i) {
        qj[i] = df_[j * m_ + i];
        norm0 += qj[i] * qj[i];
      }
      for (int k = 0; k < j; ++k) {
        const double* qk = q_.data() + k * m_;
        double dot = 0.0;
        for (int i = 0; i < m_; ++i) dot += qk[i] * qj[i];
        r[k][j] = dot;
        for (int i = 0; i < m_; ++i) qj[i] -= dot * qk[i];
      }
      double norm = 0.0;
      for (int i = 0; i < m_; ++i) norm += qj[i] * qj[i];
      if (!(norm > 1e-20 * norm0) || !(norm > 0.0)) return false;
      norm = std::sqrt(norm);
      r[j][j] = norm;
      for (int i = 0; i < m_; ++i) qj[i] /= norm;
    }
    for (int j = 0; j < count_; ++j) {
      double dot = 0.0;
      for (int i = 0; i < m_; ++i) dot += q_[j * m_ + i] * f_[i];
      rhs[j] = dot;
    }
    for (int j = count_ - 1; j >= 0; --j) {
      double value = rhs[j];
      for (int k = j + 1; k < count_; ++k) value -= r[j][k] * gamma[k];
      gamma[j] = value / r[j][j];
      if (!std::isfinite(gamma[j])) return false;
    }
    return true;
  }

  int m_;
  int count_ = 0;
  int next_ = 0;
  bool have_last_ = false;
  std::vector<double> df_, dg_, last_f_, last_g_, q_, f_;
};

}  // namespace

namespace {

// ln B and ln Y of a solved pair past its span E, at tau - E on the lines
// that meet at tau* (and at tau* beyond it).
void lines_at(const TwoBoundaries& b, double past, double& log_up, double& log_low) {
  past = std::min(past, b.meet_time - b.end);
  log_up = b.up_end + b.up_slope * past;
  log_low = b.low_end + b.low_slope * past;
}

// ln B and ln Y of a solved pair on the nodes' interpolant at x.
void interpolated_at(const TwoBoundaries& b, const Nodes& nodes, double x, double& log_up,
                     double& log_low) {
  double w[kAmericanMaxNodes];
  interpolation_weights(nodes, x, w);
  double hb = 0.0;
  double hy = 0.0;
  for (int j = 0; j < b.nodes; ++j) {
    hb += w[j] * b.h_up[j];
    hy += w[j] * b.h_low[j];
  }
  log_up = -std::sqrt(std::max(hb, 0.0));
  log_low = b.log_low + std::sqrt(std::max(hy, 0.0));
}

}  // namespace

void two_boundary_at(const TwoBoundaries& b, double tau, double& log_up, double& log_low) {
  if (tau > b.end) {
    lines_at(b, tau - b.end, log_up, log_low);
    return;
  }
  const NodeMap map = NodeMap::of(b.map_a);
  Nodes nodes;
  make_nodes(b.nodes, map, nodes);
  const double ratio = std::min(std::max(tau / b.end, 0.0), 1.0);
  interpolated_at(b, nodes, map.variable(std::sqrt(ratio), 1.0 - ratio), log_up, log_low);
}

namespace {

// The boundary integrals of node i over v = tau - u in [0, tau], Gauss-
// Legendre in psi in [0, pi/2] with
//   v = tau sinh^2(a sin psi) / sinh^2(a),  a = asinh(sqrt(tau / v_c)),
// v_c = sigma^2 / (r - q)^2 the time over which the drift of ln S outruns
// its spread: where v_c is small against tau (low volatility) the kernels
// change within v of order v_c, which the map resolves on a logarithmic
// scale; where it is large (a -> 0) the map is v = tau sin^2 psi, u = tau
// cos^2 psi, so that both sqrt(v) (the kernel's 1/sqrt(v)) and sqrt(u) (the
// boundary's start) are smooth in psi. u = tau sinh(a (1 - sin psi))
// sinh(a (1 + sin psi)) / sinh^2(a) keeps its digits where it is small.
// Per node and point: sigma sqrt(v), (r - q + sigma^2 / 2) v, the weight
// with the Jacobian and e^{-q v}, and the interpolation weights of the nodes
// at u (the values at tau = 0 are 0 and drop out).
struct Points {
  double end = -1.0;
  int count = 0;                       // points tau_i = E fraction[i] the sweep maps
  double fraction[kAmericanMaxNodes];  // tau_i / E
  std::vector<double> sv, drift, weight, rate_weight, interp;
};

// The sweep's points: the nodes, or (for the check of a solution) the
// midpoints between them; `fraction` their tau / E.
void prepare(const Put& p, const SweepTables& tab, double end, const double* fraction,
             int count, Points& pts) {
  const int n = tab.n;
  const int l = tab.l;
  const ThetaRule& rule = tab.rule;
  pts.count = count;
  for (int i = 0; i < count; ++i) pts.fraction[i] = fraction[i];
  const std::size_t size = static_cast<std::size_t>(count) * l;
  pts.sv.resize(size);
  pts.drift.resize(size);
  pts.weight.resize(size);
  pts.rate_weight.resize(size);
  pts.interp.resize(size * n);
  const double carry = p.r - p.q;
  const double scale = (p.sigma * p.sigma) / (carry * carry);  // v_c
  for (int i = 0; i < count; ++i) {
    const double tau = end * fraction[i];
    const double a = elementary::asinh(std::sqrt(tau / scale));
    const double sh = elementary::sinh(a);
    const bool plain = !(a > 1e-4);
    for (int k = 0; k < l; ++k) {
      const double sp = rule.sin_theta[k];
      const double cp = rule.cos_theta[k];
      double vf, uf, dv;  // v / tau, u / tau, dv / dpsi / tau
      if (plain) {
        vf = sp * sp;
        uf = cp * cp;
        dv = 2.0 * sp * cp;
      } else {
        const double below = (cp * cp) / (1.0 + sp);  // 1 - sin psi
        const double s1 = elementary::sinh(a * sp) / sh;
        vf = s1 * s1;
        uf = elementary::sinh(a * below) * (elementary::sinh(a * (1.0 + sp)) / (sh * sh));
        dv = 2.0 * s1 * (elementary::cosh(a * sp) / sh) * (a * cp);
      }
      const double v = tau * vf;
      const std::size_t at = static_cast<std::size_t>(i) * l + k;
      pts.sv[at] = p.sigma * std::sqrt(v);
      pts.drift[at] = p.carry * v + p.half_var * v;
      pts.weight[at] = rule.weight[k] * (tau * dv) * elementary::exp(-(p.q * v));
      pts.rate_weight[at] = rule.weight[k] * (tau * dv) * elementary::exp(-(p.r * v));
      // (u / E)^(1/4) = sin theta, cos^2 theta = (1 - u / E) / (1 + sqrt(u / E)).
      const double ratio = (tau * uf) / end;
      const double rest = ((end - tau) + v) / end;
      double w[kAmericanMaxNodes];
      interpolation_weights(tab.nodes, tab.map.variable(std::sqrt(ratio), rest), w);
      // Node-major within the row: the sweep sums over the nodes for all
      // the row's points at once.
      double* row = pts.interp.data() + static_cast<std::size_t>(i) * n * l;
      for (int j = 0; j < n; ++j) row[static_cast<std::size_t>(j) * l + k] = w[j];
    }
  }
  pts.end = end;
}

// One sweep of the FP-B form at the nodes i = 0..n-1 of [0, E]: the
// boundaries' next ln B and ln Y - ln(r/q) from the present ones. With
// e^{-r v} phi(d-(v, z/b)) = (z / b) e^{-q v} phi(d+(v, z/b)), the rate's
// densities are the yield's times z / b.
void sweep(const Put& p, const SweepTables& tab, const Points& pts, const double* g_up,
           const double* g_low, const double* at_up, const double* at_low, double* next_up,
           double* next_low) {
  const int n = tab.n;
  const int l = tab.l;
  const std::size_t points = static_cast<std::size_t>(l);
  const double end = pts.end;
  const bool form_a = p.form_a;
  double h_up[kAmericanMaxNodes];
  double h_low[kAmericanMaxNodes];
  for (int j = 0; j < n; ++j) {
    h_up[j] = g_up[j] * g_up[j];
    h_low[j] = g_low[j] * g_low[j];
  }
  double up_at[kAmericanMaxPoints];
  double low_at[kAmericanMaxPoints];
  double up_inv[kAmericanMaxPoints];   // 1 / B(u)
  double low_inv[kAmericanMaxPoints];  // 1 / Y(u)
  for (int i = 0; i < pts.count; ++i) {
    const double tau = end * pts.fraction[i];
    const std::size_t row = static_cast<std::size_t>(i) * l;
    // Each point's sums over the nodes in the nodes' order, the points
    // side by side.
    double sum_up[kAmericanMaxPoints];
    double sum_low[kAmericanMaxPoints];
    for (int k = 0; k < l; ++k) {
      sum_up[k] = 0.0;
      sum_low[k] = 0.0;
    }
    const double* w = pts.interp.data() + row * n;
    for (int j = 0; j < n; ++j, w += l) {
      const double hu = h_up[j];
      const double hl = h_low[j];
      for (int k = 0; k < l; ++k) {
        sum_up[k] += w[k] * hu;
        sum_low[k] += w[k] * hl;
      }
    }
    for (int k = 0; k < l; ++k) {
      double up = -std::sqrt(std::max(sum_up[k], 0.0));
      double low = p.log_low + std::sqrt(std::max(sum_low[k], 0.0));
      // Where the interpolants cross (no region), the region is empty.
      if (up < low) up = low = 0.5 * (up + low);
      up_at[k] = up;
      low_at[k] = low;
      up_inv[k] = -up;
      low_inv[k] = -low;
    }
    // The exponentials of a point's row, here and below, over the row at
    // once in the lanes.
    lanes::exp_each(up_inv, points, up_inv);
    lanes::exp_each(low_inv, points, low_inv);
    for (int k = 0; k < l; ++k) {
      if (std::isinf(low_at[k])) low_inv[k] = 0.0;  // Y = 0 (r = 0): no terms
    }
    const double sv0 = p.sigma * std::sqrt(tau);
    const double er = elementary::exp(-(p.r * tau));
    const double eq = elementary::exp(-(p.q * tau));
    const double z_log[2] = {at_up[i], p.log_low + at_low[i]};
    double mapped[2] = {0.0, 0.0};
    // Without Y (r = 0) only B's side.
    const int sides = std::isinf(p.log_low) ? 1 : 2;
    for (int side = 0; side < sides; ++side) {
      const double z = z_log[side];
      const double ez = elementary::exp(z);
      double den = 0.0;
      double num = 0.0;
      double num_density = 0.0;
      double den_density = 0.0;
      double dpb[kAmericanMaxPoints], dpy[kAmericanMaxPoints];
      double eb[kAmericanMaxPoints], ey[kAmericanMaxPoints];
      double cb[kAmericanMaxPoints], cy[kAmericanMaxPoints];
      for (int k = 0; k < l; ++k) {
        const std::size_t at = row + k;
        const double sv = pts.sv[at];
        dpb[k] = ((z - up_at[k]) + pts.drift[at]) / sv;
        dpy[k] = ((z - low_at[k]) + pts.drift[at]) / sv;
        // The densities' exponentials serve the distribution functions too
        // (exp is 0 below -746 on its own).
        eb[k] = tarvik::detail::norm_pdf_exponent(dpb[k]);
        ey[k] = tarvik::detail::norm_pdf_exponent(dpy[k]);
        cy[k] = tarvik::detail::norm_cdf_c_arg(dpy[k] - sv);
        cb[k] = tarvik::detail::norm_cdf_arg(dpb[k] - sv);
      }
      lanes::exp_each(eb, points, eb);
      lanes::exp_each(ey, points, ey);
      double region[kAmericanMaxPoints];
      lanes::american_region_cdf(dpb, dpy, eb, ey, points, region);
      if (form_a) {
        lanes::erfc_each(cy, points, cy);
        lanes::erfc_each(cb, points, cb);
      }
      for (int k = 0; k < l; ++k) {
        const std::size_t at = row + k;
        const double sv = pts.sv[at];
        const double fb = eb[k] * kInvSqrtTwoPi;
        const double fy = ey[k] * kInvSqrtTwoPi;
        const double yw = pts.weight[at];
        den += yw * region[k];
        if (form_a) {
          num += pts.rate_weight[at] *
                 (tarvik::detail::norm_cdf_c_given(dpy[k] - sv, cy[k]) +
                  tarvik::detail::norm_cdf_given(dpb[k] - sv, cb[k]));
        }
        num_density += yw / sv * (ez * (up_inv[k] * fb - low_inv[k] * fy));
        den_density += yw / sv * (fb - fy);
      }
      const Kernel<double> d0 = kernel_d(z, tau, sv0, p.carry, p.half_var);
      const double value = form_a ? (er * norm_cdf(d0.d_minus) + p.r * num) / (eq * norm_cdf(d0.d_plus) + p.q * den) : (er * norm_pdf(d0.d_minus) / sv0 + p.r * num_density) /
                           (eq * norm_cdf(d0.d_plus) + p.q * den +
                            eq * norm_pdf(d0.d_plus) / sv0 + p.q * den_density);
      mapped[side] = value > 0.0 ? elementary::log(value) : z;
    }
    next_up[i] = std::min(mapped[0], 0.0);
    next_low[i] = std::isinf(p.log_low) ? 0.0 : std::max(mapped[1] - p.log_low, 0.0);
  }
}

// Sweeps at a fixed span E from x = (ln B at the nodes, ln Y - ln(r/q) at
// the nodes), with Anderson mixing (its history kept from the sweeps before
// at the same span: a solve that goes on to a tighter tolerance goes on
// where it was); returns the number taken, negative
// where they stopped at the limit or stalled without settling. Where they
// stall or stop after a sweep that moved by `accept` or less, that sweep's
// result stands, as settled.
int sweeps_at(const Put& p, const SweepTables& tab, const Points& pts,
              const TwoBoundaryCounts& counts, double accept, Anderson& mix, double* x) {
  const int n = tab.n;
  double gx[2 * kAmericanMaxNodes];
  const double cost = work_units(pts.count, n, tab.l);
  Stall stall(kStallWindow);
  double kept[2 * kAmericanMaxNodes];  // the result of the sweep that moved least
  auto give_up = [&](int s) {
    if (!(stall.least() <= accept)) return -s;
    for (int i = 0; i < 2 * n; ++i) x[i] = kept[i];
    return s;
  };
  for (int s = 1; s <= counts.iterations; ++s) {
    if (p.work_left) {
      // Out of work, or the batch stopped (Ctrl-C: a refused price can take
      // some 0.15 s, an implied volatility of them seconds).
      if (*p.work_left < cost || batch::stop_requested()) return give_up(s);
      *p.work_left -= cost;
    }
    sweep(p, tab, pts, x, x + n, x, x + n, gx, gx + n);
    // The nodes within kFrozen of the span from expiry keep their start:
    // there sigma sqrt(tau) is some 1e-8 of the strike and the sweeps' sums
    // of nearly cancelling terms can merge the two boundaries, which no
    // later sweep undoes; the start is as close to the boundaries there as
    // the boundaries are to their limits K and K r / q.
    for (int i = 0; i < n; ++i) {
      if (tab.nodes.fraction[i] < kFrozen) {
        gx[i] = x[i];
        gx[n + i] = x[n + i];
      }
    }
    // A node's move weighted by sqrt(tau / E), as for one boundary: the
    // nodes within 1e-10 of the span from expiry carry rounding noise of
    // 1e-6 in ln B (and almost no price).
    double moved = 0.0;
    for (int i = 0; i < n; ++i) {
      const double weight = std::sqrt(tab.nodes.fraction[i]);
      moved = std::max(moved, std::fabs(gx[i] - x[i]) * weight);
      moved = std::max(moved, std::fabs(gx[n + i] - x[n + i]) * weight);
    }
    if (moved <= counts.tolerance) {
      for (int i = 0; i < 2 * n; ++i) x[i] = gx[i];
      return s;
    }
    // Sweeps that stall (at low volatility FP-B can wander about 1e-4 for
    // hundreds of sweeps where FP-A settles in twenty) give way at once.
    if (moved < stall.least()) {
      for (int i = 0; i < 2 * n; ++i) kept[i] = gx[i];
    }
    if (stall.after(s, moved)) return give_up(s);
    mix.step(x, gx);
    for (int i = 0; i < n; ++i) {
      x[i] = std::min(x[i], 0.0);
      x[n + i] = std::max(x[n + i], 0.0);
    }
  }
  return give_up(counts.iterations);
}

}  // namespace

namespace {

// The solve from the European start; a last span whose sweeps stall after
// moving by `accept` or less stands (sweeps_at).
// The solve from the European start, or, where `kept` is given, from that
// solution (at coarser counts) over its span, kept: its last span's sweeps
// only.
void solve_with(const Put& p, const TwoBoundaryCounts& counts, double accept, TwoBoundaries& b,
                const TwoBoundaries* kept = nullptr) {
  const int n = counts.nodes;
  const int l = counts.points;
  // The tables of the present span (sweep_tables: one set at a time).
  auto tables = [&](double span) { return &sweep_tables(n, l, p.map_a(span)); };
  const SweepTables* tab = nullptr;
  b.nodes = n;
  b.log_low = p.log_low;
  b.sweeps = 0;
  b.converged = true;
  b.meet_time = std::numeric_limits<double>::infinity();
  if (p.work_left && *p.work_left <= 0.0) {
    b.converged = false;
    return;
  }
  double x[2 * kAmericanMaxNodes];
  double end = 0.0;
  if (kept) {
    end = kept->end;
    b.up_slope = kept->up_slope;
    b.low_slope = kept->low_slope;
    b.meet_time = kept->meet_time;
    tab = tables(end);
    for (int i = 0; i < n; ++i) {
      double up, low;
      two_boundary_at(*kept, end * tab->nodes.fraction[i], up, low);
      if (up < low) up = low = 0.5 * (up + low);
      x[i] = std::min(up, 0.0);
      x[n + i] = std::isinf(p.log_low) ? 0.0 : std::max(low - p.log_low, 0.0);
    }
  } else {
    european_start(p, n, l, b);
    end = b.end;
  }
  if (!kept && (b.meet || p.short_start)) {
    // The European region closes at b.end, after the American one: start
    // from its shape over a shorter span. (Also where asked: see
    // solve_two_boundaries.)
    Put shorter = p;
    end = kStartFraction * b.end;
    shorter.t = end;
    european_start(shorter, n, l, b);
  }
  auto load = [&]() {
    for (int i = 0; i < n; ++i) {
      x[i] = -std::sqrt(b.h_up[i]);
      x[n + i] = std::sqrt(b.h_low[i]);
    }
  };
  if (!kept) load();
  auto gap = [&](int i) { return x[i] - (p.log_low + x[n + i]); };
  // The present solution over [0, from] (the lines through its last two
  // nodes past it) at the nodes of [0, to].
  auto resample = [&](double from, double to) {
    thread_local TwoBoundaries old;
    old.nodes = n;
    old.end = from;
    old.log_low = p.log_low;
    old.map_a = p.map_a(from);
    old.meet_time = std::numeric_limits<double>::infinity();
    for (int i = 0; i < n; ++i) {
      old.h_up[i] = x[i] * x[i];
      old.h_low[i] = x[n + i] * x[n + i];
    }
    old.h_up[n] = 0.0;
    old.h_low[n] = 0.0;
    old.up_end = x[0];
    old.low_end = p.log_low + x[n];
    old.up_slope = b.up_slope;
    old.low_slope = b.low_slope;
    const SweepTables* next = tables(to);
    for (int i = 0; i < n; ++i) {
      double up, low;
      two_boundary_at(old, to * next->nodes.fraction[i], up, low);
      if (up < low) up = low = 0.5 * (up + low);
      x[i] = std::min(up, 0.0);
      x[n + i] = std::max(low - p.log_low, 0.0);
    }
  };
  // The span E of the nodes: T where the region outlives T by a margin,
  // else (1 - kMargin) tau*, tau* extrapolated from the gap w = ln B - ln Y
  // at the last two nodes (it closes linearly in tau* - tau, as the
  // coincidence set of an obstacle problem with a source shrinks to its
  // last point); past E the boundaries are the lines through them. The
  // estimate of tau* hardly depends on E, so E settles in a few solves.
  double closed_end = std::numeric_limits<double>::infinity();
  thread_local Points pts;
  TwoBoundaryCounts loose = counts;
  loose.tolerance = std::max(counts.tolerance, kSpanSweeps);
  // Y = 0 throughout: the region never closes, and the first span is the
  // last; so is a span kept.
  const bool last = std::isinf(p.log_low) || kept;
  Anderson mix(2 * n);
  double last_step = std::numeric_limits<double>::quiet_NaN();  // the last span's move
  for (int round = 0; round < kRounds; ++round) {
    tab = tables(end);
    prepare(p, *tab, end, tab->nodes.fraction, n, pts);
    if (p.work_left) *p.work_left -= work_units(n, n, l);
    mix.reset();
    int taken = sweeps_at(p, *tab, pts, last ? counts : loose,
                          last ? accept : kLooser * loose.tolerance, mix, x);
    b.sweeps += taken < 0 ? -taken : taken;
    b.converged = taken > 0;
    if (b.sweeps > kSolveShare * counts.iterations) b.converged = false;
    if (!b.converged) break;
    if (kept && !std::isinf(p.log_low)) {
      // The span kept: closed there at these counts, no solution; else tau*
      // and the lines past E as below.
      const double t1 = end * tab->nodes.fraction[1];
      if (!(gap(0) > kOpen * -p.log_low)) {
        b.converged = false;
      } else if (gap(1) > gap(0)) {
        b.meet_time = end + gap(0) * (end - t1) / (gap(1) - gap(0));
        b.up_slope = (x[0] - x[1]) / (end - t1);
        b.low_slope = (x[n] - x[n + 1]) / (end - t1);
      }
      break;
    }
    if (last) break;
    if (!(gap(0) > kOpen * -p.log_low)) {
      // Closed at E: E is past tau*. Start again over a shorter span.
      closed_end = std::min(closed_end, end);
      Put shorter = p;
      end *= kShrink;
      shorter.t = end;
      european_start(shorter, n, l, b);
      load();
      last_step = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    // tau* on the line through the gaps at E and at the node a tenth of the
    // span before it, where the gap closes linearly already (the last two
    // nodes lie within some 1e-4 of the span of each other, and the
    // difference of their gaps is mostly the sweeps' noise). Not closing at
    // E (the gap no narrower than there): no meeting in sight.
    const double t0 = end;
    const double t1 = end * tab->nodes.fraction[1];
    int back = 1;
    while (back + 1 < n && tab->nodes.fraction[back] > kLineBack) ++back;
    const double tb = end * tab->nodes.fraction[back];
    const double meet = gap(back) > gap(0) ? t0 + gap(0) * (t0 - tb) / (gap(back) - gap(0))
                                           : std::numeric_limits<double>::infinity();
    double target = std::min(p.t, (1.0 - kMargin) * meet);
    const double step = target - end;
    // Where the steps shrink geometrically (the estimate of tau* from a
    // short span falls short of it by a share of what the span leaves out),
    // the limit of their series (Aitken), at most four steps on.
    const double ratio = step / last_step;
    if (target < p.t && ratio > 0.0 && ratio < 0.9) {
      target = std::min(p.t, end + std::min(step / (1.0 - ratio), 4.0 * step));
    }
    last_step = step;
    // Never back to a span found closed: halfway to it instead.
    if (target >= closed_end) target = 0.5 * (end + closed_end);
    b.meet_time = meet;
    b.up_slope = (x[0] - x[1]) / (t0 - t1);
    b.low_slope = (x[n] - x[n + 1]) / (t0 - t1);
    // The span stays where the next one would be within kSpanTolerance of
    // it, as estimated or as held below a span found closed (the spans would
    // otherwise creep toward that one by halves, a round each, to kRounds).
    if (std::fabs(step) <= kSpanTolerance * end || std::fabs(target - end) <= kSpanTolerance * end ||
        round + 1 == kRounds) {
      // The span stays: its sweeps on to the counts' tolerance, and the
      // estimate of tau* and the lines past E from them.
      taken = sweeps_at(p, *tab, pts, counts, accept, mix, x);
      b.sweeps += taken < 0 ? -taken : taken;
        b.converged = taken > 0 && b.sweeps <= kSolveShare * counts.iterations;
      if (!b.converged) break;
      if (gap(1) > gap(0)) {
        b.meet_time = t0 + gap(0) * (t0 - t1) / (gap(1) - gap(0));
        b.up_slope = (x[0] - x[1]) / (t0 - t1);
        b.low_slope = (x[n] - x[n + 1]) / (t0 - t1);
      }
      break;
    }
    // The boundaries over [0, tau] do not depend on the span beyond tau (the
    // equations are of Volterra type): the next span starts from the present
    // solution at its own nodes, on the lines past E where it is longer.
    resample(end, target);
    end = target;
  }
  b.end = end;
  b.map_a = p.map_a(end);
  b.meet = b.meet_time <= p.t;
  b.up_end = x[0];
  b.low_end = p.log_low + x[n];
  if (!(b.meet_time < std::numeric_limits<double>::infinity()) || b.end >= p.t) {
    b.meet_time = std::numeric_limits<double>::infinity();
  } else {
    // The lines' own meeting time (the estimate, from the same two nodes).
    b.meet_time = b.end + (b.up_end - b.low_end) / (b.low_slope - b.up_slope);
  }
  for (int i = 0; i < n; ++i) {
    b.h_up[i] = x[i] * x[i];
    b.h_low[i] = x[n + i] * x[n + i];
  }
  b.h_up[n] = 0.0;
  b.h_low[n] = 0.0;
}

}  // namespace

namespace {

// The check of a solution: the FP-B map at the midpoints between the nodes,
// x = cos((j + 1/2) pi / n), from the interpolated boundaries, where the
// sweeps never looked; its largest move there, weighted by sqrt(tau / E) as
// theirs. A solution that the nodes resolve moves by about as much as the
// interpolation's error; a spurious fixed point of the sweeps (at low
// volatility over long lives they can settle on one) by far more.
double midpoint_residual(Put p, const TwoBoundaryCounts& counts, const TwoBoundaries& b) {
  p.form_a = false;
  const int n = b.nodes;
  const SweepTables& tab = sweep_tables(n, counts.points, b.map_a);
  double fraction[kAmericanMaxNodes];
  double at_up[kAmericanMaxNodes];
  double at_low[kAmericanMaxNodes];
  double g_up[kAmericanMaxNodes];
  double g_low[kAmericanMaxNodes];
  for (int j = 0; j < n; ++j) {
    const double x = elementary::cos(std::numbers::pi * (j + 0.5) / n);
    const double s = elementary::sin(0.25 * std::numbers::pi * (1.0 + x));
    fraction[j] = tab.map.fraction(s);
    double up, low;
    two_boundary_at(b, b.end * fraction[j], up, low);
    at_up[j] = up;
    at_low[j] = std::isinf(p.log_low) ? 0.0 : low - p.log_low;
    g_up[j] = -std::sqrt(b.h_up[j]);
    g_low[j] = std::sqrt(b.h_low[j]);
  }
  thread_local Points pts;
  prepare(p, tab, b.end, fraction, n, pts);
  double out_up[kAmericanMaxNodes];
  double out_low[kAmericanMaxNodes];
  sweep(p, tab, pts, g_up, g_low, at_up, at_low, out_up, out_low);
  double worst = 0.0;
  for (int j = 0; j < n; ++j) {
    if (fraction[j] < kFrozen) continue;
    const double weight = std::sqrt(fraction[j]);
    worst = std::max(worst, std::fabs(out_up[j] - at_up[j]) * weight);
    worst = std::max(worst, std::fabs(out_low[j] - at_low[j]) * weight);
  }
  return std::isfinite(worst) ? worst : std::numeric_limits<double>::infinity();
}

// FP-B; FP-A where it does not settle (at low volatility FP-B loses its
// footing, as it can for one boundary), from the start again; then FP-B to
// a looser tolerance (where q is close to r the region is a sliver living
// seconds to days, whose sweeps carry noise near 1e-11 and whose premium is
// some 1e-10 of the price or less). Sweeps that stall within that looser
// tolerance stand at once. FP-A first where `form_a` is set (the coarser
// counts' choice); on return `form_a` is set where FP-A settled.
void solve_settled(Put p, const TwoBoundaryCounts& counts, TwoBoundaries& b, bool& form_a) {
  const double accept = kLooser * counts.tolerance;
  p.form_a = form_a;
  solve_with(p, counts, accept, b);
  if (b.converged) return;
  int taken = b.sweeps;
  p.form_a = !form_a;
  solve_with(p, counts, accept, b);
  taken += b.sweeps;
  form_a = p.form_a;
  if (!b.converged) {
    form_a = false;
    TwoBoundaryCounts looser = counts;
    looser.tolerance = accept;
    p.form_a = false;
    solve_with(p, looser, accept, b);
    taken += b.sweeps;
  }
  b.sweeps = taken;
}

}  // namespace

namespace {

// The steep map's solve, after the plain map's failed, gets kSteepShare of
// the work budget afresh (over 4,000 seeded options it priced as many on
// half as on all of it, and a refusal takes some 1.5 times as long as
// before, not twice).
constexpr double kSteepShare = 0.5;

void solve_counts(const Put& p, const TwoBoundaryCounts& counts, TwoBoundaries& b) {
  // The counts, then a third more of each, then twice as many, until the
  // solution's check at the midpoints moves by kResolved or less; the best
  // of them where it moves by kResidual or less, else none.
  int taken = 0;
  TwoBoundaries best;
  best.residual = std::numeric_limits<double>::infinity();
  // FP-A first where the region is wide against the spread over the life
  // (FP-B loses its footing there, wandering where FP-A settles).
  bool form_a = narrow_spread(p.t, p.sigma, p.log_low);
  for (int attempt = 0; attempt < 3; ++attempt) {
    TwoBoundaryCounts c = counts;
    const int scale = attempt == 0 ? 3 : attempt == 1 ? 4 : 6;
    c.nodes = std::min(counts.nodes * scale / 3, kAmericanMaxNodes);
    c.points = std::min(counts.points * scale / 3, kAmericanMaxPoints);
    bool settled = false;
    if (attempt > 0 && b.residual <= kResidual) {
      // From the coarser counts' solution, which they leave short by about
      // its check's move, over its span: its last span's sweeps only.
      thread_local TwoBoundaries coarser;
      coarser = b;
      Put warm = p;
      warm.form_a = form_a;
      solve_with(warm, c, kLooser * c.tolerance, b, &coarser);
      taken += b.sweeps;
      settled = b.converged;
    }
    if (!settled) {
      solve_settled(p, c, b, form_a);
      taken += b.sweeps;
    }
    b.residual = b.converged ? midpoint_residual(p, c, b) : std::numeric_limits<double>::infinity();
    if (b.residual < best.residual) best = b;
    if (b.residual <= kResolved) break;
    // The form that settled, for the finer counts; the other one where it
    // settled on a spurious fixed point.
    if (b.converged && !(b.residual <= kSpurious)) form_a = !form_a;
  }
  b = best;
  b.sweeps = taken;
  b.converged = b.residual <= kResidual;
}

}  // namespace

void solve_two_boundaries(double maturity, double rate, double dividend, double volatility,
                          const TwoBoundaryCounts& counts, TwoBoundaries& b, bool without_low) {
  const double log_low = rate == 0.0 || without_low ? -std::numeric_limits<double>::infinity()
                                                    : elementary::log(rate / dividend);
  const double budget =
      kWorkShare * counts.iterations * work_units(counts.nodes, counts.nodes, counts.points);
  double work_left = budget;
  Put p{maturity,     rate, dividend, volatility, 0.5 * (volatility * volatility),
        rate - dividend, log_low, false, &work_left};
  solve_counts(p, counts, b);
  // Where the plain map fails and the life is long enough for the steep
  // one, the steep map, on a budget of its own (at low volatility the
  // plain map's nodes miss the boundaries' first move within some c of
  // expiry). Where the plain map settles, its prices stand as they were:
  // the steep map, tried first, lost 12 of 4,000 seeded options that the
  // plain one prices.
  // A solve after those before failed, on a budget of its own: it stands
  // where it settled, or (where `closer`) where its check moved less.
  auto fall_back = [&](bool closer) {
    const int taken = b.sweeps;
    thread_local TwoBoundaries other;
    work_left = kSteepShare * budget;
    solve_counts(p, counts, other);
    other.sweeps += taken;
    if (other.converged || (closer && !(other.residual >= b.residual))) b = other;
    b.sweeps = other.sweeps;
  };
  if (!b.converged && map_parameter(maturity, p.scale()) > 0.0) {
    p.steep = true;
    fall_back(/*closer=*/true);
    p.steep = false;
  }
  // Where the European region outlives T the first span is T itself, and
  // from the European region's shape over a long life the sweeps can lose
  // their footing where those over a shorter span settle, and carry on to
  // T from there (a put with S = K = 100, T = 30, r = -3%, q = -9%, sigma =
  // 0.2: no sweeps settle over 30 years from the European start; from 18
  // years, 17 sweeps, and 11 more over 30 from that). Where all else failed:
  // that first span, on a budget of its own.
  if (b.converged || !(european_fold_time(p) >= maturity)) return;
  p.short_start = true;
  fall_back(/*closer=*/false);
}

namespace {

// The share of the region's life below which a front of the integrand gets
// panels of its own (two_boundary_premium).
constexpr double kFrontShare = 0.1;

// How closely the premiums of a short span's two extensions must agree.
constexpr double kBracket = 1e-9;

// The premium of the put at spot s (strike 1) over the region between the
// solved boundaries, u in [0, E], by the tanh-sinh rule in u / E; with its
// first and second derivatives in s where slopes is given. The integrand of
// each boundary is the single-boundary one (put_premium of boundary.cpp):
//   f(s; b) = r e^{-r v} Phi(-d-(v, s/b)) - q s e^{-q v} Phi(-d+(v, s/b)),
//   f'  = e^{-q v} [phi(d+) (q - r / b) / (sigma sqrt v) - q Phi(-d+)],
//   f'' = e^{-q v} phi(d+) / (s sigma sqrt v) [q - d+ (q - r / b) / (sigma sqrt v)],
// v = T - u, and the premium is int [f(s; B(u)) - f(s; Y(u))] du.
double two_boundary_premium(const Put& p, const TwoBoundaries& b, const PremiumRule& rule,
                            double s, PremiumSlopes* slopes) {
  const NodeMap map = NodeMap::of(b.map_a);
  Nodes nodes;
  make_nodes(b.nodes, map, nodes);
  const double log_s = elementary::log(s);
  double total = 0.0;
  double first = 0.0;
  double second = 0.0;
  auto add = [&](double up, double low, double v, double jac) {
    if (!(up > low)) return;
    const double sv = p.sigma * std::sqrt(v);
    const Kernel<double> db = kernel_d(log_s - up, v, sv, p.carry, p.half_var);
    const Kernel<double> dy = kernel_d(log_s - low, v, sv, p.carry, p.half_var);
    const double er = elementary::exp(-(p.r * v));
    const double eq = elementary::exp(-(p.q * v));
    // Phi(-d(s/B)) - Phi(-d(s/Y)) = Phi(d(s/Y)) - Phi(d(s/B)), d(s/Y) >= d(s/B).
    total += jac * (p.r * er * cdf_gap(dy.d_minus, db.d_minus) -
                    (p.q * s) * (eq * cdf_gap(dy.d_plus, db.d_plus)));
    if (slopes) {
      const double pull_b = (p.q - p.r * elementary::exp(-up)) / sv;
      const double fb = norm_pdf(db.d_plus);
      // Where Y = 0 (r = 0) its terms vanish: phi(d+) = 0 with r / Y = 0 / 0.
      const double fy = std::isinf(low) ? 0.0 : norm_pdf(dy.d_plus);
      const double pull_y = fy > 0.0 ? (p.q - p.r * elementary::exp(-low)) / sv : 0.0;
      first += jac * eq * ((fb * pull_b - fy * pull_y) - p.q * cdf_gap(dy.d_plus, db.d_plus));
      second += jac * eq / (s * sv) *
                (p.q * (fb - fy) - (db.d_plus * fb * pull_b - dy.d_plus * fy * pull_y));
    }
  };
  const double e = b.end;
  const double rest = p.t - e;
  const double last = std::min(p.t, b.meet_time);
  // ln B and ln Y at a time to expiry u in [0, last]: the nodes' interpolant
  // over [0, E] (u / E and 1 - u / E from u and E - u), the lines past it.
  auto bounds_at = [&](double u, double rest_u, double& up, double& low) {
    if (u > e) {
      lines_at(b, u - e, up, low);
    } else {
      interpolated_at(b, nodes, map.variable(std::sqrt(u / e), rest_u / e), up, low);
    }
  };
  // At low volatility a spot outside the region drifts into it, or out of
  // it, along ln s + mu v (mu = r - q - sigma^2 / 2): the integrand turns on
  // or off within some sigma sqrt(v*) / |mu| of the time v* at which that
  // line crosses a boundary. Where that front is narrower than kFrontShare
  // of the region's life, the rule over the whole life, whose points lie
  // some 5% of it apart in the middle, misses it (a put with S = 10, K =
  // 100, T = 30, r = -1%, q = -5%, sigma = 0.3%, crossing Y 17 years on:
  // 4e-6 of the price off at 96 points, 1e-10 at 400). There [T - last, T]
  // in v is cut at each such v* (and at T - E, where the lines take over),
  // each panel taking the symmetric rule, which reaches both its ends.
  const double mu = p.carry - p.half_var;
  double edges[5] = {p.t - last};
  int panels = 0;
  if (mu != 0.0) {
    for (const bool upper : {false, true}) {
      // The line less the boundary at v; its sign change on (T - last, T),
      // bisected (the boundaries are continuous, the line straight).
      auto gap_at = [&](double v) {
        double up, low;
        bounds_at(p.t - v, v - (p.t - e), up, low);
        return (log_s + mu * v) - (upper ? up : low);
      };
      if (!upper && std::isinf(b.log_low)) continue;
      double lo = p.t - last;
      double hi = p.t;
      const double at_lo = gap_at(lo);
      if (!(at_lo * gap_at(hi) < 0.0)) continue;
      for (int k = 0; k < 60 && hi - lo > 1e-12 * p.t; ++k) {
        const double mid = 0.5 * (lo + hi);
        ((gap_at(mid) < 0.0) == (at_lo < 0.0) ? lo : hi) = mid;
      }
      const double front = 0.5 * (lo + hi);
      const double width = p.sigma * std::sqrt(front) / std::fabs(mu);
      if (width < kFrontShare * last) edges[++panels] = front;
    }
  }
  if (panels > 0) {
    if (last > e) edges[++panels] = p.t - e;
    edges[++panels] = p.t;
    for (int i = 2; i < panels; ++i) {
      for (int j = i; j > 1 && edges[j] < edges[j - 1]; --j) std::swap(edges[j], edges[j - 1]);
    }
    thread_local PremiumRule panel;
    if (panel.size != rule.size) make_premium_rule(rule.size, panel, 3.2, 3.2);
    for (int m = 0; m < panels; ++m) {
      const double from = edges[m];
      const double to = edges[m + 1];
      const double span = to - from;
      if (!(span > 0.0)) continue;
      for (int k = 0; k < panel.size; ++k) {
        // Each point's v from the end it is nearer, and its u = T - v from
        // u = 0 in the last panel.
        const double early = panel.v[k];                         // (v - from) / span
        const double late = panel.root_u[k] * panel.root_u[k];  // (to - v) / span
        const double v = early <= 0.5 ? from + span * early : to - span * late;
        const double u = m + 1 == panels && late <= 0.5 ? span * late : p.t - v;
        double up, low;
        bounds_at(u, e - u, up, low);
        add(up, low, v, span * panel.weight[k]);
      }
    }
    if (slopes) *slopes = PremiumSlopes{first, second};
    return total;
  }
  // u in [0, E] on the nodes' interpolant, v = T - u = (T - E) + E (1 - u / E).
  for (int k = 0; k < rule.size; ++k) {
    const double vf = rule.v[k];
    double up, low;
    interpolated_at(b, nodes, map.variable(rule.root_u[k], vf), up, low);
    add(up, low, rest + e * vf, e * rule.weight[k]);
  }
  // u in [E, min(T, tau*)] on the lines, where the boundaries meet before T
  // / (1 - 5%): the same rule on that span.
  if (last > e) {
    const double span = last - e;
    for (int k = 0; k < rule.size; ++k) {
      const double uf = rule.root_u[k] * rule.root_u[k];
      double up, low;
      lines_at(b, span * uf, up, low);
      add(up, low, (p.t - last) + span * rule.v[k], span * rule.weight[k]);
    }
  }
  if (slopes) *slopes = PremiumSlopes{first, second};
  return total;
}

}  // namespace

Result<double> two_boundary_price(const AmericanScheme& scheme, double spot, double strike,
                                  double maturity, double rate, double dividend, double volatility,
                                  bool is_call, double european, SpotSlopes* slopes) {
  // The put form: a call is the put on spot K and strike S, r and q swapped.
  const double ps = is_call ? strike : spot;
  const double pk = is_call ? spot : strike;
  const double pr = is_call ? dividend : rate;
  const double pq = is_call ? rate : dividend;
  const double exercise = std::max(pk - ps, 0.0);
  TwoBoundaryCounts counts = kTwoBoundaryDefault;
  counts.nodes = std::min(std::max(counts.nodes, scheme.nodes), kAmericanMaxNodes);
  counts.points = std::min(std::max(counts.points, scheme.boundary_points), kAmericanMaxPoints);
  counts.price_points = std::min(std::max(counts.price_points, scheme.price_points), kAmericanMaxPoints);
  counts.iterations = std::max(counts.iterations, scheme.iterations);
  if (scheme.tolerance > 0.0) counts.tolerance = std::min(counts.tolerance, scheme.tolerance);
  if (narrow_spread(maturity, volatility, elementary::log(pr / pq))) {
    counts.tolerance = std::min(counts.tolerance, kNarrowTolerance);
  }
  // The premium is at most the running gain r K - q S <= (r - q) K, earned
  // while S lies in the region, within the European region's life tau_E
  // (which outlasts the American one), discounted by e^{-r T} at most. The
  // region is at most g = ln(q / r) wide in ln S, where S at time v has a
  // density below 1 / (sigma sqrt(2 pi v)): the premium is below (r - q) K
  // e^{-r T} min(tau_E, 2 g sqrt(tau_E) / (sigma sqrt(2 pi))). Where that is
  // below 1e-11 of max(price, 1e-4 K) (q close to r, where the region is a
  // sliver whose sweeps lose their digits) the price is the European one.
  {
    const Put e{maturity, pr, pq, volatility, 0.5 * (volatility * volatility), pr - pq,
                elementary::log(pr / pq)};
    const double life = pr < 0.0 ? european_fold_time(e) : maturity;
    const double width = elementary::log(pq / pr);
    double bound = ((pr - pq) * pk) * elementary::exp(-(pr * maturity)) *
                   std::min(life, 2.0 * width * std::sqrt(life) /
                                      (volatility * std::sqrt(2.0 * std::numbers::pi)));
    // The region lies within [K r / q, K]: from a spot outside it, the time
    // spent there is at most T times the largest chance of being there at
    // any v <= T, Phi(-m) with m = min_v (a + c v) / (sigma sqrt v), a the
    // log-distance to the nearer end and c the drift of ln S away from it.
    // (Deep out of the money, and far below K r / q at low volatility.)
    const double s = ps / pk;
    const double mu = (pr - pq) - 0.5 * (volatility * volatility);
    const double a = s > 1.0 ? elementary::log(s) : s < pr / pq ? elementary::log((pr / pq) / s) : 0.0;
    if (a > 0.0) {
      const double c = s > 1.0 ? mu : -mu;
      const double m = c > 0.0 && a / c < maturity
                           ? 2.0 * std::sqrt(a * c) / volatility
                           : (a + c * maturity) / (volatility * std::sqrt(maturity));
      bound = std::min(bound, ((pr - pq) * pk) * elementary::exp(-(pr * maturity)) * maturity *
                                  norm_cdf(-m));
    }
    if (pr < 0.0 && bound <= 1e-11 * std::max(european, 1e-4 * pk)) {
      if (slopes) {
        const Result<SpotSlopes> eu =
            european_slopes(spot, strike, maturity, rate, dividend, volatility, is_call);
        if (!eu) return eu.error();
        *slopes = eu.value();
      }
      return std::max(european, exercise);
    }
  }
  const Perpetual perpetual = perpetual_pair(pr, pq, volatility);
  if (perpetual.exists) {
    const double up = pk * perpetual.up;
    const double low = pk * perpetual.low;
    if (ps >= low * (1.0 + 1e-12) && ps <= up * (1.0 - 1e-12)) {
      if (slopes) *slopes = SpotSlopes{is_call ? 1.0 : -1.0, 0.0};
      return exercise;
    }
    // Outside it, at log-distance d from the nearer end, stopping there when
    // the spot reaches it before T falls short of the perpetual value by
    // (K - end) E[e^{-r tau} 1{T < tau < inf}], which the change of drift
    // from b to g = sqrt D (toward the end below, away from it above)
    // bounds by the perpetual value times Phi((d - g T) / (sigma sqrt T)):
    // where that is below 1e-11 of max(value, 1e-4 K) and 1e-3 of the value,
    // the price is the perpetual value (a long life at low volatility, where
    // the boundaries settle at the perpetual ones and the sweeps of Y lose
    // their footing).
    if (ps < low || ps > up) {
      const bool below = ps < low;
      const double end = below ? low : up;
      const double power = below ? perpetual.l2 : perpetual.l1;
      const double d = std::fabs(elementary::log(ps / end));
      const double value = (pk - end) * elementary::exp(power * elementary::log(ps / end));
      const double gap = value * norm_cdf((d - perpetual.g * maturity) /
                                          (volatility * std::sqrt(maturity)));
      if (perpetual_reached(gap, value, pk)) {
        if (slopes) *slopes = power_slopes(value, power, spot, is_call);
        return std::max(value, std::max(european, exercise));
      }
    }
  }
  // Where r is close to 0 the lower boundary lies near K r / q, where the
  // gain r K - q S is at most |r| K: taking Y = 0 adds at most |r| K T
  // e^{|r| T} to the premium, below 1e-8 of the price where that is. (The
  // sweeps of Y at tens of units of ln S below B lose digits there.)
  const bool without_low = -pr * pk * maturity * elementary::exp(-(pr * maturity)) <=
                           kLowNegligible * std::max(european, 1e-4 * pk);
  // Solved once a thread for the options that share all but spot and
  // strike (recent.hpp), a pair that did not settle as well; over the life
  // or, below, over a shorter span.
  using Pairs = Recent<TwoBoundaries, TwoBoundaries, 9, 16>;
  auto solved_over = [&](double span) -> const TwoBoundaries& {
    const Pairs::Key key{key_word(span),         key_word(pr),           key_word(pq),
                         key_word(volatility),   key_word(counts.nodes), key_word(counts.points),
                         key_word(counts.iterations), key_word(counts.tolerance),
                         key_word(without_low)};
    return Pairs::find(key, [&](TwoBoundaries& out) {
      solve_two_boundaries(span, pr, pq, volatility, counts, out, without_low);
    });
  };
  const TwoBoundaries& b = solved_over(maturity);
  const double s = ps / pk;
  const double log_s = elementary::log(s);
  const Put p{maturity, pr, pq, volatility, 0.5 * (volatility * volatility), pr - pq,
              b.log_low};
  if (!b.converged && perpetual.exists) {
    // A shorter span E, whose sweeps may settle where the whole life's did
    // not (over a long life at low volatility those of Y lose their
    // footing), brackets the price: past E the region lies between
    // [Y_inf, B_inf] and [Y(E), B(E)] (it shrinks as the life grows and
    // holds the perpetual one), and the premium, an integral of the gain
    // r K - q S >= 0 over the region, grows with it. Where the two premiums
    // agree to kBracket of max(price, 1e-4 K), their midpoint is the price.
    int taken = b.sweeps;
    for (double share = 0.5; share >= 0.125; share *= 0.5) {
      const double span = share * maturity;
      const TwoBoundaries& part = solved_over(span);
      taken += part.sweeps;
      if (!part.converged || part.meet_time <= span) continue;
      thread_local TwoBoundaries wide, narrow;
      wide = part;
      wide.meet = false;
      wide.meet_time = std::numeric_limits<double>::infinity();
      wide.up_slope = 0.0;
      wide.low_slope = 0.0;
      narrow = wide;
      narrow.up_end = elementary::log(perpetual.up);
      narrow.low_end = std::isinf(p.log_low) ? p.log_low : elementary::log(perpetual.low);
      const PremiumRule& rule = premium_rule(counts.price_points);
      PremiumSlopes hi_slopes{}, lo_slopes{};
      const double hi = pk * two_boundary_premium(p, wide, rule, s, slopes ? &hi_slopes : nullptr);
      const double lo = pk * two_boundary_premium(p, narrow, rule, s, slopes ? &lo_slopes : nullptr);
      if (!(std::fabs(hi - lo) <= kBracket * std::max(european + lo, 1e-4 * pk))) continue;
      const double premium = 0.5 * (hi + lo);
      const double value = european + premium;
      if (!std::isfinite(value)) return IVError::invalid_input("non-finite American price");
      if (slopes) {
        const PremiumSlopes mid{0.5 * (hi_slopes.first + lo_slopes.first),
                                0.5 * (hi_slopes.second + lo_slopes.second)};
        const Result<SpotSlopes> both = american_slopes(
            spot, strike, maturity, rate, dividend, volatility, is_call, premium / pk, s, mid);
        if (!both) return both.error();
        *slopes = both.value();
      }
      return std::max(value, exercise);
    }
    return IVError::no_convergence_of("the American option's two exercise boundaries", taken);
  }
  if (!b.converged) {
    return IVError::no_convergence_of("the American option's two exercise boundaries", b.sweeps);
  }
  if (!(b.meet_time < maturity)) {
    // Within today's region [Y(T), B(T)]: exercise now.
    double up, low;
    two_boundary_at(b, maturity, up, low);
    if (log_s >= low && log_s <= up) {
      if (slopes) *slopes = SpotSlopes{is_call ? 1.0 : -1.0, 0.0};
      return exercise;
    }
  }
  PremiumSlopes premium_slopes{};
  const double premium =
      pk * two_boundary_premium(p, b, premium_rule(counts.price_points), s,
                                slopes ? &premium_slopes : nullptr);
  const double value = european + premium;
  if (!std::isfinite(value)) return IVError::invalid_input("non-finite American price");
  if (slopes) {
    const Result<SpotSlopes> both = american_slopes(spot, strike, maturity, rate, dividend,
                                                    volatility, is_call, premium / pk, s,
                                                    premium_slopes);
    if (!both) return both.error();
    *slopes = both.value();
  }
  return std::max(value, exercise);
}

}  // namespace tarvik::american
