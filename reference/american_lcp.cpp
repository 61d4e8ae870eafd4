// A reference for American prices over the whole domain, with an error
// estimate, and no code in common with the boundary-integral pricer: the
// linear complementarity problem of the American option
//
//   min(-V_tau + sigma^2/2 V_xx + (r - q - sigma^2/2) V_x - r V,  V - g) = 0
//
// (x = ln S, tau the time to expiry, g the payoff) solved by Crank-Nicolson
// on a uniform grid in x, each step's complementarity problem solved exactly
// by policy iteration (Howard 1960; for an M-matrix it ends after finitely
// many tridiagonal solves, Bokanowski, Maroso and Zidani, SIAM J. Numer. Anal.
// 47(4), 2009, Theorem 2.1). Unlike the Brennan-Schwartz elimination of
// american_cn, it assumes nothing about the shape of the exercise region, so
// it serves the cases where the region is an interval between two
// boundaries (a put with q < r < 0, a call with r < q < 0).
//
// The grid. The log-spot of the zero-volatility path runs from ln S to
// ln S + (r - q - sigma^2/2) T; the grid reaches 8 sigma sqrt(T) beyond it on
// both sides (at most 700 in x from ln S, where S e^x stays finite) and holds
// ln S as a node. The payoff enters as its cell averages (Pooley, Vetzal and
// Forsyth, J. Comput. Finance 6(4), 2003), so the strike need not be a node;
// with the first two intervals in four implicit Euler half-steps (Rannacher
// 1984) the error is c h^2 + o(h^2) with a smooth c. The step is at most
// sigma^2 / |r - q - sigma^2/2| (cell Peclet number at most one), which keeps
// the implicit matrix an M-matrix and resolves the layer of width
// sigma^2 / |drift| at the boundary; the node count at low volatility grows
// like (drift sqrt(T) / sigma)^2, and beyond a node budget the option is
// reported unresolved. Times tau_j = T (j/M)^2. At both ends of the grid the
// value is the zero-volatility American value there (what the far ends
// matter is below e^-32 of the price).
//
// Each level halves h and the time steps; R_l = (4 V_l - V_(l-1)) / 3
// (Richardson) and the error estimate is the larger of |R_L - R_(L-1)| and
// |R_(L-1) - R_(L-2)|, widened to |V_L - V_(L-1)| where the last three grid
// prices do not converge at an order between 1.3 and 2.7 (the grids are not
// yet in the asymptotic range). Where the boundary crosses nodes the error
// has a component that oscillates with h and the extrapolations converge
// unevenly: one small change alone can be luck (a long-dated call at
// vol 0.76 changed by 1.7e-6 from six to seven levels, then by 2e-5).
//
// Cash dividends (a schedule on the row): the spot drops by D_i at each
// ex-date t_i, to max(S - D_i, 0), so that V(S, t_i-) = V(max(S - D_i, 0),
// t_i+), at least the payoff where exercise is allowed (just before the
// ex-date); V at the shifted spots by cubic Lagrange interpolation in ln S,
// below the grid from the zero-volatility value, then a new stretch of time
// steps from a new Rannacher start. A dividend on the expiry date is paid
// before the payoff (its cell averages are those of the payoff on S - D);
// one after it is dropped. The interpolation's error is of the scheme's
// order and varies smoothly with h, so Richardson removes it too (checked
// against closed forms and quadrature: tests/test_dividend_reference.py).
//
// The zero-volatility value, beside each price, is a lower bound of the
// American price (the price grows with the volatility) and its limit as
// sigma sqrt(T) -> 0: the best of stopping at 0, at T or at the stationary
// time t* = ln(q S / (r K)) / (q - r) of the discounted gain (with dividends,
// at the ends of each stretch between ex-dates and its stationary time).
//
//   american_lcp IN.csv OUT.csv [--levels L] [--nodes N0] [--steps M0]
//                [--budget NODES] [--threads T] [--european]
// IN.csv rows: S,K,T,r,q,vol,call[,times,amounts] (call 1 or 0; the
// dividends' ex-dates in years, increasing, and their amounts, each list
// joined by ';', as reference/dividend_portfolio.py writes them; lines that
// do not parse, such as a header, are skipped; the n-th parsed row is index
// n). OUT.csv rows:
// index,price,error_estimate,zero_vol,levels,nodes,steps,order,status,seconds,
// grid_prices (V_0;...;V_L);
// status ok, unresolved (the node budget does not reach the resolution the
// drift asks for: the price is the zero-volatility value, the estimate inf),
// or howard (a policy iteration that cycled beyond rounding: an estimate of
// inf).
// --european drops the early exercise (and the zero-volatility column is the
// European one), to measure the scheme where the answer is in closed form.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Option {
  double s, k, t, r, q, v;
  bool call;
  // Cash dividends: ex-dates (years from valuation, increasing, at most t:
  // one on the expiry date counts) and amounts.
  std::vector<double> times, amounts;
};

