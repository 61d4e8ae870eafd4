// Picks the widest lane path this processor runs, once: AVX-512F, AVX2, or
// the portable one. Built without target flags, like the rest of the core.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "black/terms.hpp"
#include "lanes/lanes.hpp"
#include "lanes/paths.hpp"
#include "tarvik/bachelier.hpp"
#include "tarvik/black.hpp"
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

void black_implied_volatility_elements(const double* price, const double* forward,
                                       const double* strike, const double* maturity,
                                       const std::uint8_t* is_call, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = value_or_nan(
        black_implied_volatility(price[i], forward[i], strike[i], maturity[i], is_call[i] != 0));
  }
}

void normalised_implied_volatility_elements(const double* beta, const double* x,
                                            const std::uint8_t* is_call, std::size_t n,
                                            double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = value_or_nan(normalised_implied_volatility(beta[i], x[i], is_call[i] != 0));
  }
}

void bachelier_implied_volatility_elements(const double* price, const double* forward,
                                           const double* strike, const double* maturity,
                                           const std::uint8_t* is_call, std::size_t n,
                                           double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = value_or_nan(bachelier_implied_volatility(price[i], forward[i], strike[i], maturity[i],
                                                       is_call[i] != 0));
  }
}

}  // namespace tarvik::lanes::detail

namespace tarvik::lanes {

namespace {

struct Entry {
  void (*implied)(const double*, const double*, const double*, const double*, const double*,
                  const std::uint8_t*, std::size_t, double*);
  void (*normalised)(const double*, const double*, const std::uint8_t*, std::size_t, double*);
  void (*terms)(const double*, const double*, const double*, const double*, const double*,
                const double*, const double*, std::size_t, double*, double*, double*, bool*);
  void (*bachelier)(const double*, const double*, const double*, const double*, const std::uint8_t*,
                    std::size_t, double*);
  void (*bachelier_formula)(BachelierFormula, const double*, const double*, const double*,
                            const double*, const std::uint8_t*, std::size_t, double*);
  AmericanIntegrals (*american_row)(const AmericanRow&, int, double, bool);
};

Entry entry(Path path) {
  switch (path) {
#if defined(TARVIK_LANES_X86)
    case Path::Avx512:
      return {detail::implied_volatility_block_avx512,
              detail::normalised_implied_volatility_block_avx512,
              detail::black_terms_avx512,
              detail::bachelier_implied_volatility_block_avx512,
              detail::bachelier_block_avx512,
              detail::american_row_integrals_avx512};
    case Path::Avx2:
      return {detail::implied_volatility_block_avx2,
              detail::normalised_implied_volatility_block_avx2,
              detail::black_terms_avx2,
              detail::bachelier_implied_volatility_block_avx2,
              detail::bachelier_block_avx2,
              detail::american_row_integrals_avx2};
#endif
    default:
      return {detail::implied_volatility_block_portable,
              detail::normalised_implied_volatility_block_portable,
              detail::black_terms_portable,
              detail::bachelier_implied_volatility_block_portable,
              detail::bachelier_block_portable,
              detail::american_row_integrals_portable};
  }
}

Path pick() {
  for (const Path path : {Path::Avx512, Path::Avx2}) {
    if (path_available(path)) return path;
  }
  return Path::Portable;
}

#if defined(TARVIK_LANES_X86)
// What the processor and the operating system both support, from CPUID and
// XGETBV (Intel SDM vol. 1, 13.2 and 15.2; AMD APM vol. 3, CPUID): a vector
// path needs the instructions (CPUID) and the OS saving the registers on a
// context switch (OSXSAVE, then the XCR0 bits of the YMM state, and for
// AVX-512 the opmask and ZMM states as well). Done here rather than through
// the compiler's builtins, which need a runtime helper that not every
// toolchain links.
struct X86Features {
  bool avx2 = false;
  bool avx512f = false;
};

void cpuid(unsigned leaf, unsigned subleaf, unsigned r[4]) {
  __asm__ volatile("cpuid"
                   : "=a"(r[0]), "=b"(r[1]), "=c"(r[2]), "=d"(r[3])
                   : "a"(leaf), "c"(subleaf));
}

X86Features detect_x86() {
  X86Features f;
  unsigned r[4];
  cpuid(0, 0, r);
  const unsigned max_leaf = r[0];
  if (max_leaf < 7) return f;
  cpuid(1, 0, r);
  const bool osxsave = (r[2] >> 27) & 1u;
  const bool avx = (r[2] >> 28) & 1u;
  if (!osxsave || !avx) return f;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0u));
  const bool ymm_state = (xcr0_lo & 0x6u) == 0x6u;    // SSE and AVX state
  const bool zmm_state = (xcr0_lo & 0xe6u) == 0xe6u;  // plus opmask, ZMM0-15, ZMM16-31
  cpuid(7, 0, r);
  f.avx2 = ymm_state && ((r[1] >> 5) & 1u);
  f.avx512f = zmm_state && ((r[1] >> 16) & 1u);
  return f;
}

