// Lane-parallel implied volatilities (Black-76 and normal) over blocks of
// elements, with the bits of the scalar functions: the batch driver hands in
// one block at a time;
// and the vector stage of the Black-76 batch prices and sensitivities.
// Each path is the same source (the models' *_lanes.hpp) built for one vector width; the
// widest one this processor runs is chosen once, at the first call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::lanes {

// Most elements of one block call.
inline constexpr std::size_t kBlock = 256;

// out[i] = implied_volatility(price[i], forward[i], strike[i], maturity[i],
// is_call[i] != 0), or the quiet NaN 0x7ff8000000000000 where that fails, for
// i < n <= kBlock. Inputs: n values each, 64-byte aligned; is_call: n bytes,
// each 0 or 1.
void implied_volatility_block(const double* price, const double* forward, const double* strike,
                              const double* maturity, const std::uint8_t* is_call, std::size_t n,
                              double* out);

// Likewise for black_implied_volatility (the same inversion at the accurate
// log-moneyness).
void black_implied_volatility_block(const double* price, const double* forward,
                                    const double* strike, const double* maturity,
                                    const std::uint8_t* is_call, std::size_t n, double* out);

// Likewise for normalised_implied_volatility(beta[i], x[i], is_call[i] != 0).
void normalised_implied_volatility_block(const double* beta, const double* x,
                                         const std::uint8_t* is_call, std::size_t n, double* out);

// Likewise for bachelier_implied_volatility (the normal model), and for
// bachelier_price or one of its sensitivities built on phi(d) alone (is_call
// read for the price only).
void bachelier_implied_volatility_block(const double* price, const double* forward,
                                        const double* strike, const double* maturity,
                                        const std::uint8_t* is_call, std::size_t n, double* out);
enum class BachelierFormula { Price, Gamma, Vega, Theta, Vanna, Vomma };
void bachelier_block(BachelierFormula which, const double* forward, const double* strike,
                     const double* maturity, const double* vol, const std::uint8_t* is_call,
                     std::size_t n, double* out);

// The branch-free stage of the Black-76 batch prices and sensitivities, for
// i < n: ok[i] = black_inputs_valid(forward[i], strike[i], maturity[i],
// vol[i]), s[i] = vol[i]*sqrt_t[i], x[i] = ln_f[i] - ln_k[i] and
// d1[i] = black_d1(x[i], s[i]). No alignment needed; outputs do not overlap
// the inputs.
void black_terms(const double* forward, const double* strike, const double* maturity,
                 const double* vol, const double* ln_f, const double* ln_k, const double* sqrt_t,
                 std::size_t n, double* s, double* x, double* d1, bool* ok);

// The two integrals of an FP-B sweep of the American boundary at one node
// (core/src/american/boundary.cpp), over the `size` <= 2 kAmericanMaxPoints
// points of its row at g = ln B(tau) - ln X, each point's inputs given:
// rate = sum of rate_density e^{rate_exponent - d-^2 / 2} (r's integrand
// e^{-r v} phi(d-) / (sigma sqrt v) times Jacobian and weight), yield = sum
// of yield_weight [Phi(d+) + phi(d+) / (sigma sqrt v)] (0 unless `yield`),
// where d+ = ((g + sqrt(max(h, 0))) + drift) inv_sv and d- = d+ - sv.
// scratch: 3 size doubles of the caller's (off the stack of a thread that
// may be small).
struct AmericanRow {
  const double* h;
  const double* sv;
  const double* inv_sv;
  const double* drift;
  const double* rate_exponent;
  const double* rate_density;
  const double* yield_weight;
  double* scratch;
};
struct AmericanIntegrals {
  double rate;
  double yield;
};
AmericanIntegrals american_row_integrals(const AmericanRow& row, int size, double g, bool yield);

// The paths, for tests and benchmarks that compare them.
enum class Path { Portable, Avx2, Avx512 };
const char* path_name(Path path);
// Built into this library and supported by this processor.
bool path_available(Path path);
// The path the two functions above use.
Path chosen_path();

void implied_volatility_block(Path path, const double* price, const double* forward,
                              const double* strike, const double* maturity,
                              const std::uint8_t* is_call, std::size_t n, double* out);
void black_implied_volatility_block(Path path, const double* price, const double* forward,
                                    const double* strike, const double* maturity,
                                    const std::uint8_t* is_call, std::size_t n, double* out);
void normalised_implied_volatility_block(Path path, const double* beta, const double* x,
                                         const std::uint8_t* is_call, std::size_t n, double* out);
void bachelier_implied_volatility_block(Path path, const double* price, const double* forward,
                                        const double* strike, const double* maturity,
                                        const std::uint8_t* is_call, std::size_t n, double* out);
void bachelier_block(Path path, BachelierFormula which, const double* forward, const double* strike,
                     const double* maturity, const double* vol, const std::uint8_t* is_call,
                     std::size_t n, double* out);
AmericanIntegrals american_row_integrals(Path path, const AmericanRow& row, int size, double g,
                                         bool yield);
void black_terms(Path path, const double* forward, const double* strike, const double* maturity,
                 const double* vol, const double* ln_f, const double* ln_k, const double* sqrt_t,
                 std::size_t n, double* s, double* x, double* d1, bool* ok);

}  // namespace tarvik::lanes