// The discounted gain of stopping at time t on the zero-volatility path from
// spot s (no ex-date before t): for a put K e^{-rt} - s e^{-qt}, for a call
// its negative.
double gain(const Option& o, double s, double t) {
  const double put = o.k * std::exp(-o.r * t) - s * std::exp(-o.q * t);
  return o.call ? -put : put;
}

// The zero-volatility value at spot s with time tau left and the dividends
// from index `first` on still to come: on the path the spot grows at r - q
// and drops by each amount at its ex-date (to 0 at the least). European: the
// discounted gain at expiry, or 0. American: the best discounted gain over
// the stopping times, which on each stretch between ex-dates are its two ends
// (the last instant before an ex-date) and the one stationary point of the
// gain inside it.
double zero_vol_value(const Option& o, double s, double tau, bool american, std::size_t first) {
  double best = 0.0, start = o.t - tau, discount = 1.0;
  for (std::size_t i = first;; ++i) {
    const bool last = i >= o.times.size();
    const double length = (last ? o.t : o.times[i]) - start;
    const auto at = [&](double t) { return discount * gain(o, s, t); };
    if (!american && last) return std::max(at(length), 0.0);
    if (american) {
      best = std::max({best, at(0.0), at(length)});
      const double ratio = o.q * s / (o.r * o.k);
      if (o.q != o.r && ratio > 0.0 && std::isfinite(ratio)) {
        const double t_star = std::log(ratio) / (o.q - o.r);
        if (t_star > 0.0 && t_star < length) best = std::max(best, at(t_star));
      }
      if (last) return best;
    }
    s = std::max(s * std::exp((o.r - o.q) * length) - o.amounts[i], 0.0);
    discount *= std::exp(-o.r * length);
    start += length;
  }
}

// The payoff of exercise at x = ln S.
double exercise_value(const Option& o, double x) {
  return std::max(o.call ? std::exp(x) - o.k : o.k - std::exp(x), 0.0);
}

// int_a^b (k - e^x)^+ dx and int_a^b (e^x - k)^+ dx.
double put_area(double k, double a, double b) {
  const double c = std::min(b, std::log(k));
  return a >= c ? 0.0 : k * (c - a) - std::exp(a) * std::expm1(c - a);
}
double call_area(double k, double a, double b) {
  const double c = std::max(a, std::log(k));
  return b <= c ? 0.0 : std::exp(c) * std::expm1(b - c) - k * (b - c);
}

// The mean over [a, b] in x = ln S of the payoff at the spot after a dividend
// d paid on the expiry date (0 for none), max(S - d, 0): a call's is the
// payoff of strike K + d; a put's that too where S > d, and K below.
double cell_payoff(const Option& o, double a, double b, double d) {
  const double k = o.k + d;
  if (o.call) return call_area(k, a, b) / (b - a);
  if (d <= 0.0) return put_area(k, a, b) / (b - a);
  const double ld = std::log(d);
  const double below = std::clamp(ld, a, b) - a;
  return (o.k * below + put_area(k, std::max(a, ld), b)) / (b - a);
}

