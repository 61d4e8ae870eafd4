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
// the largest |F - K|), in eta = 1/sqrt(-2 ln g) on four pieces of u (1 to
// 2.5, 6, 15 and 54.2; eta falls as u grows): u eta = 1 - eta^2 h, h a
// rational in eta - c about the piece's middle c, degree 8/8, 8/8, 7/7, 8/8.
// Fits of h 1.45e-18, 1.61e-19, 4.48e-18, 2.58e-18; u eta in doubles 2.63, 1.19,
// 0.46, 0.38 eps.
inline constexpr double kFarCut[3] = {0.2648352565226792, 0.14323578914784696,
                                      0.06413519320083491};  // eta at u = 2.5, 6, 15
inline constexpr double kFarCenter[4] = {0.3567846765171503, 0.2040963225689505,
                                         0.10372504147231444, 0.041359195369046683};
inline constexpr Poly<9> kFar0P = {-59.747189351189284, -215.19561505524655, 541.7667925740116,
    1108.9925008936468, 843.2827880578872, 426.83817851320623, 135.3026540720045,
    28.154038932525822, 3.6586938338056982};
inline constexpr Poly<9> kFar0Q = {1285.938083457294, 2553.1839201899325, 2672.107685302222,
    1782.0865768183387, 827.5294242109054, 279.5809663335691, 66.49649658258414, 10.789254916751586,
    1.0};
inline constexpr Poly<9> kFar1P = {-5455.416759496836, 5127.8696376774915, 966.7002721082036,
    1255.2884960024764, 1536.7804243714838, 400.2740442371459, 126.1804751419942, 47.79692821693864,
    5.729489096118356};
inline constexpr Poly<9> kFar1Q = {3755.7756747105072, 4793.971165076613, 2490.3225338795005,
    1508.8390048091294, 664.006140060841, 177.22786715243268, 49.29015941577583, 11.189431910316479,
    1.0};
inline constexpr Poly<8> kFar2P = {-41004.17122647819, 17469.279765240484, 13226.594220368186,
    -2623.8185560395023, 1076.400319980704, 991.5781506393835, 162.1264716805847,
    7.819120899983655};
inline constexpr Poly<8> kFar2Q = {9.447849262022055, 10390.239785522404, 2923.362247576992,
    443.7837621105099, 573.7621441786562, 199.03536295777124, 24.37994269174585, 1.0};
inline constexpr Poly<9> kFar3P = {100897917.22144955, 6273076.594912158, -26926429.805452727,
    754060.3940696919, 2230741.317948875, 377279.4310126261, 26438.292409420137, 854.7576677346859,
    10.520796925524019};
inline constexpr Poly<9> kFar3Q = {21433797.47625764, -6016282.362788373, -2687522.944264735,
    978741.5085970334, 396423.3639395172, 50395.264684460206, 3026.066352822781, 88.01819268026102,
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
// The four pieces of h likewise, degree 8/8.
inline constexpr Poly<9> kFarP[4] = {kFar0P, kFar1P, padded<9>(kFar2P), kFar3P};
inline constexpr Poly<9> kFarQ[4] = {kFar0Q, kFar1Q, padded<9>(kFar2Q), kFar3Q};
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
