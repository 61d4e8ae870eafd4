// IVError: the one error type of the numerical core, and Result<T>, the
// value-or-error return type of every operation that can fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarvik {

// The variants, in the fixed order that also indexes the kind strings.
enum class ErrorKind : std::uint8_t {
  PriceBelowIntrinsic,
  PriceAboveMaximum,
  NegativeTime,
  NegativeForward,
  NegativeStrike,
  NoConvergence,
  InvalidInput,
};

inline constexpr std::size_t kErrorKinds = 7;

// The machine-readable kind: the variant's name in lower case with
// underscores ("price_below_intrinsic", ...).
std::string_view kind_string(ErrorKind kind);

// A tagged union of the seven variants. Plain immutable data: it is built by
// the factories below, copied freely across threads and rendered only at the
// Python boundary.
class IVError {
 public:
  static constexpr IVError price_below_intrinsic(double price, double intrinsic) {
    return IVError(ErrorKind::PriceBelowIntrinsic, price, intrinsic);
  }
  static constexpr IVError price_above_maximum(double price, double maximum) {
    return IVError(ErrorKind::PriceAboveMaximum, price, maximum);
  }
  static constexpr IVError negative_time(double maturity) {
    return IVError(ErrorKind::NegativeTime, maturity);
  }
  static constexpr IVError negative_forward(double forward) {
    return IVError(ErrorKind::NegativeForward, forward);
  }
  static constexpr IVError negative_strike(double strike) {
    return IVError(ErrorKind::NegativeStrike, strike);
  }
  static constexpr IVError no_convergence(std::uint32_t iterations,
                                          std::optional<double> residual = std::nullopt) {
    IVError e(ErrorKind::NoConvergence, residual.value_or(0.0));
    e.iterations_ = iterations;
    e.has_residual_ = residual.has_value();
    return e;
  }
  // A solve other than the implied volatility's that did not settle: `what`
  // (a static text) names it in the message in place of "implied volatility".
  static constexpr IVError no_convergence_of(const char* what, std::uint32_t iterations) {
    IVError e = no_convergence(iterations);
    e.reason_ = what;
    return e;
  }
  // `reason` must be a static text: errors never own memory.
  static constexpr IVError invalid_input(const char* reason) {
    IVError e(ErrorKind::InvalidInput);
    e.reason_ = reason;
    return e;
  }

  constexpr ErrorKind kind() const { return kind_; }
  // The machine-readable kind: the variant's name in lower case with underscores.
  std::string_view kind_string() const;
  // The human-readable message, numbers written by format_number.
  std::string message() const;

  // Fields, meaningful for the variants named.
  constexpr double value() const { return a_; }  // NegativeTime/Forward/Strike
  constexpr double price() const { return a_; }  // PriceBelowIntrinsic/AboveMaximum
  constexpr double bound() const { return b_; }  // intrinsic or maximum
  constexpr std::uint32_t iterations() const { return iterations_; }  // NoConvergence
  constexpr std::optional<double> residual() const {
    return has_residual_ ? std::optional<double>(a_) : std::nullopt;
  }
  constexpr const char* reason() const { return reason_; }  // InvalidInput, NoConvergence

  friend constexpr bool operator==(const IVError&, const IVError&) = default;

 private:
  constexpr explicit IVError(ErrorKind kind, double a = 0.0, double b = 0.0)
      : kind_(kind), a_(a), b_(b) {}

  ErrorKind kind_;
  bool has_residual_ = false;
  std::uint32_t iterations_ = 0;
  double a_ = 0.0;
  double b_ = 0.0;
  const char* reason_ = nullptr;
};

// Writes `v` as the shortest decimal that reads back to the same double, laid
// out positionally (never in exponent form), without ".0" for integral values,
// "-0" for negative zero, "NaN", "inf" and "-inf" for the special values.
std::string format_number(double v);

// Either a value or an IVError. A minimal stand-in for std::expected, which
// C++20 lacks.
template <class T>
class [[nodiscard]] Result {
 public:
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "Result holds plain values only");

  constexpr Result(T value) : ok_(true), value_(std::move(value)) {}
  constexpr Result(IVError error) : ok_(false), error_(error) {}

  constexpr bool ok() const { return ok_; }
  constexpr explicit operator bool() const { return ok_; }
  constexpr const T& value() const { return value_; }
  constexpr const IVError& error() const { return error_; }

 private:
  bool ok_;
  union {
    T value_;
    IVError error_;
  };
};

// Success, or the error that stopped an operation with no value of its own
// (the batch kernels).
using Status = std::optional<IVError>;

}  // namespace tarvik
