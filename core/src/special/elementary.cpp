// The scalar entry points of the correctly rounded functions
// (tarvik/elementary.hpp), each on the lane path this processor runs: the
// function is the same on every path, and the wide ones build it with FMA.
#include "tarvik/elementary.hpp"

#include "lanes/lanes.hpp"

namespace tarvik::elementary {

double exp(double x) { return lanes::exp_one(x); }
double log(double x) { return lanes::log_one(x); }
double expm1(double x) { return lanes::expm1_one(x); }
double log1p(double x) { return lanes::log1p_one(x); }
double erfc(double x) { return lanes::erfc_one(x); }
double sin(double x) { return lanes::sin_one(x); }
double cos(double x) { return lanes::cos_one(x); }
double sinh(double x) { return lanes::sinh_one(x); }
double cosh(double x) { return lanes::cosh_one(x); }
double asinh(double x) { return lanes::asinh_one(x); }
double atan2(double y, double x) { return lanes::atan2_one(y, x); }
double cbrt(double x) { return lanes::cbrt_one(x); }

}  // namespace tarvik::elementary
