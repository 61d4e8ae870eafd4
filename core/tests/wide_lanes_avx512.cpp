// wide_lanes.hpp's body in eight lanes, built with -mavx512f -mfma.
#if defined(__AVX512F__) && defined(__FMA__)
#define TARVIK_WIDE_LANES wide_lanes_avx512, 64
#include "wide_lanes.hpp"
#endif
