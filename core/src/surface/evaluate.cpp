// A surface's values over arrays of points, serial or on the worker pool.
#include "batch/run.hpp"
#include "tarvik/surface.hpp"

namespace tarvik::surface {

void evaluate(Smile smile, std::span<const Slice> slices, InView k, InView t,
              Quantity quantity, std::span<double> out, Exec exec) {
  const bool each_k = k.size() != 1, each_t = t.size() != 1;
  auto body = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      const double ki = k[each_k ? i : 0];
      const Variance v = surface_variance(smile, slices, ki, t[each_t ? i : 0]);
      switch (quantity) {
        case Quantity::TotalVariance:
          out[i] = v.w;
          break;
        case Quantity::Butterfly:
          out[i] = butterfly(ki, v);
          break;
        case Quantity::LogMoneynessDensity:
          out[i] = log_moneyness_density(ki, v);
          break;
      }
    }
  };
  batch::for_each_range(exec, out.size(), pool::RangeFn(body, 1, 256));
}

}  // namespace tarvik::surface