const X86Features& x86_features() {
  static const X86Features f = detect_x86();
  return f;
}
#endif

const Entry& chosen() {
  static const Entry e = entry(chosen_path());
  return e;
}

// black_implied_volatility's log-moneyness of each element, computed here
// (built without target flags) for the lanes to take as given.
void black_implied_volatility_with(const Entry& e, const double* price, const double* forward,
                                   const double* strike, const double* maturity,
                                   const std::uint8_t* is_call, std::size_t n, double* out) {
  alignas(64) double x[kBlock];
  for (std::size_t i = 0; i < n; ++i) x[i] = accurate_log_moneyness(forward[i], strike[i]);
  e.implied(price, forward, strike, maturity, x, is_call, n, out);
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
      return x86_features().avx2;
    case Path::Avx512:
      return x86_features().avx512f;
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
  chosen().implied(price, forward, strike, maturity, nullptr, is_call, n, out);
}

void black_implied_volatility_block(const double* price, const double* forward,
                                    const double* strike, const double* maturity,
                                    const std::uint8_t* is_call, std::size_t n, double* out) {
  black_implied_volatility_with(chosen(), price, forward, strike, maturity, is_call, n, out);
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
      .implied(price, forward, strike, maturity, nullptr, is_call, n, out);
}

void black_implied_volatility_block(Path path, const double* price, const double* forward,
                                    const double* strike, const double* maturity,
                                    const std::uint8_t* is_call, std::size_t n, double* out) {
  black_implied_volatility_with(entry(path_available(path) ? path : Path::Portable), price, forward,
                                strike, maturity, is_call, n, out);
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

void bachelier_implied_volatility_block(const double* price, const double* forward,
                                        const double* strike, const double* maturity,
                                        const std::uint8_t* is_call, std::size_t n, double* out) {
  chosen().bachelier(price, forward, strike, maturity, is_call, n, out);
}

void bachelier_implied_volatility_block(Path path, const double* price, const double* forward,
                                        const double* strike, const double* maturity,
                                        const std::uint8_t* is_call, std::size_t n, double* out) {
  entry(path_available(path) ? path : Path::Portable)
      .bachelier(price, forward, strike, maturity, is_call, n, out);
}

void bachelier_block(BachelierFormula which, const double* forward, const double* strike,
                     const double* maturity, const double* vol, const std::uint8_t* is_call,
                     std::size_t n, double* out) {
  chosen().bachelier_formula(which, forward, strike, maturity, vol, is_call, n, out);
}

void bachelier_block(Path path, BachelierFormula which, const double* forward, const double* strike,
                     const double* maturity, const double* vol, const std::uint8_t* is_call,
                     std::size_t n, double* out) {
  entry(path_available(path) ? path : Path::Portable)
      .bachelier_formula(which, forward, strike, maturity, vol, is_call, n, out);
}

AmericanIntegrals american_row_integrals(const AmericanRow& row, int size, double g, bool yield) {
  return chosen().american_row(row, size, g, yield);
}

AmericanIntegrals american_row_integrals(Path path, const AmericanRow& row, int size, double g,
                                         bool yield) {
  return entry(path_available(path) ? path : Path::Portable).american_row(row, size, g, yield);
}

}  // namespace tarvik::lanes
