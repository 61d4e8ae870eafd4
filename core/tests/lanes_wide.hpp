// The lane kernels at 8 lanes without target flags (lanes_wide.cpp): each
// kernel of kernels.def as name_wide, with the kernel's own parameters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lanes/lanes.hpp"

namespace tarvik::lanes::testing {

#define TARVIK_LANE_KERNEL(ret, name, params, args, ...) ret name##_wide params;
#include "lanes/kernels.def"
#undef TARVIK_LANE_KERNEL

}  // namespace tarvik::lanes::testing
