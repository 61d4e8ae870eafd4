// European and American options on a stock with cash dividends, by backward
// recursion over the ex-dates (the recursive integration of Haug, Haug and
// Lewis, Wilmott Magazine 2003, with the value between ex-dates on uniform
// log-spot grids as Vellekoop and Nieuwenhuis, Applied Mathematical Finance
// 13(3), 2006):
//
//   F_m(S) = Black-Scholes(S, K, T - t_m)                       (closed form),
//   F_k(S) = e^{-r dt} E[F_{k+1}(max(S e^{mu dt + w Z} - D_{k+1}, 0))],
//
// dt = t_{k+1} - t_k, w = vol sqrt(dt), mu = r - q - vol^2/2, Z standard
// normal; the price is F_0(S_0).
//
// F_k is a Gaussian smoothing of width w in ln S, so a grid of spacing w/4
// read by 16-point Lagrange interpolation holds it to some 1e-12; the grid
// covers where the spot can be just after the k-th dividend but for odds of
// 1e-21 (9.5 standard deviations, the dividends taken at their largest).
// Each level's expectation is a trapezoid sum in u = ln S', the log-spot
// after the next dividend, where F_{k+1} keeps its own width: in the spot
// before the dividend the cap S' = S - D squeezes F_{k+1}'s features near
// S' = 0 into ever narrower ones. The samples fall on F_{k+1}'s grid nodes,
// at a step of at most a quarter of the narrower of w and F_{k+1}'s width,
// and the integrand fades smoothly at both ends, so the sum converges as
// the trapezoid rule does for a Gaussian (e^{-2 pi^2 (w/s)^2}). A put's
// closed form enters as the call's by put-call parity on the spot after the
// dividend (the put's slope at S' = 0 would not fade). Where the last
// stretch's move vol sqrt(T - t_m) is narrower than w, the order of the
// last expectation is exchanged: Gauss-Hermite over the narrow move
// outside, the wide one in closed form inside. The last expectation, at
// S_0, is a sum over Gauss-Legendre panels broken at the cap (and for one
// dividend at the strike, toward which they narrow), with its derivatives
// in ln S_0 as weights z and z^2 - 1 on the same points.
//
// American calls with q <= 0 and r >= q: between ex-dates the call is worth
// more alive than exercised (kAmericanScope below), so it is exercised
// only just before a dividend, and the recursion takes
//   F_k(S) = e^{-r dt} E[max(S_- - K, F_{k+1}(max(S_- - D_{k+1}, 0)))]
// (Roll 1977, Geske 1979 and Whaley 1981 for one dividend; the same max at
// each ex-date for many). The max is the continuation's sum above plus the
// exercise gain S - K - F(S - D) over the region where it is positive, an
// interval (F is convex), on Gauss-Legendre panels whose ends fall on the
// region's: a trapezoid sum across the kink would converge as s^2 only.
//
// Design and measured error: reference/dividend_smoothing.py is the same
// recursion with Gauss-Legendre expectations everywhere (converged to 3e-12);
// tests/test_dividends.py holds the two together.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

#include "batch/stop.hpp"
#include "dividends/exercise_boundary.hpp"
#include "dividends/gauss.hpp"
#include "dividends/reach.hpp"
#include "lanes/lanes.hpp"
#include "tarvik/american.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/dividends.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"
#include "search/differences.hpp"
#include "search/volatility.hpp"

namespace tarvik {
namespace dividends {
namespace {

using elementary::exp;
using elementary::log;

constexpr int kStencil = 16;         // Lagrange nodes of a grid's interpolation
constexpr double kSpacing = 0.25;    // a grid's spacing, in units of its smoothing w
constexpr double kSampleStep = 0.25;  // a trapezoid sum's step, in units of the narrower width
// The most points of one grid or one level's samples, and of all grids and
// the reach's terms together (a price then takes seconds at most): a
// schedule beyond them (dividends seconds apart, thousands of them) is
// no_convergence, never an hour's computation.
constexpr std::size_t kMostPoints = std::size_t{1} << 18;
constexpr double kMostWork = 0x1p22;
// The most terms of one level's sums (grid nodes times samples each), and
// of the last expectation's Gauss-Legendre panels.
constexpr double kMostTerms = 0x1p26;
constexpr double kMostPanels = 0x1p16;
// The work the prices of one implied volatility or one Greeks dict share
// (exercise_boundary.cpp's terms: some three prices' most, up to some four
// seconds; at 1.4e8 one of the seeded portfolio's Greeks dicts lost its
// dividend rho).
constexpr double kSharedWork = 2e8;
constexpr const char* kTooFine =
    "the dividend recursion (too many dividends, or too close together for the volatility)";

// The barycentric weights of kStencil equally spaced nodes, (-1)^i C(15, i).
struct Barycentric {
  double w[kStencil];
  Barycentric() {
    double c = 1.0;
    for (int i = 0; i < kStencil; ++i) {
      w[i] = (i % 2 ? -c : c);
      c = c * (kStencil - 1 - i) / (i + 1);
    }
  }
};
const Barycentric kBarycentric;

struct Option {
  double strike, maturity, rate, yield, vol;
  bool call;
  double mu;                      // r - q - vol^2/2
  std::vector<double> t, d;       // the dividends that count: t <= T, d > 0
  bool american = false;          // a call exercised just before its ex-dates
  bool american_put = false;      // a put never exercised early: at least K - S
};

// F_m, the Black-Scholes value over the last stretch tau = T - t_m >= 0
// (the payoff at tau = 0). A put's trapezoid sums take the call's value,
// which fades at S = 0, and put-call parity adds the rest (parity_part).
struct Closed {
  double strike, tau, u, carry, d_q, d_r;
  bool call;

