// erfcx(x), scalar: the range of |x| picks one rational part of erfcx.hpp.
#include "rational/erfcx.hpp"

#include <cmath>

namespace tarvik::rational {

double erfcx_cody(double x) {
  const double y = std::fabs(x);
  if (y <= kErfcxSplitSmall) {
    const double w = erfcx_small_w(x, y);
    return std::exp(w) * erfcx_small(x, w);
  }
  // NaN fails both tests and is carried by the large range's function.
  const double r = y <= kErfcxSplitMid ? erfcx_mid(y) : erfcx_large(x, y);
  if (!(x < 0.0)) return r;
  if (x < kErfcxXNeg) return kErfcxXInf;
  return erfcx_reflection(x, r);
}

}  // namespace tarvik::rational
