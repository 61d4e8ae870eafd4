// The American put (r > 0, q >= 0) on a stock with cash dividends: the
// exercise boundary between ex-dates, node by node, backward over the
// stretches between them; the American call (q > 0, r >= 0) as the put on
// K / S with the rate and the yield exchanged (Terminal). In strike units
// (K = 1):
//
// - after the last ex-date t_m the value F is the plain American put over
//   T - t_m (american_price; the payoff where t_m = T);
// - on each earlier stretch, of length dt with the dividend D at its end,
//   the terminal value is G(S) = F(max(S - D, 0)), F the value just after
//   the dividend. With tau the time left to the stretch's end, the put is
//   exercised on [0, B(tau)] and, for every S (the early exercise premium
//   of Kim 1990 and Jacka 1991 with G in place of the payoff),
//
//     V(tau, S) = Ghat(tau, S) + int_0^tau k(tau - u, S, B(u)) du,
//     k(s, S, B) = r e^{-rs} N(-d-(s, S/B)) - q S e^{-qs} N(-d+(s, S/B)),
//     Ghat(tau, S) = e^{-r tau} E[G(S e^{(r - q - vol^2/2) tau + vol sqrt(tau) Z})];
//
//   Ghat in closed form where G is linear (S < D + b, b the boundary of F:
//   G = 1 below D, 1 + D - S above it) and by Gauss-Legendre over F's
//   panels above. V at the stretch's start, on Chebyshev panels, is the F
//   of the stretch before.
//
// The exercise region is one interval [0, B]: with q >= 0 the value is
// 1-Lipschitz in S (the dynamics and the cap S -> max(S - D, 0) move two
// spots no further apart than e^{(r - q) t} times their distance), so where
// V(S_0) = 1 - S_0 also V(S) = 1 - S for S < S_0.
//
// What the boundary does (reference/dividend_put_boundary.py records how it
// was found):
// - just before an ex-date the put is never exercised (G(S) >= 1 - S +
//   min(S, D)): B starts at 0 on the cap branch B ~ 1 - e^{-r tau} (a spot
//   below D goes to 0 at the ex-date), whose smooth pasting rests on a layer
//   of width vol^2 tau^2 in s = tau - u: the quadrature breaks at
//   v = sqrt(s) = vol / kappa 2^k, kappa the boundary's relative speed;
// - G has slope -1 on (D, D + b), so at small tau V_S = -1 holds there
//   without exercise: smooth pasting alone has spurious roots, which a probe
//   of value matching above each node finds;
// - with q = 0 the region above D opens all at once near tau1 = ln(1 + D) / r
//   (the interest on the strike pays for the dividend given up): the march
//   finds the first time the value shows exercise above the last boundary
//   (the scan), starts a new branch there, and just past it solves value
//   matching at steps doubling the time since the opening, the boundary
//   linear in ln(tau - origin) between them, smooth pasting after; with
//   q > 0 the rise is steep but continuous and the step control follows it;
// - a call's boundary on z = K / S starts above 0, at min(z*, r / q) in the
//   put's terms (z* where the call's exercise just before the ex-date ends),
//   and falls from it like sqrt(tau): its branch is interpolated in
//   sqrt(tau).
// The nodes: degree-5 Lagrange interpolation of B over the last six, each
// step accepted where the prediction from them is within the tolerance of
// the solution (a tolerance of 1e-6 and of 1e-8 gave prices 6e-14 apart, a put
// 45% in the money across a dividend of 2% at q = 0.02).
#include "dividends/exercise_boundary.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

#include "batch/stop.hpp"
#include "dividends/gauss.hpp"
#include "dividends/panels.hpp"
#include "dividends/reach.hpp"
#include "lanes/lanes.hpp"
#include "tarvik/american.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/normal.hpp"

namespace tarvik::dividends {
namespace {

using elementary::exp;
using elementary::log;

constexpr int kPiecePoints = 16;       // Ghat's Gauss-Legendre points on a unit piece of y
constexpr int kInterp = 5;             // the boundary's interpolation degree
constexpr double kBreakRatio = std::numbers::sqrt2;  // Terminal::breaks' spacing in z - D
// The step control's |B - prediction| / B, and the tolerances of the
// retries of a stretch whose march does not settle at the first: the node
// solves lose their footing at places that move with the nodes (a root of
// smooth pasting that the step's layer makes from the last node's value,
// and that later vanishes), so another layout of the nodes often passes.
constexpr double kTolerances[] = {1e-6, 3e-6};
constexpr double kFirstStep = 1e-7;    // of the stretch
constexpr double kYoung = 1e-3;        // value matching while tau - origin < kYoung dt
// |d| beyond which a point's kernel is 0, or saturated (N(-d) = 1 in
// doubles, phi(d) below 1e-31): r e^{-rs} - q S e^{-qs}, whose integral
// over an interval is in closed form.
constexpr double kSaturated = 12.0;
// The factor by which the interpolated boundary may stray beyond its
// nodes within an interval, in the bounds that skip or saturate it.
constexpr double kStray = 2.0;
constexpr std::size_t kMostNodes = 3000;  // a stretch's (the most seen: some 700)
// The most terms (the premium's kernel, its points laid out, and F's values)
// of one price, some two seconds of work: past them the price is
// no_convergence (an implied volatility or a Greeks dict shares one such
// allowance: SharedWork). Of the seeded portfolio's 101 puts, the slowest
// is priced in some 0.75 s.
constexpr double kMostTerms = 7e7;
constexpr const char* kPutUnsettled = "the American put's exercise boundary between ex-dates";
constexpr const char* kCallUnsettled = "the American call's exercise boundary between ex-dates";

const GaussRule& rule(int n) {
  static const GaussRule ten = legendre_rule_of(10);
  static const GaussRule sixteen = legendre_rule_of(16);
  return n == 10 ? ten : sixteen;
}

// Ghat's whole unit pieces [k, k + 1] of y, k from -10 to 9: their
// Gauss-Legendre weights and the normal density at their points.
struct Unit {
  std::vector<double> weight, pdf;
};
const Unit& unit_rule() {
  static const Unit unit = [] {
    Unit u;
    const GaussRule& gl = rule(kPiecePoints);
    for (std::size_t g = 0; g < gl.x.size(); ++g) u.weight.push_back(0.5 * gl.w[g]);
    for (int k = -10; k < 10; ++k) {
      for (std::size_t g = 0; g < gl.x.size(); ++g) u.pdf.push_back(norm_pdf(k + 0.5 + 0.5 * gl.x[g]));
    }
    return u;
  }();
  return unit;
}

// Lagrange weights of the nodes t[0..n) at x.
void lagrange(const double* t, int n, double x, double* w) {
  for (int a = 0; a < n; ++a) {
    double p = 1.0;
    for (int c = 0; c < n; ++c) {
      if (c != a) p *= (x - t[c]) / (t[a] - t[c]);
    }
    w[a] = p;
  }
}

// A value with its first two derivatives in S (and, for the premium's
// sums, the derivatives of v and s in the last node's boundary).
struct Taylor {
  double v = 0.0, s = 0.0, ss = 0.0;
  double lv = 0.0, ls = 0.0;
};

// G, the value at a stretch's end, in the stretch's variable z, from F, the
// value just after the dividend D (strike units; F on panels, 1 - z at and
// below its boundary):
// - a put, z = S: G(z) = F(max(z - D, 0)), linear below D + b (1 below D,
//   1 + D - z above it), F(z - D) above;
// - a call, z = K / S: G(z) = max(1 - z, (1 - D z)+ F(z / (1 - D z))), 1 - z
//   up to z*, where exercise just before the ex-date ends, the held value
//   above (0 from 1 / D, where the drop takes the stock to 0). A call's value
//   over the spot, c(S) / S, is the put's value on z with the rate and the
//   yield exchanged (the share as numeraire), and the drop S -> S - D takes
//   z to z / (1 - D z).
// The curved part [lo, hi] in ln z (empty where hi = lo: no panels above F's
// boundary); at z*, the jump of G's slope (the linear part's second
// derivative has its delta there).
class Terminal {
 public:
  Terminal(const Panels& f, double dividend, bool call) : f_(f), d_(dividend), call_(call) {
    const double top = f.top();
    const bool panels = top > log(f.b);
    if (!call) {
      lo_ = log(d_ + f.b);
      hi_ = panels ? log(exp(top) + d_) : lo_;
      // F(z - D) changes on the scale of z - D, which near D + b is far
      // finer in ln z than F's own scale in ln(z - D) where b << D: the
      // quadratures break there at D + b 2^{k/2}, up to 9 D (beyond it ln z
      // and ln(z - D) differ by less than ln(9 / 8)). At breaks of 2^k the
      // slope of Ghat strayed from its value's difference quotient by up to
      // 4e-6 over a boundary at a tenth of a dividend of 2% (vol 72%), at
      // 2^{k/2} by 1e-9; unbroken, by 3e-4, and the march lost its footing.
      // (No breaks where b is 0.)
      for (double x = kBreakRatio * f.b; x > 0.0 && x < 8.0 * d_ && log(d_ + x) < hi_;
           x *= kBreakRatio) {
        breaks_.push_back(log(d_ + x));
      }
      return;
    }
    // z* = K / S*, S* the least spot exercised just before the ex-date: S - 1
    // - F(S - D) grows with S (F's slope is at most 1), so the deficit
    // (1 - D z) F(z / (1 - D z)) - (1 - z) crosses 0 once, from below (at
    // z / (1 - D z) <= b it is -D z) to at least 0 at z = 1; where D >= 1 every
    // spot above the strike is exercised.
    if (d_ >= 1.0) {
      kink_ = 1.0;
    } else {
      double below = f.b / (1.0 + d_ * f.b), above = 1.0;
      for (int i = 0; i < 1100; ++i) {
        const double mid = 0.5 * (below + above);
        if (mid == below || mid == above) break;
        double g, gs, gss;
        curved(mid, 0, g, gs, gss);
        (g - (1.0 - mid) <= 0.0 ? below : above) = mid;
      }
      kink_ = below;
    }
    lo_ = log(kink_);
    hi_ = panels ? std::max(std::min(top - elementary::log1p(d_ * exp(top)), -log(d_)), lo_)
                 : lo_;
    double g, gs, gss;
    curved(kink_, 1, g, gs, gss);
    jump_ = gs + 1.0;
  }

