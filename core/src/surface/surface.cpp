// The surface: its rule in T, its forward, and its values over arrays of
// points, serial or on the worker pool (see tarvik/surface.hpp). The loops
// go in blocks: an implied volatility's log strike is taken over a block in
// the lanes.
#include <algorithm>
#include <cmath>
#include <limits>

#include "batch/run.hpp"
#include "lanes/lanes.hpp"
#include "surface/smile.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/surface.hpp"

namespace tarvik::surface {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Variance kNoVariance{kNaN, kNaN, kNaN};
constexpr std::size_t kBlock = 256;

Variance scaled(const Variance& v, double x) { return {v.w * x, v.dw * x, v.d2w * x}; }

Variance blend(const Variance& lo, const Variance& hi, double x) {
  const double y = 1.0 - x;
  return {y * lo.w + x * hi.w, y * lo.dw + x * hi.dw, y * lo.d2w + x * hi.d2w};
}

// The number of slices with maturity <= t (at least 1), a binary search
// without branches on t: points come in any order, and a mispredicted
// branch per halving would cost more than the halving.
std::size_t reached(std::span<const Slice> slices, double t) {
  const Slice* base = slices.data();
  std::size_t n = slices.size();
  while (n > 1) {
    const std::size_t half = n / 2;
    base = base[half].maturity <= t ? base + half : base;
    n -= half;
  }
  return static_cast<std::size_t>(base - slices.data()) + 1;
}

// The fraction of the way from slice lo to slice hi at t, and ln F there.
double fraction(const Slice& lo, const Slice& hi, double t) {
  return (t - lo.maturity) / (hi.maturity - lo.maturity);
}
double log_forward_at(const Slice& lo, const Slice& hi, double x) {
  return lo.log_forward + x * (hi.log_forward - lo.log_forward);
}

// The surface's rule in T (surface.hpp), with or without the slopes.
template <bool Slopes>
Variance joined(Smile smile, std::span<const Slice> slices, double k, double t) {
  if (slices.empty() || !(t >= 0.0) || std::isinf(t) || std::isnan(k)) return kNoVariance;
  const Slice& first = slices.front();
  if (t <= first.maturity) {
    const Variance v = svi_at<Slopes>(first.svi, k);
    return t == first.maturity ? v : scaled(v, t / first.maturity);
  }
  const Slice& last = slices.back();
  if (t >= last.maturity) {
    if (t == last.maturity) return svi_at<Slopes>(last.svi, k);
    const double theta = svi_at<false>(last.svi, 0.0).w;
    double rate = theta / last.maturity;
    if (slices.size() > 1) {
      const Slice& before = slices[slices.size() - 2];
      rate = std::max(0.0, (theta - svi_at<false>(before.svi, 0.0).w) /
                               (last.maturity - before.maturity));
    }
    const double growth = (t - last.maturity) * rate;
    if (smile == Smile::Svi) {
      Variance v = svi_at<Slopes>(last.svi, k);
      v.w = v.w + growth;
      return v;
    }
    const double l = (theta + growth) / theta;
    const Variance v = svi_at<Slopes>(last.svi, k / l);
    return {l * v.w, v.dw, v.d2w / l};
  }
  // first.maturity < t < last.maturity: lo the last slice at or before t.
  const std::size_t at = reached(slices, t);
  const Slice& lo = slices[at - 1];
  const Slice& hi = slices[at];
  if (t == lo.maturity) return svi_at<Slopes>(lo.svi, k);
  return blend(svi_at<Slopes>(lo.svi, k), svi_at<Slopes>(hi.svi, k), fraction(lo, hi, t));
}

// Where each point of a block lies strictly between two slices (and not on
// one): its later slice's index and its fraction x of the way there (0
// elsewhere, where the point takes the whole rule). Found first for the
// whole block, so that the loops over its points carry no search and
// overlap from point to point.
struct Segments {
  std::size_t at[kBlock];
  double x[kBlock];

  void find(std::span<const Slice> slices, InView t, bool each_t, std::size_t lo, std::size_t hi) {
    std::fill(at, at + (hi - lo), std::size_t{0});
    if (slices.empty()) return;
    const double first = slices.front().maturity, last = slices.back().maturity;
    for (std::size_t i = lo; i < hi; ++i) {
      const double ti = t[each_t ? i : 0];
      if (!(ti > first && ti < last)) continue;
      const std::size_t j = reached(slices, ti);
      const Slice& before = slices[j - 1];
      if (ti == before.maturity) continue;
      at[i - lo] = j;
      x[i - lo] = fraction(before, slices[j], ti);
    }
  }
};

}  // namespace

