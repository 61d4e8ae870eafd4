// The last resorts' fixed-point division (special/fixed.cpp) against the
// plainest one, a quotient bit at a time: the same truncated quotient,
// limb for limb, over operands of every size (divisors of one to ten 32-bit
// digits, with and without leading zero bits, dividends below and far above
// the divisor) and at the edges of Algorithm D's corrections (digits of all
// ones and of zero, a divisor just above a power of two).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "special/fixed.hpp"

namespace tarvik::rational::fixed {
namespace {

bool bit(const Fixed& a, int b) { return (a.w[4 - b / 64] >> (b % 64)) & 1; }

// floor(A 2^256 / B), one bit at a time (restoring division).
Fixed by_bits(const Fixed& a, const Fixed& b) {
  Fixed q, rem;
  for (int k = 319 + 256; k >= 0; --k) {
    for (int i = 0; i < 5; ++i) rem.w[i] = (rem.w[i] << 1) | (i < 4 ? rem.w[i + 1] >> 63 : 0);
    if (k >= 256 && bit(a, k - 256)) rem.w[4] |= 1;
    if (!less(rem, b)) {
      rem = sub(rem, b);
      if (k < 320) q.w[4 - k / 64] |= std::uint64_t{1} << (k % 64);
    }
  }
  return q;
}

TEST(FixedDivision, SameQuotientAsOneBitAtATime) {
  std::mt19937_64 rng(20261209);
  // An operand whose leading 32-bit digit is `top` (1..10), its digits
  // random, or all ones, or zero but the leading one.
  auto operand = [&](int top, int kind) {
    Fixed x;
    for (int d = 0; d < top; ++d) {
      std::uint64_t digit = kind == 0 ? rng() & 0xffffffffu : kind == 1 ? 0xffffffffu : 0;
      if (d == top - 1) {
        digit = kind == 2 ? 1 + (rng() & 0xffffffffu) % 0xffffffffu : digit | 1;
        digit >>= rng() % 32;  // leading zero bits
        if (d == 9) digit &= 0x7fffffffu;  // B below 2^319, where by_bits's remainder fits
        if (digit == 0) digit = 1;
      }
      x.w[4 - d / 2] |= digit << (32 * (d % 2));
    }
    return x;
  };
  int checked = 0;
  for (int round = 0; round < 400; ++round) {
    for (int nb = 1; nb <= 10; ++nb) {
      const Fixed b = operand(nb, round % 3);
      // The quotient below 2^320: A below 2^64 B.
      for (int na = 1; na <= std::min(10, nb + 2); ++na) {
        Fixed a = operand(na, (round / 3) % 3);
        if (!less(a, mul_small(b, std::uint64_t{1} << 32))) continue;
        const Fixed want = by_bits(a, b);
        const Fixed got = div(a, b);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(got.w[i], want.w[i]) << nb << " " << na << " " << i;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 10000);
}

}  // namespace
}  // namespace tarvik::rational::fixed
