// wide_lanes.hpp's body in four lanes, built with -mavx2 -mfma.
#if defined(__AVX2__) && defined(__FMA__)
#define TARVIK_WIDE_LANES wide_lanes_avx2, 32
#include "wide_lanes.hpp"
#endif