  double lo() const { return lo_; }
  double hi() const { return hi_; }
  // The points in ln z strictly inside the curved part where the
  // quadratures break besides their own pieces (increasing).
  const std::vector<double>& breaks() const { return breaks_; }
  // Where the boundary starts just before the ex-date: a put is not
  // exercised there (G(S) >= 1 - S + min(S, D)); a call is on [0, z*].
  double start() const { return call_ ? kink_ : 0.0; }

  // G on its curved part and its z-derivatives to `order`.
  void curved(double z, int order, double& g, double& gs, double& gss) const {
    if (!call_) {
      f_.at(z - d_, order, g, gs, gss);
      return;
    }
    const double left = 1.0 - d_ * z;
    g = gs = gss = 0.0;
    if (!(left > 0.0)) return;
    double f, fs, fss;
    f_.at(z / left, order, f, fs, fss);
    g = left * f;
    if (order == 0) return;
    // u = z / (1 - D z): u' = 1 / (1 - D z)^2, u'' = 2 D / (1 - D z)^3.
    gs = fs / left - d_ * f;
    gss = fss / (left * (left * left));
  }

  // G at z with its z-derivatives (the stretch's end).
  Taylor at(double z, int order) const {
    Taylor out;
    if (!call_) {
      f_.at(std::max(z - d_, 0.0), order, out.v, out.s, out.ss);
      if (!(z > d_)) out.s = out.ss = 0.0;
      return out;
    }
    if (z <= kink_) return Taylor{1.0 - z, order > 0 ? -1.0 : 0.0, 0.0};
    curved(z, order, out.v, out.s, out.ss);
    return out;
  }

  // E[G(Z) 1{Z below the curved part}], Z lognormal of log-mean m and
  // deviation sd about z, and its z-derivatives in closed form (growth =
  // E[Z] / z).
  Taylor linear(double m, double sd, double z, double growth, int order) const {
    const double fwd = z * growth;
    Taylor out;
    if (!call_) {
      const double l_d = (log(d_) - m) / sd;
      const double l_b = (lo_ - m) / sd;
      const double n_d = norm_cdf(l_d), n_b = norm_cdf(l_b);
      const double m_d = norm_cdf(l_d - sd), m_b = norm_cdf(l_b - sd);
      out.v = n_d + (1.0 + d_) * (n_b - n_d) - fwd * (m_b - m_d);
      if (order > 0) out.s = -growth * (m_b - m_d);
      if (order > 1) out.ss = -norm_pdf(l_d) * d_ / (sd * z * z);
      return out;
    }
    const double l = (lo_ - m) / sd;
    const double n = norm_cdf(l - sd);
    out.v = norm_cdf(l) - fwd * n;
    if (order > 0) out.s = -growth * n;
    if (order > 1) out.ss = norm_pdf(l) * (jump_ * kink_) / (sd * z * z);
    return out;
  }

  // A lower bound of E[G(Z)] (Z as in `linear`): G >= (1 + D - z)+ - (D -
  // z)+ for a put (F is at least the payoff, 1 below D), G >= (1 - z)+ for a
  // call.
  double least(double m, double sd, double z, double growth) const {
    const double fwd = z * growth;
    const auto put = [&](double k) {
      const double l = (log(k) - m) / sd;
      return k * norm_cdf(l) - fwd * norm_cdf(l - sd);
    };
    return call_ ? put(1.0) : put(1.0 + d_) - put(d_);
  }
  double least_now(double z) const {
    return call_ ? std::max(1.0 - z, 0.0) : std::max(1.0 + d_ - z, 0.0) - std::max(d_ - z, 0.0);
  }