  double call_value(double s) const {
    if (!(s > 0.0)) return 0.0;
    if (tau == 0.0) return std::max(s - strike, 0.0);
    const double d1 = (log(s / strike) + carry * tau) / u + 0.5 * u;
    return s * d_q * norm_cdf(d1) - strike * d_r * norm_cdf(d1 - u);
  }
  double value(double s) const {
    const double c = call_value(s);
    return call ? c : c + strike * d_r - std::max(s, 0.0) * d_q;
  }
};

// F_k on ln S = a + i h, i = 0..n: F_k(0) below, a call's forward value
// slope S - intercept above (0 for a put).
struct Grid {
  double a = 0.0, h = 1.0;
  std::vector<double> v;
  double at_zero = 0.0, slope = 0.0, intercept = 0.0;

  double operator()(double s) const {
    if (!(s > 0.0)) return at_zero;
    const double u = (log(s) - a) / h;
    const double n = static_cast<double>(v.size() - 1);
    if (!(u >= 0.0)) return at_zero;
    if (u > n) return slope * s - intercept;
    const double top = n - (kStencil - 1);
    const double first = std::clamp(std::floor(u) - (kStencil / 2 - 1), 0.0, top);
    const std::size_t f = static_cast<std::size_t>(first);
    double num = 0.0, den = 0.0;
    for (int i = 0; i < kStencil; ++i) {
      const double d = u - (first + i);
      if (d == 0.0) return v[f + i];
      const double c = kBarycentric.w[i] / d;
      num += c * v[f + i];
      den += c;
    }
    return num / den;
  }
};

// The value function after dividend k: the closed form or a grid.
struct Level {
  const Closed* closed = nullptr;
  const Grid* grid = nullptr;
  double width = 0.0;  // its finest feature in ln S
  // The part of it a trapezoid sum samples: the call's value for the closed form.
  double sampled(double s) const { return closed ? closed->call_value(s) : (*grid)(s); }
  double operator()(double s) const { return closed ? closed->value(s) : (*grid)(s); }
};

// One stretch between ex-dates: y = x + mu dt + w Z over dt, discount d_r.
struct Move {
  double dt, w, mu, d_r;  // d_r = e^{-r dt}
};

// The intervals of [lo, hi] where f > 0, f sampled `step` apart and each
// sign change refined by bisection to the last bits.
template <class F>
std::vector<std::pair<double, double>> positive_intervals(const F& f, double lo, double hi,
                                                         double step) {
  std::vector<std::pair<double, double>> out;
  const double n = std::max(1.0, std::ceil((hi - lo) / step));
  double a = lo;
  bool positive = f(lo) > 0.0;
  double start = lo;
  for (double i = 1.0; i <= n; i += 1.0) {
    const double b = i == n ? hi : lo + step * i;
    if ((f(b) > 0.0) == positive) {
      a = b;
      continue;
    }
    double l = a, r = b;
    for (int it = 0; it < 200; ++it) {
      const double mid = 0.5 * (l + r);
      if (!(mid > l && mid < r)) break;
      ((f(mid) > 0.0) == positive ? l : r) = mid;
    }
    if (positive) {
      out.emplace_back(start, l);
    } else {
      start = r;
    }
    positive = !positive;
    a = b;
  }
  if (positive) out.emplace_back(start, hi);
  return out;
}

// Points of a sum over the post-dividend log-spot u: y = ln(e^u + D) and
// weight (the rule's weight times the integrand and dy/du).
struct Samples {
  std::vector<double> ys, weights;
};

// The ends of Gauss-Legendre panels over [a, b]: `breaks` inside it, and
// between them panels at most `width` long.
std::vector<double> panel_ends(double a, double b, std::vector<double> breaks, double width) {
  breaks.push_back(a);
  breaks.push_back(b);
  std::sort(breaks.begin(), breaks.end());
  std::vector<double> ends;
  for (std::size_t e = 0; e + 1 < breaks.size(); ++e) {
    const double lo = std::max(a, breaks[e]), hi = std::min(b, breaks[e + 1]);
    if (!(hi > lo)) continue;
    const double panels = std::ceil((hi - lo) / width);
    if (!(panels < kMostPanels)) return {};
    const double len = (hi - lo) / panels;
    for (double k = 0.0; k < panels; k += 1.0) ends.push_back(lo + len * k);
    ends.push_back(hi);
  }
  return ends;
}

// The exercise gain of an American call over the level below the dividend:
// S - K - F(S - D) at S = e^u + D where it is positive, as points of a sum
// over u between `lo` and `hi`, the region found at `step` apart. Below lo F
// is at its value at 0 (under a grid; or the spot is past the reach), so a
// region reaching lo reaches as far down as the gain's factor e^u counts
// (e^-36: some 1e-16 of D). False where the panels would be too many.
bool exercise_samples(const Level& next, double strike, double dividend, double lo, double hi,
                      double step, double width, Samples& out) {
  const auto gain = [&](double u) {
    const double after = exp(u);
    return (after + dividend) - strike - next(after);
  };
  std::vector<double> breaks;
  if (next.closed) {
    // The payoff's kink at the strike, at the last stretch's width and the
    // dyadic multiples of it up to the move's.
    const double k = log(next.closed->strike);
    breaks.push_back(k);
    for (double e = next.closed->u; e > 0.0 && e < width; e += e) {
      breaks.push_back(k - e);
      breaks.push_back(k + e);
    }
  }
  const GaussRule& gl = legendre_rule();
  for (auto [a, b] : positive_intervals(gain, lo, hi, step)) {
    if (a == lo) {
      a = std::min(lo, dividend > strike ? log(dividend) - 36.0 : log(strike - dividend));
    }
    const std::vector<double> ends = panel_ends(a, b, breaks, width);
    if (ends.empty()) return false;
    for (std::size_t e = 0; e + 1 < ends.size(); ++e) {
      const double half = 0.5 * (ends[e + 1] - ends[e]), mid = 0.5 * (ends[e + 1] + ends[e]);
      if (!(half > 0.0)) continue;
      for (std::size_t g = 0; g < gl.x.size(); ++g) {
        const double u = mid + half * gl.x[g];
        const double after = exp(u);
        out.ys.push_back(log(after + dividend));
        out.weights.push_back(half * gl.w[g] * (after / (after + dividend) * gain(u)));
      }
    }
  }
  return out.ys.size() < kMostPoints;
}

// sum_j weights_j phi((ys_j - mean) / w) / w over the points within the
// reach of the mean; ys increasing, `lo` the first point still in reach of
// the last (lower) mean.
double gaussian_sum(const Samples& p, double mean, double w, std::size_t& lo,
                    std::vector<double>& kernel) {
  while (lo < p.ys.size() && p.ys[lo] < mean - kReach * w) ++lo;
  std::size_t hi = lo;
  while (hi < p.ys.size() && p.ys[hi] <= mean + kReach * w) ++hi;
  const std::size_t len = hi - lo;
  if (kernel.size() < len) kernel.resize(len);
  for (std::size_t k = 0; k < len; ++k) {
    const double z = (p.ys[lo + k] - mean) / w;
    kernel[k] = -0.5 * (z * z);
  }
  lanes::exp_each(kernel.data(), len, kernel.data());
  double sum = 0.0;
  for (std::size_t k = 0; k < len; ++k) sum += kernel[k] * p.weights[lo + k];
  return kInvSqrtTwoPi / w * sum;
}

// E[max(e^y - K, 0); y < ln D] for y = mean + w Z: where the cap takes the
// whole spot (F there at 0), an American call is exercised if S > K.
double capped_exercise(double strike, double dividend, double mean, double w) {
  if (!(dividend > strike)) return 0.0;
  const double a = (log(strike) - mean) / w, b = (log(dividend) - mean) / w;
  const double forward = exp(mean + 0.5 * (w * w));
  return forward * (norm_cdf(b - w) - norm_cdf(a - w)) - strike * (norm_cdf(b) - norm_cdf(a));
}

// The expectation part put-call parity adds to a put's closed form at
// log-spot x: K e^{-r tau} - e^{-q tau} E[max(e^y - D, 0)].
double parity_part(const Closed& c, const Move& m, double x, double dividend) {
  const double mean = x + m.mu * m.dt;
  const double forward = exp(mean + 0.5 * (m.w * m.w));
  const double z = (log(dividend) - mean) / m.w;
  const double after = forward * norm_cdf_c(z - m.w) - dividend * norm_cdf_c(z);
  return c.strike * c.d_r - c.d_q * after;
}

// The last stretch exchanged: e^{-r(dt + tau)} E_Y[A E_Z[payoff]] with
// A = e^{mu tau + u Y} by Gauss-Hermite, the inner expectation over
// e^X = e^{x + mu dt + w Z} in closed form (a call or put on e^X at the
// strike K/A + D, less the cap's part).
double exchanged(const Closed& c, const Move& m, double x, double dividend, double mu) {
  const GaussRule& gh = hermite_rule();
  const double mean = x + m.mu * m.dt;
  const double forward = exp(mean + 0.5 * (m.w * m.w));
  const double z_cap = (log(dividend) - mean) / m.w;
  const double cap = c.call ? 0.0
                            : -dividend * norm_cdf(z_cap) + forward * norm_cdf(z_cap - m.w);
  double sum = 0.0;
  for (std::size_t g = 0; g < gh.x.size(); ++g) {
    const double growth = exp(mu * c.tau + c.u * gh.x[g]);
    const double shifted = c.strike / growth + dividend;
    const double d = (log(shifted) - mean) / m.w;
    const double inner = c.call ? forward * norm_cdf(m.w - d) - shifted * norm_cdf(-d)
                                : shifted * norm_cdf(d) - forward * norm_cdf(d - m.w) + cap;
    sum += gh.w[g] * (growth * inner);
  }
  return m.d_r * (c.d_r * sum);
}

// An American call's exercise just before the dividend at each node of the
// grid: e^{-r dt} E[max(S - K - F(S - D), 0)].
bool add_exercise(const Level& next, const Move& m, double dividend, double mu, double strike,
                  Grid& grid) {
  const std::size_t n = grid.v.size() - 1;
  const double bottom = grid.a + m.mu * m.dt - kReach * m.w;
  const double top = (grid.a + grid.h * static_cast<double>(n)) + m.mu * m.dt + kReach * m.w;
  const double floor = exp(bottom) - dividend;
  const double step = kSampleStep * std::min(m.w, next.width > 0.0 ? next.width : m.w);
  const double lo = next.grid ? next.grid->a : (floor > 0.0 ? log(floor) : log(dividend) - 36.0);
  const double reach_top = exp(top) - dividend;
  if (!(reach_top > 0.0)) return true;
  const double hi = std::max(lo, log(reach_top));
  if (!((hi - lo) / step < static_cast<double>(kMostPoints))) return false;
  Samples points;
  const double width = next.grid ? std::min(m.w, next.width) : m.w;
  if (!exercise_samples(next, strike, dividend, lo, hi, step, width, points)) return false;
  std::vector<double> kernel;
  std::size_t first = 0;
  for (std::size_t i = 0; i <= n; ++i) {
    const double mean = (grid.a + grid.h * static_cast<double>(i)) + mu * m.dt;
    const double gain = gaussian_sum(points, mean, m.w, first, kernel) +
                        capped_exercise(strike, dividend, mean, m.w);
    grid.v[i] = grid.v[i] + m.d_r * gain;
  }
  return true;
}

// F_k on its grid from the level after it (next) over the move m with the
// next dividend; false where its samples would be too many.
bool build_level(const Level& next, const Move& m, double dividend, double mu, Grid& grid) {
  const std::size_t n = grid.v.size() - 1;
  const Closed* c = next.closed;
  if (c && c->u < m.w) {
    for (std::size_t i = 0; i <= n; ++i) {
      grid.v[i] = exchanged(*c, m, grid.a + grid.h * static_cast<double>(i), dividend, mu);
    }
    return true;
  }
  // In u = ln S', the spot after the dividend, with y = ln(e^u + D):
  //   F_k(x) = e^{-r dt} [F(0) + int (F(e^u) - F(0)) phi_w(y(u) - x - mu dt) y'(u) du],
  // y' = e^u / (e^u + D) < 1. In y the cap squeezes F's features near S' = 0
  // into ever narrower ones; in u they keep their width, the Gaussian only
  // widens, and the integrand fades smoothly at both ends (F meets F(0) at
  // the bottom: exactly below a grid), so the trapezoid rule at a quarter of
  // the narrower width converges as for a Gaussian.
  const Grid* g = next.grid;
  const double zero = g ? g->at_zero : 0.0;
  const double target = kSampleStep * std::min(m.w, next.width);
  std::size_t per_cell = 1;  // samples per cell of the next grid
  double u0 = 0.0;
  if (g) {
    per_cell = static_cast<std::size_t>(std::max(1.0, std::ceil(g->h / target)));
    u0 = g->a;
  } else {
    // A call at the last stretch is 0 but for odds of 1e-23 below this.
    u0 = log(c->strike) - std::fabs(c->carry) * c->tau - 10.0 * c->u;
  }
  const double s = g ? g->h / static_cast<double>(per_cell) : target;
  const double top = (grid.a + grid.h * static_cast<double>(n)) + m.mu * m.dt + kReach * m.w;
  const double reach_top = exp(top) - dividend;
  const double u_end = reach_top > 0.0 ? log(reach_top) : u0;
  const double count = std::max(0.0, std::ceil((u_end - u0) / s)) + 1.0;
  const double window = std::min(count, std::ceil(2.0 * kReach * m.w / s) + 1.0);
  if (!(count < static_cast<double>(kMostPoints)) ||
      !(window * static_cast<double>(n + 1) < kMostTerms)) {
    return false;
  }
  const std::size_t samples = static_cast<std::size_t>(count);
  std::vector<double> ys(samples), weights(samples);
  for (std::size_t j = 0; j < samples; ++j) {
    const double u = u0 + s * static_cast<double>(j);
    const double spot = exp(u);
    ys[j] = log(spot + dividend);
    const double value = g && per_cell == 1 && j < g->v.size() ? g->v[j] : next.sampled(spot);
    weights[j] = spot / (spot + dividend) * (value - zero);
  }
  std::vector<double> kernel(samples);
  std::size_t lo = 0, hi = 0;
  const double scale = s / m.w * kInvSqrtTwoPi;
  for (std::size_t i = 0; i <= n; ++i) {
    const double x = grid.a + grid.h * static_cast<double>(i);
    const double mean = x + m.mu * m.dt;
    while (lo < samples && ys[lo] < mean - kReach * m.w) ++lo;
    if (hi < lo) hi = lo;
    while (hi < samples && ys[hi] <= mean + kReach * m.w) ++hi;
    const std::size_t len = hi - lo;
    for (std::size_t k = 0; k < len; ++k) {
      const double z = (ys[lo + k] - mean) / m.w;
      kernel[k] = -0.5 * (z * z);
    }
    lanes::exp_each(kernel.data(), len, kernel.data());
    double sum = 0.0;
    for (std::size_t k = 0; k < len; ++k) sum += kernel[k] * weights[lo + k];
    double value = zero + scale * sum;
    if (c && !c->call) value += parity_part(*c, m, x, dividend);
    grid.v[i] = m.d_r * value;
  }
  return true;
}

// The last expectation at x0 = ln S_0 and its first two derivatives in x0
// (Slopes).
// With `strike` (an American call), the value just before the dividend is
// max(S - K, F(S - D)), its kinks on panel ends.
std::optional<Slopes> first_expectation(const Level& next, const Move& m, double x0,
                                        double dividend, std::optional<double> strike) {
  const GaussRule& gl = legendre_rule();
  const double mean = x0 + m.mu * m.dt;
  std::vector<double> ends = {-kReach, kReach};
  auto add = [&](double z) {
    if (z > -kReach && z < kReach) ends.push_back(z);
  };
  add((log(dividend) - mean) / m.w);
  double width = 1.0;
  if (next.closed) {
    const double at_strike = (log(next.closed->strike + dividend) - mean) / m.w;
    add(at_strike);
    const double narrowest = next.closed->u / m.w;
    for (double e = narrowest; e > 0.0 && e < 1.0; e += e) {
      add(at_strike - e);
      add(at_strike + e);
    }
  } else {
    width = std::min(1.0, next.width / m.w);
  }
  if (!(2.0 * kReach / width < kMostPanels)) return std::nullopt;
  const auto value_before = [&](double z) {
    const double s = exp(mean + m.w * z);
    const double held = next(std::max(s - dividend, 0.0));
    return strike ? std::max(s - *strike, held) : held;
  };
  if (strike) {
    const auto gain = [&](double z) {
      const double s = exp(mean + m.w * z);
      return (s - *strike) - next(std::max(s - dividend, 0.0));
    };
    for (auto [a, b] : positive_intervals(gain, -kReach, kReach, 0.25 * width)) {
      add(a);
      add(b);
    }
  }
  std::sort(ends.begin(), ends.end());
  double s0 = 0.0, s1 = 0.0, s2 = 0.0;
  for (std::size_t e = 0; e + 1 < ends.size(); ++e) {
    const double lo = ends[e], hi = ends[e + 1];
    if (!(hi > lo)) continue;
    const int panels = std::max(1, static_cast<int>(std::ceil((hi - lo) / width)));
    const double len = (hi - lo) / panels;
    for (int k = 0; k < panels; ++k) {
      const double a = lo + len * k;
      const double b = k + 1 == panels ? hi : a + len;
      const double half = 0.5 * (b - a), mid = 0.5 * (b + a);
      for (std::size_t g = 0; g < gl.x.size(); ++g) {
        const double z = mid + half * gl.x[g];
        const double weight = half * gl.w[g] * (kInvSqrtTwoPi * exp(-0.5 * (z * z)));
        const double f = weight * value_before(z);
        s0 += f;
        s1 += f * z;
        s2 += f * (z * z - 1.0);
      }
    }
  }
  return Slopes{m.d_r * s0, m.d_r * s1 / m.w, m.d_r * s2 / (m.w * m.w)};
}

// The price (and its slopes in ln S_0) at vol > 0; no_convergence where a
// grid cannot resolve its smoothing in doubles or would be too large.
Result<Slopes> recurse(const Option& o, double spot) {
  const std::size_t m = o.t.size();
  const double tau = o.maturity - o.t[m - 1];
  const double carry = o.rate - o.yield;
  const Closed closed{o.strike,
                      tau,
                      o.vol * std::sqrt(tau),
                      carry,
                      exp(-(o.yield * tau)),
                      exp(-(o.rate * tau)),
                      o.call};
  Level next{&closed, nullptr, closed.u};
  // The reach's terms alone, m (m - 1) / 2 over the levels, can pass the
  // bound: then at once, not after a second's levels.
  if (!(0.5 * static_cast<double>(m) * static_cast<double>(m - 1) < kMostWork)) {
    return IVError::no_convergence_of(kTooFine, 0);
  }
  std::vector<Grid> grids(m);
  double work = 0.0;
  for (std::size_t k = m - 1; k >= 1; --k) {
    work += static_cast<double>(k);
    // A stopped batch (Ctrl-C) ends here: a level takes a millisecond or so.
    if (!(work < kMostWork) || batch::stop_requested()) {
      return IVError::no_convergence_of(kTooFine, 0);
    }
    const double dt = o.t[k] - o.t[k - 1];
    const Move move{dt, o.vol * std::sqrt(dt), o.mu, exp(-(o.rate * dt))};
    const double dividend = o.d[k];
    double low = 0.0, high = 0.0;
    reach(spot, o.mu, o.vol, o.t, o.d, k - 1, low, high);
    double a = log(dividend) - o.mu * dt - kReach * move.w;
    if (low > 0.0) a = std::max(a, log(low));
    double b = log(std::max(high, std::numeric_limits<double>::min()));
    if (!(b > a)) b = a + move.w;
    const double h = std::min(kSpacing * move.w, (b - a) / (2 * kStencil));
    const double cells = std::ceil((b - a) / h);
    const double resolvable = 0x1p-36 * std::max({1.0, std::fabs(a), std::fabs(b)});
    work += cells;
    if (!(h >= resolvable) || !(cells < static_cast<double>(kMostPoints)) || !(work < kMostWork)) {
      return IVError::no_convergence_of(kTooFine, 0);
    }
    Grid& grid = grids[k];
    grid.a = a;
    grid.h = h;
    grid.v.assign(static_cast<std::size_t>(cells) + 1, 0.0);
    // Below the grid the spot is (all but) 0 and stays there; above it a
    // call is worth its forward less the strike, a put nothing.
    const double left = o.maturity - o.t[k - 1];
    grid.at_zero = o.call ? 0.0 : o.strike * exp(-(o.rate * left));
    if (o.american) {
      // Far above the reach an American call is exercised at the next ex-date.
      grid.slope = exp(-(o.yield * dt));
      grid.intercept = o.strike * exp(-(o.rate * dt));
    } else if (o.call) {
      double later = 0.0;
      for (std::size_t i = k; i < m; ++i) later += o.d[i] * exp(carry * (o.maturity - o.t[i]));
      grid.slope = exp(-(o.yield * left));
      grid.intercept = exp(-(o.rate * left)) * (o.strike + later);
    }
    if (!build_level(next, move, dividend, o.mu, grid) ||
        (o.american && !add_exercise(next, move, dividend, o.mu, o.strike, grid))) {
      return IVError::no_convergence_of(kTooFine, 0);
    }
    next = Level{nullptr, &grid, move.w};
  }
  const double t1 = o.t[0];
  const Move first{t1, o.vol * std::sqrt(t1), o.mu, exp(-(o.rate * t1))};
  std::optional<Slopes> s =
      first_expectation(next, first, log(spot), o.d[0],
                        o.american ? std::optional<double>(o.strike) : std::nullopt);
  if (!s) return IVError::no_convergence_of(kTooFine, 0);
  if (!o.american && next.closed && next.closed->u < first.w) {
    // One dividend, the last stretch the narrower: the exchanged order for
    // the price; the slopes from the panels.
    s->value = exchanged(closed, first, log(spot), o.d[0], o.mu);
  }
  return *s;
}

// The deterministic path at zero volatility: the forward, less each
// dividend (capped at the spot), discounted payoff.
double zero_volatility_price(const Option& o, double spot) {
  double s = spot;
  double before = 0.0;
  const double carry = o.rate - o.yield;
  // An American put with r > 0 is exercised now, just after an ex-date, at
  // expiry, or where its gain's rate q S - r K turns negative within a
  // stretch (the spot falling through r K / q, q > r); a call with q > 0
  // also where the rate of its own, r K - q S, does (the spot rising through
  // r K / q, r > q).
  const bool put_exercise = o.american_put && o.rate > 0.0;
  const bool call_exercise = o.american && o.yield > 0.0;
  const auto stationary = [&](double from, double to, double at) {
    const double edge = o.rate * o.strike / o.yield;
    if (o.call ? !(o.rate > o.yield) || !(at < edge) : !(o.yield > o.rate) || !(at > edge)) {
      return 0.0;
    }
    const double t = from + log(edge / at) / carry;
    return t < to ? exp(-(o.rate * t)) * (o.call ? edge - o.strike : o.strike - edge) : 0.0;
  };
  // An American call's best exercise: now, just before an ex-date, or at expiry.
  double best = o.american ? std::max(spot - o.strike, 0.0)
                : put_exercise ? std::max(o.strike - spot, 0.0)
                               : 0.0;
  for (std::size_t i = 0; i < o.t.size(); ++i) {
    if (put_exercise || call_exercise) best = std::max(best, stationary(before, o.t[i], s));
    s = s * exp(carry * (o.t[i] - before));
    if (o.american) best = std::max(best, exp(-(o.rate * o.t[i])) * (s - o.strike));
    s = std::max(s - o.d[i], 0.0);
    if (put_exercise) best = std::max(best, exp(-(o.rate * o.t[i])) * (o.strike - s));
    before = o.t[i];
  }
  if (put_exercise || call_exercise) best = std::max(best, stationary(before, o.maturity, s));
  s = s * exp(carry * (o.maturity - before));
  const double payoff = o.call ? std::max(s - o.strike, 0.0) : std::max(o.strike - s, 0.0);
  return std::max(best, exp(-(o.rate * o.maturity)) * payoff);
}

Option option_of(double strike, double maturity, double rate, double yield, double vol,
                 bool call, const DividendSchedule& schedule, bool american = false) {
  Option o{strike, maturity, rate, yield, vol, call, rate - yield - 0.5 * (vol * vol), {}, {},
           american && call, american && !call};
  for (std::size_t i = 0; i < schedule.times.size(); ++i) {
    if (schedule.times[i] <= maturity && schedule.amounts[i] > 0.0) {
      o.t.push_back(schedule.times[i]);
      o.d.push_back(schedule.amounts[i]);
    }
  }
  return o;
}

// American exercise in the recursion, where without the dividends early
// exercise would never pay (a call with q <= 0 and r >= q, a put with r <= 0
// and q >= r: the American price is the European one, american.cpp):
// - such a call is exercised only just before an ex-date: between ex-dates,
//   for any value G >= (S - K)+ at the stretch's end, E[e^{-r dt} G(S_dt)]
//   is at least the European call over dt, which is at least S - K there;
// - such a put is never exercised: the drops only raise a put's European
//   price (S_T with them is below S_T without, path by path), which is at
//   least K - S at every time without them. It is the European price.
// A put with r > 0 and q >= 0, and a call with q > 0 and r >= 0, are
// exercised between ex-dates, on one boundary (exercise_boundary.cpp). Other
// American options would need the boundary of an option whose value is not
// 1-Lipschitz in the spot (a put with q < 0, a call with r < 0).
constexpr const char* kAmericanScope =
    "American exercise with cash dividends is priced for calls with dividend <= min(0, rate) "
    "or with dividend > 0 and rate >= 0, and puts with rate <= min(0, dividend) or with "
    "rate > 0 and dividend >= 0 only";

// Which method prices American exercise with dividends: 0 the recursion
// (as above), 1 the boundary between ex-dates, -1 none.
int american_regime(double rate, double yield, bool call) {
  if (american_is_european(rate, yield, call)) return 0;
  if (!call && rate > 0.0 && yield >= 0.0) return 1;
  if (call && yield > 0.0 && rate >= 0.0) return 1;
  return -1;
}

// The checks of black_scholes_price and of the schedule, and for American
// exercise (with dividends that count) its scope; that price into `plain`
// where asked.
Status check_inputs(double spot, double strike, double maturity, double rate, double yield,
                    double vol, bool call, const DividendSchedule& schedule, bool american,
                    double* plain = nullptr) {
  const Result<double> price = black_scholes_price(spot, strike, maturity, rate, yield, vol, call);
  if (!price) return price.error();
  if (plain) *plain = price.value();
  if (Status err = check_dividend_schedule(schedule)) return err;
  if (american && american_regime(rate, yield, call) < 0) {
    return IVError::invalid_input(kAmericanScope);
  }
  return std::nullopt;
}

// The price and slopes of a checked option with dividends that count.
Result<Slopes> price_of(const Option& o, double spot) {
  if (o.vol == 0.0) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return Slopes{zero_volatility_price(o, spot), nan, nan};
  }
  const bool between = (o.american || o.american_put) &&
                       american_regime(o.rate, o.yield, o.call) == 1;
  if (!o.call && !between && !o.t.empty()) {
    // A put held to expiry whose spot cannot fall to the strike by T but
    // for odds of some 1e-21 (reach.hpp): worth 0 within 1e-21 K. It comes
    // through put-call parity as a difference of terms of the forward's
    // size, whose rounding is all that is left of it far out of the money
    // (a spot of 1e10 against a strike of 31 gave 1.5e-5, 1e100 gave 1e85).
    double low, high;
    reach(spot, o.mu, o.vol, o.t, o.d, o.t.size() - 1, low, high);
    const double rest = o.maturity - o.t.back();
    low *= elementary::exp(o.mu * rest - kReach * (o.vol * std::sqrt(rest)));
    if (low > o.strike) return Slopes{0.0, 0.0, 0.0};
  }
  Result<Slopes> s =
      between ? american_slopes_between(
                    DividendAmerican{o.strike, o.maturity, o.rate, o.yield, o.vol, o.call, o.t, o.d},
                    spot)
              : recurse(o, spot);
  if (!s) return s;
  Slopes slopes = s.value();
  if (!std::isfinite(slopes.value)) {
    return IVError::invalid_input("non-finite price with dividends");
  }
  // A put far out of the money comes through put-call parity as a difference
  // of some 1e-14 K, which may round below 0: a price is never negative.
  slopes.value = std::max(slopes.value, 0.0);
  // An American call's value functions are convex, so its price grows with
  // the volatility from the zero-volatility one; deep in the money, where
  // exercise before the first ex-date is all but certain, the sums may round
  // below it (by 1e-15), which its implied volatility would refuse.
  if (o.american || (o.american_put && o.rate > 0.0)) {
    slopes.value = std::max(slopes.value, zero_volatility_price(o, spot));
  }
  if (o.american && spot - o.strike > slopes.value) {
    // Exercised now: S - K, with dV/dx = d2V/dx2 = S.
    slopes = Slopes{spot - o.strike, spot, spot};
  }
  // A put is worth at least K - S: its European price where it is never
  // exercised early (see kAmericanScope) but for the sums' rounding, where
  // the drops are tiny and r = 0.
  if (o.american_put && o.strike - spot > slopes.value) {
    slopes = Slopes{o.strike - spot, -spot, -spot};
  }
  return slopes;
}

}  // namespace
}  // namespace dividends

