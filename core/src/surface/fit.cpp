// One expiry's raw SVI fit, by the quasi-explicit reduction of De Marco and
// Martini ("Quasi-explicit calibration of Gatheral's SVI model", Zeliade
// white paper, 2009): with y = (k - m)/sigma the smile is
//   w = a + d y + c sqrt(y^2 + 1),   c = b sigma, d = rho b sigma,
// linear in (a, d, c) for fixed (m, sigma). The inner problem, weighted
// least squares in (a, d, c) over the polytope
//   -(c - |d|) <= a <= max w,  |d| <= c,  c + |d| <= 2 sigma,
// (the smallest total variance a + sqrt(c^2 - d^2) >= a + c - |d| kept
// nonnegative, a linear bound inside the exact one; Lee's bound
// b (1 + |rho|) <= 2),
// is solved exactly: the minimum of a convex quadratic over a polytope is the
// unconstrained minimum over the affine hull of one of its faces, the one
// where it is feasible and the multipliers of the constraints holding the
// face are >= 0 (the KKT conditions); faces are tried fewest constraints
// first (at most 63 of them). The outer
// problem in (m, ln sigma) is Nelder and Mead's simplex search
// (nelder_mead.hpp) from a few starts.
//
// Butterfly arbitrage is kept out of the fit, not penalised after it: the
// outer search sees only parameters whose smile has g >= 0 everywhere
// (arbitrage_free, the condition of Gatheral and Jacquier 2014 with its
// minimum found over every k; Martini and Mingone, "No arbitrage SVI",
// arXiv 2005.03340, show that set is a union of ranges of the rescaled
// parameters), the others count as an infinite loss. The flat smile w = a
// (c = d = 0, g = 1) always qualifies, so a fit always ends on the domain.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "surface/nelder_mead.hpp"
#include "surface/points.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/surface.hpp"

