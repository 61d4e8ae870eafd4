// Cost of the batch kernels, serial and on the worker pool.
//
// For each of the nine kernels, over fixed, seeded valid inputs (every input
// a full array, no broadcasting):
//   loop    a plain loop calling the scalar core operation per element,
//           writing its value or NaN: the floor the serial kernel is held to;
//   serial  the serial kernel (its overhead over `loop` is the cost of the
//           batch frame per element);
//   par     the parallel twin, and its speed-up over the serial kernel;
// at n = 10^3, 10^5 and 10^6 (ns per element, the best of the repetitions:
// on a shared machine the minimum is the figure least disturbed by other
// load). Then the fixed cost of a 64-element parallel call (the
// smallest batch that goes to the pool) against the serial kernel, in
// microseconds per call.
//
// Usage: batch_bench [repetitions] [kernel]   (RAYON_NUM_THREADS sets the pool size;
// a kernel name restricts the run to that kernel)
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "seeded_random.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/parallel.hpp"
#include "tarvik/vector.hpp"

namespace {

using namespace tarvik;

constexpr std::size_t kMaxN = 1000000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using tarvik::bench::Random;

using Columns = std::array<std::vector<double>, 6>;
using Views = std::array<InView, 6>;

struct Kernel {
  const char* name;
  Status (*serial)(const Views&, OutView);
  Status (*par)(const Views&, OutView);
  void (*loop)(const Views&, OutView);  // the scalar operation, element by element
  const Columns* data;
};

// Inputs every kernel accepts: forward or spot, strike, maturity, vol, rate,
// dividend; prices of calls at those volatilities; the normalised forms.
struct Data {
  Columns black, spot, iv, niv;
  Data() {
    Random r(20240601);
    for (std::size_t i = 0; i < kMaxN; ++i) {
      const double f = 100.0, k = f * std::exp(r.uniform(-0.5, 0.5));
      const double t = r.uniform(0.05, 3), v = r.uniform(0.05, 0.8);
      const double rate = r.uniform(-0.02, 0.08), div = r.uniform(0, 0.05);
      const double p = black_price(true, f, k, t, v).value_or(kNaN);
      push(black, {f, k, t, v});
      push(spot, {f, k, t, rate, div, v});
      push(iv, {p, f, k, t});
      push(niv, {p / (std::sqrt(f) * std::sqrt(k)), std::log(f) - std::log(k)});
    }
  }
  static void push(Columns& c, std::initializer_list<double> values) {
    std::size_t j = 0;
    for (const double v : values) c[j++].push_back(v);
  }
};

template <class F>
void scalar_loop(const Views& v, OutView out, F f) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = f(v, i).value_or(kNaN);
}