Status check_dividend_schedule(const DividendSchedule& schedule) {
  if (schedule.times.size() != schedule.amounts.size()) {
    return IVError::invalid_input("dividend_times and dividend_amounts must have one length");
  }
  double before = 0.0;
  for (std::size_t i = 0; i < schedule.times.size(); ++i) {
    const double t = schedule.times[i];
    if (!std::isfinite(t)) return IVError::invalid_input("dividend_times must be finite");
    if (!(t > 0.0)) return IVError::invalid_input("dividend_times must be above 0");
    if (i > 0 && !(t > before)) {
      return IVError::invalid_input("dividend_times must be strictly increasing");
    }
    before = t;
    const double d = schedule.amounts[i];
    if (!std::isfinite(d)) return IVError::invalid_input("dividend_amounts must be finite");
    if (d < 0.0) return IVError::invalid_input("dividend_amounts must not be negative");
  }
  return std::nullopt;
}

namespace dividends {
namespace {

// For American exercise: the schedule's check first, then, without a
// dividend that counts, the continuous-yield function itself (its bits and
// its errors), else nothing.
template <class Plain>
std::optional<decltype(std::declval<Plain>()())> american_without_dividends(
    double maturity, const DividendSchedule& schedule, Plain plain) {
  if (Status err = check_dividend_schedule(schedule)) return *err;
  for (std::size_t i = 0; i < schedule.times.size(); ++i) {
    if (schedule.times[i] <= maturity && schedule.amounts[i] > 0.0) return std::nullopt;
  }
  return plain();
}

Result<double> price(double spot, double strike, double maturity, double rate, double dividend,
                     double volatility, bool is_call, const DividendSchedule& schedule,
                     bool american) {
  if (american) {
    const auto without = american_without_dividends(maturity, schedule, [&] {
      return american_price(spot, strike, maturity, rate, dividend, volatility, is_call);
    });
    if (without) return *without;
  }
  double plain = 0.0;
  if (Status err = check_inputs(spot, strike, maturity, rate, dividend, volatility, is_call,
                                schedule, american, &plain)) {
    return *err;
  }
  const Option o =
      option_of(strike, maturity, rate, dividend, volatility, is_call, schedule, american);
  if (o.t.empty()) return plain;
  const Result<Slopes> s = price_of(o, spot);
  if (!s) return s.error();
  return s.value().value;
}

Result<AmericanGreeks> greeks(double spot, double strike, double maturity, double rate,
                              double dividend, double volatility, bool is_call,
                              const DividendSchedule& schedule, bool american) {
  if (american) {
    const auto without = american_without_dividends(maturity, schedule, [&] {
      return american_greeks(spot, strike, maturity, rate, dividend, volatility, is_call);
    });
    if (without) return *without;
  }
  if (Status err = check_inputs(spot, strike, maturity, rate, dividend, volatility, is_call,
                                schedule, american)) {
    return *err;
  }
  const Option o =
      option_of(strike, maturity, rate, dividend, volatility, is_call, schedule, american);
  if (o.t.empty()) {
    return black_scholes_record(spot, strike, maturity, rate, dividend, volatility, is_call);
  }
  // The price and its ten or so differences within one allowance of work
  // (an American put's boundaries between ex-dates).
  const SharedWork shared(kSharedWork);
  const Result<Slopes> at = price_of(o, spot);
  if (!at) return at.error();
  const double v0 = at.value().value;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (volatility == 0.0) return AmericanGreeks{v0, nan, nan, nan, nan, nan, nan, nan, nan};
  // From the slopes in x = ln S: dV/dS = V_x / S, d2V/dS2 = (V_xx - V_x) / S^2.
  const auto delta_of = [&](const Slopes& s) { return s.dx / spot; };
  const double delta = delta_of(at.value());
  const double gamma = (at.value().dxx - at.value().dx) / (spot * spot);
  // theta = dV/dt from the Black-Scholes equation (no ex-date is at 0)
  // where the option is held, 0 where an American option is exercised now.
  const bool exercised =
      american && v0 == (is_call ? spot - strike : strike - spot) && gamma == 0.0;
  const double theta = exercised ? 0.0
                                 : rate * v0 - (rate - dividend) * spot * delta -
                                       (0.5 * (volatility * volatility)) * (spot * spot) * gamma;
  const auto slopes_at = [&](double vol, double r, double q) -> Slopes {
    const Result<Slopes> s =
        price_of(option_of(strike, maturity, r, q, vol, is_call, schedule, american), spot);
    return s ? s.value() : Slopes{nan, nan, nan};
  };
  // Steps as american_greeks takes them: 1% of the volatility, 1e-3 in the
  // rates, so that the prices' some 1e-12 of noise and the truncation
  // (h^4) both stay near 1e-8.
  const double hv = 0.01 * volatility;
  // Below some 1e-152 no difference in the volatility resolves
  // (search::resolves): those sensitivities are NaN, as american_greeks
  // gives them.
  double vp[5], dp[5];
  for (int j = 0; j < 5; ++j) {
    const Slopes s = j == 2                  ? at.value()
                     : search::resolves(hv) ? slopes_at(volatility + (j - 2) * hv, rate, dividend)
                                            : Slopes{nan, nan, nan};
    vp[j] = s.value;
    dp[j] = delta_of(s);
  }
  const double h = 1e-3;
  // American exercise is priced here within its scope only: a stencil that
  // would leave it is one-sided.
  const double rho = search::derivative(
      [&](double r) { return slopes_at(volatility, r, dividend).value; }, rate, h, v0,
      [&](double r) {
        return !american ||
               american_regime(r, dividend, is_call) == american_regime(rate, dividend, is_call);
      });
  const double dividend_rho = search::derivative(
      [&](double q) { return slopes_at(volatility, rate, q).value; }, dividend, h, v0,
      [&](double q) {
        return !american ||
               american_regime(rate, q, is_call) == american_regime(rate, dividend, is_call);
      });
  return AmericanGreeks{v0,
                        delta,
                        gamma,
                        search::first_difference(vp, hv),
                        theta,
                        search::first_difference(dp, hv),
                        search::second_difference(vp, hv),
                        rho,
                        dividend_rho};
}

Result<double> implied_volatility(double target, double spot, double strike, double maturity,
                                  double rate, double dividend, bool is_call,
                                  const DividendSchedule& schedule, bool american) {
  const double price = target;
  if (american) {
    const auto without = american_without_dividends(maturity, schedule, [&] {
      return american_implied_volatility(price, spot, strike, maturity, rate, dividend, is_call);
    });
    if (without) return *without;
  }
  // Its prices within one allowance of work (an American put's boundaries
  // between ex-dates).
  const SharedWork shared(kSharedWork);
  // The lowest attainable price, with every input check of the pricer.
  const Result<double> floor =
      dividends::price(spot, strike, maturity, rate, dividend, 0.0, is_call, schedule, american);
  if (!floor) return floor;
  const Option o = option_of(strike, maturity, rate, dividend, 0.0, is_call, schedule);
  if (o.t.empty()) {
    return black_scholes_implied_volatility(price, spot, strike, maturity, rate, dividend, is_call);
  }
  if (!std::isfinite(price)) return IVError::invalid_input("non-finite implied-volatility input");
  if (price < floor.value()) return IVError::price_below_intrinsic(price, floor.value());
  if (price == floor.value()) return 0.0;
  const double limit =
      search::price_limit(spot, strike, maturity, rate, dividend, is_call, american);
  if (price >= limit) return IVError::price_above_maximum(price, limit);
  const auto excess = [&](double vol) -> double {
    const Result<double> v =
        dividends::price(spot, strike, maturity, rate, dividend, vol, is_call, schedule, american);
    return v ? v.value() - price : std::numeric_limits<double>::quiet_NaN();
  };
  // The start: the volatility of the same price in the escrowed model (the
  // spot less the dividends' present value X = S - PV at the carry, which
  // alone diffuses), mapped to the jump model's by matching the variance
  // of the spot: while dividends of present value PV_j are still to come
  // the spot is X + PV_j, so sigma_e^2 T ~ sigma^2 sum_j dt_j ((X + PV_j) /
  // X)^2 over the stretches between ex-dates (the adjustment of Bos,
  // Gairat and Shepeleva, "Dealing with discrete dividends", Risk 2003, in
  // its plainest form); the slope is the escrowed vega times the same
  // factor.
  const double carry = rate - dividend;
  double present = 0.0;
  for (std::size_t i = 0; i < o.t.size(); ++i) {
    present += o.d[i] * elementary::exp(-(carry * o.t[i]));
  }
  const double escrowed = spot - present;
  double x = 0.3;
  double slope = 0.0;
  if (escrowed > 0.0) {
    const Result<double> guess = black_scholes_implied_volatility(price, escrowed, strike, maturity,
                                                                  rate, dividend, is_call);
    if (guess && guess.value() > 0.0 && std::isfinite(guess.value())) {
      double weighted = 0.0;
      double before = 0.0;
      double to_come = present;
      for (std::size_t i = 0; i <= o.t.size(); ++i) {
        const double until = i < o.t.size() ? o.t[i] : maturity;
        const double ratio = (escrowed + to_come) / escrowed;
        weighted += (until - before) * (ratio * ratio);
        before = until;
        if (i < o.t.size()) to_come -= o.d[i] * elementary::exp(-(carry * o.t[i]));
      }
      const double factor = std::sqrt(weighted / maturity);
      x = std::min(guess.value() / factor, search::kMaxVolatility);
      const Result<double> vega =
          black_scholes_vega(escrowed, strike, maturity, rate, dividend, guess.value());
      if (vega && vega.value() > 0.0) slope = vega.value() * factor;
    }
  }
  // The price carries some 1e-13 of relative noise (the grids move with the
  // volatility): within 2e-14 of it the volatility is as good as the price.
  search::Rule rule{.close_start = true, .settled = 2e-14 * price};
  if (american && american_regime(rate, dividend, is_call) == 1) {
    // A boundary between ex-dates, marched at a step control's
    // tolerance, moves its price by 1e-12 to 1e-9 of itself as the
    // volatility moves (seeded portfolio): there the search also ends where
    // its steps stall within 1e-9 of max(price, 1e-4 K), and a price within
    // that of the floor tells nothing of the volatility. Within 5% of the
    // price the floor is deep in the money, where the steps go on ln(price -
    // floor) (search::Rule::deep).
    const double gap = price - floor.value();
    rule.noisy = 1e-9 * std::max(price, 1e-4 * strike);
    rule.deep = gap < 0.05 * price;
    if (!(gap > rule.noisy)) return IVError::no_convergence(1);
  }
  return search::volatility(excess, floor.value() - price, x, slope, rule);
}

}  // namespace
}  // namespace dividends

