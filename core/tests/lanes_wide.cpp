// The 8-lane instances of the lane kernels in plain vector code (no target
// flags), so that the source the AVX-512F path is built from can be checked
// bit for bit on any processor.
#include "lanes_wide.hpp"

#include "bachelier/implied_volatility_lanes.hpp"
#include "black/implied_volatility_lanes.hpp"
#include "black/terms.hpp"
#include "tarvik/black.hpp"

namespace tarvik::lanes::testing {

void implied_volatility_block_wide(const double* price, const double* forward, const double* strike,
                                   const double* maturity, const std::uint8_t* is_call,
                                   std::size_t n, double* out) {
  Kernel<8>::implied_volatility(price, forward, strike, maturity, nullptr, is_call, n, out);
}

void black_implied_volatility_block_wide(const double* price, const double* forward,
                                         const double* strike, const double* maturity,
                                         const std::uint8_t* is_call, std::size_t n, double* out) {
  alignas(64) double x[kBlock];
  for (std::size_t i = 0; i < n; ++i) x[i] = accurate_log_moneyness(forward[i], strike[i]);
  Kernel<8>::implied_volatility(price, forward, strike, maturity, x, is_call, n, out);
}

void normalised_implied_volatility_block_wide(const double* beta, const double* x,
                                              const std::uint8_t* is_call, std::size_t n,
                                              double* out) {
  Kernel<8>::normalised_implied_volatility(beta, x, is_call, n, out);
}

void bachelier_implied_volatility_block_wide(const double* price, const double* forward,
                                             const double* strike, const double* maturity,
                                             const std::uint8_t* is_call, std::size_t n,
                                             double* out) {
  BachelierKernel<8>::implied_volatility(price, forward, strike, maturity, is_call, n, out);
}

void bachelier_block_wide(BachelierFormula which, const double* forward, const double* strike,
                          const double* maturity, const double* vol, const std::uint8_t* is_call,
                          std::size_t n, double* out) {
  BachelierKernel<8>::evaluate(which, forward, strike, maturity, vol, is_call, n, out);
}

}  // namespace tarvik::lanes::testing
