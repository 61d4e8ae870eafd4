// One expiry's quotes as the smiles' fits take them: the usable points
// (finite k, total variance and weight above 0), weights scaled to sum 1.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace tarvik::surface {

inline constexpr std::size_t kLeastPoints = 5;

struct Points {
  std::vector<double> k, w, weight;
  double most_w = 0.0, spread = 0.0;  // the largest w; half the range of k
};

// The usable points of (k, w, weights) in p; null, or why they cannot be
// fitted.
inline const char* take_points(std::span<const double> k, std::span<const double> w,
                               std::span<const double> weights, Points& p) {
  if (k.size() != w.size() || k.size() != weights.size()) {
    return "as many log-moneynesses, total variances and weights are needed";
  }
  double total = 0.0;
  for (std::size_t i = 0; i < k.size(); ++i) {
    if (!(std::isfinite(k[i]) && w[i] > 0.0 && std::isfinite(w[i]) && weights[i] > 0.0 &&
          std::isfinite(weights[i]))) {
      continue;
    }
    p.k.push_back(k[i]);
    p.w.push_back(w[i]);
    p.weight.push_back(weights[i]);
    total += weights[i];
  }
  if (p.k.size() < kLeastPoints) return "fewer than 5 usable quotes";
  if (!(total < INFINITY)) return "weights too large";
  for (double& om : p.weight) om = om / total;
  const auto [lo, hi] = std::minmax_element(p.k.begin(), p.k.end());
  p.spread = 0.5 * *hi - 0.5 * *lo;  // no overflow for |k| up to the largest double
  if (!(p.spread > 0.0)) return "every usable quote at one strike";
  p.most_w = *std::max_element(p.w.begin(), p.w.end());
  return nullptr;
}

}  // namespace tarvik::surface
