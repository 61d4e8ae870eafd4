// exp, log and erfc in the AVX2 and AVX-512F lanes (fused multiply-adds,
// erfc's rows loaded whole and transposed) against the scalar path built
// without target flags, over arguments of every kind: each lane must give
// the scalar bits. Skipped where the processor lacks the target.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "lanes/lanes.hpp"
#include "special/erfc.hpp"
#include "special/exp.hpp"
#include "special/log.hpp"
#include "wide_lanes.hpp"

namespace {

using tarvik::lanes::Path;
using tarvik::testing::Wide;

class WideLanes : public ::testing::TestWithParam<std::tuple<Wide, Path>> {};

TEST_P(WideLanes, ScalarBits) {
#if defined(TARVIK_LANES_X86)
  const auto [f, path] = GetParam();
  if (!tarvik::lanes::path_available(path)) GTEST_SKIP() << "no such lanes here";
  // Where each function switches method or nears its limits, and random
  // doubles of every exponent.
  std::mt19937_64 g(23);
  std::uniform_real_distribution<double> erfc_range(-6.5, 27.0), exp_range(-750.0, 712.0),
      log_range(0.0, 3.0);
  std::vector<double> x(80000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    switch (i % 4) {
      case 0: x[i] = f == Wide::kErfc ? erfc_range(g) : f == Wide::kExp ? exp_range(g)
                                                                        : log_range(g); break;
      case 1: x[i] = f == Wide::kErfc ? std::ldexp(erfc_range(g), -static_cast<int>(g() % 8))
                                      : 1.0 + std::ldexp(log_range(g), -static_cast<int>(g() % 60));
        break;
      case 2: x[i] = std::bit_cast<double>(g()); break;
      default: x[i] = f == Wide::kExp ? -745.3 + 38.0 * log_range(g) / 3.0 : erfc_range(g) / 4.0;
    }
  }
  std::vector<double> out(x.size());
  (path == Path::Avx2 ? tarvik::testing::wide_lanes_avx2
                      : tarvik::testing::wide_lanes_avx512)(f, x.data(), x.size(), out.data());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double want = f == Wide::kExp   ? tarvik::rational::exp_correct(x[i])
                        : f == Wide::kLog ? tarvik::rational::log_correct(x[i])
                                          : tarvik::rational::erfc_correct(x[i]);
    if (std::isnan(want)) {
      ASSERT_TRUE(std::isnan(out[i])) << std::hexfloat << x[i];
    } else {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(want))
          << std::hexfloat << x[i];
    }
  }
#else
  GTEST_SKIP() << "no wide lanes on this processor family";
#endif
}

INSTANTIATE_TEST_SUITE_P(Functions, WideLanes,
                         ::testing::Combine(::testing::Values(Wide::kExp, Wide::kLog, Wide::kErfc),
                                            ::testing::Values(Path::Avx2, Path::Avx512)));

}  // namespace
