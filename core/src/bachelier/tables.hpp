// The rational approximations of the normal-model kernels, each a ratio of
// polynomials with its denominator's constant term 1, fitted for this
// library by reference/fit_bachelier.py (50-digit mpmath values, near-minimax in
// relative error). Errors are those the script measures for the table as
// stored, evaluated in doubles by Horner's rule over 20,000 random points.
#pragma once

#include <cstddef>

#include "special/value.hpp"

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

// The inverse of g(u) = phi(u) q(u)/u (the time value over |F - K|): the
// implied volatility itself, no correction step follows. Near the money,
// g >= g(1): u/w as a rational in w = 1/g, degree 10/10 (u ~ w/sqrt(2 pi)
// as w -> 0): fit 2.96e-17, 3.76 eps in doubles.
inline constexpr double kNearMin = 0.0833154705876863;  // g(1)
inline constexpr Poly<11> kNearP = {1.4997861722751654e-11, 5.780344142644848e-08,
    9.009138918503938e-06, 0.00041245287371156545, 0.007914087077418749, 0.07462404721327155,
    0.3757675296691004, 1.0487462288726497, 1.612497725803544, 1.2705750500897617,
    0.39894228040143265};
inline constexpr Poly<11> kNearQ = {2.552622533489394e-08, 5.215790884547674e-06,
    0.00029880287943758686, 0.007135003101675182, 0.0845788372341198, 0.547333450679675,
    2.0362212439305463, 4.436128828154769, 5.554784593529746, 3.6848593455956866, 1.0};

// Away from it, g < g(1) down to g = exp(-1455) (the least time value over
// the largest |F - K|), in y = -2 ln g on four pieces of u (1 to 2.5, 6.8,
// 19 and 54.2): u/sqrt(y) = 1 - h/y, h a rational of degree 8/8 in
// x = (y - c) 2^-e in [0, 1] from the piece's start c. Fits of h 6.73e-19,
// 1.15e-16, 6.38e-16, 7.16e-16 (damped by h/(y - h) < 1.2, 0.4, 0.2, 0.06);
// u/sqrt(y) in doubles 2.14, 1.07, 0.68, 0.33 eps.
inline constexpr double kFarCut[3] = {14.257664754635336, 59.7005214944621,
                                      380.5209731605862};  // y at u = 2.5, 6.8, 19
inline constexpr double kFarCenter[4] = {4.965271809373857, 14.2434070898807, 59.64082097296764,
                                         380.14045218742564};
inline constexpr double kFarScale[4] = {0x1p-4, 0x1p-6, 0x1p-9, 0x1p-12};
inline constexpr Poly<9> kFar0P = {7.298092318096673, 127.11268936432202, 515.5877140925369,
    877.2170782073599, 828.6565370589694, 474.594475914519, 166.3512655586829, 32.748950407618864,
    2.738889442049084};
inline constexpr Poly<9> kFar0Q = {0.6219385661322864, 14.901487255004172, 74.38475774717281,
    147.597291069244, 158.41543728579518, 103.17117678542854, 41.442936486503314, 9.665792339215178,
    1.0};
inline constexpr Poly<9> kFar1P = {120.38682974264418, 2346.0653497182566, 10319.022430321953,
    17084.748372591253, 13152.265350932019, 5228.783226490956, 1109.0095554323393,
    117.87007455132176, 4.815989456065454};
inline constexpr Poly<9> kFar1Q = {8.669671096610555, 220.39634619124263, 1153.9176892722483,
    2196.054359835553, 1903.607030500751, 839.779901003122, 195.79386778666296, 22.75446695608866,
    1.0};
inline constexpr Poly<9> kFar2P = {1634.0614884298052, 26004.4527832169, 91628.12743960223,
    119840.97309145855, 71550.39828474102, 21445.406515736155, 3308.1801225161703,
    248.67515070219613, 7.15805903893198};
inline constexpr Poly<9> kFar2Q = {98.23071071617171, 1946.8338710975333, 7898.143792902073,
    11553.64116658266, 7589.981566960404, 2473.9242716357357, 410.90405267238935,
    32.935374149893406, 1.0};
inline constexpr Poly<9> kFar3P = {2339.0441589959123, 36990.67915288189, 128182.06648611475,
    164509.3878047038, 96579.67901529401, 28628.963690409928, 4408.3666949812, 334.8982982437453,
    9.88751406049353};
inline constexpr Poly<9> kFar3Q = {118.79245492290738, 2255.1255880018407, 8761.3744592404,
    12295.681084228429, 7785.229006711714, 2465.6753125902123, 402.7545469956498, 32.26964679906766,
    1.0};
// clang-format on

// The three tables of q as one array of degree-7 rationals, the shorter ones
// padded with leading zero coefficients (0 x + c = c exactly for the finite
// x they are given): picking a table is an index, not a branch.
template <std::size_t M, std::size_t N>
constexpr Poly<M> padded(const Poly<N>& c) {
  Poly<M> out{};
  for (std::size_t i = 0; i < N; ++i) out[M - N + i] = c[i];
  return out;
}
inline constexpr Poly<8> kQNum[3] = {padded<8>(kLowP), kMidP, padded<8>(kTailP)};
inline constexpr Poly<8> kQDen[3] = {padded<8>(kLowQ), kMidQ, padded<8>(kTailQ)};
// The four pieces of h, side by side.
inline constexpr Poly<9> kFarP[4] = {kFar0P, kFar1P, kFar2P, kFar3P};
inline constexpr Poly<9> kFarQ[4] = {kFar0Q, kFar1Q, kFar2Q, kFar3Q};
// The same coefficients by power and piece, for the lanes to pick from:
// kFarByPiece[0][i][k] = kFarP[k][i], kFarByPiece[1][i][k] = kFarQ[k][i].
struct ByPiece {
  double c[2][9][4];
};
constexpr ByPiece by_piece_layout() {
  ByPiece out{};
  for (std::size_t i = 0; i < 9; ++i) {
    for (std::size_t k = 0; k < 4; ++k) {
      out.c[0][i][k] = kFarP[k][i];
      out.c[1][i][k] = kFarQ[k][i];
    }
  }
  return out;
}
inline constexpr ByPiece kFarLayout = by_piece_layout();
inline constexpr const auto& kFarByPiece = kFarLayout.c;

// sqrt(2 pi), the double nearest to it.
inline constexpr double kRootTwoPi = 2.5066282746310007;

// Beyond this ratio of time value to |F - K| (u < 4e-11) the price is
// s/sqrt(2 pi) - |F - K|/2 to within u^2/2 < 1e-21 relative.
inline constexpr double kNearAtTheMoney = 1e10;

}  // namespace tarvik::bachelier
