// The double-precision constants that several parts of the core share, each
// defined once, and the IEEE 754 maxNum maximum.
#pragma once

#include <cmath>
#include <cstdint>

namespace tarvik {

inline constexpr double kEpsilon = 2.220446049250313e-16;          // 2^-52
inline constexpr double kMinNormal = 2.2250738585072014e-308;      // 2^-1022
inline constexpr double kMaxFinite = 1.7976931348623157e308;       // largest double
inline constexpr double kSqrtMinNormal = 1.4916681462400413e-154;  // 2^-511
inline constexpr double kSqrtMaxFinite = 1.3407807929942596e154;

inline constexpr double kInvSqrtTwoPi = 0.3989422804014327;  // 1/sqrt(2 pi)
// 1/sqrt(2) rounded once; 1.0/std::sqrt(2.0) is one ulp lower and is not used.
inline constexpr double kSqrtHalf = 0.70710678118654757;
// sqrt(pi/2) as stored: one ulp below the double nearest to it.
inline constexpr double kSqrtHalfPi = 1.2533141373155001;

// IEEE 754 maxNum: the larger operand, ignoring a NaN one (max(NaN, 0) = 0).
inline double max_num(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? b : a;
}

}  // namespace tarvik
