// Placeholder until the evaluation lands.
#include "tarvik/rational/erfcx.hpp"

namespace tarvik::rational {
double erfcx_cody(double) { return 0.0; }
}  // namespace tarvik::rational
