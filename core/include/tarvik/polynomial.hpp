// Polynomials by Horner's rule, the one evaluator behind the rational
// approximations (Cody's erfcx, Wichura's inverse normal) and the asymptotic
// series of the normalised Black function.
#pragma once

#include <array>
#include <cstddef>

namespace tarvik {

// Coefficients from the highest power down: {c_n, ..., c_1, c_0} is
// c_n x^n + ... + c_0.
template <std::size_t N>
using Poly = std::array<double, N>;

// (((c_n x + c_(n-1)) x + ...) x + c_0): one multiplication and one addition
// per coefficient after the first, in this order, unrolled.
template <std::size_t N>
[[gnu::always_inline]] inline double horner(const Poly<N>& c, double x) {
  double p = c[0];
  for (std::size_t i = 1; i < N; ++i) p = p * x + c[i];
  return p;
}

// The quotient of two polynomials in the same variable, evaluated side by
// side (two independent chains) and divided once.
template <std::size_t N, std::size_t M>
[[gnu::always_inline]] inline double horner_ratio(const Poly<N>& num, const Poly<M>& den,
                                                  double x) {
  return horner(num, x) / horner(den, x);
}

}  // namespace tarvik
