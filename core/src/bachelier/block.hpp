// The batch kernel of the normal model's implied volatility, a block of
// elements at a time (defined in bachelier.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik {

// The batch kernel of the implied volatility: elements 0 to n - 1 (n at most
// kBachelierBlock) of the arrays, is_call nonzero for a call, into out; each
// element bachelier_implied_volatility's value or the quiet NaN.
inline constexpr std::size_t kBachelierBlock = 128;
void bachelier_implied_volatility_block(const double* price, const double* forward,
                                        const double* strike, const double* maturity,
                                        const std::uint8_t* is_call, std::size_t n, double* out);

}  // namespace tarvik
