// Where the spot can be just after a dividend: the bounds that the
// recursion's grids (recursion.cpp) and the put's panels (exercise_boundary.cpp)
// cover.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "tarvik/elementary.hpp"

namespace tarvik::dividends {

inline constexpr double kReach = 9.5;  // standard deviations a grid or a sum reaches

// Where the spot can be just after dividend k (0-based) of t, d but for odds
// of 1e-21: [low, high], the earlier dividends taken at their largest; mu =
// r - q - vol^2 / 2.
inline void reach(double spot, double mu, double vol, const std::vector<double>& t,
                  const std::vector<double>& d, std::size_t k, double& low, double& high) {
  const double tk = t[k];
  const double sd = vol * std::sqrt(tk);
  low = spot * elementary::exp(mu * tk - kReach * sd);
  high = spot * elementary::exp(mu * tk + kReach * sd);
  for (std::size_t i = 0; i <= k; ++i) {
    const double grown = mu * (tk - t[i]);
    const double spread = kReach * vol * std::sqrt(tk - t[i]);
    low -= d[i] * elementary::exp(grown + spread);
    high -= d[i] * elementary::exp(grown - spread);
  }
}

}  // namespace tarvik::dividends