// The values at the grid's spots (e^{x0 + i h}) on the ex-date of dividend j,
// before it, from `after`, the values an instant later, at the same spots:
// V(S) = V_after(max(S - D_j, 0)), by cubic Lagrange interpolation in ln S;
// below the grid from the zero-volatility value (the grid reaches far enough
// below for that to be the value to the last digits that matter). American:
// at least the payoff; in the cells where that switches between the two, the
// node takes the cell's mean of the larger (8-point Gauss-Legendre), as the
// payoff's cells do, so that the kink's place between nodes does not make the
// error oscillate with h.
void pay_dividend(const Option& o, std::size_t j, double x0, double h, double tau,
                  bool american, const std::vector<double>& after, std::vector<double>& before) {
  const int nodes = static_cast<int>(after.size()) - 1;
  const double s_low = std::exp(x0);
  const auto held = [&](double x) {
    const double ex = std::exp(x) - o.amounts[j];
    if (ex < s_low) return zero_vol_value(o, std::max(ex, 0.0), tau, american, j + 1);
    const double p = (std::log(ex) - x0) / h;
    const int m = std::clamp(static_cast<int>(std::floor(p)) - 1, 0, nodes - 3);
    const double u = p - m;
    // The Lagrange weights of nodes m..m+3 at m + u.
    const double w0 = -(u - 1) * (u - 2) * (u - 3) / 6, w1 = u * (u - 2) * (u - 3) / 2,
                 w2 = -u * (u - 1) * (u - 3) / 2, w3 = u * (u - 1) * (u - 2) / 6;
    return w0 * after[m] + w1 * after[m + 1] + w2 * after[m + 2] + w3 * after[m + 3];
  };
  for (int i = 0; i <= nodes; ++i) before[i] = held(x0 + i * h);
  if (!american) return;
  // The sign of held - exercise at each node, then the nodes.
  std::vector<char> above(before.size());
  for (int i = 0; i <= nodes; ++i) above[i] = before[i] >= exercise_value(o, x0 + i * h);
  static constexpr double kNodes[4] = {0.1834346424956498, 0.5255324099163290,
                                       0.7966664774136267, 0.9602898564975363};
  static constexpr double kWeights[4] = {0.3626837833783620, 0.3137066458778873,
                                         0.2223810344533745, 0.1012285362903763};
  for (int i = 0; i <= nodes; ++i) {
    const double x = x0 + i * h;
    const bool kink = (i > 0 && above[i - 1] != above[i]) || (i < nodes && above[i + 1] != above[i]);
    if (!kink) {
      before[i] = std::max(before[i], exercise_value(o, x));
      continue;
    }
    double mean = 0.0;
    for (int g = 0; g < 4; ++g)
      for (double side : {-1.0, 1.0}) {
        const double y = x + side * 0.5 * h * kNodes[g];
        mean += 0.5 * kWeights[g] * std::max(held(y), exercise_value(o, y));
      }
    before[i] = mean;
  }
}

struct Layout {
  double h;     // step at level 0
  int spot_at;  // index of ln S at level 0
  int nodes;    // intervals at level 0
};

Layout layout(const Option& o, int base_nodes) {
  const double nu = o.r - o.q - 0.5 * o.v * o.v;
  const double sd = o.v * std::sqrt(o.t);
  // With dividends, down to 8 sd below the least amount: below it the next
  // ex-date takes the spot to 0 but for odds of e^-32, and the
  // zero-volatility value at the grid's end is the value. (Only 8 sd below
  // the path, the end's value was off by some 0.03 on a put where a dividend
  // of 1 followed ones of 7, which moved the price by 1e-7, 6e-9 of it.)
  // And at least ln(S / (S - sum D)) below the path, which the dividends
  // lower by that much (beyond 99% of the spot, the rest is the
  // zero-volatility value's).
  double least = HUGE_VAL, paid = 0.0;
  for (double d : o.amounts) {
    if (d > 0.0) least = std::min(least, d);
    paid += d;
  }
  const double drop = std::max(least < o.s ? std::log(o.s / least) : 0.0,
                               -std::log1p(-std::min(paid / o.s, 0.99)));
  const double below =
      std::min(std::max(-std::min(nu * o.t, 0.0) + 8.0 * sd + drop, 1e-300), 700.0);
  const double above = std::min(std::max(std::max(nu * o.t, 0.0) + 8.0 * sd, 1e-300), 700.0);
  double h = (below + above) / base_nodes;
  if (nu != 0.0) h = std::min(h, o.v * o.v / std::fabs(nu));
  const double spot_at = std::ceil(below / h), nodes = spot_at + std::ceil(above / h);
  if (!(nodes < 1e9)) return {h, -1, -1};
  return {h, static_cast<int>(spot_at), static_cast<int>(nodes)};
}

