// Placeholder until the spot model lands.
#include "tarvik/black_scholes.hpp"
namespace tarvik {
static Result<double> todo() { return IVError::invalid_input("not implemented"); }
Result<double> black_scholes_forward(double, double, double, double) { return todo(); }
Result<double> black_scholes_price(bool, double, double, double, double, double, double) { return todo(); }
Result<double> black_scholes_delta(bool, double, double, double, double, double, double) { return todo(); }
Result<double> black_scholes_gamma(double, double, double, double, double, double) { return todo(); }
Result<double> black_scholes_vega(double, double, double, double, double, double) { return todo(); }
Result<double> black_scholes_theta(bool, double, double, double, double, double, double) { return todo(); }
Result<double> black_scholes_vanna(double, double, double, double, double, double) { return todo(); }
Result<double> black_scholes_vomma(double, double, double, double, double, double) { return todo(); }
}  // namespace tarvik
