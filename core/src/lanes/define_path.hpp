// The entry points of paths.hpp for one path, defined in that path's
// translation unit (path_*.cpp, built with its target flags), which defines
// TARVIK_LANES_PATH (its name) and TARVIK_LANES_WIDTH (its lanes) and then
// includes this header: each kernel of kernels.def, its body at W lanes.
#pragma once

#include "american/boundary_lanes.hpp"
#include "bachelier/implied_volatility_lanes.hpp"
#include "black/price_lanes.hpp"
#include "black/terms_lanes.hpp"
#include "black/implied_volatility_lanes.hpp"
#include "lanes/elementary_lanes.hpp"
#include "lanes/paths.hpp"

#define TARVIK_LANES_PATH_NAME(name, path) TARVIK_LANES_PASTE_PATH(name, path)
#define TARVIK_LANES_PASTE_PATH(name, path) name##_##path

namespace tarvik::lanes::detail {

#define TARVIK_LANE_KERNEL(ret, name, params, args, ...)       \
  ret TARVIK_LANES_PATH_NAME(name, TARVIK_LANES_PATH) params { \
    [[maybe_unused]] constexpr int W = TARVIK_LANES_WIDTH;     \
    return __VA_ARGS__;                                        \
  }
#include "lanes/kernels.def"

}  // namespace tarvik::lanes::detail