struct GridResult {
  double price;
  bool settled;  // every policy iteration ended
};

// The grid price at ln S: `nodes` intervals of width h, ln S at node spot_at,
// and between ex-dates (and from the last to expiry) scale times
// max(4, steps sqrt(stretch / T)) time steps.
GridResult grid_price(const Option& o, double h, int spot_at, int nodes, int steps, int scale,
                      bool american) {
  const double x0 = std::log(o.s) - spot_at * h;
  const double nu = o.r - o.q - 0.5 * o.v * o.v;
  const double alpha = 0.5 * o.v * o.v / (h * h), beta = nu / (2.0 * h);
  const std::size_t n = static_cast<std::size_t>(nodes) + 1;
  std::vector<double> floor(n), value(n), rhs(n), cp(n), fp(n), paid(n);
  std::vector<char> exercised(n, 0);
  // A dividend on the expiry date is paid before the payoff.
  std::size_t ahead = o.times.size();
  const double at_expiry = ahead > 0 && o.times[ahead - 1] == o.t ? o.amounts[--ahead] : 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = x0 + double(i) * h;
    floor[i] = american ? exercise_value(o, x) : -HUGE_VAL;
    value[i] = cell_payoff(o, x - 0.5 * h, x + 0.5 * h, at_expiry);
  }
  const double s_low = std::exp(x0), s_high = std::exp(x0 + nodes * h);
  // Rounding level of the complementarity tests: of a value, and of a
  // residual (relative to the terms that make it up).
  const double slack = 1e-13 * std::max(o.k, o.s);
  bool settled = true;
  const auto step = [&](double tau, double dt, double theta) {
    const double explicit_dt = (1.0 - theta) * dt, implicit_dt = theta * dt;
    for (int i = 1; i < nodes; ++i)
      rhs[i] =
          value[i] + explicit_dt * ((alpha - beta) * value[i - 1] - (2.0 * alpha + o.r) * value[i] +
                                    (alpha + beta) * value[i + 1]);
    const double lower = -implicit_dt * (alpha - beta), upper = -implicit_dt * (alpha + beta);
    const double diagonal = 1.0 + implicit_dt * (2.0 * alpha + o.r);
    value[0] = zero_vol_value(o, s_low, tau + dt, american, ahead);
    value[nodes] = zero_vol_value(o, s_high, tau + dt, american, ahead);
    for (int round = 0;; ++round) {
      // Solve with the rows of the exercised nodes replaced by V = g.
      double c_prev = 0.0, f_prev = value[0];
      for (int i = 1; i < nodes; ++i) {
        double a = lower, b = diagonal, c = upper, f = rhs[i];
        if (exercised[i]) a = 0.0, b = 1.0, c = 0.0, f = floor[i];
        if (i == nodes - 1) f -= c * value[nodes], c = 0.0;
        const double m = 1.0 / (b - a * c_prev);
        cp[i] = c * m;
        fp[i] = (f - a * f_prev) * m;
        c_prev = cp[i];
        f_prev = fp[i];
      }
      for (int i = nodes - 1; i >= 1; --i) value[i] = fp[i] - cp[i] * value[i + 1];
      if (!american) return;
      // Policy improvement: each row takes the smaller of its two residuals.
      bool changed = false;
      for (int i = 1; i < nodes; ++i) {
        if (exercised[i]) {
          const double a = lower * value[i - 1], b = diagonal * value[i],
                       c = upper * value[i + 1];
          const double size = std::fabs(a) + std::fabs(b) + std::fabs(c) + std::fabs(rhs[i]);
          if (a + b + c - rhs[i] < -1e-13 * size) exercised[i] = 0, changed = true;
        } else if (value[i] < floor[i] - slack) {
          exercised[i] = 1;
          changed = true;
        }
      }
      if (!changed) return;
      if (round == 50) {
        // Cycling at rounding level (where exercising and holding are worth
        // the same, as at r = q = 0): the values at least the payoff; a
        // failure only if that moved one by more than rounding.
        double worst = 0.0;
        for (int i = 1; i < nodes; ++i) {
          worst = std::max(worst, floor[i] - value[i]);
          value[i] = std::max(value[i], floor[i]);
        }
        settled = settled && worst <= 1e-11 * std::max(o.k, o.s);
        return;
      }
    }
  };
  // Each stretch from tau_a to tau_b: times tau_a + (tau_b - tau_a) (j/M)^2,
  // its first two intervals by Rannacher's half-steps (a dividend leaves a
  // kink in the values, as the payoff does).
  const auto stretch = [&](double tau_a, double tau_b) {
    const double length = tau_b - tau_a;
    const int m =
        scale * std::max(4, static_cast<int>(std::ceil(steps * std::sqrt(length / o.t))));
    const auto time = [&](int j) { return tau_a + length * (double(j) / m) * (double(j) / m); };
    for (int j = 0; j < m; ++j) {
      const double tau = time(j), dt = (j + 1 == m ? tau_b : time(j + 1)) - tau;
      if (j < 2) {
        step(tau, 0.5 * dt, 1.0);
        step(tau + 0.5 * dt, 0.5 * dt, 1.0);
      } else {
        step(tau, dt, 0.5);
      }
    }
  };
  double tau = 0.0;
  while (ahead > 0) {
    const std::size_t j = ahead - 1;
    const double tau_j = o.t - o.times[j];
    stretch(tau, tau_j);
    pay_dividend(o, j, x0, h, tau_j, american, value, paid);
    value.swap(paid);
    std::fill(exercised.begin(), exercised.end(), 0);
    tau = tau_j;
    ahead = j;
  }
  stretch(tau, o.t);
  return {value[static_cast<std::size_t>(spot_at)], settled};
}

