// splitmix64: a fixed generator whose stream does not depend on the standard
// library, so that every build of a benchmark times the same inputs.
#pragma once

#include <cstdint>

namespace tarvik::bench {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  // Uniform on [lo, hi).
  double uniform(double lo, double hi) {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    const double u = static_cast<double>(z >> 11) * 0x1.0p-53;
    return lo + (hi - lo) * u;
  }

 private:
  std::uint64_t state_;
};

}  // namespace tarvik::bench