std::vector<Kernel> kernels(const Data& d) {
  return {
      {"black_price",
       [](const Views& v, OutView o) { return black_price_slice(v[0], v[1], v[2], v[3], true, o); },
       [](const Views& v, OutView o) {
         return black_price_slice_par(v[0], v[1], v[2], v[3], true, o);
       },
       [](const Views& v, OutView o) {
         scalar_loop(v, o, [](const Views& v, std::size_t i) {
           return black_price(true, v[0][i], v[1][i], v[2][i], v[3][i]);
         });
       },
       &d.black},
      {"black_scholes_price",
       [](const Views& v, OutView o) {
         return black_scholes_price_slice(v[0], v[1], v[2], v[3], v[4], v[5], true, o);
       },
       [](const Views& v, OutView o) {
         return black_scholes_price_slice_par(v[0], v[1], v[2], v[3], v[4], v[5], true, o);
       },
       [](const Views& v, OutView o) {
         scalar_loop(v, o, [](const Views& v, std::size_t i) {
           return black_scholes_price(true, v[0][i], v[1][i], v[2][i], v[3][i], v[4][i], v[5][i]);
         });
       },
       &d.spot},
      {"implied_volatility",
       [](const Views& v, OutView o) {
         return implied_volatility_slice(v[0], v[1], v[2], v[3], true, o);
       },
       [](const Views& v, OutView o) {
         return implied_volatility_slice_par(v[0], v[1], v[2], v[3], true, o);
       },
       [](const Views& v, OutView o) {
         scalar_loop(v, o, [](const Views& v, std::size_t i) {
           return implied_volatility(v[0][i], v[1][i], v[2][i], v[3][i], true);
         });
       },
       &d.iv},
      {"normalised_implied_vol",
       [](const Views& v, OutView o) {
         return normalised_implied_volatility_slice(v[0], v[1], true, o);
       },
       [](const Views& v, OutView o) {
         return normalised_implied_volatility_slice_par(v[0], v[1], true, o);
       },
       [](const Views& v, OutView o) {
         scalar_loop(v, o, [](const Views& v, std::size_t i) {
           return normalised_implied_volatility(v[0][i], v[1][i], true);
         });
       },
       &d.niv},
      {"delta",
       [](const Views& v, OutView o) { return delta_slice(v[0], v[1], v[2], v[3], true, o); },
       [](const Views& v, OutView o) { return delta_slice_par(v[0], v[1], v[2], v[3], true, o); },
       [](const Views& v, OutView o) {
         scalar_loop(v, o, [](const Views& v, std::size_t i) {
           return delta(true, v[0][i], v[1][i], v[2][i], v[3][i]);
         });
       },
       &d.black},
#define TARVIK_GREEK(op)                                                                  \
  {#op, [](const Views& v, OutView o) { return op##_slice(v[0], v[1], v[2], v[3], o); },  \
   [](const Views& v, OutView o) { return op##_slice_par(v[0], v[1], v[2], v[3], o); },   \
   [](const Views& v, OutView o) {                                                        \
     scalar_loop(v, o, [](const Views& v, std::size_t i) {                                \
       return op(v[0][i], v[1][i], v[2][i], v[3][i]);                                     \
     });                                                                                  \
   },                                                                                     \
   &d.black}
      TARVIK_GREEK(gamma),
      TARVIK_GREEK(vega),
      TARVIK_GREEK(vanna),
      TARVIK_GREEK(vomma),
#undef TARVIK_GREEK
  };
}

Views first(const Columns& c, std::size_t n) {
  Views v;
  for (std::size_t j = 0; j < 6; ++j) v[j] = InView(c[j]).first(std::min(n, c[j].size()));
  return v;
}

// The best over `reps` repetitions of the time of `calls` calls of f, in ns
// per call.
double best_ns(int reps, std::size_t calls, const std::function<void()>& f) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t c = 0; c < calls; ++c) f();
    const auto stop = std::chrono::steady_clock::now();
    t.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / double(calls));
  }
  return *std::min_element(t.begin(), t.end());
}

void check(const Status& s) {
  if (s) {
    std::fprintf(stderr, "kernel failed: %s\n", s->message().c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const Data data;
  std::vector<double> out(kMaxN);
  auto ks = kernels(data);
  if (argc > 2) {
    const std::string only = argv[2];
    std::erase_if(ks, [&](const Kernel& k) { return only != k.name; });
    if (ks.empty()) {
      std::fprintf(stderr, "no kernel named %s\n", argv[2]);
      return 1;
    }
  }

  // Start the pool before timing anything.
  check(ks[0].par(first(*ks[0].data, 1000), OutView(out).first(1000)));
  std::printf("worker pool: %zu threads, best of %d repetitions\n\n", worker_pool_size(), reps);

  std::printf("%-24s %9s %10s %10s %8s %10s %8s\n", "kernel", "n", "loop ns", "serial ns",
              "overhead", "par ns", "speedup");
  for (const Kernel& k : ks) {
    for (const std::size_t n : {std::size_t{1000}, std::size_t{100000}, kMaxN}) {
      const Views v = first(*k.data, n);
      const OutView o = OutView(out).first(n);
      const std::size_t calls = std::max<std::size_t>(1, 100000 / n);
      const double loop = best_ns(reps, calls, [&] { k.loop(v, o); }) / double(n);
      const double serial = best_ns(reps, calls, [&] { check(k.serial(v, o)); }) / double(n);
      const double par = best_ns(reps, calls, [&] { check(k.par(v, o)); }) / double(n);
      std::printf("%-24s %9zu %10.2f %10.2f %+7.1f%% %10.2f %7.2fx\n", k.name, n, loop, serial,
                  100.0 * (serial / loop - 1.0), par, serial / par);
    }
  }

  std::printf("\n64-element call, us per call (serial, parallel, difference)\n");
  for (const Kernel& k : ks) {
    const Views v = first(*k.data, 64);
    const OutView o = OutView(out).first(64);
    const double serial = best_ns(reps, 20000, [&] { check(k.serial(v, o)); }) / 1000.0;
    const double par = best_ns(reps, 20000, [&] { check(k.par(v, o)); }) / 1000.0;
    std::printf("%-24s %8.2f %8.2f %+8.2f\n", k.name, serial, par, par - serial);
  }
  return 0;
}