 private:
  const Panels& f_;
  double d_;
  bool call_;
  double kink_ = 0.0, jump_ = 0.0;
  double lo_ = 0.0, hi_ = 0.0;
  std::vector<double> breaks_;
};

// The premium's quadrature over the history at one time tau: each point's
// s = tau - u, weight, e^{-rs}, e^{-qs}, and its boundary B(u) = base + wl
// B_last (B_last the last node of the last branch, the one being solved).
// Over intervals where every point is saturated the sums are a_r - S a_q
// (a_r = int r e^{-rs} du, a_q = int q e^{-qs} du); where every point's
// kernel is 0 the interval has no points.
struct Points {
  std::vector<double> s, w, er, eq, sq, drift, base, wl, log_base;
  double a_r = 0.0, a_q = 0.0;
  void clear() {
    for (std::vector<double>* v : {&s, &w, &er, &eq, &sq, &drift, &base, &wl, &log_base}) {
      v->clear();
    }
    a_r = a_q = 0.0;
  }
};

// The least of (l + a s) / (vol sqrt(s)) over s in [lo, hi] (lo >= 0).
double least_d(double l, double a, double vol, double lo, double hi) {
  const auto d = [&](double s) {
    if (s == 0.0) return l > 0.0 ? std::numeric_limits<double>::infinity()
                                 : -std::numeric_limits<double>::infinity();
    return (l + a * s) / (vol * std::sqrt(s));
  };
  double least = std::min(d(lo), d(hi));
  if (l > 0.0 && a > 0.0) {
    const double at = l / a;
    if (at > lo && at < hi) least = std::min(least, d(at));
  }
  return least;
}

// The terms a price has spent, against its limit: kMostTerms, or less where
// a SharedWork has less left. A batch that has been stopped (Ctrl-C) ends
// its elements here too, at a node of the march or a panel of a fit.
struct Budget {
  double limit = kMostTerms;
  double spent = 0.0;
  int nodes = 0;  // the nodes solved, over every stretch and attempt
  bool exhausted() const { return !(spent < limit) || batch::stop_requested(); }
};

// The allowance of the innermost SharedWork on this thread, if any.
thread_local double* shared_left = nullptr;

// A branch's nodes, interpolated in tau, in ln(tau - origin) (one that
// opened at origin), or in sqrt(tau) (a boundary that starts above 0 at the
// ex-date, with the square-root rise of Andersen, Lake and Offengenden
// 2016's boundary at expiry).
struct Branch {
  std::vector<double> tau, b;
  double origin = 0.0;
  bool from_origin = false;
  bool root = false;
  double axis(double u) const {
    return from_origin ? log(u - origin) : root ? std::sqrt(u) : u;
  }
};

class Stretch {
 public:
  // low: the least spot (strike units) at the stretch's start whose value
  // the price needs (reach.hpp).
  Stretch(const Terminal& end, double dt, double r, double q, double vol, double low,
          Budget& budget)
      : g_(end), dt_(dt), r_(r), q_(q), vol_(vol),
        mu_(r - q - 0.5 * (vol * vol)), low_(low), budget_(budget) {}

  // Marches the boundary over the stretch at the step control's tolerance;
  // false where it does not settle.
  bool solve(double tolerance);
  double last() const { return branches_.back().b.back(); }
  // V(dt, S) and its S-derivatives for S above the boundary.
  Taylor value_at_start(double spot) {
    Taylor t;
    value(dt_, &spot, 1, last(), &t, true);
    return t;
  }
  void values_at_start(const double* spot, int n, double* out) {
    std::vector<Taylor> t(static_cast<std::size_t>(n));
    value(dt_, spot, n, last(), t.data());
    for (int i = 0; i < n; ++i) out[i] = t[static_cast<std::size_t>(i)].v;
  }
  std::size_t nodes() const {  // in the present attempt
    std::size_t n = 0;
    for (const Branch& b : branches_) n += b.tau.size();
    return n;
  }

 private:
  Taylor ghat(double tau, double z, int order) const;
  Taylor linear_part(double tau, double z, int order) const;
  void ghat_values(double tau, const double* z, int n, double* out) const;
  void points(double tau, const std::vector<double>& crit, double spot_lo, double spot_hi,
              double b_last, Points& pts) const;
  void kernel_sum(const Points& pts, double spot, double b_last, bool slopes, Taylor& out) const;
  void value(double tau, const double* spot, int n, double b_tau, Taylor* out,
             bool slopes = false,
             double lazy = std::numeric_limits<double>::quiet_NaN()) const;
  double residual(double tau, double b, const Points& pts) const;
  std::optional<double> solve_node(double tau, double guess, double lo = 0.0, double hi = 0.0,
                                   bool wide = false, bool above = false);
  std::optional<double> predict(double tau) const;
  double deficit_bound(double tau, double z) const;
  std::optional<double> probe(double tau, double b) const;
  std::optional<double> scan(double tau, double b_old) const;
  // `none`: no scan up to the stretch's end found exercise above the
  // boundary held at its last node.
  std::optional<double> reseed(double tau, bool& none);
  bool young(const Branch& br, double tau) const {
    return br.from_origin && tau - br.origin < kYoung * dt_;
  }
  void drop_last() {
    branches_.back().tau.pop_back();
    branches_.back().b.pop_back();
  }

  bool beyond_reach(double tau) const;

