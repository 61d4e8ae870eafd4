// Decimal text of doubles for tables (text.hpp).
#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "batch/run.hpp"

namespace tarvik::text {

char* shortest(double x, char* out) {
  if (std::isnan(x)) {
    std::memcpy(out, "nan", 3);
    return out + 3;
  }
  if (std::isinf(x)) {
    if (x < 0) *out++ = '-';
    std::memcpy(out, "inf", 3);
    return out + 3;
  }
  // The shortest round-trip digits in scientific form, "-d[.ddd]e+XX"
  // (exponent of two or three digits): repr()'s form for exponents outside
  // -4..15, which the positional layout below takes apart otherwise.
  char buf[32];
  const char* end = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
  const char* p = buf;
  if (*p == '-') *out++ = *p++;
  const char* e = end[-4] == 'e' ? end - 4 : end - 5;
  int exponent = (e[2] - '0') * 10 + (e[3] - '0');
  if (e + 5 == end) exponent = exponent * 10 + (e[4] - '0');
  if (e[1] == '-') exponent = -exponent;
  if (exponent < -4 || exponent > 15) {
    const std::size_t n = static_cast<std::size_t>(end - p);
    std::memcpy(out, p, n);
    return out + n;
  }
  // The digits: p[0], then those after the point, p[2] to e.
  const int tail = e - p > 1 ? static_cast<int>(e - p) - 2 : 0;
  if (exponent < 0) {  // 0.000ddd
    std::memcpy(out, "0.0000", static_cast<std::size_t>(1 - exponent));
    out += 1 - exponent;
    *out++ = p[0];
    std::memcpy(out, p + 2, static_cast<std::size_t>(tail));
    return out + tail;
  }
  *out++ = p[0];
  if (exponent < tail) {  // ddd.ddd
    std::memcpy(out, p + 2, static_cast<std::size_t>(exponent));
    out += exponent;
    *out++ = '.';
    std::memcpy(out, p + 2 + exponent, static_cast<std::size_t>(tail - exponent));
    return out + (tail - exponent);
  }
  std::memcpy(out, p + 2, static_cast<std::size_t>(tail));  // ddd000.0
  out += tail;
  for (int i = tail; i < exponent; ++i) *out++ = '0';
  *out++ = '.';
  *out++ = '0';
  return out;
}

namespace {

// The lines of rows [lo, hi) of the table, written from out, each led by its
// line of `before` and a comma and ended by its line of `after` where these
// are given; their length.
std::size_t write_lines(const Lines* before, const Lines* after, InView values, std::size_t columns,
                        std::size_t lo, std::size_t hi, char* out) {
  char* p = out;
  for (std::size_t row = lo, i = lo * columns; row < hi; ++row) {
    if (before) {
      const std::size_t length = before->starts[row + 1] - before->starts[row] - 1;
      std::memcpy(p, before->text.data() + before->starts[row], length);
      p += length;
      *p++ = ',';
    }
    for (std::size_t field = 1; field <= columns; ++field, ++i) {
      const double x = values[i];
      if (!std::isnan(x)) p = shortest(x, p);
      if (field < columns) *p++ = ',';
    }
    if (after) {
      const std::size_t length = after->starts[row + 1] - after->starts[row];
      std::memcpy(p, after->text.data() + after->starts[row], length);
      p += length;
    } else {
      *p++ = '\n';
    }
  }
  return static_cast<std::size_t>(p - out);
}

// Lines per block of a parallel run: some 200 microseconds of work for a
// table of seven columns.
constexpr std::size_t kBlockRows = 256;

std::size_t write_table(const Lines* before, const Lines* after, InView values, std::size_t columns,
                        char* out, Exec exec) {
  const std::size_t rows = values.size() / columns;
  const std::size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
  if (exec == Exec::Serial || blocks < kParallelThreshold) {
    return write_lines(before, after, values, columns, 0, rows, out);
  }
  // Block b is written from the start of its own part of out (the lines
  // around the rows before it, and the numbers' capacity), then moved down.
  const std::size_t stride = csv_capacity(kBlockRows * columns);
  auto start_of = [&](std::size_t b) {
    const std::size_t row = b * kBlockRows;
    return b * stride + (before ? before->starts[row] : 0) + (after ? after->starts[row] : 0);
  };
  std::vector<std::size_t> written(blocks);
  auto body = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t b = lo; b < hi; ++b) {
      written[b] = write_lines(before, after, values, columns, b * kBlockRows,
                               std::min(rows, (b + 1) * kBlockRows), out + start_of(b));
    }
  };
  batch::for_each_range(exec, blocks, pool::RangeFn(body));
  std::size_t end = written[0];
  for (std::size_t b = 1; b < blocks; ++b) {
    std::memmove(out + end, out + start_of(b), written[b]);
    end += written[b];
  }
  return end;
}

}  // namespace

