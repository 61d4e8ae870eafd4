// The American pricer's scheme against a far finer one over the benchmark
// portfolio (K = 100; S 25..200; T 1/12..3; r 0..0.1; q 0..0.12;
// sigma 0.1..0.6; puts and calls): worst and RMS of
// |p - p_ref| / max(p_ref, 1e-4 K), and the time per price.
//   american_scheme nodes iterations boundary_points price_points
//                   [ref_nodes ref_iterations ref_boundary ref_price] [--csv FILE]
//                   [--stride K]  (every K-th option of the portfolio only)
//                   [--tol T]     (the sweeps stop once no node moves by T; 1e-13)
// With --csv the reference prices are written as
// S,K,T,r,q,sigma,is_call,price (17 significant digits).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tarvik/american.hpp"

namespace {

struct Option {
  double s, k, t, r, q, v;
  bool call;
};

std::vector<Option> portfolio(int stride) {
  std::vector<Option> out;
  int count = 0;
  const double spots[] = {25, 50, 80, 90, 100, 110, 120, 150, 200};
  const double times[] = {1.0 / 12, 0.25, 0.5, 1.0, 2.0, 3.0};
  const double rates[] = {0.0, 0.02, 0.04, 0.06, 0.08, 0.1};
  const double yields[] = {0.0, 0.04, 0.08, 0.12};
  const double vols[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
  for (double s : spots)
    for (double t : times)
      for (double r : rates)
        for (double q : yields)
          for (double v : vols)
            for (bool call : {false, true})
              if (count++ % stride == 0) out.push_back({s, 100.0, t, r, q, v, call});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s n m l p [n m l p] [--csv FILE]\n", argv[0]);
    return 2;
  }
  tarvik::AmericanScheme scheme{std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]),
                                std::atoi(argv[4]), 1e-13};
  tarvik::AmericanScheme ref{96, 64, 256, 512, 1e-15};
  const char* csv = nullptr;
  int arg = 5;
  if (argc >= 9 && std::strcmp(argv[5], "--csv") != 0) {
    ref = {std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]), std::atoi(argv[8]), 1e-15};
    arg = 9;
  }
  int stride = 1;
  for (; arg + 1 < argc; arg += 2) {
    if (std::strcmp(argv[arg], "--csv") == 0) csv = argv[arg + 1];
    if (std::strcmp(argv[arg], "--stride") == 0) stride = std::max(1, std::atoi(argv[arg + 1]));
    if (std::strcmp(argv[arg], "--tol") == 0) scheme.tolerance = std::atof(argv[arg + 1]);
  }
  const std::vector<Option> book = portfolio(stride);
  std::vector<double> prices(book.size()), refs(book.size());
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < book.size(); ++i) {
    const Option& o = book[i];
    prices[i] = tarvik::american_price_with(scheme, o.s, o.k, o.t, o.r, o.q, o.v, o.call).value();
  }
  const auto t1 = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < book.size(); ++i) {
    const Option& o = book[i];
    refs[i] = tarvik::american_price_with(ref, o.s, o.k, o.t, o.r, o.q, o.v, o.call).value();
  }
  double worst = 0.0, sum = 0.0;
  std::size_t at = 0;
  for (std::size_t i = 0; i < book.size(); ++i) {
    const double e = std::fabs(prices[i] - refs[i]) / std::max(refs[i], 1e-4 * book[i].k);
    sum += e * e;
    if (e > worst) {
      worst = e;
      at = i;
    }
  }
  const double us = std::chrono::duration<double, std::micro>(t1 - t0).count() / book.size();
  const Option& w = book[at];
  std::printf(
      "scheme %d %d %d %d: %zu options, %.2f us/price, worst %.3g (S=%g T=%g r=%g q=%g "
      "v=%g %s), rms %.3g\n",
      scheme.nodes, scheme.iterations, scheme.boundary_points, scheme.price_points, book.size(), us,
      worst, w.s, w.t, w.r, w.q, w.v, w.call ? "call" : "put", std::sqrt(sum / book.size()));
  if (csv) {
    FILE* f = std::fopen(csv, "w");
    if (!f) return 1;
    std::fprintf(f, "spot,strike,maturity,rate,dividend,volatility,is_call,price\n");
    for (std::size_t i = 0; i < book.size(); ++i) {
      const Option& o = book[i];
      std::fprintf(f, "%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%d,%.17g\n", o.s, o.k, o.t, o.r, o.q,
                   o.v, o.call ? 1 : 0, refs[i]);
    }
    std::fclose(f);
  }
  return 0;
}
