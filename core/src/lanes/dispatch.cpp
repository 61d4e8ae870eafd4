// Picks the widest lane path this processor runs, once: AVX-512F, AVX2, or
// the portable one. Built without target flags, like the rest of the core.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "paths.hpp"
#include "tarvik/detail/lanes.hpp"
#include "tarvik/implied_volatility.hpp"

namespace tarvik::lanes::detail {

namespace {
constexpr double kQuietNaN = __builtin_nan("");
double value_or_nan(const Result<double>& r) { return r.ok() ? r.value() : kQuietNaN; }
}  // namespace

void implied_volatility_elements(const double* price, const double* forward, const double* strike,
                                 const double* maturity, const std::uint8_t* is_call, std::size_t n,
                                 double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = value_or_nan(
        implied_volatility(price[i], forward[i], strike[i], maturity[i], is_call[i] != 0));
  }
}

void normalised_implied_volatility_elements(const double* beta, const double* x,
                                            const std::uint8_t* is_call, std::size_t n,
                                            double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = value_or_nan(normalised_implied_volatility(beta[i], x[i], is_call[i] != 0));
  }
}

}  // namespace tarvik::lanes::detail

namespace tarvik::lanes {

namespace {

struct Entry {
  void (*implied)(const double*, const double*, const double*, const double*, const std::uint8_t*,
                  std::size_t, double*);
  void (*normalised)(const double*, const double*, const std::uint8_t*, std::size_t, double*);
  void (*terms)(const double*, const double*, const double*, const double*, const double*,
                const double*, const double*, std::size_t, double*, double*, double*, bool*);
};

Entry entry(Path path) {
  switch (path) {
#if defined(TARVIK_LANES_X86)
    case Path::Avx512:
      return {detail::implied_volatility_block_avx512,
              detail::normalised_implied_volatility_block_avx512, detail::black_terms_avx512};
    case Path::Avx2:
      return {detail::implied_volatility_block_avx2,
              detail::normalised_implied_volatility_block_avx2, detail::black_terms_avx2};
#endif
    default:
      return {detail::implied_volatility_block_portable,
              detail::normalised_implied_volatility_block_portable, detail::black_terms_portable};
  }
}

Path pick() {
  for (const Path path : {Path::Avx512, Path::Avx2}) {
    if (path_available(path)) return path;
  }
  return Path::Portable;
}

const Entry& chosen() {
  static const Entry e = entry(chosen_path());
  return e;
}

}  // namespace

const char* path_name(Path path) {
  switch (path) {
    case Path::Avx512:
      return "avx512";
    case Path::Avx2:
      return "avx2";
    default:
      return "portable";
  }
}

bool path_available(Path path) {
  switch (path) {
    case Path::Portable:
      return true;
#if defined(TARVIK_LANES_X86)
    case Path::Avx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
    case Path::Avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

Path chosen_path() {
  static const Path path = pick();
  return path;
}

void implied_volatility_block(const double* price, const double* forward, const double* strike,
                              const double* maturity, const std::uint8_t* is_call, std::size_t n,
                              double* out) {
  chosen().implied(price, forward, strike, maturity, is_call, n, out);
}

void normalised_implied_volatility_block(const double* beta, const double* x,
                                         const std::uint8_t* is_call, std::size_t n, double* out) {
  chosen().normalised(beta, x, is_call, n, out);
}

void black_terms(const double* forward, const double* strike, const double* maturity,
                 const double* vol, const double* ln_f, const double* ln_k, const double* sqrt_t,
                 std::size_t n, double* s, double* x, double* d1, bool* ok) {
  chosen().terms(forward, strike, maturity, vol, ln_f, ln_k, sqrt_t, n, s, x, d1, ok);
}

void implied_volatility_block(Path path, const double* price, const double* forward,
                              const double* strike, const double* maturity,
                              const std::uint8_t* is_call, std::size_t n, double* out) {
  entry(path_available(path) ? path : Path::Portable)
      .implied(price, forward, strike, maturity, is_call, n, out);
}

void normalised_implied_volatility_block(Path path, const double* beta, const double* x,
                                         const std::uint8_t* is_call, std::size_t n, double* out) {
  entry(path_available(path) ? path : Path::Portable).normalised(beta, x, is_call, n, out);
}

void black_terms(Path path, const double* forward, const double* strike, const double* maturity,
                 const double* vol, const double* ln_f, const double* ln_k, const double* sqrt_t,
                 std::size_t n, double* s, double* x, double* d1, bool* ok) {
  entry(path_available(path) ? path : Path::Portable)
      .terms(forward, strike, maturity, vol, ln_f, ln_k, sqrt_t, n, s, x, d1, ok);
}

}  // namespace tarvik::lanes
