// The portable path: 2 lanes, built with no target flags: SSE2 on x86-64, the baseline vector
// unit elsewhere.
#define TARVIK_LANES_PATH portable
#define TARVIK_LANES_WIDTH 2
#include "lanes/define_path.hpp"
