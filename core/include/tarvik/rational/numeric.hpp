// Double-precision constants and the IEEE maxNum maximum shared by the
// implied-volatility solver's parts.
#pragma once

#include <cmath>

namespace tarvik::rational {

inline constexpr double kEpsilon = 2.220446049250313e-16;          // 2^-52
inline constexpr double kMinNormal = 2.2250738585072014e-308;      // 2^-1022
inline constexpr double kMaxFinite = 1.7976931348623157e308;       // largest double
inline constexpr double kSqrtMinNormal = 1.4916681462400413e-154;  // 2^-511
inline constexpr double kSqrtMaxFinite = 1.3407807929942596e154;
inline constexpr double kInvSqrtTwoPi = 0.3989422804014327;        // 1/sqrt(2 pi)

// IEEE 754 maxNum: the larger operand, ignoring a NaN one (max(NaN, 0) = 0).
inline double max_num(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? b : a;
}

}  // namespace tarvik::rational
