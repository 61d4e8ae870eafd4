// Nelder and Mead's simplex search in two dimensions (Computer Journal 7,
// 1965), for the smiles' outer fits: a loss that may be infinite (outside
// the arbitrage-free parameters) and is costly to check, so each point is
// asked for its loss together with the bound below which the search would
// keep it (a loss at or above it may be returned unchecked).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace tarvik::surface {

struct Vertex {
  double x[2];
  double f;
};

struct Never {
  bool operator()(const Vertex&) const { return false; }
};

// From `start` with sides `step`, until the simplex is narrower than `size`
// in both coordinates, or its losses agree to `flat` of the least (a fit
// limited by its model's error: its loss has settled long before its
// parameters; an exact fit's loss falls toward 0 and never settles so), or
// `budget` losses have been asked for, or done(best vertex); loss(x0, x1,
// keep) -> double, `evaluations` counting every call.
template <class Loss, class Done = Never>
Vertex nelder_mead(Loss& loss, const double start[2], const double step[2], int budget,
                   int& evaluations, double size = 1e-10, double flat = 1e-12,
                   const Done& done = Done{}) {
  constexpr double kInf = INFINITY;
  const auto ask = [&](double x0, double x1, double keep) {
    ++evaluations;
    return loss(x0, x1, keep);
  };
  std::array<Vertex, 3> v{};
  v[0] = {{start[0], start[1]}, 0.0};
  v[1] = {{start[0] + step[0], start[1]}, 0.0};
  v[2] = {{start[0], start[1] + step[1]}, 0.0};
  for (Vertex& p : v) p.f = ask(p.x[0], p.x[1], kInf);
  const int stop = evaluations + budget;
  const auto at = [&](const double c[2], const Vertex& worst, double t, double keep) {
    Vertex p{{c[0] + t * (worst.x[0] - c[0]), c[1] + t * (worst.x[1] - c[1])}, 0.0};
    p.f = ask(p.x[0], p.x[1], keep);
    return p;
  };
  const auto by_loss = [](const Vertex& l, const Vertex& r) { return l.f < r.f; };
  while (evaluations < stop) {
    std::sort(v.begin(), v.end(), by_loss);
    const double width =
        std::max({std::fabs(v[1].x[0] - v[0].x[0]), std::fabs(v[2].x[0] - v[0].x[0]),
                  std::fabs(v[1].x[1] - v[0].x[1]), std::fabs(v[2].x[1] - v[0].x[1])});
    if (width < size || v[2].f - v[0].f <= flat * v[0].f || done(v[0])) break;
    const double c[2] = {0.5 * (v[0].x[0] + v[1].x[0]), 0.5 * (v[0].x[1] + v[1].x[1])};
    const Vertex r = at(c, v[2], -1.0, v[1].f);
    if (r.f < v[0].f) {
      const Vertex e = at(c, v[2], -2.0, r.f);
      v[2] = e.f < r.f ? e : r;
    } else if (r.f < v[1].f) {
      v[2] = r;
    } else {
      const double keep = std::min(r.f, v[2].f);
      const Vertex k = r.f < v[2].f ? at(c, v[2], -0.5, keep) : at(c, v[2], 0.5, keep);
      if (k.f < keep) {
        v[2] = k;
      } else {
        for (int i = 1; i < 3; ++i) {
          v[i].x[0] = v[0].x[0] + 0.5 * (v[i].x[0] - v[0].x[0]);
          v[i].x[1] = v[0].x[1] + 0.5 * (v[i].x[1] - v[0].x[1]);
          v[i].f = ask(v[i].x[0], v[i].x[1], kInf);
        }
      }
    }
  }
  std::sort(v.begin(), v.end(), by_loss);
  return v[0];
}

// A search from each of a few starts for a loss whose constraint is costly
// to check (loss.checked says whether it is): first without it; where the
// minimum found is on the constrained domain it is the minimum there too.
// Where it is not, again with it, from that minimum or from the start,
// whichever is better on the domain (the minimum may lie far beyond it).
// The starts mostly reach one minimum: a search that comes within `near` of
// where an earlier start's search of the same kind ended stops, as the
// earlier start's answer is its own, and its loss is infinite. The best
// loss on the domain mostly lies along its edge, a ridge the simplex
// crawls: settled to 1e-6, its minimum is found; that second search has
// half the first's budget.
struct Starts {
  double near[2];
  std::vector<Vertex> ends[2]{};  // where the first and second searches ended

  bool reached(const Vertex& v, int kind) const {
    return std::any_of(ends[kind].begin(), ends[kind].end(), [&](const Vertex& u) {
      return std::fabs(u.x[0] - v.x[0]) <= near[0] && std::fabs(u.x[1] - v.x[1]) <= near[1];
    });
  }

  // `out` gets the minimum's parameters; the vertex's loss is the
  // constrained one.
  template <class Loss, class Out>
  Vertex search(Loss& loss, const double start[2], const double step[2], int budget,
                int& evaluations, Out* out) {
    const auto ask = [&](const double x[2], double keep, Out* at) {
      ++evaluations;
      return loss(x[0], x[1], keep, at);
    };
    loss.checked = false;
    const auto first = [&](const Vertex& u) { return reached(u, 0); };
    Vertex v = nelder_mead(loss, start, step, budget, evaluations, 1e-10, 1e-12, first);
    if (reached(v, 0)) return {{v.x[0], v.x[1]}, INFINITY};
    ends[0].push_back(v);
    loss.checked = true;
    const double unchecked = v.f;
    v.f = ask(v.x, INFINITY, out);
    if (v.f == unchecked) return v;
    const double* from = ask(start, v.f, nullptr) < v.f ? start : v.x;
    const auto second = [&](const Vertex& u) { return reached(u, 1); };
    v = nelder_mead(loss, from, step, budget / 2, evaluations, 1e-10, 1e-6, second);
    if (reached(v, 1)) return {{v.x[0], v.x[1]}, INFINITY};
    ends[1].push_back(v);
    v.f = ask(v.x, INFINITY, out);
    return v;
  }
};

}  // namespace tarvik::surface
