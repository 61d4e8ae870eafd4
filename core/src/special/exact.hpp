// Error-free transformations of IEEE double arithmetic, templates over the
// value type (value.hpp): a sum or a product as an unevaluated pair hi + lo
// equal to the exact result (T. J. Dekker, "A floating-point technique for
// extending the available precision", Numer. Math. 18 (1971) 224-242; D. E.
// Knuth, TAOCP vol. 2, 4.2.2). The correctly rounded functions build on them.
// Where the target has fused multiply-adds (the x86-64 lane paths built
// with -mfma), the product's low part is fma(a, b, -p): the same exact pair
// at two instructions in place of Dekker's seventeen. That and mul_add below,
// in the correctly rounded functions' polynomials, are the only fused
// operations in the core (everything else is built with -ffp-contract=off).
#pragma once

#if defined(__FMA__)
#include <immintrin.h>
#endif

#include "special/value.hpp"

namespace tarvik::rational {
namespace {

template <class V>
struct Pair {
  V hi, lo;
};

// a + b = hi + lo exactly, given |a| >= |b| (or a = 0): Dekker's fast two-sum.
template <class V>
[[gnu::always_inline]] inline Pair<V> fast_two_sum(V a, V b) {
  const V s = a + b;
  const V z = s - a;
  return {s, b - z};
}

// a + b = hi + lo exactly, whatever the magnitudes: Knuth's two-sum.
template <class V>
[[gnu::always_inline]] inline Pair<V> two_sum(V a, V b) {
  const V s = a + b;
  const V bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// a = hi + lo with hi holding a's leading 26 bits (Veltkamp's splitting;
// exact for |a| below 2^996).
template <class V>
[[gnu::always_inline]] inline Pair<V> split(V a) {
  const V c = a * 134217729.0;  // 2^27 + 1
  const V hi = c - (c - a);
  return {hi, a - hi};
}

// a * b = hi + lo exactly (Dekker's product, or one fused multiply-add), for
// |a|, |b| below 2^996 and a product clear of underflow.
template <class V>
[[gnu::always_inline]] inline Pair<V> two_prod(V a, V b) {
  const V p = a * b;
#if defined(__FMA__)
  if constexpr (kScalar<V>) {
    return {p, __builtin_fma(a, b, -p)};
  } else if constexpr (sizeof(V) == 16) {
    return {p, (V)_mm_fmsub_pd((__m128d)a, (__m128d)b, (__m128d)p)};
  } else if constexpr (sizeof(V) == 32) {
    return {p, (V)_mm256_fmsub_pd((__m256d)a, (__m256d)b, (__m256d)p)};
#if defined(__AVX512F__)
  } else if constexpr (sizeof(V) == 64) {
    return {p, (V)_mm512_fmsub_pd((__m512d)a, (__m512d)b, (__m512d)p)};
#endif
  }
#endif
  const Pair<V> as = split(a), bs = split(b);
  return {p, ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo};
}

// a b + c: one fused multiply-add where the target has one, else a product
// and a sum. Only the correctly rounded functions use it: their error bounds
// count two roundings for each such step, which covers the fused one.
template <class V>
[[gnu::always_inline]] inline V mul_add(V a, V b, V c) {
#if defined(__FMA__)
  if constexpr (kScalar<V>) {
    return __builtin_fma(a, b, c);
  } else if constexpr (sizeof(V) == 16) {
    return (V)_mm_fmadd_pd((__m128d)a, (__m128d)b, (__m128d)c);
  } else if constexpr (sizeof(V) == 32) {
    return (V)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
#if defined(__AVX512F__)
  } else if constexpr (sizeof(V) == 64) {
    return (V)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
#endif
  }
#endif
  return a * b + c;
}

// Horner's scheme ({c_n, ..., c_0}, value.hpp's convention) by mul_add.
template <class V, std::size_t N>
[[gnu::always_inline]] inline V horner_fused(const Poly<N>& c, V x) {
  V p = splat<V>(c[0]);
#pragma GCC unroll 32
  for (std::size_t i = 1; i < N; ++i) p = mul_add(p, x, splat<V>(c[i]));
  return p;
}

// sum_(k<N) a(k) x^k by multiply-adds. On a scalar by Estrin's scheme: the
// pairs a(2i) + a(2i+1) x, then pairs of those in x^2, in x^4, and so on,
// a chain of some log2(N) multiply-adds where Horner's rule waits on N - 1
// (a single call's latency is its cost). In lanes by Horner's rule, the
// fewest operations (a loop over many vectors is bound by throughput). The
// correctly rounded functions use it for the small tails of their
// polynomials, whose terms fall with k: either order's rounding errors are
// far inside their bounds, and the result does not depend on the order.
template <std::size_t N, class V, class A>
[[gnu::always_inline]] inline V polynomial_fused(V x, A a) {
  if constexpr (kScalar<V>) {
    std::array<V, N> b;
#pragma GCC unroll 32
    for (std::size_t k = 0; k < N; ++k) b[k] = a(k);
    V power = x;
#pragma GCC unroll 8
    for (std::size_t n = N; n > 1; n = (n + 1) / 2) {
#pragma GCC unroll 16
      for (std::size_t i = 0; 2 * i < n; ++i) {
        b[i] = 2 * i + 1 < n ? mul_add(power, b[2 * i + 1], b[2 * i]) : b[2 * i];
      }
      if (n > 2) power = power * power;
    }
    return b[0];
  } else {
    V p = lift<V>(a(N - 1));
#pragma GCC unroll 32
    for (std::size_t j = 2; j <= N; ++j) p = mul_add(x, p, lift<V>(a(N - j)));
    return p;
  }
}

}  // namespace
}  // namespace tarvik::rational
