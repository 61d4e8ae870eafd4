// The branch-free stage of the Black-76 batch prices and sensitivities over
// a run of elements (BlackRun, core/src/batch/elements.hpp): the checks of
// validate_black_inputs, s = sigma*sqrt(T), x = ln F - ln K and
// d1 = black_d1(x, s), written once in black.hpp and here only looped over.
// Each path includes this header into its own translation unit, where the
// compiler runs the loop in that path's vector lanes (the comparisons of the
// checks need AVX2 or wider; the portable path runs them one by one). The
// two functions of black.hpp it calls are always inlined, so that no copy
// built for one target stands in for another's at link time.
#pragma once

#include <cstddef>

#include "black/terms.hpp"
#include "tarvik/black.hpp"

namespace tarvik::lanes {
namespace {

[[gnu::always_inline]] inline void black_terms_loop(const double* forward, const double* strike,
                                                    const double* maturity, const double* vol,
                                                    const double* ln_f, const double* ln_k,
                                                    const double* sqrt_t, std::size_t n,
                                                    double* __restrict s, double* __restrict x,
                                                    double* __restrict d1, bool* __restrict ok) {
  for (std::size_t j = 0; j < n; ++j) {
    ok[j] = black_inputs_valid(forward[j], strike[j], maturity[j], vol[j]);
    s[j] = vol[j] * sqrt_t[j];
    x[j] = ln_f[j] - ln_k[j];
    d1[j] = black_d1(x[j], s[j]);
  }
}

}  // namespace
}  // namespace tarvik::lanes
