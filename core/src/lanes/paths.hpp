// The entry points of each path's translation unit (path_*.cpp, each built
// with its own target flags): kernel_portable, kernel_avx2 and
// kernel_avx512 for each kernel of kernels.def; dispatch.cpp picks one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lanes/lanes.hpp"

namespace tarvik::lanes::detail {

#define TARVIK_LANE_KERNEL(ret, name, params, args, ...) \
  ret name##_portable params;                            \
  ret name##_avx2 params;                                \
  ret name##_avx512 params;
#include "lanes/kernels.def"

// black_implied_volatility's log-moneyness of each element of a block, for
// the lanes to take as given: computed in dispatch.cpp, built without
// target flags.
struct AccurateLogMoneyness {
  AccurateLogMoneyness(const double* forward, const double* strike, std::size_t n);
  alignas(64) double x[kBlock];
};

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