  const Terminal& g_;
  double dt_, r_, q_, vol_, mu_, low_;
  Budget& budget_;
  std::vector<Branch> branches_;
  // kernel_sum's arrays, kept between its calls.
  struct Scratch {
    std::vector<double> bu, held, dp, tail, pdf;
  };
  mutable Scratch scratch_;
};

// e^{-r tau} E[G(z e^{mu tau + vol sqrt(tau) Y})] and its z-derivatives to
// `order` (0, 1 or 2). The linear part in closed form (in y = (ln S_tau - m) / sd
// the kink of G at D is lD, F's boundary at lB); above lB Gauss-Legendre
// over the unit pieces [k, k + 1] of y (the first and last cut at lB and
// at the reach, any broken at Terminal::breaks), where F is smooth: its
// panels meet within 1e-14. The derivatives: G' = 0 below D, -1 on
// (D, D + b); G'' = -delta(S - D) there, F'' above.
Taylor Stretch::ghat(double tau, double z, int order) const {
  if (tau == 0.0) return g_.at(z, order);
  const double sd = vol_ * std::sqrt(tau);
  const double m = log(z) + mu_ * tau;
  Taylor out = linear_part(tau, z, order);
  double v = out.v, vs = out.s, vss = out.ss;
  const double y0 = std::max((g_.lo() - m) / sd, -kReach);
  const double y_top = std::min(kReach, (g_.hi() - m) / sd);  // at most y0 where it is empty
  const Unit& unit = unit_rule();
  const GaussRule& gl = rule(kPiecePoints);
  const std::vector<double>& breaks = g_.breaks();
  std::size_t next = 0;  // the first break above lo
  for (double lo = y0; lo < y_top;) {
    while (next < breaks.size() && (breaks[next] - m) / sd <= lo) ++next;
    double hi = std::min(std::floor(lo) + 1.0, y_top);
    if (next < breaks.size()) hi = std::min(hi, (breaks[next] - m) / sd);
    budget_.spent += kPiecePoints;
    const bool whole = lo == std::floor(lo) && hi == lo + 1.0;
    const double half = 0.5 * (hi - lo), mid = 0.5 * (hi + lo);
    for (std::size_t g = 0; g < gl.x.size(); ++g) {
      const double y = mid + half * gl.x[g];
      const double w =
          whole ? unit.weight[g] * unit.pdf[static_cast<std::size_t>(lo + 10.0) * gl.x.size() + g]
                : half * gl.w[g] * norm_pdf(y);
      const double s = exp(m + sd * y);
      double f, fs, fss;
      g_.curved(s, order, f, fs, fss);
      v += w * f;
      if (order == 0) continue;
      const double ratio = s / z;
      vs += w * (fs * ratio);
      vss += w * (fss * (ratio * ratio));
    }
    lo = hi;
  }
  const double disc = exp(-(r_ * tau));
  out.v = disc * v;
  out.s = disc * vs;
  out.ss = disc * vss;
  return out;
}

// Ghat's linear part, undiscounted, in closed form: in y = (ln S_tau - m) /
// sd the kink of G at D is lD, F's boundary at lB.
Taylor Stretch::linear_part(double tau, double z, int order) const {
  const double sd = vol_ * std::sqrt(tau);
  return g_.linear(log(z) + mu_ * tau, sd, z, exp((r_ - q_) * tau), order);
}

// Ghat(tau, z) alone at n spots: the linear part as in ghat, F's part by
// Gauss-Legendre points in x = ln S' that the spots share (pieces of one
// standard deviation from ln(D + b), where G leaves its linear part, broken
// at Terminal::breaks), F at each point once, each spot summing over the
// points within kReach of its mean.
void Stretch::ghat_values(double tau, const double* z, int n, double* out) const {
  if (tau == 0.0) {
    for (int i = 0; i < n; ++i) out[i] = ghat(0.0, z[i], 0).v;
    return;
  }
  const double sd = vol_ * std::sqrt(tau);
  const double x0 = g_.lo(), x_top = g_.hi();
  double m_lo = std::numeric_limits<double>::infinity(), m_hi = -m_lo;
  for (int i = 0; i < n; ++i) {
    const double m = log(z[i]) + mu_ * tau;
    m_lo = std::min(m_lo, m);
    m_hi = std::max(m_hi, m);
  }
  const double from = std::max(x0, m_lo - kReach * sd), to = std::min(x_top, m_hi + kReach * sd);
  std::vector<double> xs, fw;
  if (from < to) {
    const GaussRule& gl = rule(kPiecePoints);
    const std::vector<double>& breaks = g_.breaks();
    std::size_t next = 0;  // the first break above a piece's start
    for (double k = std::floor((from - x0) / sd); x0 + k * sd < to; k += 1.0) {
      const double piece_end = std::min(x0 + (k + 1.0) * sd, x_top);
      for (double a = x0 + k * sd; a < piece_end;) {
        while (next < breaks.size() && breaks[next] <= a) ++next;
        const double c = next < breaks.size() ? std::min(breaks[next], piece_end) : piece_end;
        const double half = 0.5 * (c - a), mid = 0.5 * (c + a);
        for (std::size_t g = 0; g < gl.x.size(); ++g) {
          const double x = mid + half * gl.x[g];
          double f, fs, fss;
          g_.curved(exp(x), 0, f, fs, fss);
          xs.push_back(x);
          fw.push_back(half * gl.w[g] * f / sd * kInvSqrtTwoPi);
        }
        a = c;
      }
    }
  }
  budget_.spent += static_cast<double>(xs.size());
  std::vector<double> e;
  const double disc = exp(-(r_ * tau));
  for (int i = 0; i < n; ++i) {
    const double m = log(z[i]) + mu_ * tau;
    const std::size_t lo = static_cast<std::size_t>(
        std::lower_bound(xs.begin(), xs.end(), m - kReach * sd) - xs.begin());
    const std::size_t hi = static_cast<std::size_t>(
        std::upper_bound(xs.begin(), xs.end(), m + kReach * sd) - xs.begin());
    e.resize(hi - lo);
    for (std::size_t k = lo; k < hi; ++k) {
      const double y = (xs[k] - m) / sd;
      e[k - lo] = -0.5 * (y * y);
    }
    lanes::exp_each(e.data(), e.size(), e.data());
    double sum = 0.0;
    for (std::size_t k = lo; k < hi; ++k) sum += fw[k] * e[k - lo];
    budget_.spent += static_cast<double>(hi - lo) / 8.0;  // a lane's exponential and a product
    out[i] = disc * (linear_part(tau, z[i], 0).v + sum);
  }
}

// The quadrature over the history up to tau, for spots in [spot_lo,
// spot_hi]: over each interval between nodes Gauss-Legendre in
// v = sqrt(tau - u), broken at the v of `crit`; B(u) by Lagrange
// interpolation over kInterp + 1 nodes around it (in ln(u - origin) on a
// branch that opened at origin). The last node of the last branch enters
// as b_last for the bounds (the spot range where it is the unknown, 0).
void Stretch::points(double tau, const std::vector<double>& crit, double spot_lo,
                     double spot_hi, double b_last, Points& pts) const {
  pts.clear();
  const GaussRule& gl = rule(10);
  const std::size_t nb = branches_.size();
  const double half_var = 0.5 * (vol_ * vol_);
  const double a_plus = r_ - q_ + half_var, a_minus = r_ - q_ - half_var;
  double tt[kInterp + 1], w[kInterp + 1];
  std::vector<double> br;
  for (std::size_t bi = 0; bi < nb; ++bi) {
    const Branch& branch = branches_[bi];
    const bool last_branch = bi + 1 == nb;
    const int n = static_cast<int>(branch.tau.size());
    for (int i = 1; i < n; ++i) {
      const double u0 = branch.tau[i - 1], u1 = branch.tau[i];
      if (u1 > tau || !(u1 > u0)) continue;
      // Just past an opening, the line between the interval's own nodes (a
      // higher degree over the steps that double there feeds back into the
      // node solves: their roots fall into a two-cycle).
      const bool near = young(branch, u1);
      const int lo = near ? i - 1 : std::max(0, std::min(i - 1 - kInterp / 2, n - 1 - kInterp));
      const int hi = near ? i + 1 : std::min(n, lo + kInterp + 1);
      const int len = hi - lo;
      const bool holds_last = last_branch && hi == n;
      // The interval's bounds on B, and whether its kernel is 0 or
      // saturated throughout.
      double b_min = std::numeric_limits<double>::infinity(), b_max = 0.0;
      for (int k = 0; k < len; ++k) {
        const double b = holds_last && k == len - 1
                             ? b_last
                             : branch.b[static_cast<std::size_t>(lo + k)];
        b_min = std::min(b_min, b);
        b_max = std::max(b_max, b);
      }
      if (holds_last && b_last == 0.0) {
        b_min = std::min(b_min, spot_lo);
        b_max = std::max(b_max, spot_hi);
      }
      const double s_lo = tau - u1, s_hi = tau - u0;
      if (b_max > 0.0 &&
          least_d(log(spot_lo / (kStray * b_max)), a_minus, vol_, s_lo, s_hi) > kSaturated) {
        continue;
      }
      if (b_min > 0.0 &&
          least_d(-log(kStray * spot_hi / b_min), -a_plus, vol_, s_lo, s_hi) > kSaturated) {
        pts.a_r += exp(-(r_ * s_lo)) - exp(-(r_ * s_hi));
        pts.a_q += exp(-(q_ * s_lo)) - exp(-(q_ * s_hi));
        continue;
      }
      const double v0 = std::sqrt(s_lo), v1 = std::sqrt(s_hi);
      br.assign({v0, v1});
      for (double c : crit) {
        if (v0 < c && c < v1) br.push_back(c);
      }
      std::sort(br.begin(), br.end());
      for (int k = 0; k < len; ++k) {
        const double u = branch.tau[static_cast<std::size_t>(lo + k)];
        tt[k] = branch.axis(u);
      }
      for (std::size_t e = 0; e + 1 < br.size(); ++e) {
        const double a = br[e], c = br[e + 1];
        for (std::size_t g = 0; g < gl.x.size(); ++g) {
          const double v = 0.5 * (a + c) + 0.5 * (c - a) * gl.x[g];
          const double weight = 0.5 * (c - a) * gl.w[g] * 2.0 * v;
          const double s = v * v;
          const double u = tau - s;
          lagrange(tt, len, branch.axis(u), w);
          double base = 0.0, wl = 0.0;
          for (int k = 0; k < len; ++k) {
            if (holds_last && k == len - 1) {
              wl = w[k];
            } else {
              base += w[k] * branch.b[static_cast<std::size_t>(lo + k)];
            }
          }
          pts.s.push_back(s);
          pts.w.push_back(weight);
          pts.er.push_back(-(r_ * s));  // exponents and arguments until the end
          pts.eq.push_back(-(q_ * s));
          pts.sq.push_back(vol_ * v);
          pts.drift.push_back(a_plus * s);
          pts.base.push_back(base);
          pts.wl.push_back(wl);
          pts.log_base.push_back(wl == 0.0 ? std::max(base, 1e-300) : 1.0);  // ln 1 = 0
        }
      }
    }
  }
  // Laying out a point costs about as much as summing its kernel.
  budget_.spent += static_cast<double>(pts.s.size());
  // The exponentials and logarithms over the arrays, in the vector lanes.
  lanes::exp_each(pts.er.data(), pts.er.size(), pts.er.data());
  lanes::exp_each(pts.eq.data(), pts.eq.size(), pts.eq.data());
  lanes::log_each(pts.log_base.data(), pts.log_base.size(), pts.log_base.data());
}

// sum_j w_j k(s_j, S, B(u_j)) and, where asked, its S-derivatives. Each
// point's d+ first, then for the points whose kernel is neither 0 nor
// saturated the erfc of d+ and d- and phi(d+)'s exponential over an array
// in the vector lanes (correctly rounded: the bits of one call at a time),
// then the sums in the points' order.
void Stretch::kernel_sum(const Points& pts, double spot, double b_last, bool slopes,
                         Taylor& out) const {
  const double log_spot = log(spot);
  const std::size_t n = pts.s.size();
  budget_.spent += static_cast<double>(n);
  std::vector<double>& bu = scratch_.bu;
  std::vector<double>& dp = scratch_.dp;
  std::vector<double>& tail = scratch_.tail;  // erfc of d+'s argument, then d-'s
  std::vector<double>& pdf = scratch_.pdf;
  bu.resize(n);
  dp.resize(n);
  tail.resize(2 * n);
  pdf.resize(n);
  // B at each point; ln B where it depends on the node being solved (the
  // last intervals' points) over an array in the lanes, in the points'
  // order (elsewhere it was taken with the points).
  std::vector<double>& held = scratch_.held;
  held.clear();
  for (std::size_t j = 0; j < n; ++j) {
    const double wl = pts.wl[j];
    bu[j] = wl == 0.0 ? pts.base[j] : std::max(pts.base[j] + wl * b_last, 1e-300);
    if (wl != 0.0) held.push_back(bu[j]);
  }
  lanes::log_each(held.data(), held.size(), held.data());
  std::size_t active = 0, h = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double log_b = pts.wl[j] == 0.0 ? pts.log_base[j] : held[h++];
    dp[j] = ((log_spot - log_b) + pts.drift[j]) / pts.sq[j];
    const double dm = dp[j] - pts.sq[j];
    if (dm > kSaturated || dp[j] < -kSaturated) continue;
    tail[active] = detail::norm_cdf_c_arg(dp[j]);
    tail[n + active] = detail::norm_cdf_c_arg(dm);
    pdf[active] = detail::norm_pdf_exponent(dp[j]);
    ++active;
  }
  lanes::erfc_each(tail.data(), active, tail.data());
  lanes::erfc_each(tail.data() + n, active, tail.data() + n);
  if (slopes) lanes::exp_each(pdf.data(), active, pdf.data());
  double v = pts.a_r - spot * pts.a_q, vs = -pts.a_q, vss = 0.0, lv = 0.0, ls = 0.0;
  std::size_t a = 0;  // the next active point's place in tail and pdf
  for (std::size_t j = 0; j < n; ++j) {
    const double sq = pts.sq[j];
    const double dm = dp[j] - sq;
    if (dm > kSaturated) continue;
    const double w = pts.w[j];
    if (dp[j] < -kSaturated) {
      v += w * (r_ * pts.er[j] - q_ * spot * pts.eq[j]);
      vs += w * (-q_ * pts.eq[j]);
      continue;
    }
    const double cp = detail::norm_cdf_c_given(dp[j], tail[a]);
    v += w * (r_ * pts.er[j] * detail::norm_cdf_c_given(dm, tail[n + a]) -
              q_ * spot * pts.eq[j] * cp);
    if (slopes) {
      const double phi = detail::norm_pdf_given(dp[j], pdf[a]);
      const double lean = q_ - r_ / bu[j];
      vs += w * (pts.eq[j] * (phi * lean / sq - q_ * cp));
      vss += w * (pts.eq[j] * (-dp[j] * phi * lean / (spot * sq * sq) + q_ * phi / (spot * sq)));
      if (pts.wl[j] != 0.0) {
        // d/dB: e^{-rs} phi(d-) = (S / B) e^{-qs} phi(d+), d d+/dB = -1 / (B sq).
        const double e = w * pts.wl[j] * pts.eq[j] * phi / (bu[j] * sq);
        lv += e * (spot * (r_ / bu[j] - q_));
        ls += e * (dp[j] * lean / sq + r_ / bu[j] - q_);
      }
    }
    ++a;
  }
  out.v = v;
  out.s = vs;
  out.ss = vss;
  out.lv = lv;
  out.ls = ls;
}

// V(tau, S) for spots above the boundary, every node up to tau known; b_tau
// the boundary at tau. With `slopes`, its S-derivatives too. With a finite
// `lazy`, for a caller that only compares the deficit (1 - S) - V with
// lazy: where Ghat alone leaves the deficit below it (by 1e-13), the premium
// is left out (it is at least 0: the running gain r - q S_u is positive
// below the boundary, B <= r / q) and the value is Ghat's; where that holds
// for every spot, nothing more is computed.
void Stretch::value(double tau, const double* spot, int n, double b_tau, Taylor* out,
                    bool slopes, double lazy) const {
  std::vector<double> g0;
  std::vector<char> skip(static_cast<std::size_t>(n), 0);
  const bool lazy_on = !slopes && !std::isnan(lazy);
  bool all_skipped = lazy_on;
  if (!slopes) {
    g0.resize(static_cast<std::size_t>(n));
    ghat_values(tau, spot, n, g0.data());
  }
  for (int i = 0; i < n && lazy_on; ++i) {
    const std::size_t j = static_cast<std::size_t>(i);
    skip[j] = (1.0 - spot[i]) - g0[j] < lazy - 1e-13;
    all_skipped = all_skipped && skip[j];
  }
  if (all_skipped) {
    for (int i = 0; i < n; ++i) out[i] = Taylor{g0[static_cast<std::size_t>(i)]};
    return;
  }
  double lo = spot[0], hi = spot[0];
  double nearest = std::numeric_limits<double>::infinity();
  for (int i = 0; i < n; ++i) {
    lo = std::min(lo, spot[i]);
    hi = std::max(hi, spot[i]);
    nearest = std::min(nearest, b_tau > 0.0 ? std::fabs(log(spot[i] / b_tau)) : 1.0);
  }
  std::vector<double> crit;
  for (double vc = std::max(nearest, 1e-12) / vol_ / 8.0; vc < std::sqrt(tau); vc *= 2.0) {
    crit.push_back(vc);
  }
  Points pts;
  points(tau, crit, lo, hi, b_tau, pts);
  for (int i = 0; i < n; ++i) {
    const std::size_t j = static_cast<std::size_t>(i);
    if (skip[j]) {
      out[i] = Taylor{g0[j]};
      continue;
    }
    const Taylor g = slopes ? ghat(tau, spot[i], 2) : Taylor{g0[j]};
    Taylor k;
    kernel_sum(pts, spot[i], b_tau, slopes, k);
    out[i] = Taylor{g.v + k.v, g.s + k.s, g.ss + k.ss};
  }
}

// The node's equation at b: value matching (the exercise deficit) just past
// an opening, smooth pasting (V_S + 1) elsewhere.
double Stretch::residual(double tau, double b, const Points& pts) const {
  const Branch& br = branches_.back();
  const bool matching = young(br, tau);
  Taylor k;
  kernel_sum(pts, b, b, !matching, k);
  const Taylor g = ghat(tau, b, matching ? 0 : 1);
  if (matching) return (1.0 - b) - (g.v + k.v);
  return g.s + k.s + 1.0;
}

// Brent's root of f on [a, c] (f(a), f(c) of opposite signs), to the last
// bits.
template <class Fn>
double brent(const Fn& f, double a, double c, double fa, double fc) {
  double b = c, fb = fc;
  double d = 0.0, e = 0.0;
  c = a;
  fc = fa;
  for (int it = 0; it < 200; ++it) {
    if ((fb > 0.0) == (fc > 0.0)) {
      c = a;
      fc = fa;
      d = e = b - a;
    }
    if (std::fabs(fc) < std::fabs(fb)) {
      a = b;
      b = c;
      c = a;
      fa = fb;
      fb = fc;
      fc = fa;
    }
    const double tol = 2.0 * std::numeric_limits<double>::epsilon() * std::fabs(b) + 1e-15;
    const double m = 0.5 * (c - b);
    if (std::fabs(m) <= tol || fb == 0.0) return b;
    if (std::fabs(e) >= tol && std::fabs(fa) > std::fabs(fb)) {
      double p, qq;
      const double s = fb / fa;
      if (a == c) {
        p = 2.0 * m * s;
        qq = 1.0 - s;
      } else {
        const double qa = fa / fc, r = fb / fc;
        p = s * (2.0 * m * qa * (qa - r) - (b - a) * (r - 1.0));
        qq = (qa - 1.0) * (r - 1.0) * (s - 1.0);
      }
      if (p > 0.0) {
        qq = -qq;
      } else {
        p = -p;
      }
      if (2.0 * p < std::min(3.0 * m * qq - std::fabs(tol * qq), std::fabs(e * qq))) {
        e = d;
        d = p / qq;
      } else {
        d = m;
        e = m;
      }
    } else {
      d = m;
      e = m;
    }
    a = b;
    fa = fb;
    b += std::fabs(d) > tol ? d : (m > 0.0 ? tol : -tol);
    fb = f(b);
  }
  return b;
}

std::optional<double> Stretch::solve_node(double tau, double guess, double lo, double hi,
                                          bool wide, bool above) {
  Branch& br = branches_.back();
  std::vector<double> crit;
  {
    const double t0 = br.tau.back(), b0 = br.b.back();
    double kappa = b0 > 0.0 ? std::fabs(log(guess / b0)) / (tau - t0) : 2.0 / tau;
    kappa = std::max(kappa, 1.0 / tau);
    const double vc = vol_ / kappa;
    const double reach = std::sqrt(tau - t0);
    for (int k = -6; k < 60; ++k) {
      const double c = std::ldexp(vc, k);
      if (c < reach) crit.push_back(c);
    }
  }
  // The spots the root search may visit.
  double range_lo, range_hi;
  if (wide) {
    range_lo = above ? guess : guess / 1.5;
    range_hi = 1.0;
  } else if (lo == 0.0) {
    range_lo = guess * exp(-0.3);
    range_hi = std::min(guess * exp(0.3), 1.0);
  } else {
    range_lo = lo;
    range_hi = hi;
  }
  br.tau.push_back(tau);
  br.b.push_back(0.0);
  Points pts;
  points(tau, crit, range_lo, range_hi, 0.0, pts);
  const auto R = [&](double lb) { return residual(tau, exp(lb), pts); };
  if (!wide && lo == 0.0 && !young(br, tau)) {
    // Newton's method on smooth pasting in ln b from the guess, within the
    // bracketed search's first bracket (1e-3 of it) where the residual
    // changes sign across it; that search where it fails.
    const double x0 = log(guess);
    const double ends[2] = {x0 - 1e-3, std::min(x0 + 1e-3, 0.0)};
    const bool crossing = R(ends[0]) * R(ends[1]) <= 0.0;
    double x = crossing ? x0 : 1.0;
    for (int it = 0; it < 8 && crossing; ++it) {
      const double b = exp(x);
      Taylor k;
      kernel_sum(pts, b, b, true, k);
      const Taylor g = ghat(tau, b, 2);
      const double r = g.s + k.s + 1.0;
      const double slope = b * (g.ss + k.ss + k.ls);
      const double step = -r / slope;
      if (!std::isfinite(step)) break;
      x += step;
      if (!(x >= ends[0] && x <= ends[1])) break;
      if (std::fabs(step) <= 1e-13) {
        br.b.back() = exp(x);
        return br.b.back();
      }
    }
  }
  double a, c, ra, rc;
  if (wide) {
    constexpr int kGrid = 40;
    const double from = log(guess) + (above ? 1e-6 : -log(1.5)), to = -1e-9;
    double prev_x = from, prev = R(from);
    bool found = false;
    for (int i = 1; i < kGrid; ++i) {
      const double x = from + (to - from) * i / (kGrid - 1);
      const double rx = R(x);
      if (prev > 0.0 && rx <= 0.0) {
        a = prev_x;
        c = x;
        ra = prev;
        rc = rx;
        found = true;
      }
      prev_x = x;
      prev = rx;
    }
    if (!found) {
      drop_last();
      return std::nullopt;
    }
  } else if (lo == 0.0) {
    a = log(guess) - 1e-3;
    c = std::min(log(guess) + 1e-3, 0.0);
    ra = R(a);
    rc = R(c);
    if (ra * rc > 0.0) {
      // Over a short step the residual dips to its roots within some
      // vol sqrt(h) of the guess: the upper one where the guess is inside.
      const double x0 = log(guess), r0 = R(x0);
      if (r0 * rc <= 0.0) {
        a = x0;
        ra = r0;
      }
    }
    for (int k = 0; ra * rc > 0.0 && k < 8; ++k) {
      a -= std::ldexp(1e-3, k);
      c = std::min(c + std::ldexp(1e-3, k), 0.0);
      ra = R(a);
      rc = R(c);
    }
  } else {
    a = log(lo);
    c = log(hi);
    ra = R(a);
    rc = R(c);
  }
  if (!(ra * rc <= 0.0)) {
    drop_last();
    return std::nullopt;
  }
  const double lb = brent(R, a, c, ra, rc);
  br.b.back() = exp(lb);
  return br.b.back();
}

std::optional<double> Stretch::predict(double tau) const {
  const Branch& br = branches_.back();
  const int n = static_cast<int>(br.tau.size());
  if (n == 1) return std::nullopt;
  const int k = std::min(n, kInterp + 1);
  double t[kInterp + 1], w[kInterp + 1];
  for (int i = 0; i < k; ++i) {
    const double u = br.tau[static_cast<std::size_t>(n - k + i)];
    t[i] = br.axis(u);
  }
  lagrange(t, k, br.axis(tau), w);
  double p = 0.0;
  for (int i = 0; i < k; ++i) p += w[i] * br.b[static_cast<std::size_t>(n - k + i)];
  return p;
}

// An upper bound of the exercise deficit (1 - z) - V(tau, z): the premium is
// at least 0 and G at least the payoffs of Terminal::least, so V is at least
// their discounted expectation. Where it is negative the value need not be
// summed to know there is no exercise.
double Stretch::deficit_bound(double tau, double z) const {
  if (tau == 0.0) return (1.0 - z) - g_.least_now(z);
  const double sd = vol_ * std::sqrt(tau);
  return (1.0 - z) -
         exp(-(r_ * tau)) * g_.least(log(z) + mu_ * tau, sd, z, exp((r_ - q_) * tau));
}

// The largest of 12 probe spots above b where the value says exercise.
std::optional<double> Stretch::probe(double tau, double b) const {
  const double c = log(1.0 / b);
  if (!(c > 0.03)) return std::nullopt;
  constexpr int kProbes = 12;
  double spots[kProbes];
  int n = 0;
  for (int i = 0; i < kProbes; ++i) {
    const double s = b * exp(0.02 + (c - 0.02) * i / kProbes);
    if (deficit_bound(tau, s) > 1e-12) spots[n++] = s;
  }
  if (n == 0) return std::nullopt;
  Taylor v[kProbes];
  value(tau, spots, n, last(), v, false, 1e-12);
  std::optional<double> best;
  for (int i = 0; i < n; ++i) {
    if (v[i].v < (1.0 - spots[i]) - 1e-12) best = spots[i];
  }
  return best;
}

// The largest spot above 1.5 b_old where the value (the history so far,
// the boundary held at b_old) says exercise at tau, refined to the
// value-matching point; none if none.
std::optional<double> Stretch::scan(double tau, double b_old) const {
  constexpr int kSpots = 400;
  const double span = log(1.0 / b_old);
  std::vector<double> spots;
  std::vector<int> at;
  for (int i = 0; i + 1 < kSpots; ++i) {
    const double s = b_old * exp(1e-4 + (span - 1e-4) * i / (kSpots - 1));
    if (s > 1.5 * b_old && deficit_bound(tau, s) > 1e-12) {
      spots.push_back(s);
      at.push_back(i);
    }
  }
  if (spots.empty()) return std::nullopt;
  std::vector<Taylor> v(spots.size());
  value(tau, spots.data(), static_cast<int>(spots.size()), b_old, v.data(), false, 1e-12);
  int top = -1;
  double lo = 0.0, hi = 0.0;
  for (std::size_t j = 0; j < spots.size(); ++j) {
    if ((1.0 - spots[j]) - v[j].v > 1e-12) {
      top = at[j];
      lo = spots[j];
      hi = b_old * exp(1e-4 + (span - 1e-4) * (top + 1) / (kSpots - 1));
    }
  }
  // (Exercise at the top spot, below 1, where a put is not exercised: the
  // crossing lies between it and 1, where a boundary near 0 spreads the
  // spots thinly.)
  if (top < 0) return std::nullopt;
  for (int it = 0; it < 60; ++it) {
    const double mid = std::sqrt(lo * hi);
    Taylor t;
    value(tau, &mid, 1, b_old, &t, false, 0.0);
    if ((1.0 - mid) - t.v > 0.0) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The boundary past a point where the node solves lose their footing: the
// first time after tau where the value shows exercise above the last
// boundary, the boundary held flat at its last node until then (in every
// scan, so that the onset and the new branch's first node see the same
// history: a branch of its own, which the interpolation takes as a line),
// a new branch from there.
std::optional<double> Stretch::reseed(double tau, bool& none) {
  none = false;
  const double b_old = last();
  const auto held_scan = [&](double t) {
    branches_.push_back(Branch{{tau, t}, {b_old, b_old}, 0.0, false});
    const std::optional<double> found = scan(t, b_old);
    branches_.pop_back();
    return found;
  };
  const double h0 = 1e-10 * dt_;
  double prev = tau, t_try = tau;
  for (int k = 0;; ++k) {
    t_try = std::min(dt_, tau + std::ldexp(h0, k));
    if (held_scan(t_try)) break;
    if (t_try >= dt_) {
      none = true;
      return std::nullopt;
    }
    prev = t_try;
  }
  double lo = prev, hi = t_try;
  while (hi - lo > 1e-12 * dt_) {
    const double mid = 0.5 * (lo + hi);
    if (!held_scan(mid)) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  const double start = std::min(dt_, hi + 1e-10 * dt_);
  const std::optional<double> found = held_scan(start);
  if (!found) return std::nullopt;
  branches_.push_back(Branch{{tau, start}, {b_old, b_old}, 0.0, false});
  branches_.push_back(Branch{{start}, {*found}, hi, true});
  return start;
}

// Whether the boundary from tau to the stretch's end is out of the price's
// reach, where reseed's scans up to the end found no exercise above 1.5
// times its last node (the boundary held there): below it, the premium's
// kernel is 0 in doubles for every spot at the start the price needs (at
// least low_).
bool Stretch::beyond_reach(double tau) const {
  const double b = 1.5 * last();  // d- drifts at mu_
  return b > 0.0 && least_d(log(low_ / (kStray * b)), mu_, vol_, 0.0, dt_ - tau) > kSaturated;
}

bool Stretch::solve(double tolerance) {
  // Just past the ex-date, where G = 1 - z, exercise now against exercise at
  // the ex-date gains at the rate r - q z: the boundary starts at the lesser
  // of r / q and G's own (a call's z*; 0 for a put).
  const double start = q_ > 0.0 ? std::min(g_.start(), r_ / q_) : g_.start();
  branches_.assign(1, Branch{{0.0}, {start}, 0.0, false, start > 0.0});
  double tau = 0.0;
  double h = kFirstStep * dt_;
  // Past a point where the node solves lose their footing: a new branch
  // (reseed), or where the boundary no longer matters to the price, held at
  // its last node to the stretch's end (far below the spots the price
  // needs, where the premium is too small to show, smooth pasting's roots
  // can drown in the quadrature's rounding and vanish).
  const auto restart = [&]() -> bool {
    bool none = false;
    if (const std::optional<double> t_new = reseed(tau, none)) {
      tau = *t_new;
      h = 1e-10 * dt_;
      return true;
    }
    if (!none || !beyond_reach(tau)) return false;
    const double b = last();
    branches_.push_back(Branch{{tau, dt_}, {b, b}, 0.0, false});
    tau = dt_;
    return true;
  };
  while (tau < dt_) {
    if (nodes() > kMostNodes || budget_.exhausted()) return false;
    // (No last step much shorter than the one before it: smooth pasting
    // over a step of length h rests on a layer of width vol sqrt(h) in ln B.)
    const double t = dt_ - tau < 1.5 * h ? dt_ : tau + h;
    if (!(t > tau)) return false;
    std::optional<double> guess = predict(t);
    double pred;
    if (!guess) {
      const double b0 = last();
      pred = b0 == 0.0 ? 1.0 - exp(-(r_ * t)) : b0;
    } else {
      pred = *guess;
    }
    pred = std::clamp(pred, 1e-300, 1.0);
    Branch& br = branches_.back();
    if (young(br, t)) {
      // Just past the opening: value matching at steps doubling the time
      // since it, each the deficit's largest crossing above the last node
      // (the boundary rises there, and a crossing at the last node may be
      // its echo, as in smooth pasting over a short step), else near the
      // prediction, taken as it comes.
      // Where neither finds one, the boundary holds (the prediction from
      // ln(tau - origin) may run off to 0 or past 1).
      const double held = last();
      std::optional<double> b = solve_node(t, held, 0.0, 0.0, true, true);
      if (!b) b = solve_node(t, pred);
      if (!b) b = solve_node(t, pred, 0.0, 0.0, true);
      if (!b) {
        branches_.back().tau.push_back(t);
        branches_.back().b.push_back(held);
      }
      tau = t;
      h = t - branches_.back().origin;
      continue;
    }
    // (A prediction below half the last node is the interpolation running
    // off, as over the first step past an opening's doubling ones: a solve
    // from it found smooth pasting's spurious root at 1e-300 and the march
    // broke there. The boundary falls by less within a step the control
    // keeps, so the step halves instead.)
    const std::optional<double> b =
        pred < 0.5 * last() ? std::nullopt : solve_node(t, pred);
    if (!b) {
      if (h < 1e-10 * dt_) {
        if (!restart()) return false;
        continue;
      }
      h *= 0.5;
      if (h < 1e-15 * dt_) return false;
      continue;
    }
    // (A boundary that starts above 0 leaves it like sqrt(tau): its nodes
    // are held to the step control from the fourth on, where the first
    // six, uncontrolled, could lie some 1e-5 off the curve that the later
    // ones solve, which then lost their roots at high volatility.)
    const std::size_t count = branches_.back().tau.size();
    const std::size_t controlled = branches_.back().root ? 3 : kInterp + 1;
    const double err = count > controlled ? std::fabs(*b - pred) / *b : 0.0;
    if (err > tolerance) {
      drop_last();
      if (h < 1e-10 * dt_) {
        if (!restart()) return false;
        continue;
      }
      h *= 0.5;
      continue;
    }
    if (const std::optional<double> ex = probe(t, *b)) {
      drop_last();
      const std::optional<double> higher = solve_node(t, *ex, *ex, std::min(1.0, 1.5 * *ex));
      if (higher && !probe(t, *higher)) {
        tau = t;
        continue;
      }
      if (higher) drop_last();
      if (!restart()) return false;
      continue;
    }
    tau = t;
    ++budget_.nodes;
    const double grow =
        err == 0.0 ? 2.0 : std::min(2.0, 0.8 * exp(log(tolerance / err) / (kInterp + 1)));
    h *= std::max(grow, 0.3);
  }
  return true;
}

}  // namespace

Result<Slopes> american_slopes_between(const DividendAmerican& o, double spot) {
  const double k = o.strike;
  // The put's variable is the spot, the call's the strike over the spot,
  // with the rate and the yield exchanged (Terminal).
  const double z0 = o.call ? k / spot : spot / k;
  const std::size_t m = o.t.size();
  const double r = o.call ? o.yield : o.rate, q = o.call ? o.rate : o.yield, vol = o.vol;
  const double mu = o.rate - o.yield - 0.5 * (vol * vol);  // the spot's
  const char* unsettled = o.call ? kCallUnsettled : kPutUnsettled;
  // Where z can be after dividend j, and how far up its value matters: the
  // spot's reach (a call's z has no bound where the dividends may take the
  // spot to 0; there a call is worth 0 past where z cannot fall to 1 by T,
  // jumps only raising it, but for odds of some 1e-21).
  const double call_top = std::fabs(r - q - 0.5 * (vol * vol)) * o.maturity +
                          kReach * (vol * std::sqrt(o.maturity));
  double low = 0.0, high = 0.0;
  const auto reach_of = [&](std::size_t j) {
    double s_low, s_high;
    reach(spot, mu, vol, o.t, o.d, j, s_low, s_high);
    if (!o.call) {
      low = s_low / k;
      high = s_high / k;
    } else {
      low = k / s_high;
      high = s_low > 0.0 ? k / s_low : std::numeric_limits<double>::infinity();
    }
  };
  const auto top_of = [&](double b) {
    const double x = o.call ? std::min(log(high), call_top) : log(std::max(high, 1e-300));
    return std::max(x + 0.5, log(b) + 0.1);
  };
  Budget budget;
  if (shared_left) budget.limit = std::min(kMostTerms, *shared_left);
  // What this price spent, drawn from the shared allowance however it ends.
  struct Draw {
    const Budget& budget;
    ~Draw() {
      if (shared_left) *shared_left -= budget.spent;
    }
  } draw{budget};
  // F after the last dividend: the plain American put over T - t_m (for a
  // call, that put on z: the plain call over the spot).
  const double tau = o.maturity - o.t[m - 1];
  reach_of(m - 1);
  Panels next;
  if (tau == 0.0) {
    next.b = 1.0;
  } else {
    // The plain put's errors (its own no_convergence) are the price's.
    Status failed;
    const auto plain = [&](double s) -> std::optional<double> {
      const Result<double> p = american_price(s, 1.0, tau, r, q, vol, false);
      if (!p) {
        failed = p.error();
        return std::nullopt;
      }
      return p.value();
    };
    // Its boundary: the largest spot it is exercised at.
    double lo = 1.0;
    for (int i = 0; i < 1100; ++i) {
      const std::optional<double> p = plain(lo);
      if (!p) return *failed;
      if (*p == 1.0 - lo) break;
      lo *= 0.5;
    }
    double hi = std::min(1.0, 2.0 * lo);
    for (int i = 0; i < 64 && hi > lo * (1.0 + 1e-15); ++i) {
      const double mid = std::sqrt(lo * hi);
      const std::optional<double> p = plain(mid);
      if (!p) return *failed;
      (*p == 1.0 - mid ? lo : hi) = mid;
    }
    const double b = lo;
    const auto fn = [&](const double* s, int n, double* out) {
      for (int i = 0; i < n; ++i) {
        const std::optional<double> p = plain(s[i]);
        if (!p) return false;
        out[i] = *p;
      }
      budget.spent += 100.0 * n;  // a price on a kept boundary: some hundred terms
      return !budget.exhausted();
    };
    if (!fit_panels(fn, b, log(std::max(low, 1e-300)), top_of(b), vol * std::sqrt(tau), next)) {
      if (failed) return *failed;
      return IVError::no_convergence_of(unsettled, budget.nodes);
    }
  }
  for (std::size_t j = m; j-- > 0;) {
    const double start = j > 0 ? o.t[j - 1] : 0.0;
    if (j > 0) reach_of(j - 1);
    const Terminal end(next, o.d[j] / k, o.call);
    Stretch st(end, o.t[j] - start, r, q, vol, j > 0 ? low : z0, budget);
    bool settled = false;
    for (double tolerance : kTolerances) {
      if ((settled = st.solve(tolerance))) break;
    }
    if (!settled) return IVError::no_convergence_of(unsettled, budget.nodes);
    const double b = st.last();
    if (j == 0) {
      if (z0 <= b) {
        return o.call ? Slopes{spot - k, spot, spot} : Slopes{k * (1.0 - z0), -spot, -spot};
      }
      const Taylor v = st.value_at_start(z0);
      if (o.call) {
        // c(x) = e^x W(e^{-x}) in x = ln S (strike units), W the value on z:
        // c_x = c - W_z, c_xx = c_x + z W_zz.
        const double price = spot * v.v;
        const double dx = price - k * v.s;
        return Slopes{price, dx, dx + k * (z0 * v.ss)};
      }
      // In x = ln S: V_x = S V_S, V_xx = S V_S + S^2 V_SS (strike units
      // scale V by K and leave the derivatives in x as they are).
      return Slopes{k * v.v, k * (z0 * v.s), k * (z0 * v.s + z0 * z0 * v.ss)};
    }
    const auto fn = [&](const double* s, int n, double* out) {
      st.values_at_start(s, n, out);
      return !budget.exhausted();
    };
    Panels fitted;
    if (!fit_panels(fn, b, log(std::max(low, 1e-300)), top_of(b),
                    vol * std::sqrt(o.t[j] - start), fitted)) {
      return IVError::no_convergence_of(unsettled, budget.nodes);
    }
    next = std::move(fitted);
  }
  return IVError::no_convergence_of(unsettled, 0);
}

SharedWork::SharedWork(double terms) : left_(terms), outer_(shared_left) {
  if (outer_) left_ = std::min(left_, *outer_);
  initial_ = left_;
  shared_left = &left_;
}

SharedWork::~SharedWork() {
  // A scope within another spends the outer one's allowance too.
  if (outer_) *outer_ -= initial_ - left_;
  shared_left = outer_;
}

}  // namespace tarvik::dividends
