// Message rendering of IVError and the positional number format.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "tarvik/errors.hpp"

namespace tarvik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// -0, NaN, inf and the small and large positional forms are rendered in
// Message.KindAndTextOfEveryVariant.
TEST(FormatNumber, RendersPositionallyAndShortest) {
  const std::pair<double, std::string> cases[] = {
      {0.0, "0"},
      {1.0, "1"},
      {-2.0, "-2"},
      {0.1, "0.1"},
      {123456.789, "123456.789"},
      {-1e300, "-1" + std::string(300, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
      {-kNaN, "NaN"},
      {-kInf, "-inf"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format_number(value), text) << value;
}

// Every finite double, of every magnitude, reads back to itself.
TEST(FormatNumber, RoundTripsRandomDoubles) {
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 200000; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    const std::string text = format_number(v);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(v))
        << text;
  }
}

TEST(Message, KindAndTextOfEveryVariant) {
  const struct {
    IVError error;
    const char* kind;
    const char* message;
  } cases[] = {{IVError::price_below_intrinsic(1.0, 5.0), "price_below_intrinsic",
                "option price 1 is below intrinsic value 5"},
               {IVError::price_above_maximum(100.5, 100.0), "price_above_maximum",
                "option price 100.5 exceeds maximum value 100"},
               {IVError::negative_time(-0.0), "negative_time", "maturity must be positive, got -0"},
               {IVError::negative_forward(-1e-7), "negative_forward",
                "forward must be positive, got -0.0000001"},
               {IVError::negative_strike(-1e21), "negative_strike",
                "strike must be positive, got -1000000000000000000000"},
               {IVError::no_convergence(2), "no_convergence",
                "implied volatility failed to converge after 2 iterations"},
               {IVError::no_convergence(7, 1.5e-7), "no_convergence",
                "implied volatility failed to converge after 7 iterations (residual 0.00000015)"},
               {IVError::no_convergence_of("the boundaries", 40), "no_convergence",
                "the boundaries failed to converge after 40 iterations"},
               {IVError::price_below_intrinsic(kNaN, kInf), "price_below_intrinsic",
                "option price NaN is below intrinsic value inf"},
               {IVError::invalid_input("non-finite Black input"), "invalid_input",
                "invalid input: non-finite Black input"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind_string(), c.kind);
    EXPECT_EQ(c.error.message(), c.message);
  }
}

}  // namespace
}  // namespace tarvik