namespace tarvik::surface {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kMostEvaluations = 750;   // of the first searches, over every start
constexpr double kLeastSigma = 0.005;    // the least sigma, in half the range of k
constexpr int kBisections = 7;           // toward the domain from an arbitrageable smile

// The inner problem's data at (m, sigma): H = sum weight f f^T and
// r = sum weight w f for f = (1, y, z), and sum weight w^2.
struct Normal {
  std::array<double, 9> h{};
  std::array<double, 3> r{};
  double ww = 0.0;
};

// The terms that do not move with (m, sigma): H's first entry, r's and
// sum weight w^2.
Normal fixed_terms(const Points& p) {
  Normal n;
  for (std::size_t i = 0; i < p.k.size(); ++i) {
    n.h[0] += p.weight[i];
    n.r[0] += p.weight[i] * p.w[i];
    n.ww += p.weight[i] * (p.w[i] * p.w[i]);
  }
  return n;
}

// The rest at (m, sigma), keeping each point's y and z = sqrt(y^2 + 1); z^2
// summed as y^2 + 1.
Normal normal_equations(const Points& p, const Normal& fixed, double m, double sigma,
                        std::vector<double>& ys, std::vector<double>& zs) {
  ys.resize(p.k.size());
  zs.resize(p.k.size());
  const double inverse = 1.0 / sigma;
  double y1 = 0.0, z1 = 0.0, yy = 0.0, yz = 0.0, wy = 0.0, wz = 0.0;
  for (std::size_t i = 0; i < p.k.size(); ++i) {
    const double y = (p.k[i] - m) * inverse;
    const double z = std::sqrt(y * y + 1.0);
    ys[i] = y;
    zs[i] = z;
    const double oy = p.weight[i] * y, oz = p.weight[i] * z;
    y1 += oy;
    z1 += oz;
    yy += oy * y;
    yz += oy * z;
    wy += oy * p.w[i];
    wz += oz * p.w[i];
  }
  Normal n = fixed;
  n.h = {fixed.h[0], y1, z1, y1, yy, yz, z1, yz, yy + fixed.h[0]};
  n.r[1] = wy;
  n.r[2] = wz;
  return n;
}

// The constraints N x <= beta on x = (a, d, c).
struct Constraint {
  double n[3];
  double beta;
};

// Solves A x = b for a small system by Gaussian elimination with partial
// pivoting; false where A is singular to working precision.
template <std::size_t N>
bool solve(std::array<double, N * N> a, std::array<double, N> b, std::size_t size,
           std::array<double, N>& x) {
  double scale = 0.0;
  for (std::size_t i = 0; i < size * N; ++i) scale = std::max(scale, std::fabs(a[i]));
  for (std::size_t col = 0; col < size; ++col) {
    std::size_t pivot = col;
    for (std::size_t row = col + 1; row < size; ++row) {
      if (std::fabs(a[row * N + col]) > std::fabs(a[pivot * N + col])) pivot = row;
    }
    if (!(std::fabs(a[pivot * N + col]) > 1e-13 * scale)) return false;
    if (pivot != col) {
      for (std::size_t j = 0; j < size; ++j) std::swap(a[col * N + j], a[pivot * N + j]);
      std::swap(b[col], b[pivot]);
    }
    for (std::size_t row = col + 1; row < size; ++row) {
      const double f = a[row * N + col] / a[col * N + col];
      for (std::size_t j = col; j < size; ++j) a[row * N + j] -= f * a[col * N + j];
      b[row] -= f * b[col];
    }
  }
  for (std::size_t i = size; i-- > 0;) {
    double s = b[i];
    for (std::size_t j = i + 1; j < size; ++j) s -= a[i * N + j] * x[j];
    x[i] = s / a[i * N + i];
  }
  return true;
}

// The inner problem's minimum: (a, d, c) and its loss, sum weight residual^2.
struct Inner {
  double a, d, c, loss;
};

Inner inner_fit(const Normal& n, double sigma, double most_w) {
  constexpr int kConstraints = 7;
  const Constraint cons[kConstraints] = {
      {{-1.0, 1.0, -1.0}, 0.0},       {{-1.0, -1.0, -1.0}, 0.0},
      {{1.0, 0.0, 0.0}, most_w},      {{0.0, 1.0, -1.0}, 0.0},
      {{0.0, -1.0, -1.0}, 0.0},       {{0.0, 1.0, 1.0}, 2.0 * sigma},
      {{0.0, -1.0, 1.0}, 2.0 * sigma},
  };
  const auto loss = [&](const std::array<double, 6>& x) {
    // x^T H x - 2 r^T x + sum weight w^2
    double q = n.ww;
    for (int i = 0; i < 3; ++i) {
      double hx = 0.0;
      for (int j = 0; j < 3; ++j) hx += n.h[i * 3 + j] * x[j];
      q += x[i] * hx - 2.0 * n.r[i] * x[i];
    }
    return q;
  };
  const double tol = 1e-12 * std::max({1.0, most_w, 2.0 * sigma});
  Inner best{0.0, 0.0, 0.0, kInf};
  // Faces by the number of constraints that hold them, fewest first: the
  // first whose minimum is feasible with multipliers >= 0 (the KKT
  // conditions) is the answer, mostly the whole space's or a facet's. Where
  // rounding leaves none so, the best feasible one. The whole space's comes
  // first; then the faces held only by constraints its minimum breaks, where
  // the answer mostly is, then the others.
  static const std::array<unsigned, 64> kFaces = [] {
    std::array<unsigned, 64> faces{};
    std::size_t at = 0;
    for (int active = 0; active <= 3; ++active) {
      for (unsigned mask = 0; mask < (1u << kConstraints); ++mask) {
        if (std::popcount(mask) == active) faces[at++] = mask;
      }
    }
    return faces;
  }();
  unsigned broken = 0;  // the constraints the whole space's minimum breaks
  // The face's minimum where it meets the KKT conditions.
  const auto face = [&](unsigned mask, bool first) -> bool {
    const int active = std::popcount(mask);
    const std::size_t size = 3 + static_cast<std::size_t>(active);
    std::array<double, 36> kkt{};
    std::array<double, 6> rhs{}, x{};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) kkt[i * 6 + j] = n.h[i * 3 + j];
      rhs[i] = n.r[i];
    }
    std::size_t row = 3;
    for (int c = 0; c < kConstraints; ++c) {
      if (!(mask & (1u << c))) continue;
      for (int j = 0; j < 3; ++j) {
        kkt[row * 6 + j] = cons[c].n[j];
        kkt[j * 6 + row] = cons[c].n[j];
      }
      rhs[row] = cons[c].beta;
      ++row;
    }
    if (!solve<6>(kkt, rhs, size, x)) {
      if (first) broken = (1u << kConstraints) - 1;
      return false;
    }
    bool feasible = true;
    for (int c = 0; c < kConstraints; ++c) {
      const Constraint& con = cons[c];
      if (con.n[0] * x[0] + con.n[1] * x[1] + con.n[2] * x[2] > con.beta + tol) {
        feasible = false;
        if (first) broken |= 1u << c;
      }
    }
    if (!feasible) return false;
    const double q = loss(x);
    if (q < best.loss) best = {x[0], x[1], x[2], q};
    bool multipliers = true;
    for (std::size_t i = 3; i < size; ++i) multipliers = multipliers && x[i] >= 0.0;
    if (multipliers) best = {x[0], x[1], x[2], q};
    return multipliers;
  };
  if (face(0, true)) return best;
  for (const bool within : {true, false}) {
    for (std::size_t i = 1; i < kFaces.size(); ++i) {
      if (((kFaces[i] & ~broken) == 0) == within && face(kFaces[i], false)) return best;
    }
  }
  return best;
}

