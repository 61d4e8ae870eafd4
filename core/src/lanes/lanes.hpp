// Lane-parallel implied volatilities (Black-76 and normal) over blocks of
// elements, with the bits of the scalar functions: the batch driver hands in
// one block at a time; the vector stage of the Black-76 batch prices and
// sensitivities; and the American boundary's row integrals and
// interpolation. Each path is the same source (the models' *_lanes.hpp)
// built for one vector width; the widest one this processor runs is chosen
// once, at the first call. The kernels and their entry points: kernels.def.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::lanes {

// Most elements of one block call.
inline constexpr std::size_t kBlock = 256;

enum class BachelierFormula { Price, Gamma, Vega, Theta, Vanna, Vomma };

// The two integrals of an FP-B sweep of the American boundary at one node
// (core/src/american/boundary.cpp), over the `size` <= 2 kAmericanMaxPoints
// points of its row at g = ln B(tau) - ln X, each point's inputs given:
// rate = sum of rate_density e^{rate_exponent - d-^2 / 2} (r's integrand
// e^{-r v} phi(d-) / (sigma sqrt v) times Jacobian and weight), yield = sum
// of yield_weight [Phi(d+) + phi(d+) / (sigma sqrt v)] (0 unless `yield`),
// or, where `complement`, of yield_weight [phi(d+) / (sigma sqrt v) -
// Phi(-d+)], where d+ = ((g + sqrt(max(h, 0))) + drift) inv_sv and d- = d+ - sv.
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
  bool complement;
};
struct AmericanIntegrals {
  double rate;
  double yield;
};

// Points a block of the American boundary's interpolation weights.
inline constexpr std::size_t kAmericanInterpolationBlock = 8;

// The paths, for tests and benchmarks that compare them.
enum class Path { Portable, Avx2, Avx512 };
const char* path_name(Path path);
// Built into this library and supported by this processor.
bool path_available(Path path);
// The path the kernels' first entry points use.
Path chosen_path();

// A parameter list with the path first: a kernel's entry point on a given
// path (the portable one where that path is not available).
#define TARVIK_LANES_ON_PATH(...) (Path path, __VA_ARGS__)

#define TARVIK_LANE_KERNEL(ret, name, params, args, ...) \
  ret name params;                                       \
  ret name TARVIK_LANES_ON_PATH params;
#include "lanes/kernels.def"

}  // namespace tarvik::lanes
