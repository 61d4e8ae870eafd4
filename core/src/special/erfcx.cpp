// erfcx(x), scalar: the rational part of erfcx.hpp for the range of |x|.
#include "special/erfcx.hpp"
#include "tarvik/elementary.hpp"

#include <cmath>

namespace tarvik::rational {

double erfcx_cody(double x) {
  const double y = std::fabs(x);
  // NaN is carried by the large range's function.
  const double r = erfcx_by_range(x, y);
  if (y <= kErfcxSplitSmall) return elementary::exp(erfcx_small_w(x, y)) * r;
  if (!(x < 0.0)) return r;
  if (x < kErfcxXNeg) return kErfcxXInf;
  return erfcx_reflection(x, r);
}

}  // namespace tarvik::rational
