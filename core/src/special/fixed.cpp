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
  // floor(A 2^256 / B) for the 320-bit integers A and B (the values times
  // 2^256), by long division in 32-bit digits (D. E. Knuth, The Art of
  // Computer Programming, vol. 2, 4.3.1, Algorithm D): each quotient digit
  // estimated from the leading digits by the machine's 64-bit division and
  // corrected at most twice. The same quotient as dividing one bit at a
  // time, in some 1/15 of the instructions.
  using u32 = std::uint32_t;
  constexpr int kDigits = 10;  // of a Fixed
  u32 u[2 * kDigits - 2 + 1] = {};  // A 2^256: 18 digits, and one for the normalisation
  u32 v[kDigits];
  for (int i = 0; i < 5; ++i) {
    u[8 + 2 * (4 - i)] = static_cast<u32>(a.w[i]);
    u[9 + 2 * (4 - i)] = static_cast<u32>(a.w[i] >> 32);
    v[2 * (4 - i)] = static_cast<u32>(b.w[i]);
    v[2 * (4 - i) + 1] = static_cast<u32>(b.w[i] >> 32);
  }
  int n = kDigits;
  while (n > 0 && v[n - 1] == 0) --n;
  if (n == 0) return Fixed{{~u64{0}, ~u64{0}, ~u64{0}, ~u64{0}, ~u64{0}}};  // b = 0: all ones
  constexpr int m = 2 * kDigits - 2;
  u32 q[m] = {};
  constexpr u64 kBase = u64{1} << 32;
  if (n == 1) {
    u64 rem = 0;
    for (int j = m - 1; j >= 0; --j) {
      const u64 cur = (rem << 32) | u[j];
      q[j] = static_cast<u32>(cur / v[0]);
      rem = cur - q[j] * u64{v[0]};
    }
  } else {
    // Normalise: the divisor's leading digit at least 2^31.
    const int shift = __builtin_clz(v[n - 1]);
    auto shifted = [&](const u32* d, int i) {
      const u64 high = u64{d[i]} << shift;
      const u64 low = shift == 0 || i == 0 ? 0 : u64{d[i - 1]} >> (32 - shift);
      return static_cast<u32>(high | low);
    };
    u32 vn[kDigits], un[m + 1];
    for (int i = n - 1; i >= 0; --i) vn[i] = shifted(v, i);
    un[m] = shift == 0 ? 0 : static_cast<u32>(u64{u[m - 1]} >> (32 - shift));
    for (int i = m - 1; i >= 0; --i) un[i] = shifted(u, i);
    for (int j = m - n; j >= 0; --j) {
      const u64 top = (u64{un[j + n]} << 32) | un[j + n - 1];
      u64 qhat = top / vn[n - 1];
      u64 rhat = top - qhat * vn[n - 1];
      while (qhat >= kBase || qhat * vn[n - 2] > ((rhat << 32) | un[j + n - 2])) {
        --qhat;
        rhat += vn[n - 1];
        if (rhat >= kBase) break;
      }
      // un[j .. j + n] -= qhat vn, with the borrow carried as a signed value.
      std::int64_t t = 0;
      u64 carry = 0;
      for (int i = 0; i < n; ++i) {
        const u64 p = qhat * vn[i];
        t = static_cast<std::int64_t>(un[i + j]) - static_cast<std::int64_t>(carry) -
            static_cast<std::int64_t>(p & 0xffffffffu);
        un[i + j] = static_cast<u32>(t);
        carry = (p >> 32) - static_cast<u64>(t >> 32);
      }
      t = static_cast<std::int64_t>(un[j + n]) - static_cast<std::int64_t>(carry);
      un[j + n] = static_cast<u32>(t);
      q[j] = static_cast<u32>(qhat);
      if (t < 0) {
        // qhat was one too large: add the divisor back.
        --q[j];
        u64 sum = 0;
        for (int i = 0; i < n; ++i) {
          sum = u64{un[i + j]} + vn[i] + (sum >> 32);
          un[i + j] = static_cast<u32>(sum);
        }
        un[j + n] = static_cast<u32>(un[j + n] + (sum >> 32));
      }
    }
  }
  // The quotient is below 2^320: its digits 0..9.
  Fixed r;
  for (int i = 0; i < 5; ++i) {
    r.w[i] = (u64{q[9 - 2 * i]} << 32) | q[8 - 2 * i];
  }
  return r;
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