Result<double> european_price(double spot, double strike, double maturity, double rate,
                              double dividend, double volatility, bool is_call,
                              const DividendSchedule& schedule) {
  return dividends::price(spot, strike, maturity, rate, dividend, volatility, is_call, schedule,
                          false);
}

Result<AmericanGreeks> european_greeks(double spot, double strike, double maturity, double rate,
                                       double dividend, double volatility, bool is_call,
                                       const DividendSchedule& schedule) {
  return dividends::greeks(spot, strike, maturity, rate, dividend, volatility, is_call, schedule,
                           false);
}

Result<double> european_implied_volatility(double price, double spot, double strike,
                                           double maturity, double rate, double dividend,
                                           bool is_call, const DividendSchedule& schedule) {
  return dividends::implied_volatility(price, spot, strike, maturity, rate, dividend, is_call,
                                       schedule, false);
}

Result<double> american_price_with_dividends(double spot, double strike, double maturity,
                                             double rate, double dividend, double volatility,
                                             bool is_call, const DividendSchedule& schedule) {
  return dividends::price(spot, strike, maturity, rate, dividend, volatility, is_call, schedule,
                          true);
}

Result<AmericanGreeks> american_greeks_with_dividends(double spot, double strike,
                                                      double maturity, double rate,
                                                      double dividend, double volatility,
                                                      bool is_call,
                                                      const DividendSchedule& schedule) {
  return dividends::greeks(spot, strike, maturity, rate, dividend, volatility, is_call, schedule,
                           true);
}

Result<double> american_implied_volatility_with_dividends(double price, double spot,
                                                          double strike, double maturity,
                                                          double rate, double dividend,
                                                          bool is_call,
                                                          const DividendSchedule& schedule) {
  return dividends::implied_volatility(price, spot, strike, maturity, rate, dividend, is_call,
                                       schedule, true);
}

}  // namespace tarvik
