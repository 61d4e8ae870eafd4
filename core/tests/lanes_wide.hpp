// The lane kernels at 8 lanes without target flags (lanes_wide.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lanes/lanes.hpp"

namespace tarvik::lanes::testing {

void implied_volatility_block_wide(const double* price, const double* forward, const double* strike,
                                   const double* maturity, const std::uint8_t* is_call,
                                   std::size_t n, double* out);
void black_implied_volatility_block_wide(const double* price, const double* forward,
                                         const double* strike, const double* maturity,
                                         const std::uint8_t* is_call, std::size_t n, double* out);
void normalised_implied_volatility_block_wide(const double* beta, const double* x,
                                              const std::uint8_t* is_call, std::size_t n,
                                              double* out);
void bachelier_implied_volatility_block_wide(const double* price, const double* forward,
                                             const double* strike, const double* maturity,
                                             const std::uint8_t* is_call, std::size_t n,
                                             double* out);
void bachelier_block_wide(BachelierFormula which, const double* forward, const double* strike,
                          const double* maturity, const double* vol, const std::uint8_t* is_call,
                          std::size_t n, double* out);

}  // namespace tarvik::lanes::testing
