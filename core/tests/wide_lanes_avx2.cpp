#if defined(__AVX2__) && defined(__FMA__)
#define TARVIK_WIDE_LANES
#include "wide_lanes.hpp"

using Lanes = double __attribute__((vector_size(32)));

void tarvik::testing::wide_lanes_avx2(Wide f, const double* x, std::size_t n, double* out) {
  each_wide<Lanes>(f, x, n, out);
}
#endif
