// Vector lanes over lists of element indexes: the plumbing of the lane
// kernels' schedule. A kernel classifies the elements of a block in a vector
// pass that stores a byte code per element, splits the list by code
// (compaction), and runs each branch over its list W elements at a time,
// gathering and scattering through the indexes (or reading whole vectors
// where a list holds the first n elements in order). Included by black/implied_volatility_lanes.hpp
// into each path's translation unit: internal linkage throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "lanes/lanes.hpp"
#include "special/value.hpp"

namespace tarvik::lanes {
namespace {

// Element index within a block, or a slot of a two-per-element scratch array.
using Index = std::uint16_t;

// W doubles.
template <int W>
struct Vectors {
  typedef double D __attribute__((vector_size(8 * W)));
};

// A value (a double, or the W doubles of a vector) read from or written to
// consecutive doubles at `at`, which need no alignment.
template <class V>
[[gnu::always_inline]] inline V load(const double* at) {
  if constexpr (rational::kScalar<V>) {
    return *at;
  } else {
    V v;
    __builtin_memcpy(&v, at, sizeof v);
    return v;
  }
}
template <class V>
[[gnu::always_inline]] inline void store(double* at, V v) {
  if constexpr (rational::kScalar<V>) {
    *at = v;
  } else {
    __builtin_memcpy(at, &v, sizeof v);
  }
}

template <int W>
struct Lanes {
  using D = typename Vectors<W>::D;
  using M = rational::Mask<D>;
  static constexpr std::size_t B = kBlock;

  // A list of element indexes (or slots); entries n to the next multiple of W
  // repeat the last one, so that a vector pass reads whole groups of W. A
  // repeated lane computes what its twin does and stores the same bits.
  template <std::size_t Cap>
  struct List {
    Index idx[Cap + W];
    std::size_t n = 0;
    [[gnu::always_inline]] void add(std::size_t i, bool take) {
      idx[n] = static_cast<Index>(i);
      n += take ? 1 : 0;
    }
    template <std::size_t C>
    void append(const List<C>& from, std::size_t offset) {
      for (std::size_t j = 0; j < from.n; ++j)
        idx[n + j] = static_cast<Index>(from.idx[j] + offset);
      n += from.n;
    }
    void pad() {
      if (n == 0) return;
      for (int l = 0; l < W; ++l) idx[n + l] = idx[n - 1];
    }
  };
  using Set = List<B>;
  using Jobs = List<2 * B>;

  // Lane by lane through pack expansions, so that the compiler builds and
  // takes apart the vectors in registers.
  static constexpr auto kLanes = std::make_index_sequence<W>{};
  // W lanes of a list: their indexes, and whether these are consecutive
  // (then the lanes are read and written as one vector).
  struct At {
    const Index* ix;
    bool dense;
  };
  template <class R, class E, class T, std::size_t... I>
  [[gnu::always_inline]] static R gather(const T* a, const Index* ix, std::index_sequence<I...>) {
    return R{static_cast<E>(a[ix[I]])...};
  }
  template <class T, class R, std::size_t... I>
  [[gnu::always_inline]] static void scatter(T* a, const Index* ix, R v,
                                             std::index_sequence<I...>) {
    ((a[ix[I]] = static_cast<T>(v[I])), ...);
  }
  [[gnu::always_inline]] static D ld(const double* a, At at) {
    if (!at.dense) return gather<D, double>(a, at.ix, kLanes);
    D r;
    __builtin_memcpy(&r, a + at.ix[0], sizeof r);
    return r;
  }
  [[gnu::always_inline]] static void st(double* a, At at, D v) {
    if (at.dense) {
      __builtin_memcpy(a + at.ix[0], &v, sizeof v);
    } else {
      scatter(a, at.ix, v, kLanes);
    }
  }
  // The second slot of each element, B + i.
  [[gnu::always_inline]] static D ld_hi(const double* a, At at) { return ld(a + B, at); }
  [[gnu::always_inline]] static void st_hi(double* a, At at, D v) { st(a + B, at, v); }
  // Byte codes (and the is_call flags) of W lanes.
  [[gnu::always_inline]] static M ld_code(const std::uint8_t* a, At at) {
    return gather<M, std::int64_t>(a, at.ix, kLanes);
  }
  [[gnu::always_inline]] static void st_code(std::uint8_t* a, At at, M v) {
    scatter(a, at.ix, v, kLanes);
  }
  [[gnu::always_inline]] static D vec(double c) { return rational::splat<D>(c); }
  [[gnu::always_inline]] static M code(std::int64_t c) {
    return rational::splat<M, std::int64_t>(c);
  }

  // The lanes of a list W at a time. A list of elements that holds the first
  // n indexes of the block in order (its entries increase, so the last one
  // tells) is read and written as whole vectors but for its padded tail.
  template <std::size_t Cap, class F>
  [[gnu::always_inline]] static void each(const List<Cap>& list, F&& f) {
    const std::size_t n = list.n;
    std::size_t j = 0;
    if (Cap == B && n != 0 && list.idx[n - 1] == n - 1) {
      for (; j + W <= n; j += W) f(At{list.idx + j, true});
    }
    for (; j < n; j += W) f(At{list.idx + j, false});
  }
  // The elements (or slots) of a list one by one: the rare branches' loops.
  template <std::size_t Cap, class F>
  [[gnu::always_inline]] static void elements(const List<Cap>& list, F&& f) {
    for (std::size_t j = 0; j < list.n; ++j) f(list.idx[j]);
  }
  // Splits a list by the codes a vector pass stored (each below 32): the
  // c-th list after `from` (nullptr: none) takes the elements with code c,
  // padded; codes past the lists go to none. Each code is read once and
  // the counts are kept in locals until the end: a byte may alias anything,
  // so counts kept in the lists would be stored and read again around every
  // read of a code.
  template <std::size_t Cap, class... Into>
  static void split(const std::uint8_t* codes, const List<Cap>& from, Into... lists) {
    constexpr std::size_t N = sizeof...(Into);
    List<Cap>* const into[N] = {lists...};
    std::size_t n[N];
    for (std::size_t k = 0; k < N; ++k) n[k] = into[k] ? into[k]->n : 0;
    elements(from, [&](Index i) {
      // Every list takes the index in its next slot, and the one whose code
      // it is moves on: one bit of c's one-hot word (shifts, not branches:
      // a mixed block's codes defeat branch prediction).
      const unsigned one_hot = 1u << codes[i];
      for (std::size_t k = 0; k < N; ++k) {
        if (into[k]) {
          into[k]->idx[n[k]] = i;
          n[k] += (one_hot >> k) & 1u;
        }
      }
    });
    for (std::size_t k = 0; k < N; ++k) {
      if (into[k]) {
        into[k]->n = n[k];
        into[k]->pad();
      }
    }
  }
};

}  // namespace
}  // namespace tarvik::lanes
