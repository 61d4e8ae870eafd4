// The entry points of paths.hpp for one path, defined in that path's
// translation unit (path_*.cpp, built with its target flags) by
// TARVIK_LANES_DEFINE_PATH(name, lanes).
#pragma once

#include "american/boundary_lanes.hpp"
#include "bachelier/implied_volatility_lanes.hpp"
#include "black/terms_lanes.hpp"
#include "black/implied_volatility_lanes.hpp"
#include "lanes/paths.hpp"

#define TARVIK_LANES_DEFINE_PATH(name, W)                                                          \
  namespace tarvik::lanes::detail {                                                                \
  void implied_volatility_block_##name(const double* price, const double* forward,                 \
                                       const double* strike, const double* maturity,               \
                                       const double* x, const std::uint8_t* is_call,               \
                                       std::size_t n, double* out) {                               \
    Kernel<W>::implied_volatility(price, forward, strike, maturity, x, is_call, n, out);           \
  }                                                                                                \
  void normalised_implied_volatility_block_##name(const double* beta, const double* x,             \
                                                  const std::uint8_t* is_call, std::size_t n,      \
                                                  double* out) {                                   \
    Kernel<W>::normalised_implied_volatility(beta, x, is_call, n, out);                            \
  }                                                                                                \
  void black_terms_##name(const double* forward, const double* strike, const double* maturity,     \
                          const double* vol, const double* ln_f, const double* ln_k,               \
                          const double* sqrt_t, std::size_t n, double* s, double* x, double* d1,   \
                          bool* ok) {                                                              \
    black_terms_loop(forward, strike, maturity, vol, ln_f, ln_k, sqrt_t, n, s, x, d1, ok);         \
  }                                                                                                \
  void bachelier_implied_volatility_block_##name(const double* price, const double* forward,       \
                                                 const double* strike, const double* maturity,     \
                                                 const std::uint8_t* is_call, std::size_t n,       \
                                                 double* out) {                                    \
    BachelierKernel<W>::implied_volatility(price, forward, strike, maturity, is_call, n, out);     \
  }                                                                                                \
  void bachelier_block_##name(BachelierFormula which, const double* forward, const double* strike, \
                              const double* maturity, const double* vol,                           \
                              const std::uint8_t* is_call, std::size_t n, double* out) {           \
    BachelierKernel<W>::evaluate(which, forward, strike, maturity, vol, is_call, n, out);          \
  }                                                                                                \
  AmericanIntegrals american_row_integrals_##name(const AmericanRow& row, int size, double g,      \
                                                  bool yield) {                                    \
    return american_row_loop<W>(row, size, g, yield);                                              \
  }                                                                                                \
  }  // namespace tarvik::lanes::detail
