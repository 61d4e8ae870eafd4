// The 8-lane instances of the lane kernels in plain vector code (no target
// flags), so that the source the AVX-512F path is built from can be checked
// bit for bit on any processor: every kernel of kernels.def, its body at
// W = 8.
#include "lanes_wide.hpp"

#include "american/boundary_lanes.hpp"
#include "bachelier/implied_volatility_lanes.hpp"
#include "black/implied_volatility_lanes.hpp"
#include "black/price_lanes.hpp"
#include "black/terms_lanes.hpp"
#include "lanes/paths.hpp"

namespace tarvik::lanes::testing {

#define TARVIK_LANE_KERNEL(ret, name, params, args, ...) \
  ret name##_wide params {                               \
    [[maybe_unused]] constexpr int W = 8;                \
    return __VA_ARGS__;                                  \
  }
#include "lanes/kernels.def"
#undef TARVIK_LANE_KERNEL

}  // namespace tarvik::lanes::testing
