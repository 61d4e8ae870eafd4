// Placeholder until the evaluation lands.
#include "tarvik/rational/inv_norm.hpp"

namespace tarvik::rational {
double inverse_norm_cdf(double) { return 0.0; }
}  // namespace tarvik::rational
