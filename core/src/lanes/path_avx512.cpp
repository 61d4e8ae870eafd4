// The avx512 path: 8 lanes, built with -mavx512f -mfma (fused only in exact products).
#define TARVIK_LANES_PATH avx512
#define TARVIK_LANES_WIDTH 8
#include "lanes/define_path.hpp"