Svi to_svi(const Inner& in, double m, double sigma) {
  const double c = std::max(in.c, 0.0);
  const double rho = c > 0.0 ? std::clamp(in.d / c, -1.0, 1.0) : 0.0;
  return {in.a, c / sigma, rho, m, sigma};
}

// The outer loss at (m, ln sigma): the inner minimum where its smile is free
// of butterfly arbitrage. Where it is not, the smile furthest toward it from
// the flat one (c = d = 0 at the weighted mean, g = 1) on the segment between
// them that still is, found by bisection: so the loss stays finite and
// continuous-ish where the inner minimum leaves the domain, and the search
// can walk back onto it. A loss at or above `keep` is returned unchecked:
// the search drops such a point whatever its smile.
struct Outer {
  const Points& p;
  double mean = 0.0;  // the weighted mean total variance
  bool checked = true;  // false: the inner minimum's loss, free of arbitrage or not
  Normal fixed = fixed_terms(p);
  std::vector<double> ys{}, zs{};

  double loss_of(double a, double d, double c) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < p.k.size(); ++i) {
      const double r = (a + (d * ys[i] + c * zs[i])) - p.w[i];
      sum += p.weight[i] * (r * r);
    }
    return sum;
  }

  double operator()(double m, double log_sigma, double keep, Svi* out = nullptr) {
    const double sigma = elementary::exp(log_sigma);
    // A sigma far below the quotes' range makes a kink the quotes cannot see
    // (a density with a spike where no strike is quoted).
    if (!(sigma >= kLeastSigma * p.spread) || !std::isfinite(sigma) || !std::isfinite(m)) {
      return kInf;
    }
    const Inner in = inner_fit(normal_equations(p, fixed, m, sigma, ys, zs), sigma, p.most_w);
    if (!(in.loss < kInf)) return kInf;
    Svi s = to_svi(in, m, sigma);
    // The loss summed anew: the quadratic form cancels to some 1e-16 of
    // sum weight w^2, too coarse near an exact fit.
    const double c = s.b * sigma, d = s.rho * c;
    double sum = loss_of(s.a, d, c);
    if (!(sum < kInf)) return kInf;  // an overflow or a NaN: no candidate
    if (sum >= keep || !checked) return sum;
    if (!arbitrage_free(s)) {
      double lo = 0.0, hi = 1.0;  // the flat smile's end is free of arbitrage
      for (int it = 0; it < kBisections; ++it) {
        const double t = 0.5 * (lo + hi);
        const Svi mid{mean + t * (s.a - mean), s.b * t, s.rho, m, sigma};
        (arbitrage_free(mid) ? lo : hi) = t;
      }
      s = {mean + lo * (s.a - mean), s.b * lo, s.rho, m, sigma};
      if (lo == 0.0 && !arbitrage_free(s)) return kInf;  // else checked above
      sum = loss_of(s.a, lo * d, lo * c);
      if (!(sum < kInf)) return kInf;
    }
    if (out) *out = s;
    return sum;
  }
};

}  // namespace

SviFit fit_svi(std::span<const double> k, std::span<const double> w,
               std::span<const double> weights) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Svi none{kNaN, kNaN, kNaN, kNaN, kNaN};
  Points p;
  if (const char* reason = take_points(k, w, weights, p)) return {none, kNaN, 0, reason};
  const double spread = p.spread;
  const std::size_t lowest =
      static_cast<std::size_t>(std::min_element(p.w.begin(), p.w.end()) - p.w.begin());

  // The flat smile at the weighted mean, always on the domain.
  double mean = 0.0;
  for (std::size_t i = 0; i < p.w.size(); ++i) mean += p.weight[i] * p.w[i];
  Outer outer{p, mean};
  int evaluations = 0;
  Svi best{mean, 0.0, 0.0, p.k[lowest], spread};
  double best_loss = 0.0;
  for (std::size_t i = 0; i < p.w.size(); ++i) {
    best_loss += p.weight[i] * ((p.w[i] - mean) * (p.w[i] - mean));
  }
  // From each start without the arbitrage check first, the costly part of a
  // loss (nelder_mead.hpp).
  const double scales[] = {0.1, 0.3, 1.0};
  const int budget = kMostEvaluations / static_cast<int>(std::size(scales));
  Starts starts{{1e-3 * spread, 1e-3}};
  for (const double scale : scales) {
    const double start[2] = {p.k[lowest], elementary::log(scale * spread)};
    const double step[2] = {0.1 * spread, 0.5};
    Svi s = best;
    const Vertex v = starts.search(outer, start, step, budget, evaluations, &s);
    if (v.f < best_loss) {
      best = s;
      best_loss = v.f;
    }
  }
  // Never a smile outside the domain said fitted (quotes so far apart that
  // no smile's arithmetic holds them, say).
  if (!arbitrage_free(best)) return {none, kNaN, evaluations, "no smile on the domain fits"};
  return {best, std::sqrt(best_loss), evaluations, nullptr};
}

}  // namespace tarvik::surface
