// The rational approximations of the normal-model kernels, each a ratio of
// polynomials with its denominator's constant term 1, fitted for this
// library by tools/fit_bachelier.py (50-digit mpmath values, near-minimax in
// relative error). Errors are those the script measures for the table as
// stored, evaluated in doubles by Horner's rule over 20,000 random points.
#pragma once

#include <cstddef>

#include "rational/value.hpp"

namespace tarvik::bachelier {

using rational::Poly;

// q(u) = 1 - u m(u), m(u) = Phi(-u)/phi(u) the Mills ratio: the time value
// of a normal-model option is s phi(u) q(u) with u = |F - K|/s. Written as
// 1 - u sqrt(pi/2) erfcx(u/sqrt 2) it loses up to one bit by u = 1 and
// log2(u^2) bits beyond (q ~ 1/u^2), and costs an exponential below u = 0.66;
// the three tables below keep its relative accuracy everywhere and cost a
// rational function each.
inline constexpr double kMidStart = 1.0;
inline constexpr double kTailStart = 5.5;

// clang-format off
// q(u) on [0, 1], a rational in u of degree 6/6: fit 7.4e-19, 1.9 eps in doubles.
inline constexpr Poly<7> kLowP = {3.9474078626223647e-07, -1.0140422034329873e-05,
    0.0009406002077095829, 0.012554613650233023, 0.10975834449209057, 0.3668060167109933, 1.0};
inline constexpr Poly<7> kLowQ = {0.000807141866426892, 0.013738899668532268,
    0.10434695973376663, 0.44821786271700753, 1.1402778376832794, 1.6201201540264933, 1.0};

// q(u) on [1, 5.5], a rational in u of degree 7/7: fit 1.67e-16, 3.5 eps in doubles.
inline constexpr Poly<8> kMidP = {-1.7456900246683918e-10, 1.0856840672753633e-08,
    0.0004695230183526717, 0.0075783663321725755, 0.05779786354632917, 0.2601261177674208,
    0.6880984216263354, 1.0000000143294363};
inline constexpr Poly<8> kMidQ = {0.0004698451556195253, 0.00757230136130168,
    0.05928856955879293, 0.2820249287785312, 0.8653126325841167, 1.6933255166694583,
    1.941412690336507, 1.0};

// u^2 q(u) for u >= 5.5, a rational in t = 1/u^2 of degree 5/5 (its value at
// t = 0 is the limit 1 of the asymptotic series 1 - 3t + 15t^2 - ...): fit
// 1.39e-16, 2.1 eps in doubles.
inline constexpr Poly<6> kTailP = {845.521080907576, 7768.253429677384, 4525.464309704864,
    780.6015493809863, 49.35694886830794, 0.9999999999999999};
inline constexpr Poly<6> kTailQ = {14406.898113776266, 18320.029353621667, 6613.12726328357,
    922.6723959880856, 52.35694886830658, 1.0};

// The inverse of g(u) = phi(u) q(u)/u (the time value over |F - K|), the
// starting point of the one Halley step of the implied volatility. Near the
// money, g >= g(1): u/w as a rational in w = 1/g, degree 5/5, relative error
// 3.8e-9 (u ~ w/sqrt(2 pi) as w -> 0).
inline constexpr double kNearMin = 0.0833154705876863;  // g(1)
inline constexpr Poly<6> kNearP = {1.1056003275254457e-06, 0.000924705976882964,
    0.030201658705415566, 0.23308803340261444, 0.5646523851301993, 0.39894227886674805};
inline constexpr Poly<6> kNearQ = {0.0004997387462696848, 0.02488447631668475,
    0.2949709100511811, 1.2123788051408395, 1.915373302804913, 1.0};
// Away from it, g < g(1) down to g = exp(-1455) (the least time value over
// the largest |F - K|): u eta as a rational in eta = 1/sqrt(-2 ln g), degree
// 6/6, relative error 6.1e-9.
inline constexpr Poly<7> kFarP = {2764.478706731162, -3270.1095694057603, 2369.056758990386,
    -635.720965536474, 53.3769342569096, 36.80209026194214, 1.0000553403779113};
inline constexpr Poly<7> kFarQ = {4055.7166837679983, -2119.458315078019, 1743.7124736014027,
    -330.16783767862495, 68.75787963716301, 36.826345990033644, 1.0};
// clang-format on

// The three tables of q as one array of degree-7 rationals, the shorter ones
// padded with leading zero coefficients (0 x + c = c exactly for the finite,
// non-negative x they are given): picking a table is an index, not a branch.
template <std::size_t M, std::size_t N>
constexpr Poly<M> padded(const Poly<N>& c) {
  Poly<M> out{};
  for (std::size_t i = 0; i < N; ++i) out[M - N + i] = c[i];
  return out;
}
inline constexpr Poly<8> kQNum[3] = {padded<8>(kLowP), kMidP, padded<8>(kTailP)};
inline constexpr Poly<8> kQDen[3] = {padded<8>(kLowQ), kMidQ, padded<8>(kTailQ)};

// sqrt(2 pi) and ln sqrt(2 pi), each the double nearest to it.
inline constexpr double kRootTwoPi = 2.5066282746310007;
inline constexpr double kLnRootTwoPi = 0.9189385332046728;

// Beyond this ratio of time value to |F - K| (u < 4e-11) the price is
// s/sqrt(2 pi) - |F - K|/2 to within u^2/2 < 1e-21 relative.
inline constexpr double kNearAtTheMoney = 1e10;

}  // namespace tarvik::bachelier
