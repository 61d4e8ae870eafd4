// The avx2 path: 4 lanes, built with -mavx2 (never -mfma).
#include "lanes/define_path.hpp"

TARVIK_LANES_DEFINE_PATH(avx2, 4)
