// Placeholder until the Black-76 sensitivities land.
#include "tarvik/greeks.hpp"
namespace tarvik {
static Result<double> todo() { return IVError::invalid_input("not implemented"); }
Result<double> delta(bool, double, double, double, double) { return todo(); }
Result<double> gamma(double, double, double, double) { return todo(); }
Result<double> vega(double, double, double, double) { return todo(); }
Result<double> theta(double, double, double, double) { return todo(); }
Result<double> vanna(double, double, double, double) { return todo(); }
Result<double> vomma(double, double, double, double) { return todo(); }
}  // namespace tarvik
