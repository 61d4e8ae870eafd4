// Placeholder until the implied-volatility solver lands.
#include "tarvik/implied_volatility.hpp"
namespace tarvik {
Result<double> implied_volatility(double, double, double, double, bool) {
  return IVError::invalid_input("not implemented");
}
Result<double> normalised_implied_volatility(double, double, bool) {
  return IVError::invalid_input("not implemented");
}
}  // namespace tarvik
