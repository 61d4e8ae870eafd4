// Cost of the batch kernels, serial and on the worker pool.
//
// For each kernel, over fixed, seeded valid inputs (every input
// a full array, no broadcasting):
//   loop    a plain loop calling the scalar core operation per element,
//           writing its value or NaN: the floor the serial kernel is held to;
//   serial  the serial kernel (its overhead over `loop` is the cost of the
//           batch frame per element);
//   par     the same kernel on the worker pool, and its speed-up over serial;
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
#include "tarvik/batch.hpp"
#include "batch/ops.hpp"
#include "batch/worker_pool.hpp"

namespace {

using namespace tarvik;

constexpr std::size_t kMaxN = 1000000;

using tarvik::bench::Random;

using Columns = std::array<std::vector<double>, 6>;
using Views = std::array<InView, 6>;

struct Kernel {
  const char* name;
  Status (*run)(const Views&, Exec, OutView);
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
      const double p = black_price(f, k, t, v, true).value();
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

// The kernel of Op over the first Op::kInputs columns (calls where there is
// an option type), and a plain loop of its scalar operation.
template <class Op, std::size_t... K>
Status run_op(const Views& v, Exec exec, OutView out, std::index_sequence<K...>) {
  const auto in = batch::Inputs<Op::kInputs>::make({{v[K]...}});
  if (!in) return in.error();
  return batch::run<Op>(in.value(), exec, out);
}

template <class Op, std::size_t... K>
void loop_op(const Views& v, OutView out, std::index_sequence<K...>) {
  const auto in = batch::Inputs<Op::kInputs>::make({{v[K]...}});
  const typename Op::Prepared prepared(in.value());  // nothing is broadcast here
  for (std::size_t i = 0; i < out.size(); ++i) {
    const Result<double> r = Op::element(prepared, v[K][i]..., true);
    out[i] = r.ok() ? r.value() : batch::kRejected;
  }
}

template <class Op>
Kernel kernel(const char* name, const Columns& data) {
  using Seq = std::make_index_sequence<Op::kInputs>;
  return {name, [](const Views& v, Exec e, OutView o) { return run_op<Op>(v, e, o, Seq{}); },
          [](const Views& v, OutView o) { loop_op<Op>(v, o, Seq{}); }, &data};
}

std::vector<Kernel> kernels(const Data& d) {
  return {kernel<ops::BlackPrice>("black_price", d.black),
          kernel<ops::BlackScholesPrice>("black_scholes_price", d.spot),
          kernel<ops::ImpliedVolatility>("implied_volatility", d.iv),
          kernel<ops::NormalisedImpliedVolatility>("normalised_implied_vol", d.niv),
          kernel<ops::Delta>("delta", d.black),
          kernel<ops::Gamma>("gamma", d.black),
          kernel<ops::Vega>("vega", d.black),
          kernel<ops::Vanna>("vanna", d.black),
          kernel<ops::Vomma>("vomma", d.black)};
}

Views first(const Columns& c, std::size_t n) {
  Views v;
  for (std::size_t j = 0; j < 6; ++j) v[j] = InView(c[j].data(), std::min(n, c[j].size()));
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
  check(ks[0].run(first(*ks[0].data, 1000), Exec::Parallel, OutView(out).first(1000)));
  std::printf("worker pool: %zu threads, best of %d repetitions\n\n", pool::size(), reps);

  std::printf("%-24s %9s %10s %10s %8s %10s %8s\n", "kernel", "n", "loop ns", "serial ns",
              "overhead", "par ns", "speedup");
  for (const Kernel& k : ks) {
    for (const std::size_t n : {std::size_t{1000}, std::size_t{100000}, kMaxN}) {
      const Views v = first(*k.data, n);
      const OutView o = OutView(out).first(n);
      const std::size_t calls = std::max<std::size_t>(1, 100000 / n);
      const double loop = best_ns(reps, calls, [&] { k.loop(v, o); }) / double(n);
      const double serial =
          best_ns(reps, calls, [&] { check(k.run(v, Exec::Serial, o)); }) / double(n);
      const double par =
          best_ns(reps, calls, [&] { check(k.run(v, Exec::Parallel, o)); }) / double(n);
      std::printf("%-24s %9zu %10.2f %10.2f %+7.1f%% %10.2f %7.2fx\n", k.name, n, loop, serial,
                  100.0 * (serial / loop - 1.0), par, serial / par);
    }
  }

  std::printf("\n64-element call, us per call (serial, parallel, difference)\n");
  for (const Kernel& k : ks) {
    const Views v = first(*k.data, 64);
    const OutView o = OutView(out).first(64);
    const double serial = best_ns(reps, 20000, [&] { check(k.run(v, Exec::Serial, o)); }) / 1000.0;
    const double par = best_ns(reps, 20000, [&] { check(k.run(v, Exec::Parallel, o)); }) / 1000.0;
    std::printf("%-24s %8.2f %8.2f %+8.2f\n", k.name, serial, par, par - serial);
  }
  return 0;
}
