// The elementary functions of the core, each correctly rounded to nearest
// for every double (core/src/special/: Ziv's fast paths and fixed-point last
// resorts, checked against MPFR by reference/correct_rounding): the same bits
// on every machine, whatever C library it has. The core calls these, never
// the C library's.
#pragma once

namespace tarvik::elementary {

double exp(double x);
double log(double x);
double expm1(double x);
double log1p(double x);
double erfc(double x);
double sin(double x);
double cos(double x);
double sinh(double x);
double cosh(double x);
double asinh(double x);
double atan2(double y, double x);
double cbrt(double x);

}  // namespace tarvik::elementary
