// The portable path: 2 lanes, built with no target flags: SSE2 on x86-64, the baseline vector
// unit elsewhere.
#include "lanes/define_path.hpp"

TARVIK_LANES_DEFINE_PATH(portable, 2)
