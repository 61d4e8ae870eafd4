// exp, log and erfc over the lanes of the AVX2 and AVX-512F builds
// (wide_lanes_avx2.cpp, wide_lanes_avx512.cpp, each built with its target's
// flags): the fused multiply-adds and the row transpositions that only those
// targets compile, for wide_lanes_test.cpp to hold against the scalar path.
#pragma once

#include <cstddef>

namespace tarvik::testing {

enum class Wide { kExp, kLog, kErfc };

// out[i] = f(x[i]) for i < n (n a multiple of 8), W lanes at a time.
void wide_lanes_avx2(Wide f, const double* x, std::size_t n, double* out);
void wide_lanes_avx512(Wide f, const double* x, std::size_t n, double* out);

}  // namespace tarvik::testing

// The body of both, included by each file under its own flags with
// TARVIK_WIDE_LANES its function's name and vector bytes (internal linkage:
// no instance built for one target stands in for the other's).
#if defined(TARVIK_WIDE_LANES)
#include <cstring>

#include "special/erfc.hpp"
#include "special/exp.hpp"
#include "special/log.hpp"

namespace tarvik::testing {
namespace {

template <class V>
void each_wide(Wide f, const double* x, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; i += sizeof(V) / sizeof(double)) {
    V v;
    std::memcpy(&v, x + i, sizeof v);
    const V r = f == Wide::kExp   ? rational::exp_correct(v)
                : f == Wide::kLog ? rational::log_correct(v)
                                  : rational::erfc_correct(v);
    std::memcpy(out + i, &r, sizeof r);
  }
}

}  // namespace
}  // namespace tarvik::testing

#define TARVIK_WIDE_DEFINE(name, bytes)                                                 \
  using Lanes = double __attribute__((vector_size(bytes)));                              \
  void tarvik::testing::name(Wide f, const double* x, std::size_t n, double* out) {      \
    each_wide<Lanes>(f, x, n, out);                                                      \
  }
#define TARVIK_WIDE_EXPAND(args) TARVIK_WIDE_DEFINE(args)
TARVIK_WIDE_EXPAND(TARVIK_WIDE_LANES)
#endif
