// Message rendering of IVError and the positional number format.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "tarvik/errors.hpp"

namespace tarvik {
namespace {

struct RenderCase {
  double value;
  const char* text;
};

class FormatNumber : public ::testing::TestWithParam<RenderCase> {};

TEST_P(FormatNumber, RendersPositionallyAndShortest) {
  EXPECT_EQ(format_number(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatNumber,
    ::testing::Values(RenderCase{0.0, "0"}, RenderCase{-0.0, "-0"}, RenderCase{1.0, "1"},
                      RenderCase{-2.0, "-2"}, RenderCase{-1.0, "-1"}, RenderCase{0.1, "0.1"},
                      RenderCase{1.5e-7, "0.00000015"}, RenderCase{-1e-7, "-0.0000001"},
                      RenderCase{1e21, "1000000000000000000000"},
                      RenderCase{-1e21, "-1000000000000000000000"},
                      RenderCase{123456.789, "123456.789"},
                      RenderCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      RenderCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      RenderCase{std::numeric_limits<double>::infinity(), "inf"},
                      RenderCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(FormatNumber, LargeAndTinyMagnitudesStayPositional) {
  EXPECT_EQ(format_number(-1e300), "-1" + std::string(300, '0'));
  EXPECT_EQ(format_number(5e-324), "0." + std::string(323, '0') + "5");
  const std::string largest = format_number(std::numeric_limits<double>::max());
  EXPECT_EQ(largest.size(), 309u);
  EXPECT_EQ(largest.substr(0, 17), "17976931348623157");
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

struct MessageCase {
  IVError error;
  const char* kind;
  const char* message;
};

class Message : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Message, KindAndText) {
  EXPECT_EQ(GetParam().error.kind_string(), GetParam().kind);
  EXPECT_EQ(GetParam().error.message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariant, Message,
    ::testing::Values(
        MessageCase{IVError::price_below_intrinsic(1.0, 5.0), "price_below_intrinsic",
                    "option price 1 is below intrinsic value 5"},
        MessageCase{IVError::price_above_maximum(100.5, 100.0), "price_above_maximum",
                    "option price 100.5 exceeds maximum value 100"},
        MessageCase{IVError::negative_time(-1.0), "negative_time",
                    "maturity must be positive, got -1"},
        MessageCase{IVError::negative_time(-0.0), "negative_time",
                    "maturity must be positive, got -0"},
        MessageCase{IVError::negative_forward(-1e-7), "negative_forward",
                    "forward must be positive, got -0.0000001"},
        MessageCase{IVError::negative_strike(-1e21), "negative_strike",
                    "strike must be positive, got -1000000000000000000000"},
        MessageCase{IVError::no_convergence(2), "no_convergence",
                    "implied volatility failed to converge after 2 iterations"},
        MessageCase{IVError::no_convergence(7, 1.5e-7), "no_convergence",
                    "implied volatility failed to converge after 7 iterations (residual "
                    "0.00000015)"},
        MessageCase{IVError::invalid_input("non-finite Black input"), "invalid_input",
                    "invalid input: non-finite Black input"}));

}  // namespace
}  // namespace tarvik
