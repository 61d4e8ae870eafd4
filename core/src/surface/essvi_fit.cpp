// A chain's eSSVI smiles, expiry after expiry (Corbetta, Cohort, Laachir and
// Martini, "Robust calibration and arbitrage-free interpolation of SSVI
// slices", Decisions in Economics and Finance 42, 2019).
//
// For a fixed shape (rho, phi) the smile theta f(k) is linear in theta, so
// the weighted least-squares theta is closed form, and both arbitrage
// conditions are bounds on it:
//   butterfly (Gatheral and Jacquier 2014, Theorem 4.2, with psi = theta phi):
//     theta <= 4 / (phi (1 + |rho|))  and  theta <= 4 / (phi^2 (1 + |rho|));
//   calendar (the smile on or above the previous expiry's, w_prev, at every k):
//     theta >= sup_k w_prev(k) / f(k),
// the supremum over the line (line.hpp, on grids about both smiles' centres
// and about k = 0)
// and its limits psi_prev (1 +- rho_prev) / (phi (1 +- rho)) as k -> +-inf.
// So each shape's theta is the least-squares one clamped to its bounds, and
// a shape whose bounds cross is no candidate. Nelder-Mead searches (rho,
// ln phi) from a few starts; the shape of the previous smile at any theta
// above its own is always a candidate (psi and rho kept, w grows with
// theta), so every expiry after a fitted one can be fitted.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "surface/essvi_shape.hpp"
#include "surface/line.hpp"
#include "surface/nelder_mead.hpp"
#include "surface/points.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/surface.hpp"

namespace tarvik::surface {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kMostEvaluations = 1200;  // of the first searches, over every start

// sup_k w_prev(k) / f(k), at least w_prev(0) / f(0) = theta_prev.
double calendar_floor(const Essvi& prev, const Shape& f) {
  const Shape before{prev.rho, prev.psi / prev.theta};
  double floor = 0.0;
  for (const double side : {-1.0, 1.0}) {
    const double top = prev.psi * (1.0 + side * prev.rho), bottom = f.phi * (1.0 + side * f.rho);
    floor = std::max(floor, top > 0.0 ? top / bottom : 0.0);
  }
  // About both smiles' centres at their scales, and where either scale is
  // small (rho near +-1, say: a grid reaches some 8e4 of its scale) about
  // k = 0 at unit scale too.
  const Svi centres[3] = {to_svi(prev), to_svi(Essvi{1.0, f.rho, f.phi}), Svi{0, 0, 0, 0, 1}};
  const bool small = !(centres[0].sigma >= kSmallScale && centres[1].sigma >= kSmallScale);
  for (const Svi& c : std::span(centres, small ? 3 : 2)) {
    const double scale = c.sigma > 0.0 && std::isfinite(c.sigma) ? c.sigma : 1.0;
    const double centre = std::isfinite(c.m) ? c.m : 0.0;
    const LineMinimum low = line_minimum<2>([&](double y, double) {
      const double k = centre + scale * y;
      return -(prev.theta * before.value(k) / f.value(k));
    });
    if (std::isnan(low.value)) return kInf;
    floor = std::max(floor, -low.value);
  }
  return floor;
}

struct Outer {
  const Points& p;
  const std::optional<Essvi>& prev;
  bool checked = true;  // false: theta not held to the calendar's floor
  std::vector<double> fs{};

  double operator()(double rho, double log_phi, double keep, Essvi* out = nullptr) {
    const double phi = elementary::exp(log_phi);
    if (!(std::fabs(rho) < 1.0) || !(phi > 0.0) || !std::isfinite(phi)) return kInf;
    const Shape f{rho, phi};
    fs.resize(p.k.size());
    double fw = 0.0, ff = 0.0;
    for (std::size_t i = 0; i < p.k.size(); ++i) {
      fs[i] = f.value(p.k[i]);
      fw += p.weight[i] * (fs[i] * p.w[i]);
      ff += p.weight[i] * (fs[i] * fs[i]);
    }
    const double wing = 1.0 + std::fabs(rho);
    const double most = std::min(4.0 / (phi * wing), 4.0 / ((phi * phi) * wing));
    double theta = std::min(fw / ff, most);
    const auto loss = [&] {
      double sum = 0.0;
      for (std::size_t i = 0; i < p.k.size(); ++i) {
        const double r = theta * fs[i] - p.w[i];
        sum += p.weight[i] * (r * r);
      }
      return sum;
    };
    // Without the calendar's floor, a lower bound of the loss: enough to drop the point.
    double sum = loss();
    if (!(sum < kInf) || !(theta > 0.0)) return kInf;
    if (sum >= keep) return sum;
    if (prev && checked) {
      const double least = calendar_floor(*prev, f);
      if (!(least <= most)) return kInf;
      if (theta < least) {
        theta = least;
        sum = loss();
      }
    }
    if (out) *out = {theta, rho, theta * phi};
    return sum;
  }
};

EssviFit fit_one(const ExpiryQuotes& q, const std::optional<Essvi>& prev) {
  const Essvi none{kNaN, kNaN, kNaN};
  Points p;
  if (const char* reason = take_points(q.k, q.w, q.weights, p)) return {none, kNaN, 0, reason};
  // The at-the-money total variance, read off the quote nearest k = 0.
  std::size_t atm = 0;
  for (std::size_t i = 1; i < p.k.size(); ++i) {
    if (std::fabs(p.k[i]) < std::fabs(p.k[atm])) atm = i;
  }
  const double theta0 = std::max(p.w[atm], prev ? prev->theta : 0.0);
  Outer outer{p, prev};
  int evaluations = 0;
  Essvi best = none;
  double best_loss = kInf;
  // From the previous smile's shape where there is one (the neighbouring
  // expiry's smile is mostly close), and from generic skews.
  const double phi0 = elementary::log(1.0 / std::sqrt(theta0));
  std::vector<std::array<double, 2>> starts;
  if (prev) starts.push_back({prev->rho, elementary::log(prev->psi / theta0)});
  starts.push_back({-0.6, phi0});
  starts.push_back({0.0, phi0});
  if (!prev) starts.push_back({0.6, phi0});
  // From each start without the calendar's floor first, the costly part of
  // a loss (nelder_mead.hpp).
  const int budget = kMostEvaluations / static_cast<int>(starts.size());
  Starts searches{{1e-3, 1e-3}};
  for (const auto& s : starts) {
    const double start[2] = {s[0], s[1]};
    const double step[2] = {0.2 * (s[0] > 0.0 ? -1.0 : 1.0), 0.5};
    Essvi e = none;
    const Vertex v = searches.search(outer, start, step, budget, evaluations, &e);
    if (v.f < best_loss) {
      best = e;
      best_loss = v.f;
    }
  }
  if (!(best_loss < kInf) || !arbitrage_free(to_svi(best))) {
    return {none, kNaN, evaluations, "no smile on the domain fits"};
  }
  return {best, std::sqrt(best_loss), evaluations, nullptr};
}

}  // namespace

std::vector<EssviFit> fit_essvi(std::span<const ExpiryQuotes> expiries) {
  std::vector<EssviFit> fits;
  fits.reserve(expiries.size());
  std::optional<Essvi> prev;
  for (const ExpiryQuotes& q : expiries) {
    fits.push_back(fit_one(q, prev));
    if (!fits.back().reason) prev = fits.back().essvi;
  }
  return fits;
}

}  // namespace tarvik::surface
