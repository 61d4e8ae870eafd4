// The value type the solver's formulas are written over: V is double on the
// scalar path and a vector of W doubles in the lane kernels, with a mask type
// (bool, or W lanes of all bits set or clear, as compared vectors give) and
// the few operations that differ between the two. Every formula of the
// solver (black/*.hpp) is a template over V, written once, evaluated
// operation by operation in the same order on either type: IEEE addition,
// subtraction, multiplication, division and square root round the same in a
// vector lane as in a scalar register, and nothing here is contracted into
// fused multiply-adds (-ffp-contract=off).
//
// Everything in these headers has internal linkage (an unnamed namespace), so
// that each lane path's translation unit, built with its own target flags,
// keeps its instantiations to itself: a function compiled for AVX2 can never
// stand in for the portable one at link time (tools/check-lane-symbols.sh).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "tarvik/numeric.hpp"

namespace tarvik::rational {

// Coefficients from the highest power down: {c_n, ..., c_1, c_0} is
// c_n x^n + ... + c_0. The one polynomial convention of the core.
template <std::size_t N>
using Poly = std::array<double, N>;

namespace {

template <class V>
inline constexpr bool kScalar = std::is_same_v<V, double>;

template <class V>
struct MaskOf {
  using type = bool;
};
template <class V>
  requires(!kScalar<V>)
struct MaskOf<V> {
  typedef std::int64_t type __attribute__((vector_size(sizeof(V))));
};
template <class V>
using Mask = typename MaskOf<V>::type;

// c in every lane (of a value or, with an integer c, of a mask).
template <class V, class E = double>
[[gnu::always_inline]] inline V splat(E c) {
  if constexpr (std::is_arithmetic_v<V>) {
    return c;
  } else {
    V r;
    for (std::size_t i = 0; i < sizeof(V) / sizeof(c); ++i) r[i] = c;
    return r;
  }
}

// m ? a : b, lane by lane; a or b may be a plain double.
template <class V>
[[gnu::always_inline]] inline V lift(V a) {
  return a;
}
template <class V>
[[gnu::always_inline]] inline V lift(double a)
  requires(!kScalar<V>)
{
  return splat<V>(a);
}
template <class M, class A, class B>
[[gnu::always_inline]] inline auto select(M m, A a, B b) {
  using V = std::conditional_t<std::is_same_v<A, double>, B, A>;
  if constexpr (kScalar<V>) {
    return m ? static_cast<double>(a) : static_cast<double>(b);
  } else {
    return m ? lift<V>(a) : lift<V>(b);
  }
}

// Masks: not, and the test whether any lane is set.
// On double a mask may be a bool or the int that & and | of two bools give.
[[gnu::always_inline]] inline bool mask_not(bool m) { return !m; }
template <class M>
  requires(!std::is_arithmetic_v<M>)
[[gnu::always_inline]] inline M mask_not(M m) {
  return ~m;
}
[[gnu::always_inline]] inline bool any(bool m) { return m; }
template <class M>
  requires(!std::is_arithmetic_v<M>)
[[gnu::always_inline]] inline bool any(M m) {
#if defined(__AVX512F__)
  if constexpr (sizeof(M) == 64) return _mm512_test_epi64_mask((__m512i)m, (__m512i)m) != 0;
#endif
#if defined(__AVX__)
  if constexpr (sizeof(M) == 32) return _mm256_movemask_pd((__m256d)m) != 0;
#endif
#if defined(__SSE2__)
  if constexpr (sizeof(M) == 16) return _mm_movemask_pd((__m128d)m) != 0;
#endif
  bool r = false;
  for (std::size_t i = 0; i < sizeof(M) / sizeof(std::int64_t); ++i) r = r || m[i] != 0;
  return r;
}

[[gnu::always_inline]] inline bool all(bool m) { return m; }
template <class M>
  requires(!std::is_arithmetic_v<M>)
[[gnu::always_inline]] inline bool all(M m) {
  return !any(~m);
}

// |a| (clears the sign bit).
[[gnu::always_inline]] inline double abs_of(double a) { return std::fabs(a); }
template <class V>
  requires(!kScalar<V>)
[[gnu::always_inline]] inline V abs_of(V a) {
  return (V)((Mask<V>)a & splat<Mask<V>, std::int64_t>(0x7fffffffffffffff));
}

[[gnu::always_inline]] inline bool is_nan(double a) { return std::isnan(a); }
template <class V>
  requires(!kScalar<V>)
[[gnu::always_inline]] inline Mask<V> is_nan(V a) {
  return a != a;
}
[[gnu::always_inline]] inline bool is_finite(double a) { return std::isfinite(a); }
template <class V>
  requires(!kScalar<V>)
[[gnu::always_inline]] inline Mask<V> is_finite(V a) {
  return abs_of(a) < __builtin_inf();
}

// IEEE maxNum: the larger operand, ignoring a NaN one.
[[gnu::always_inline]] inline double max_of(double a, double b) { return max_num(a, b); }
template <class V, class B>
  requires(!kScalar<V>)
[[gnu::always_inline]] inline V max_of(V a, B b_in) {
  const V b = lift<V>(b_in);
  V r = a < b ? b : a;
  r = is_nan(b) ? a : r;
  return is_nan(a) ? b : r;
}

// The square root, correctly rounded in every lane.
[[gnu::always_inline]] inline double sqrt_of(double a) { return std::sqrt(a); }
template <class V>
  requires(!kScalar<V>)
[[gnu::always_inline]] inline V sqrt_of(V a) {
#if defined(__AVX512F__)
  if constexpr (sizeof(V) == 64) return (V)_mm512_maskz_sqrt_pd(0xff, (__m512d)a);
#endif
#if defined(__AVX__)
  if constexpr (sizeof(V) == 32) return (V)_mm256_sqrt_pd((__m256d)a);
#endif
#if defined(__SSE2__)
  if constexpr (sizeof(V) == 16) return (V)_mm_sqrt_pd((__m128d)a);
#endif
  V r;
  for (std::size_t i = 0; i < sizeof(V) / sizeof(double); ++i) r[i] = __builtin_sqrt(a[i]);
  return r;
}

// (((c_n x + c_(n-1)) x + ...) x + c_0): one multiplication and one addition
// per coefficient after the first, in this order, unrolled.
template <std::size_t N, class V>
[[gnu::always_inline]] inline V horner(const Poly<N>& c, V x) {
  V p = splat<V>(c[0]);
#pragma GCC unroll 32
  for (std::size_t i = 1; i < N; ++i) p = p * x + c[i];
  return p;
}

// The quotient of two polynomials in the same variable, evaluated side by
// side (two independent chains) and divided once.
template <std::size_t N, std::size_t M, class V>
[[gnu::always_inline]] inline V horner_ratio(const Poly<N>& num, const Poly<M>& den, V x) {
  return horner(num, x) / horner(den, x);
}

}  // namespace
}  // namespace tarvik::rational
