// An independent check of the American reference prices: the linear
// complementarity problem of the American option solved by Crank-Nicolson
// in log-spot, with no code in common with the boundary-integral pricer.
//
//   V_tau = sigma^2/2 V_xx + (r - q - sigma^2/2) V_x - r V,  V >= payoff,
//
// x = ln S, tau the time to expiry. Central differences on a uniform grid that
// holds both ln S and ln K as nodes (so the payoff's kink sits on a node at
// every refinement); times tau_j = T (j/M)^2, which concentrate the steps
// where the exercise boundary moves like sqrt(tau ln(1/tau)); the first two
// intervals in four implicit Euler half-steps (Rannacher 1984), which damps
// the kink's oscillations. Each step's complementarity problem is solved
// exactly by the Brennan-Schwartz (1977) elimination: towards the exercise
// region's side, then back out of it taking max(value, payoff) node by node
// (valid for a single boundary, an M-matrix: |r - q - sigma^2/2| h <= sigma^2).
//
// Each level halves h and the steps; the error of the grid price behaves like
// c h^2 (the measured order between levels is 2.0 on most options), so
// R_l = (4 V_l - V_(l-1)) / 3 (Richardson) removes it, and |R_L - R_(L-1)|
// estimates the error left in R_L. Where the boundary passes close to the
// spot at low volatility (T = 3, sigma = 0.1, r >> q in the put's form) the
// error oscillates as the boundary crosses nodes and the estimate is only
// some 1e-7 to 1e-6; it is the space step that limits there (halving the
// time steps alone changes nothing), hence few time steps against many
// nodes: 8 levels from 250 nodes x 32 steps to 32,000 x 4,096. Puts and
// calls are solved directly (no put-call symmetry).
//
//   american_cn [--levels L] [--nodes N0] [--steps M0] [--ref FILE]
//               [--european] [index ...]
// Without indices, a fixed subset of the portfolio (american_portfolio.hpp):
// every 331st option (47) and ten hard corners (long T, low sigma, r >> q, q > r).
// --ref compares the extrapolated prices with an "index,price" file;
// --european drops the early-exercise constraint and compares with the
// closed-form Black-Scholes price instead, which measures the scheme's own
// accuracy where the answer is known.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "american_portfolio.hpp"
#include "tarvik/black_scholes.hpp"