struct Row {
  double price, estimate, zero_vol, order, seconds;
  int levels, nodes, steps;
  const char* status;
  std::vector<double> grid;  // the grid prices V_0 .. V_L
};

Row solve(const Option& o, int levels, int base_nodes, int base_steps, long budget,
          bool american) {
  const auto t0 = std::chrono::steady_clock::now();
  Row row{};
  row.zero_vol = zero_vol_value(o, o.s, o.t, american, 0);
  row.order = NAN;
  const auto finish = [&](Row r) {
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
  };
  if (o.v == 0.0 || o.t == 0.0) {
    row.price = row.zero_vol;
    row.status = "ok";
    return finish(row);
  }
  const Layout g = layout(o, base_nodes);
  // As many levels as the budget allows, at least three.
  int top = levels;
  while (top >= 3 && (g.nodes < 0 || double(g.nodes) * double(1L << (top - 1)) > double(budget)))
    --top;
  if (top < 3) {
    row.price = row.zero_vol;
    row.estimate = HUGE_VAL;
    row.nodes = g.nodes;
    row.status = "unresolved";
    return finish(row);
  }
  std::vector<double> v;
  bool settled = true;
  for (int l = 0; l < top; ++l) {
    const int scale = 1 << l;
    const GridResult r = grid_price(o, g.h / scale, g.spot_at * scale, g.nodes * scale,
                                    base_steps, scale, american);
    v.push_back(r.price);
    settled = settled && r.settled;
  }
  const auto richardson = [&](int l) { return (4.0 * v[l] - v[l - 1]) / 3.0; };
  row.price = richardson(top - 1);
  row.estimate = std::fabs(row.price - richardson(top - 2));
  // The previous change too: where the boundary crosses nodes the
  // extrapolations converge unevenly, and one small change can be luck.
  if (top >= 4)
    row.estimate = std::max(row.estimate, std::fabs(richardson(top - 2) - richardson(top - 3)));
  const double d1 = v[top - 2] - v[top - 3], d2 = v[top - 1] - v[top - 2];
  row.order = d2 != 0.0 ? std::log2(std::fabs(d1 / d2)) : NAN;
  if (!(row.order >= 1.3 && row.order <= 2.7)) row.estimate = std::max(row.estimate, std::fabs(d2));
  row.grid = v;
  row.levels = top;
  row.nodes = g.nodes << (top - 1);
  row.steps = base_steps << (top - 1);
  row.status = "ok";
  if (!settled) {
    row.estimate = HUGE_VAL;
    row.status = "howard";
  }
  return finish(row);
}

