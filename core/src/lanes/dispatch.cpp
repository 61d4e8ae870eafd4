// Picks the widest lane path this processor runs, once: AVX-512F, AVX2, or
// the portable one. Built without target flags, like the rest of the core.
#include <atomic>
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

AccurateLogMoneyness::AccurateLogMoneyness(const double* forward, const double* strike,
                                           std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) x[i] = accurate_log_moneyness(forward[i], strike[i]);
}

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
  const bool fma = (r[2] >> 12) & 1u;  // both wide paths are built with -mfma
  if (!osxsave || !avx || !fma) return f;
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

// Each kernel's table of paths, in the order of Path (the wide ones on
// x86-64 only), and its two entry points. The first entry point calls
// through the chosen path's pointer, which stands at a function that finds
// that path, puts it there and calls it (the first call, or the first few of
// threads racing to make it: each finds the same).
#if defined(TARVIK_LANES_X86)
#define TARVIK_LANES_WIDE_PATHS(name) , detail::name##_avx2, detail::name##_avx512
#else
#define TARVIK_LANES_WIDE_PATHS(name)
#endif
#define TARVIK_LANE_KERNEL(ret, name, params, args, ...)                                       \
  namespace {                                                                                  \
  ret(*const name##_paths[]) params = {detail::name##_portable TARVIK_LANES_WIDE_PATHS(name)}; \
  ret name##_first params;                                                                     \
  std::atomic<decltype(&name##_first)> name##_chosen{name##_first};                            \
  ret name##_first params {                                                                    \
    const auto chosen = name##_paths[static_cast<int>(chosen_path())];                         \
    name##_chosen.store(chosen, std::memory_order_relaxed);                                    \
    return chosen args;                                                                        \
  }                                                                                            \
  }                                                                                            \
  ret name params { return name##_chosen.load(std::memory_order_relaxed) args; }               \
  ret name TARVIK_LANES_ON_PATH params {                                                       \
    return name##_paths[static_cast<int>(path_available(path) ? path : Path::Portable)] args;  \
  }
#include "lanes/kernels.def"

}  // namespace tarvik::lanes
