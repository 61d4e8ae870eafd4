// Fixed-point numbers of 320 bits, the arithmetic of the correctly rounded
// functions' last resorts: limb 0 the integer part (below 2^64), limbs 1..4
// the fraction, most significant first, so 256 fractional bits. Every
// operation truncates (an error below 2^-256 each); the callers bound how
// those errors add up.
#pragma once

#include <cstdint>

namespace tarvik::rational::fixed {

struct Fixed {
  std::uint64_t w[5] = {0, 0, 0, 0, 0};
};

bool less(const Fixed& a, const Fixed& b);
bool is_zero(const Fixed& a);
Fixed add(const Fixed& a, const Fixed& b);
Fixed sub(const Fixed& a, const Fixed& b);  // a - b for a >= b
Fixed mul(const Fixed& a, const Fixed& b);  // the product below 2^64
Fixed mul_small(const Fixed& a, std::uint64_t n);
Fixed div_small(const Fixed& a, std::uint64_t n);  // 0 < n < 2^32
Fixed div(const Fixed& a, const Fixed& b);  // a / b for b > 0, the quotient below 2^64
Fixed shift_right(const Fixed& a, int n);     // a 2^-n, truncated, n >= 0

// x = mantissa 2^exponent exactly, mantissa an integer below 2^53 (0 for
// x = 0), subnormal x included; from the bits, not the C library's frexp,
// which a static build may carry a copy of.
void decompose(double x, std::uint64_t& mantissa, int& exponent);
// 2^k for k in [-1074, 1023], subnormal powers included.
double pow2(int k);

// |x| exactly, for |x| < 2^64 with no bit below 2^-256 (else truncated).
Fixed from_double(double x);
// ln 2, to 2^-256.
Fixed ln2();

// exp(r) (or exp(-r) where `negative`) for 0 <= r < 1 by Taylor's series:
// an error below 2^-245.
Fixed exp_of(const Fixed& r, bool negative);

// r = x - k ln2 for k next to x / ln2 (|r| <= ln2/2 + 2^-40): |r|, its
// sign in `negative`, and k; exact but for ln 2's 2^-256 (x with no bit
// below 2^-256, |x| < 2^63 ln 2).
Fixed reduce_by_ln2(double x, long& k, bool& negative);
// The same for x = +-ax, ax given exactly (ax < 2^63 ln 2) and x, its
// double nearest or within 2^-40 relative, for the sign and for k.
Fixed reduce_by_ln2(const Fixed& ax, double x, long& k, bool& negative);

// e ln2 + ln m rounded to the nearest double, for m in [sqrt(2)/2, sqrt(2)]:
// ln m = 2 atanh(s), s = (m - 1)/(m + 1), |s| <= 0.172, by its series to
// the term below 2^-256 (some 50 terms), so known to some 2^-248.
double round_log(long e, const Fixed& m);

// (-1)^negative v 2^scale rounded to the nearest double (ties to even),
// subnormal and overflowing results included; 0 for v = 0.
double round_to_double(const Fixed& v, bool negative, int scale);

}  // namespace tarvik::rational::fixed