namespace {

using tarvik_bench::AmericanOption;

double payoff(const AmericanOption& o, double spot) {
  return std::max(o.call ? spot - o.k : o.k - spot, 0.0);
}

struct Layout {
  double h;     // log-spot step at level 0
  int spot_at;  // index of ln S at level 0
  int nodes;    // intervals at level 0
};

// A grid reaching 8 standard deviations (and the drift) beyond both ln S and
// ln K, with both on nodes.
Layout layout(const AmericanOption& o, int base_nodes) {
  const double nu = o.r - o.q - 0.5 * o.v * o.v;
  const double reach = 8.0 * o.v * std::sqrt(o.t) + std::fabs(nu) * o.t;
  const double d = std::log(o.k / o.s);
  const double below = std::max(-d, 0.0) + reach, above = std::max(d, 0.0) + reach;
  double h = (below + above) / base_nodes;
  if (std::fabs(d) > 0.0) h = std::fabs(d) / std::max(1.0, std::round(std::fabs(d) / h));
  const int spot_at = static_cast<int>(std::ceil(below / h));
  return {h, spot_at, spot_at + static_cast<int>(std::ceil(above / h))};
}

// The grid price at ln S with `nodes` intervals of width h and `steps` time
// intervals. The nodes are numbered from the in-the-money end (low spot for a
// put, high spot for a call; the drift term changes sign for the call), so
// one elimination serves both.
double grid_price(const AmericanOption& o, double h, int spot_at, int nodes, int steps,
                  bool american) {
  const double side = o.call ? -1.0 : 1.0;
  const double x0 = std::log(o.s) - side * (o.call ? nodes - spot_at : spot_at) * h;
  const double alpha = 0.5 * o.v * o.v / (h * h);
  const double beta = side * (o.r - o.q - 0.5 * o.v * o.v) / (2.0 * h);
  std::vector<double> spot(nodes + 1), floor(nodes + 1), value(nodes + 1), rhs(nodes + 1),
      inverse(nodes + 1);
  for (int i = 0; i <= nodes; ++i) {
    spot[i] = std::exp(x0 + side * i * h);
    floor[i] = american ? payoff(o, spot[i]) : -HUGE_VAL;
    value[i] = payoff(o, spot[i]);
  }
  const auto deep = [&](double tau) {
    const double forward = o.call ? spot[0] * std::exp(-o.q * tau) - o.k * std::exp(-o.r * tau)
                                  : o.k * std::exp(-o.r * tau) - spot[0] * std::exp(-o.q * tau);
    return american ? std::max(payoff(o, spot[0]), forward) : forward;
  };
  // One step from tau to tau + dt with weight theta on the new time level.
  // Brennan-Schwartz: eliminate from the far (held) end towards the exercise
  // region, then substitute back out of it, each value at least the payoff.
  const auto step = [&](double tau, double dt, double theta) {
    const double explicit_dt = (1.0 - theta) * dt, implicit_dt = theta * dt;
    for (int i = 1; i < nodes; ++i)
      rhs[i] =
          value[i] + explicit_dt * ((alpha - beta) * value[i - 1] - (2.0 * alpha + o.r) * value[i] +
                                    (alpha + beta) * value[i + 1]);
    const double lower = -implicit_dt * (alpha - beta), upper = -implicit_dt * (alpha + beta);
    const double diagonal = 1.0 + implicit_dt * (2.0 * alpha + o.r);
    value[0] = deep(tau + dt);
    value[nodes] = 0.0;
    // The pivots of a constant-coefficient matrix reach a fixed point within
    // some hundreds of rows; from there on they are computed no more.
    double pivot = 1.0 / diagonal;
    bool settled = false;
    inverse[nodes - 1] = pivot;
    for (int i = nodes - 2; i >= 1; --i) {
      const double f = upper * inverse[i + 1];
      if (!settled) {
        const double next = 1.0 / (diagonal - f * lower);
        settled = next == pivot;
        pivot = next;
      }
      inverse[i] = pivot;
      rhs[i] -= f * rhs[i + 1];
    }
    for (int i = 1; i < nodes; ++i)
      value[i] = std::max((rhs[i] - lower * value[i - 1]) * inverse[i], floor[i]);
  };
  const auto time = [&](int j) { return o.t * (double(j) / steps) * (double(j) / steps); };
  for (int j = 0; j < steps; ++j) {
    const double tau = time(j), dt = time(j + 1) - tau;
    if (j < 2) {
      step(tau, 0.5 * dt, 1.0);
      step(tau + 0.5 * dt, 0.5 * dt, 1.0);
    } else {
      step(tau, dt, 0.5);
    }
  }
  return value[o.call ? nodes - spot_at : spot_at];
}

struct Estimate {
  std::vector<double> grid;  // V_l
  double extrapolated;       // R_L
  double error;              // |R_L - R_(L-1)|
};

Estimate extrapolate(const AmericanOption& o, int levels, int base_nodes, int base_steps,
                     bool american) {
  const Layout g = layout(o, base_nodes);
  Estimate e{};
  for (int l = 0; l < levels; ++l) {
    const int scale = 1 << l;
    e.grid.push_back(grid_price(o, g.h / scale, g.spot_at * scale, g.nodes * scale,
                                base_steps * scale, american));
  }
  const auto richardson = [&](int l) { return (4.0 * e.grid[l] - e.grid[l - 1]) / 3.0; };
  e.extrapolated = richardson(levels - 1);
  e.error = std::fabs(e.extrapolated - richardson(levels - 2));
  return e;
}

// Every 331st option, and corners where the boundary is hardest to resolve.
std::vector<int> default_subset(const std::vector<AmericanOption>& book) {
  std::vector<int> out;
  for (int i = 0; i < static_cast<int>(book.size()); i += 331) out.push_back(i);
  const AmericanOption corners[] = {
      {100, 100, 3, 0.1, 0.0, 0.1, false},         {90, 100, 3, 0.1, 0.0, 0.1, false},
      {100, 100, 3, 0.1, 0.0, 0.6, false},         {100, 100, 3, 0.02, 0.12, 0.1, false},
      {100, 100, 3, 0.0, 0.12, 0.1, true},         {110, 100, 2, 0.0, 0.04, 0.1, true},
      {120, 100, 3, 0.02, 0.12, 0.2, true},        {80, 100, 1.0 / 12, 0.1, 0.0, 0.1, false},
      {100, 100, 1.0 / 12, 0.1, 0.12, 0.1, false}, {150, 100, 3, 0.0, 0.08, 0.3, true}};
  for (const auto& c : corners)
    for (int i = 0; i < static_cast<int>(book.size()); ++i) {
      const auto& o = book[static_cast<std::size_t>(i)];
      if (o.s == c.s && o.t == c.t && o.r == c.r && o.q == c.q && o.v == c.v && o.call == c.call &&
          std::find(out.begin(), out.end(), i) == out.end())
        out.push_back(i);
    }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int levels = 8, base_nodes = 250, base_steps = 32;
  const char* ref_path = nullptr;
  bool american = true;
  std::vector<int> picks;
  for (int arg = 1; arg < argc; ++arg) {
    const bool has_value = arg + 1 < argc;
    if (std::strcmp(argv[arg], "--levels") == 0 && has_value) {
      levels = std::max(2, std::atoi(argv[++arg]));
    } else if (std::strcmp(argv[arg], "--nodes") == 0 && has_value) {
      base_nodes = std::max(8, std::atoi(argv[++arg]));
    } else if (std::strcmp(argv[arg], "--steps") == 0 && has_value) {
      base_steps = std::max(4, std::atoi(argv[++arg]));
    } else if (std::strcmp(argv[arg], "--ref") == 0 && has_value) {
      ref_path = argv[++arg];
    } else if (std::strcmp(argv[arg], "--european") == 0) {
      american = false;
    } else {
      picks.push_back(std::atoi(argv[arg]));
    }
  }
  const auto book = tarvik_bench::american_portfolio();
  if (picks.empty()) picks = default_subset(book);
  const std::map<int, double> ref =
      ref_path ? tarvik_bench::read_prices(ref_path) : std::map<int, double>{};
  double worst_diff = 0.0, worst_estimate = 0.0, worst_ratio = 0.0;
  int compared = 0;
  std::printf(
      "index   S     T      r     q    vol  type  V_L             order  R_L"
      "             est.err   vs.ref\n");
  for (int index : picks) {
    if (index < 0 || index >= static_cast<int>(book.size())) continue;
    const auto& o = book[static_cast<std::size_t>(index)];
    const Estimate e = extrapolate(o, levels, base_nodes, base_steps, american);
    const double scale = 1e-4 * o.k;
    double truth = NAN;
    if (!american) {
      truth = tarvik::black_scholes_price(o.s, o.k, o.t, o.r, o.q, o.v, o.call).value();
    } else if (const auto it = ref.find(index); it != ref.end()) {
      truth = it->second;
    }
    const double floor = std::max(std::isnan(truth) ? e.extrapolated : truth, scale);
    const double d1 = e.grid[levels - 2] - e.grid[levels - 3 < 0 ? 0 : levels - 3];
    const double d2 = e.grid[levels - 1] - e.grid[levels - 2];
    const double order = levels >= 3 && d2 != 0.0 ? std::log2(std::fabs(d1 / d2)) : NAN;
    const double estimate = e.error / floor;
    const double diff = std::fabs(e.extrapolated - truth) / floor;
    std::printf("%5d %5g %6.4f %5.2f %5.2f %4.2f %-4s %-15.10g %5.2f  %-17.15g %8.2e  %8.2e\n",
                index, o.s, o.t, o.r, o.q, o.v, o.call ? "call" : "put", e.grid[levels - 1], order,
                e.extrapolated, estimate, diff);
    std::fflush(stdout);
    worst_estimate = std::max(worst_estimate, estimate);
    if (!std::isnan(diff)) {
      ++compared;
      worst_diff = std::max(worst_diff, diff);
      // Below 1e-13 the estimate is rounding (a price at the exercise value).
      worst_ratio = std::max(worst_ratio, diff / std::max(estimate, 1e-13));
    }
  }
  std::printf("%zu options, %d levels from %d nodes x %d steps: worst error estimate %.2e",
              picks.size(), levels, base_nodes, base_steps, worst_estimate);
  if (compared)
    std::printf(", worst difference from the %s %.2e over %d (at most %.1f times the estimate)",
                american ? "reference" : "closed form", worst_diff, compared, worst_ratio);
  std::printf("\n");
  return 0;
}
