// The correctly rounded functions over arrays, W lanes at a time (the lane
// kernels exp_each, log_each and erfc_each of kernels.def, and the lane
// loops that call them inline). A correctly rounded result is one value
// whatever computes it, so every element gets the scalar function's bits,
// however an array is split.
#pragma once

#include <cstddef>

#include "lanes/lists.hpp"
#include "special/asinh.hpp"
#include "special/atan2.hpp"
#include "special/cbrt.hpp"
#include "special/erfc.hpp"
#include "special/exp.hpp"
#include "special/hyperbolic.hpp"
#include "special/expm1.hpp"
#include "special/log.hpp"
#include "special/log1p.hpp"
#include "special/trig.hpp"
#include "special/value.hpp"

namespace tarvik::lanes {
namespace {

// out[i] = f(in[i]) for i < n (in may be out): whole vectors, then a tail
// of fewer than kScalarTail elements one by one, a longer one as a vector
// padded with its last element. A vector of the costlier functions costs
// some four scalar calls.
inline constexpr std::size_t kScalarTail = 4;
template <int W, class F>
[[gnu::always_inline]] inline void each_lane(const double* in, std::size_t n, double* out, F f) {
  using D = typename Vectors<W>::D;
  std::size_t i = 0;
  for (; i + W <= n; i += W) store(out + i, f(load<D>(in + i)));
  if constexpr (W > kScalarTail) {
    if (n - i >= kScalarTail) {
      D v = rational::splat<D>(in[n - 1]);
      for (std::size_t k = 0; i + k < n; ++k) v[k] = in[i + k];
      const D r = f(v);
      for (std::size_t k = 0; i + k < n; ++k) out[i + k] = r[k];
      return;
    }
  }
  for (; i < n; ++i) out[i] = f(in[i]);
}

inline constexpr auto kExpLanes = [](auto v) { return rational::exp_correct(v); };
inline constexpr auto kLogLanes = [](auto v) { return rational::log_correct(v); };
inline constexpr auto kErfcLanes = [](auto v) { return rational::erfc_correct(v); };

}  // namespace
}  // namespace tarvik::lanes
