#include "special/fixed.hpp"

#include <bit>

#include "special/exp_tables.hpp"

namespace tarvik::rational::fixed {

namespace {
using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// Bit b of the 320-bit integer W (the value is W / 2^256).
bool bit_of(const Fixed& a, int b) { return (a.w[4 - b / 64] >> (b % 64)) & 1; }

// The index of the leading bit, -1 for 0.
int leading_bit(const Fixed& a) {
  for (int i = 0; i < 5; ++i) {
    if (a.w[i] != 0) return (4 - i) * 64 + 63 - __builtin_clzll(a.w[i]);
  }
  return -1;
}

Fixed shift_left_one(const Fixed& a) {
  Fixed r;
  for (int i = 0; i < 5; ++i) r.w[i] = (a.w[i] << 1) | (i < 4 ? a.w[i + 1] >> 63 : 0);
  return r;
}
}  // namespace

bool less(const Fixed& a, const Fixed& b) {
  for (int i = 0; i < 5; ++i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
  }
  return false;
}

bool is_zero(const Fixed& a) { return (a.w[0] | a.w[1] | a.w[2] | a.w[3] | a.w[4]) == 0; }

Fixed add(const Fixed& a, const Fixed& b) {
  Fixed r;
  u64 carry = 0;
  for (int i = 4; i >= 0; --i) {
    const u128 s = static_cast<u128>(a.w[i]) + b.w[i] + carry;
    r.w[i] = static_cast<u64>(s);
    carry = static_cast<u64>(s >> 64);
  }
  return r;
}

Fixed sub(const Fixed& a, const Fixed& b) {
  Fixed r;
  u64 borrow = 0;
  for (int i = 4; i >= 0; --i) {
    const u128 d = static_cast<u128>(a.w[i]) - b.w[i] - borrow;
    r.w[i] = static_cast<u64>(d);
    borrow = (d >> 64) != 0 ? 1 : 0;
  }
  return r;
}

Fixed mul(const Fixed& a, const Fixed& b) {
  // acc[n] has weight 2^(-64 (n - 1)): the product's integer limb is acc[1].
  u64 acc[10] = {};
  for (int i = 4; i >= 0; --i) {
    u64 carry = 0;
    for (int j = 4; j >= 0; --j) {
      const u128 t = static_cast<u128>(a.w[i]) * b.w[j] + acc[i + j + 1] + carry;
      acc[i + j + 1] = static_cast<u64>(t);
      carry = static_cast<u64>(t >> 64);
    }
    acc[i] += carry;
  }
  Fixed r;
  for (int i = 0; i < 5; ++i) r.w[i] = acc[i + 1];
  return r;
}

Fixed mul_small(const Fixed& a, u64 n) {
  Fixed r;
  u64 carry = 0;
  for (int i = 4; i >= 0; --i) {
    const u128 t = static_cast<u128>(a.w[i]) * n + carry;
    r.w[i] = static_cast<u64>(t);
    carry = static_cast<u64>(t >> 64);
  }
  return r;
}

Fixed div_small(const Fixed& a, u64 n) {
  // Long division by 32-bit halves, so that every step divides 64 bits by
  // n < 2^32 in the machine's own division (128-bit division would call a
  // compiler runtime routine, which the extension must not carry).
  Fixed r;
  u64 rem = 0;
  for (int i = 0; i < 5; ++i) {
    const u64 high = (rem << 32) | (a.w[i] >> 32);
    rem = high % n;
    const u64 low = (rem << 32) | (a.w[i] & 0xffffffffu);
    rem = low % n;
    r.w[i] = ((high / n) << 32) | (low / n);
  }
  return r;
}

Fixed div(const Fixed& a, const Fixed& b) {
  // Restoring division, one quotient bit at a time: the quotient's bit q
  // has weight 2^(q - 256); the remainder stays below 2 b.
  Fixed q, rem;
  for (int bit = 319 + 256; bit >= 0; --bit) {
    rem = shift_left_one(rem);
    if (bit >= 256 && bit_of(a, bit - 256)) rem.w[4] |= 1;
    if (!less(rem, b)) {
      rem = sub(rem, b);
      if (bit < 320) q.w[4 - bit / 64] |= u64{1} << (bit % 64);
    }
  }
  return q;
}

Fixed shift_right(const Fixed& a, int n) {
  Fixed r;
  const int limbs = n / 64, bits = n % 64;
  for (int i = 4; i >= limbs; --i) {
    const u64 high = a.w[i - limbs];
    const u64 higher = i - limbs > 0 ? a.w[i - limbs - 1] : 0;
    r.w[i] = bits == 0 ? high : (high >> bits) | (higher << (64 - bits));
  }
  return r;
}

void decompose(double x, u64& mantissa, int& exponent) {
  const u64 bits = std::bit_cast<u64>(x) & 0x7fffffffffffffffu;
  const int field = static_cast<int>(bits >> 52);
  mantissa = bits & 0x000fffffffffffffu;
  if (field == 0) {
    exponent = -1074;
  } else {
    mantissa |= u64{1} << 52;
    exponent = field - 1075;
  }
}

double pow2(int k) {
  if (k >= -1022) return std::bit_cast<double>(static_cast<u64>(k + 1023) << 52);
  return std::bit_cast<double>(u64{1} << (k + 1074));
}

Fixed from_double(double x) {
  u64 mant = 0;
  int e = 0;
  decompose(x, mant, e);  // |x| = mant 2^e
  Fixed r;
  const int b0 = e + 256;  // where mant's bit 0 lands
  for (int bit = 0; bit < 53; ++bit) {
    const int b = b0 + bit;
    if (((mant >> bit) & 1) && b >= 0) r.w[4 - b / 64] |= u64{1} << (b % 64);
  }
  return r;
}

Fixed ln2() { return {{0, kLn2Fixed[0], kLn2Fixed[1], kLn2Fixed[2], kLn2Fixed[3]}}; }

Fixed exp_of(const Fixed& r, bool negative) {
  // Terms t_n = t_(n-1) r / n, each truncated (an error below 2^-255 that
  // does not grow, r < 1); the positive and the negative ones summed apart.
  Fixed plus = {{1, 0, 0, 0, 0}}, minus;
  Fixed term = plus;
  for (u64 n = 1; n < 100; ++n) {
    term = div_small(mul(term, r), n);
    if (is_zero(term)) break;
    if (negative && (n & 1)) {
      minus = add(minus, term);
    } else {
      plus = add(plus, term);
    }
  }
  return sub(plus, minus);
}

Fixed reduce_by_ln2(double x, long& k, bool& negative) {
  return reduce_by_ln2(from_double(x), x, k, negative);
}

Fixed reduce_by_ln2(const Fixed& ax, double x, long& k, bool& negative) {
  // Near x / ln2 (truncating the sum: no call of the C library's lround).
  k = static_cast<long>(x * 1.4426950408889634 + (x < 0.0 ? -0.5 : 0.5));
  const Fixed kl = mul_small(ln2(), static_cast<u64>(k < 0 ? -k : k));
  // x and k share their signs.
  const bool x_ahead = less(kl, ax);
  negative = (x < 0) == x_ahead;
  return x_ahead ? sub(ax, kl) : sub(kl, ax);
}

double round_log(long e, const Fixed& m) {
  const Fixed one = {{1, 0, 0, 0, 0}};
  const bool m_below_one = less(m, one);
  const Fixed s = div(m_below_one ? sub(one, m) : sub(m, one), add(m, one));
  const Fixed s2 = mul(s, s);
  Fixed sum = s, power = s;
  for (u64 n = 3; n < 400; n += 2) {
    power = mul(power, s2);
    if (is_zero(power)) break;
    sum = add(sum, div_small(power, n));
  }
  const Fixed ln_m = add(sum, sum);  // its sign: m_below_one
  const Fixed e_ln2 = mul_small(ln2(), static_cast<u64>(e < 0 ? -e : e));
  if (e == 0 || (e < 0) == m_below_one) {
    return round_to_double(add(e_ln2, ln_m), e == 0 ? m_below_one : e < 0, 0);
  }
  const bool m_ahead = less(e_ln2, ln_m);
  return round_to_double(m_ahead ? sub(ln_m, e_ln2) : sub(e_ln2, ln_m),
                         m_ahead ? m_below_one : e < 0, 0);
}

double round_to_double(const Fixed& v, bool negative, int scale) {
  const int lead = leading_bit(v);
  if (lead < 0) return negative ? -0.0 : 0.0;
  // v 2^scale = 1.f 2^e.
  const int e = lead - 256 + scale;
  int p = 53;
  if (e < -1022) p = 53 - (-1022 - e);
  double result = 0.0;
  if (p >= 0) {
    std::uint64_t q = 0;
    for (int b = lead; b > lead - p; --b) q = (q << 1) | (b >= 0 && bit_of(v, b) ? 1 : 0);
    const int round_at = lead - p;
    bool sticky = false;
    for (int b = round_at - 1; b >= 0 && !sticky; --b) sticky = bit_of(v, b);
    if (round_at >= 0 && bit_of(v, round_at) && (sticky || (q & 1))) ++q;
    // q 2^(e - p + 1) is a double (or 2^1024: overflow), so the product of
    // two exact factors is exact; split where 2^(e - p + 1) alone would overflow.
    if (e > 1023) {
      result = __builtin_inf();
    } else if (e - p + 1 > 971) {
      result = static_cast<double>(q) * pow2(e - p + 1 - 64) * 0x1p64;
    } else {
      result = static_cast<double>(q) * pow2(e - p + 1);
    }
  }
  return negative ? -result : result;
}

}  // namespace tarvik::rational::fixed
