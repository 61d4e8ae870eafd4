// What the correctly rounded functions (exp.hpp, log.hpp, expm1.hpp,
// log1p.hpp) share: table lookups and powers of two lane by lane, Ziv's
// rounding test (A. Ziv, ACM TOMS 17 (1991) 410-423), and the lanes'
// schedule, in which every lane runs the fast path and the rare lanes it
// cannot decide (or that lie outside its range) take the scalar function.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "special/exact.hpp"
#include "special/value.hpp"

namespace tarvik::rational {
namespace {

// The integer type of a value type's lanes.
template <class V>
using LaneInt = std::conditional_t<kScalar<V>, std::int64_t, Mask<V>>;

// The bits of x, each lane, and the value of given bits.
template <class V>
[[gnu::always_inline]] inline LaneInt<V> bits_of(V x) {
  if constexpr (kScalar<V>) {
    return std::bit_cast<std::int64_t>(x);
  } else {
    return (LaneInt<V>)x;
  }
}
template <class V>
[[gnu::always_inline]] inline V from_bits(LaneInt<V> b) {
  if constexpr (kScalar<V>) {
    return std::bit_cast<double>(b);
  } else {
    return (V)b;
  }
}

// Integer lanes as doubles (exact below 2^53).
template <class V>
[[gnu::always_inline]] inline V as_double(LaneInt<V> i) {
  if constexpr (kScalar<V>) {
    return static_cast<double>(i);
  } else {
    return __builtin_convertvector(i, V);
  }
}

// table[i][column] for each lane's i, of a table of C columns.
template <class V, std::size_t C, class I>
[[gnu::always_inline]] inline V gather(const double (*table)[C], I i, int column) {
  if constexpr (kScalar<V>) {
    return table[i][column];
#if defined(__AVX2__)
  } else if constexpr (sizeof(V) == 32) {
    const auto at = (__m256i)(i * static_cast<std::int64_t>(C) + column);
    // The masked forms, from zeros: the plain ones start from an undefined
    // register, which GCC 12 warns about.
    return (V)_mm256_mask_i64gather_pd(_mm256_setzero_pd(), &table[0][0], at,
                                       _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
#endif
#if defined(__AVX512F__)
  } else if constexpr (sizeof(V) == 64) {
    const auto at = (__m512i)(i * static_cast<std::int64_t>(C) + column);
    return (V)_mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xff, at, &table[0][0], 8);
#endif
  } else {
    V r;
    for (std::size_t k = 0; k < sizeof(V) / sizeof(double); ++k) r[k] = table[i[k]][column];
    return r;
  }
}

// out[at..at+B-1] = block(at) for blocks of B columns from 0, B, ..., the
// last one ending at N (overlapping the one before, its new columns taken).
template <std::size_t B, class V, std::size_t N, class Block>
[[gnu::always_inline]] inline void by_blocks(std::array<V, N>& out, Block block) {
#pragma GCC unroll 16
  for (std::size_t b = 0; b < N; b += B) {
    const std::size_t at = b + B <= N ? b : N - B;
    const auto c = block(at);
#pragma GCC unroll 16
    for (std::size_t k = b - at; k < B; ++k) out[at + k] = c[k];
  }
}

// Columns 0..N-1 of each lane's row i of a table of C >= 8 columns, one
// vector a column: the same values as N calls of gather. With AVX2 and
// AVX-512 each lane's row is loaded whole, in blocks as wide as the vector,
// and the blocks transposed: a gather instruction fetches one value a lane
// and costs some eight cycles on current processors, where a row block and
// its share of the transposition cost about three. (The AVX-512 shuffles in
// their zero-masked forms, as the gathers: GCC 12 warns of the plain ones.)
template <class V, std::size_t N, std::size_t C, class I>
[[gnu::always_inline]] inline std::array<V, N> gather_columns(const double (*table)[C], I i) {
  static_assert(N <= C && C >= 8);
  std::array<V, N> out;
  if constexpr (kScalar<V>) {
    for (std::size_t j = 0; j < N; ++j) out[j] = table[i][j];
#if defined(__AVX2__)
  } else if constexpr (sizeof(V) == 32) {
    by_blocks<4>(out, [&](std::size_t at) {
      __m256d r[4];
#pragma GCC unroll 4
      for (int k = 0; k < 4; ++k) r[k] = _mm256_loadu_pd(&table[i[k]][at]);
      const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
      const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
      return std::array<V, 4>{
          (V)_mm256_permute2f128_pd(t0, t2, 0x20), (V)_mm256_permute2f128_pd(t1, t3, 0x20),
          (V)_mm256_permute2f128_pd(t0, t2, 0x31), (V)_mm256_permute2f128_pd(t1, t3, 0x31)};
    });
#endif
#if defined(__AVX512F__)
  } else if constexpr (sizeof(V) == 64) {
    by_blocks<8>(out, [&](std::size_t at) {
      __m512d r[8], t[8], u[8];
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) r[k] = _mm512_loadu_pd(&table[i[k]][at]);
#pragma GCC unroll 4
      for (int k = 0; k < 4; ++k) {
        t[2 * k] = _mm512_maskz_unpacklo_pd(0xff, r[2 * k], r[2 * k + 1]);
        t[2 * k + 1] = _mm512_maskz_unpackhi_pd(0xff, r[2 * k], r[2 * k + 1]);
      }
      // u[m]: columns m and m + 4 of rows 0-3 (m < 4) or 4-7 (m >= 4).
#pragma GCC unroll 2
      for (int h = 0; h < 8; h += 4) {
        u[h] = _mm512_maskz_shuffle_f64x2(0xff, t[h], t[h + 2], 0x88);
        u[h + 1] = _mm512_maskz_shuffle_f64x2(0xff, t[h + 1], t[h + 3], 0x88);
        u[h + 2] = _mm512_maskz_shuffle_f64x2(0xff, t[h], t[h + 2], 0xdd);
        u[h + 3] = _mm512_maskz_shuffle_f64x2(0xff, t[h + 1], t[h + 3], 0xdd);
      }
      std::array<V, 8> c;
#pragma GCC unroll 4
      for (int k = 0; k < 4; ++k) {
        c[k] = (V)_mm512_maskz_shuffle_f64x2(0xff, u[k], u[k + 4], 0x88);
        c[k + 4] = (V)_mm512_maskz_shuffle_f64x2(0xff, u[k], u[k + 4], 0xdd);
      }
      return c;
    });
#endif
  } else {
    for (std::size_t j = 0; j < N; ++j) out[j] = gather<V>(table, i, static_cast<int>(j));
  }
  return out;
}

// The integer nearest t (ties to even) for |t| < 2^51, as a double and in k.
template <class V>
[[gnu::always_inline]] inline V nearest_integer(V t, LaneInt<V>& k) {
  constexpr double kShifter = 0x1.8p52;
  const V shifted = t + kShifter;
  if constexpr (kScalar<V>) {
    k = std::bit_cast<std::int64_t>(shifted) - std::bit_cast<std::int64_t>(kShifter);
  } else {
    k = (LaneInt<V>)shifted - splat<LaneInt<V>, std::int64_t>(std::bit_cast<std::int64_t>(kShifter));
  }
  return shifted - kShifter;
}

// 2^e of an integer e in [-1022, 1023], each lane.
template <class V, class I>
[[gnu::always_inline]] inline V power_of_two(I e) {
  if constexpr (kScalar<V>) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
  } else {
    return (V)((e + 1023) << 52);
  }
}

