// The portable path: 2 lanes, built with no target flags: SSE2 on x86-64, the baseline vector unit
// elsewhere.
#include "kernel.hpp"
#include "paths.hpp"

namespace tarvik::lanes::detail {

void implied_volatility_block_portable(const double* price, const double* forward,
                                       const double* strike, const double* maturity,
                                       const std::uint8_t* is_call, std::size_t n, double* out) {
  Kernel<2>::implied_volatility(price, forward, strike, maturity, is_call, n, out);
}

void normalised_implied_volatility_block_portable(const double* beta, const double* x,
                                                  const std::uint8_t* is_call, std::size_t n,
                                                  double* out) {
  Kernel<2>::normalised_implied_volatility(beta, x, is_call, n, out);
}

}  // namespace tarvik::lanes::detail
