// The avx512 path: 8 lanes, built with -mavx512f (never -mfma).
#include "lanes/define_path.hpp"

TARVIK_LANES_DEFINE_PATH(avx512, 8)