// y 2^m, exact where the result is normal: 2^m in two factors, each normal.
template <class V, class I>
[[gnu::always_inline]] inline V times_power_of_two(V y, I m) {
  const I half = m >> 1;
  return (y * power_of_two<V>(half)) * power_of_two<V>(m - half);
}

// The rounding of v = hi + lo where v is within `error` (relative) of f(x):
// both ends of that interval rounded; where they agree (`decided`), that is
// the rounding of f(x) too.
template <class V, class E>
[[gnu::always_inline]] inline V ziv_round(const Pair<V>& v, E error, Mask<V>& decided) {
  const V bound = abs_of(v.hi) * error;
  const V up = v.hi + (v.lo + bound);
  decided = up == v.hi + (v.lo - bound);
  return up;
}

// The rounding to the grid of 2^-1074 (subnormal results, and normal ones
// below 2^-1021, where the grid is the same) of 2^-1074 u, u = u_hi + u_lo
// (|u_lo| at most half an ulp of u_hi, 0 <= u_hi < 2^53) within `error`
// (relative) of f(x) / 2^-1074: u rounded once to an integer (below 2^52 by
// the usual addition; above, u_hi is one), decided where its fraction is
// farther than u_hi error and the sum's rounding (2^-53) from a half.
inline double round_to_least_grid(double u_hi, double u_lo, double error, bool& decided) {
  const double n = u_hi < 0x1p52 ? (u_hi + 0x1p52) - 0x1p52 : u_hi;
  const double d = (u_hi - n) + u_lo;
  const double a = abs_of(d);
  decided = abs_of(a - 0.5) > u_hi * error + 0x1p-53;
  const double k = a < 0.5 ? n : (d > 0.0 ? n + 1.0 : n - 1.0);
  return k * 0x1p-1074;  // exact: an integer to 2^53 times 2^-1074
}

// A correctly rounded function over lanes: fast(x, decided) on every lane
// (`safe` standing in where x is outside `in_range`), then scalar(x) for
// each lane out of range or undecided.
template <class V, class Fast, class Scalar>
[[gnu::always_inline]] inline V correct_lanes(V x, Mask<V> in_range, double safe, Fast fast,
                                              Scalar scalar) {
  Mask<V> decided;
  V y = fast(select(in_range, x, safe), decided);
  const Mask<V> rest = mask_not(decided & in_range);
  if (any(rest)) {
    for (std::size_t i = 0; i < sizeof(V) / sizeof(double); ++i) {
      if (rest[i]) y[i] = scalar(x[i]);
    }
  }
  return y;
}

}  // namespace
}  // namespace tarvik::rational