std::size_t csv_rows(InView values, std::size_t columns, char* out, Exec exec) {
  return write_table(nullptr, nullptr, values, columns, out, exec);
}

Lines lines_of(std::string_view text, std::size_t rows) {
  Lines lines{text, {}};
  if (text.empty() ? rows != 0 : text.back() != '\n') return lines;
  lines.starts.reserve(rows + 1);
  lines.starts.push_back(0);
  for (const char *p = text.data(), *end = text.data() + text.size(); p != end;) {
    const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    p = static_cast<const char*>(found) + 1;
    if (lines.starts.size() == rows + 1) {
      lines.starts.clear();  // more lines than rows
      return lines;
    }
    lines.starts.push_back(static_cast<std::size_t>(p - text.data()));
  }
  if (lines.starts.size() != rows + 1) lines.starts.clear();
  return lines;
}

std::size_t csv_rows_between(const Lines& before, const Lines* after, InView values,
                             std::size_t columns, char* out, Exec exec) {
  return write_table(&before, after, values, columns, out, exec);
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether s is `word` in any case.
bool is_word(std::string_view s, std::string_view word) {
  if (s.size() != word.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((s[i] | 0x20) != word[i]) return false;
  }
  return true;
}

// strtod of a field of the grammar (no sign).
double read_with_strtod(std::string_view body) {
  const std::string text(body);
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace

FieldKind read_number(std::string_view field, double& value) {
  value = std::numeric_limits<double>::quiet_NaN();
  std::size_t lo = 0, hi = field.size();
  while (lo < hi && (field[lo] == ' ' || field[lo] == '\t')) ++lo;
  while (hi > lo && (field[hi - 1] == ' ' || field[hi - 1] == '\t')) --hi;
  if (lo == hi) return FieldKind::Empty;
  const bool negative = field[lo] == '-';
  if (field[lo] == '-' || field[lo] == '+') ++lo;
  const std::string_view body = field.substr(lo, hi - lo);
  if (is_word(body, "inf") || is_word(body, "infinity")) {
    value = std::numeric_limits<double>::infinity();
  } else if (is_word(body, "nan")) {
    // value stays the quiet NaN
  } else {
    // digits [. digits] | . digits, then [eE] [+-] digits
    std::size_t i = 0, mantissa = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++mantissa;
    if (i < body.size() && body[i] == '.') {
      ++i;
      while (i < body.size() && is_digit(body[i])) ++i, ++mantissa;
    }
    if (mantissa == 0) return FieldKind::NotANumber;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
      ++i;
      if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
      const std::size_t digits = i;
      while (i < body.size() && is_digit(body[i])) ++i;
      if (i == digits) return FieldKind::NotANumber;
    }
    if (i != body.size()) return FieldKind::NotANumber;
    // The text is of the grammar now, which both readers below take whole,
    // correctly rounded.
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ec == std::errc::result_out_of_range) {
      value = read_with_strtod(body);  // beyond the doubles: 0 or infinity
    } else if (ec != std::errc() || ptr != body.data() + body.size()) {
      value = std::numeric_limits<double>::quiet_NaN();
      return FieldKind::NotANumber;
    }
#else
    // A standard library without std::from_chars for doubles: strtod, whose
    // decimal point is the C locale's in a Python process (Python never
    // changes LC_NUMERIC itself).
    value = read_with_strtod(body);
#endif
  }
  if (negative) value = -value;
  return FieldKind::Number;
}

void read_numbers(std::string_view text, double* values, std::int8_t* kinds) {
  std::size_t i = 0, start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    const std::string_view field =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    kinds[i] = static_cast<std::int8_t>(read_number(field, values[i]));
    ++i;
    if (end == std::string_view::npos) return;
    start = end + 1;
  }
}

}  // namespace tarvik::text