// The optional ",times,amounts" after a row's seventh field, each list
// joined by ';'; the dividends after expiry are dropped.
bool read_schedule(const char* p, Option& o) {
  const auto list = [&p](std::vector<double>& out) {
    if (*p != ',') return false;
    ++p;
    while (true) {
      char* end;
      const double x = std::strtod(p, &end);
      if (end == p) return false;
      out.push_back(x);
      p = end;
      if (*p != ';') return true;
      ++p;
    }
  };
  while (*p == ' ') ++p;
  if (*p == '\0' || *p == '\n' || *p == '\r') return true;
  if (!list(o.times) || !list(o.amounts) || o.times.size() != o.amounts.size()) return false;
  for (std::size_t i = 0; i < o.times.size(); ++i)
    if (!(o.times[i] > (i ? o.times[i - 1] : 0.0)) || !(o.amounts[i] >= 0.0)) return false;
  while (!o.times.empty() && o.times.back() > o.t) o.times.pop_back(), o.amounts.pop_back();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int levels = 7, base_nodes = 250, base_steps = 32, threads = 1;
  long budget = 1L << 19;
  bool american = true;
  std::vector<const char*> paths;
  for (int arg = 1; arg < argc; ++arg) {
    const bool has_value = arg + 1 < argc;
    if (std::strcmp(argv[arg], "--levels") == 0 && has_value) {
      levels = std::max(3, std::atoi(argv[++arg]));
    } else if (std::strcmp(argv[arg], "--nodes") == 0 && has_value) {
      base_nodes = std::max(8, std::atoi(argv[++arg]));
    } else if (std::strcmp(argv[arg], "--steps") == 0 && has_value) {
      base_steps = std::max(4, std::atoi(argv[++arg]));
    } else if (std::strcmp(argv[arg], "--budget") == 0 && has_value) {
      budget = std::max(1000L, std::atol(argv[++arg]));
    } else if (std::strcmp(argv[arg], "--threads") == 0 && has_value) {
      threads = std::clamp(std::atoi(argv[++arg]), 1, 64);
    } else if (std::strcmp(argv[arg], "--european") == 0) {
      american = false;
    } else {
      paths.push_back(argv[arg]);
    }
  }
  if (paths.size() != 2) {
    std::fprintf(stderr,
                 "usage: %s IN.csv OUT.csv [--levels L] [--nodes N0] [--steps M0] "
                 "[--budget NODES] [--threads T] [--european]\n",
                 argv[0]);
    return 2;
  }
  FILE* in = std::fopen(paths[0], "r");
  if (!in) {
    std::perror(paths[0]);
    return 1;
  }
  std::vector<Option> book;
  char line[8192];
  while (std::fgets(line, sizeof line, in)) {
    Option o{};
    int call = 0, used = 0;
    if (std::sscanf(line, "%lf,%lf,%lf,%lf,%lf,%lf,%d%n", &o.s, &o.k, &o.t, &o.r, &o.q, &o.v,
                    &call, &used) == 7) {
      o.call = call != 0;
      if (!read_schedule(line + used, o)) {
        std::fprintf(stderr, "bad dividend schedule: %s", line);
        return 1;
      }
      book.push_back(o);
    }
  }
  std::fclose(in);
  FILE* out = std::fopen(paths[1], "w");
  if (!out) {
    std::perror(paths[1]);
    return 1;
  }
  std::fprintf(out, "# american_lcp --levels %d --nodes %d --steps %d --budget %ld%s\n", levels,
               base_nodes, base_steps, budget, american ? "" : " --european");
  std::fprintf(out,
               "index,price,error_estimate,zero_vol,levels,nodes,steps,order,status,seconds,"
               "grid_prices\n");
  std::fflush(out);
  std::mutex lock;
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i; (i = next++) < book.size();) {
      const Row r = solve(book[i], levels, base_nodes, base_steps, budget, american);
      const std::lock_guard<std::mutex> guard(lock);
      std::fprintf(out, "%zu,%.17g,%.3g,%.17g,%d,%d,%d,%.3f,%s,%.3f,", i, r.price, r.estimate,
                   r.zero_vol, r.levels, r.nodes, r.steps, r.order, r.status, r.seconds);
      for (std::size_t l = 0; l < r.grid.size(); ++l)
        std::fprintf(out, "%s%.17g", l ? ";" : "", r.grid[l]);
      std::fprintf(out, "\n");
      std::fflush(out);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  std::fclose(out);
  return 0;
}
