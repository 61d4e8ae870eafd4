// Rendering of IVError: kind strings, message templates and the positional
// shortest round-trip number format.
#include "tarvik/errors.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace tarvik {

namespace {

// Indexed by ErrorKind.
constexpr std::array<std::string_view, 7> kKindStrings = {
    "price_below_intrinsic", "price_above_maximum", "negative_time",
    "negative_forward",      "negative_strike",     "no_convergence",
    "invalid_input",
};

}  // namespace

std::string format_number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // std::to_chars in fixed format without a precision gives the shortest
  // digits that round-trip, laid out positionally. The longest outputs are
  // -1.7976931348623157e308 (310 characters) and the smallest subnormals
  // (about 330 characters).
  std::array<char, 400> buf;
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), v,
                                 std::chars_format::fixed);
  if (ec != std::errc()) return "NaN";  // unreachable with this buffer size
  return std::string(buf.data(), end);
}

std::string_view IVError::kind_string() const {
  return kKindStrings[static_cast<std::size_t>(kind_)];
}

std::string IVError::message() const {
  switch (kind_) {
    case ErrorKind::PriceBelowIntrinsic:
      return "option price " + format_number(a_) + " is below intrinsic value " +
             format_number(b_);
    case ErrorKind::PriceAboveMaximum:
      return "option price " + format_number(a_) + " exceeds maximum value " +
             format_number(b_);
    case ErrorKind::NegativeTime:
      return "maturity must be positive, got " + format_number(a_);
    case ErrorKind::NegativeForward:
      return "forward must be positive, got " + format_number(a_);
    case ErrorKind::NegativeStrike:
      return "strike must be positive, got " + format_number(a_);
    case ErrorKind::NoConvergence: {
      std::string m = "implied volatility failed to converge after " +
                      std::to_string(iterations_) + " iterations";
      if (has_residual_) m += " (residual " + format_number(a_) + ")";
      return m;
    }
    case ErrorKind::InvalidInput:
      return std::string("invalid input: ") + (reason_ ? reason_ : "");
  }
  return {};
}

}  // namespace tarvik
