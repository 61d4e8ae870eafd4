// Rendering of IVError: kind strings, message templates and the positional
// shortest round-trip number format.
#include "tarvik/errors.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace tarvik {

namespace {

// Indexed by ErrorKind.
constexpr std::array<std::string_view, kErrorKinds> kKindStrings = {
    "price_below_intrinsic", "price_above_maximum", "negative_time", "negative_forward",
    "negative_strike",       "no_convergence",      "invalid_input",
};

}  // namespace

std::string format_number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // The shortest round-trip digits come from std::to_chars in scientific
  // form ("-d.ddde+XX"); they are then laid out positionally.
  std::array<char, 32> buf;
  const auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific);
  if (ec != std::errc()) return "NaN";  // unreachable with this buffer size
  const std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));
  const std::size_t e_pos = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e_pos + (text[e_pos + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);

  std::string out = std::signbit(v) ? "-" : "";
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const int n = static_cast<int>(digits.size());
  if (exponent >= n - 1) {  // an integer: pad with zeros
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (n - 1)), '0');
  } else if (exponent >= 0) {  // the point falls inside the digits
    out += digits.substr(0, static_cast<std::size_t>(exponent) + 1);
    out += '.';
    out += digits.substr(static_cast<std::size_t>(exponent) + 1);
  } else {  // below 1: leading zeros after the point
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

std::string_view kind_string(ErrorKind kind) {
  return kKindStrings[static_cast<std::size_t>(kind)];
}

std::string_view IVError::kind_string() const { return tarvik::kind_string(kind_); }

std::string IVError::message() const {
  switch (kind_) {
    case ErrorKind::PriceBelowIntrinsic:
      return "option price " + format_number(a_) + " is below intrinsic value " + format_number(b_);
    case ErrorKind::PriceAboveMaximum:
      return "option price " + format_number(a_) + " exceeds maximum value " + format_number(b_);
    case ErrorKind::NegativeTime:
      return "maturity must be positive, got " + format_number(a_);
    case ErrorKind::NegativeForward:
      return "forward must be positive, got " + format_number(a_);
    case ErrorKind::NegativeStrike:
      return "strike must be positive, got " + format_number(a_);
    case ErrorKind::NoConvergence: {
      std::string m = std::string(reason_ ? reason_ : "implied volatility") +
                      " failed to converge after " + std::to_string(iterations_) +
                      " iterations";
      if (has_residual_) m += " (residual " + format_number(a_) + ")";
      return m;
    }
    case ErrorKind::InvalidInput:
      return std::string("invalid input: ") + (reason_ ? reason_ : "");
  }
  return {};
}

}  // namespace tarvik
