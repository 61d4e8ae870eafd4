// The entry points of each path's translation unit (path_*.cpp), each built
// with its own target flags; dispatch.cpp picks one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lanes/lanes.hpp"

namespace tarvik::lanes::detail {

#define TARVIK_LANES_PATH(name)                                                                    \
  void implied_volatility_block_##name(                                                            \
      const double* price, const double* forward, const double* strike, const double* maturity,    \
      const double* x, const std::uint8_t* is_call, std::size_t n, double* out);                   \
  void normalised_implied_volatility_block_##name(const double* beta, const double* x,             \
                                                  const std::uint8_t* is_call, std::size_t n,      \
                                                  double* out);                                    \
  void black_terms_##name(const double* forward, const double* strike, const double* maturity,     \
                          const double* vol, const double* ln_f, const double* ln_k,               \
                          const double* sqrt_t, std::size_t n, double* s, double* x, double* d1,   \
                          bool* ok);                                                               \
  void bachelier_implied_volatility_block_##name(                                                  \
      const double* price, const double* forward, const double* strike, const double* maturity,    \
      const std::uint8_t* is_call, std::size_t n, double* out);                                    \
  void bachelier_block_##name(BachelierFormula which, const double* forward, const double* strike, \
                              const double* maturity, const double* vol,                           \
                              const std::uint8_t* is_call, std::size_t n, double* out);            \
  AmericanIntegrals american_row_integrals_##name(const AmericanRow& row, int size, double g,      \
                                                  bool yield);
TARVIK_LANES_PATH(portable)
#if defined(TARVIK_LANES_X86)
TARVIK_LANES_PATH(avx2)
TARVIK_LANES_PATH(avx512)
#endif
#undef TARVIK_LANES_PATH

// The same results element by element through the scalar functions, built
// without target flags (dispatch.cpp): for a block whose state cannot be
// allocated.
void implied_volatility_elements(const double* price, const double* forward, const double* strike,
                                 const double* maturity, const std::uint8_t* is_call, std::size_t n,
                                 double* out);
void black_implied_volatility_elements(const double* price, const double* forward,
                                       const double* strike, const double* maturity,
                                       const std::uint8_t* is_call, std::size_t n, double* out);
void normalised_implied_volatility_elements(const double* beta, const double* x,
                                            const std::uint8_t* is_call, std::size_t n,
                                            double* out);
void bachelier_implied_volatility_elements(const double* price, const double* forward,
                                           const double* strike, const double* maturity,
                                           const std::uint8_t* is_call, std::size_t n, double* out);

}  // namespace tarvik::lanes::detail
