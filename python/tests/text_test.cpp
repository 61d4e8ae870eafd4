// Decimal text of doubles: repr()'s layout around each switch of notation,
// and the CSV lines of a table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "text.hpp"

namespace tarvik::text {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Shortest, LaysDigitsOutAsPythonRepr) {
  const std::pair<double, std::string> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.5, "1.5"},
      {-100.0, "-100.0"},
      {0.1, "0.1"},
      {1e-4, "0.0001"},
      {-1.2345e-4, "-0.00012345"},
      {9.999999999999999e-05, "9.999999999999999e-05"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& [x, want] : cases) {
    char buf[kMaxShortest + 8];
    char* end = shortest(x, buf);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(end - buf)), want) << x;
    EXPECT_LE(static_cast<std::size_t>(end - buf), kMaxShortest);
  }
}

TEST(CsvRows, WritesLinesWithNaNAsAnEmptyField) {
  const std::vector<double> table = {1.0, std::nan(""), -2.5, std::nan(""), 0.25, 3e-7};
  std::vector<char> out(csv_capacity(table.size()));
  const std::size_t n = csv_rows(InView(table), 3, out.data());
  EXPECT_EQ(std::string(out.data(), n), "1.0,,-2.5\n,0.25,3e-07\n");
  EXPECT_EQ(csv_rows(InView(table), 1, out.data()),
            std::string("1.0\n\n-2.5\n\n0.25\n3e-07\n").size());
  EXPECT_EQ(csv_rows(InView(std::vector<double>{}), 2, out.data()), 0u);
}

TEST(ReadNumber, TakesTheGrammarAndNothingElse) {
  const std::pair<std::string, double> numbers[] = {
      {" 1.5\t", 1.5},   {"-.5e-3", -0.0005}, {"+7.", 7.0},         {"1e400", kInf},
      {"-1e-400", -0.0}, {"5e-324", 5e-324},  {"-INFinity", -kInf}, {"inf", kInf}};
  for (const auto& [field, want] : numbers) {
    double v = 0.0;
    EXPECT_EQ(read_number(field, v), FieldKind::Number) << field;
    EXPECT_EQ(v, want) << field;
    EXPECT_EQ(std::signbit(v), std::signbit(want)) << field;
  }
  double v = 0.0;
  EXPECT_EQ(read_number("-nan", v), FieldKind::Number);
  EXPECT_TRUE(std::isnan(v) && std::signbit(v));
  for (const char* field :
       {"1_0", "0x10", "1e", ".", "+", "e5", "1 2", "nan(1)", "\r1", "infinit"}) {
    EXPECT_EQ(read_number(field, v), FieldKind::NotANumber) << field;
    EXPECT_TRUE(std::isnan(v));
  }
  EXPECT_EQ(read_number(" \t", v), FieldKind::Empty);
}

}  // namespace
}  // namespace tarvik::text
