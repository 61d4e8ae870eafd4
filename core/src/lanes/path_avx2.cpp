// The avx2 path: 4 lanes, built with -mavx2 -mfma (fused only in exact products).
#define TARVIK_LANES_PATH avx2
#define TARVIK_LANES_WIDTH 4
#include "lanes/define_path.hpp"
