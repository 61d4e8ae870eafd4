// Decimal text of doubles for tables (text.hpp).
#include "tarvik/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "tarvik/detail/worker_pool.hpp"

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
  // The shortest round-trip digits in scientific form, "-d.ddde+XX"
  // (exponent of two digits at least): repr()'s form for exponents outside
  // -4..15, which the positional layout below takes apart otherwise.
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') *out++ = *p++;
  const char* mantissa = p;
  const char* e = p;
  while (*e != 'e') ++e;
  int exponent = 0;
  for (const char* q = e + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
  if (e[1] == '-') exponent = -exponent;
  if (exponent < -4 || exponent > 15) {
    const std::size_t n = static_cast<std::size_t>(end - mantissa);
    std::memcpy(out, mantissa, n);
    return out + n;
  }
  char digits[20];
  int count = 0;
  for (const char* q = mantissa; q < e; ++q) {
    if (*q != '.') digits[count++] = *q;
  }
  if (exponent < 0) {  // 0.000ddd
    *out++ = '0';
    *out++ = '.';
    for (int i = -1; i > exponent; --i) *out++ = '0';
    std::memcpy(out, digits, static_cast<std::size_t>(count));
    return out + count;
  }
  const int whole = exponent + 1;  // digits before the point
  if (whole < count) {             // ddd.ddd
    std::memcpy(out, digits, static_cast<std::size_t>(whole));
    out += whole;
    *out++ = '.';
    std::memcpy(out, digits + whole, static_cast<std::size_t>(count - whole));
    return out + (count - whole);
  }
  std::memcpy(out, digits, static_cast<std::size_t>(count));  // ddd000.0
  out += count;
  for (int i = count; i < whole; ++i) *out++ = '0';
  *out++ = '.';
  *out++ = '0';
  return out;
}

namespace {

// The lines of rows [lo, hi) of the table, written from out; their length.
std::size_t write_lines(InView values, std::size_t columns, std::size_t lo, std::size_t hi,
                        char* out) {
  char* p = out;
  for (std::size_t i = lo * columns; i < hi * columns;) {
    for (std::size_t field = 1; field <= columns; ++field, ++i) {
      const double x = values[i];
      if (!std::isnan(x)) p = shortest(x, p);
      *p++ = field == columns ? '\n' : ',';
    }
  }
  return static_cast<std::size_t>(p - out);
}

// Lines per block of a parallel run: some 200 microseconds of work for a
// table of seven columns.
constexpr std::size_t kBlockRows = 256;

}  // namespace

std::size_t csv_rows(InView values, std::size_t columns, char* out, Exec exec) {
  const std::size_t rows = values.size() / columns;
  const std::size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
  if (exec == Exec::Serial || blocks < kParallelThreshold) {
    return write_lines(values, columns, 0, rows, out);
  }
  // Block b is written from the start of its own capacity, then moved down.
  const std::size_t stride = csv_capacity(kBlockRows * columns);
  std::vector<std::size_t> written(blocks);
  auto body = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t b = lo; b < hi; ++b) {
      written[b] = write_lines(values, columns, b * kBlockRows,
                               std::min(rows, (b + 1) * kBlockRows), out + b * stride);
    }
  };
  batch::for_each_range(exec, blocks, pool::RangeFn(body));
  std::size_t end = written[0];
  for (std::size_t b = 1; b < blocks; ++b) {
    std::memmove(out + end, out + b * stride, written[b]);
    end += written[b];
  }
  return end;
}

}  // namespace tarvik::text