Variance surface_variance(Smile smile, std::span<const Slice> slices, double k, double t) {
  return joined<true>(smile, slices, k, t);
}

double surface_total_variance(Smile smile, std::span<const Slice> slices, double k, double t) {
  return joined<false>(smile, slices, k, t).w;
}

double surface_log_forward(std::span<const Slice> slices, double t) {
  if (slices.empty() || !(t >= 0.0) || std::isinf(t)) return kNaN;
  if (slices.size() == 1) return slices.front().log_forward;
  // The segment holding t, or the nearest one.
  const std::size_t at = std::clamp<std::size_t>(reached(slices, t), 1, slices.size() - 1);
  const Slice& lo = slices[at - 1];
  const Slice& hi = slices[at];
  if (t == lo.maturity) return lo.log_forward;
  if (t == hi.maturity) return hi.log_forward;
  return log_forward_at(lo, hi, fraction(lo, hi, t));
}

void evaluate(Smile smile, std::span<const Slice> slices, InView x, InView t,
              Quantity quantity, std::span<double> out, Exec exec) {
  const bool each_x = x.size() != 1, each_t = t.size() != 1;
  auto block = [&](std::size_t lo, std::size_t hi) {
    if (quantity == Quantity::ImpliedVolatility || quantity == Quantity::TotalVariance) {
      const bool vol = quantity == Quantity::ImpliedVolatility;
      Segments where;
      where.find(slices, t, each_t, lo, hi);
      double k[kBlock] = {}, w[kBlock];
      for (std::size_t i = lo; i < hi; ++i) k[i - lo] = x[each_x ? i : 0];
      if (vol) lanes::log_each(k, hi - lo, k);
      for (std::size_t i = lo; i < hi; ++i) {
        const double ti = t[each_t ? i : 0];
        const std::size_t j = where.at[i - lo];
        double ki = k[i - lo];
        if (j != 0) {  // the rule between slices j - 1 and j, as joined has it
          const Slice& before = slices[j - 1];
          const Slice& after = slices[j];
          const double xi = where.x[i - lo];
          if (vol) ki = ki - log_forward_at(before, after, xi);
          w[i - lo] = blend(svi_at<false>(before.svi, ki), svi_at<false>(after.svi, ki), xi).w;
        } else {
          if (vol) ki = ki - surface_log_forward(slices, ti);
          w[i - lo] = surface_total_variance(smile, slices, ki, ti);
        }
      }
      // The volatilities in a loop of their own, which the compiler takes in
      // vector registers (the same correctly rounded division and root).
      if (!vol) {
        std::copy(w, w + (hi - lo), out.data() + lo);
      } else if (each_t) {
        for (std::size_t i = lo; i < hi; ++i) out[i] = std::sqrt(w[i - lo] / t[i]);
      } else {
        for (std::size_t i = lo; i < hi; ++i) out[i] = std::sqrt(w[i - lo] / t[0]);
      }
      return;
    }
    for (std::size_t i = lo; i < hi; ++i) {
      const double xi = x[each_x ? i : 0], ti = t[each_t ? i : 0];
      switch (quantity) {
        case Quantity::TotalVariance:
          out[i] = surface_total_variance(smile, slices, xi, ti);
          break;
        case Quantity::Butterfly:
          out[i] = butterfly(xi, surface_variance(smile, slices, xi, ti));
          break;
        case Quantity::LogMoneynessDensity:
          out[i] = log_moneyness_density(xi, surface_variance(smile, slices, xi, ti));
          break;
        case Quantity::Forward:
        case Quantity::ImpliedVolatility:
          out[i] = elementary::exp(surface_log_forward(slices, ti));
          break;
      }
    }
  };
  auto body = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t b = lo; b < hi; b += kBlock) block(b, std::min(hi, b + kBlock));
  };
  batch::for_each_range(exec, out.size(), pool::RangeFn(body, kBlock, kBlock));
}

}  // namespace tarvik::surface
