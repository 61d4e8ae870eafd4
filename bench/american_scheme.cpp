// The American pricer's scheme against a far finer one over the benchmark
// portfolio (K = 100; S 25..200; T 1/12..3; r 0..0.1; q 0..0.12;
// sigma 0.1..0.6; puts and calls): worst and RMS of
// |p - p_ref| / max(p_ref, 1e-4 K), and the time per price.
//   american_scheme nodes iterations boundary_points price_points
//                   [ref_nodes ref_iterations ref_boundary ref_price] [--csv FILE]
//                   [--stride K]  (every K-th option of the portfolio only)
//                   [--tol T]     (the sweeps stop once no node moves by T; 1e-13)
//                   [--form F]    (0 per option, 1 FP-A, 2 FP-B; 0)
//                   [--ref FILE]  (the reference prices from a CSV written by --csv
//                                  instead of the finer scheme; the options are the
//                                  file's rows)
//                   [--repeat R]  (time R passes, report the fastest; 1)
//   american_scheme --default [--ref FILE] ...  (the default schemes, chosen
//                   per option)
// Prints the time per price (in-process, the fastest pass) and the sweeps of
// the boundary iteration (mean and most).
// With --csv the reference prices are written as
// S,K,T,r,q,sigma,is_call,price (17 significant digits).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "american/tiers.hpp"
#include "american_portfolio.hpp"
#include "tarvik/american.hpp"

namespace {

using Option = tarvik_bench::AmericanOption;

std::vector<Option> portfolio(int stride) {
  std::vector<Option> out;
  const std::vector<Option> all = tarvik_bench::american_portfolio();
  for (std::size_t i = 0; i < all.size(); i += static_cast<std::size_t>(stride)) {
    out.push_back(all[i]);
  }
  return out;
}

std::vector<Option> read_reference(const char* path, std::vector<double>& refs) {
  std::vector<Option> out;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream row(line);
    double f[8];
    char comma;
    row >> f[0];
    for (int i = 1; i < 8; ++i) row >> comma >> f[i];
    if (!row) continue;
    out.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6] != 0.0});
    refs.push_back(f[7]);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const bool defaults = argc >= 2 && std::strcmp(argv[1], "--default") == 0;
  if (argc < 5 && !defaults) {
    std::fprintf(stderr, "usage: %s n m l p [n m l p] [--csv FILE] [--ref FILE] ...\n", argv[0]);
    return 2;
  }
  tarvik::AmericanScheme scheme = tarvik::kAmericanScheme;
  if (!defaults) {
    scheme = {
        std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), 1e-13, 0};
  }
  tarvik::AmericanScheme ref{96, 64, 256, 512, 1e-15, 0};
  const char* csv = nullptr;
  const char* ref_file = nullptr;
  int arg = defaults ? 2 : 5;
  if (!defaults && argc >= 9 && argv[5][0] != '-') {
    ref = {
        std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]), std::atoi(argv[8]), 1e-15, 0};
    arg = 9;
  }
  int stride = 1;
  int repeat = 1;
  for (; arg + 1 < argc; arg += 2) {
    if (std::strcmp(argv[arg], "--csv") == 0) csv = argv[arg + 1];
    if (std::strcmp(argv[arg], "--ref") == 0) ref_file = argv[arg + 1];
    if (std::strcmp(argv[arg], "--stride") == 0) stride = std::max(1, std::atoi(argv[arg + 1]));
    if (std::strcmp(argv[arg], "--tol") == 0) scheme.tolerance = std::atof(argv[arg + 1]);
    if (std::strcmp(argv[arg], "--form") == 0) scheme.form = std::atoi(argv[arg + 1]);
    if (std::strcmp(argv[arg], "--repeat") == 0) repeat = std::max(1, std::atoi(argv[arg + 1]));
  }
  std::vector<double> refs;
  const std::vector<Option> book = ref_file ? read_reference(ref_file, refs) : portfolio(stride);
  if (book.empty()) {
    std::fprintf(stderr, "no options (is %s a CSV written by --csv?)\n", ref_file ? ref_file : "-");
    return 1;
  }
  std::vector<double> prices(book.size());
  std::vector<int> sweeps(book.size());
  std::vector<int> coarse(book.size());
  double best = 1e300;
  double best_cpu = 1e300;
  for (int pass = 0; pass < repeat; ++pass) {
    const std::clock_t c0 = std::clock();
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < book.size(); ++i) {
      const Option& o = book[i];
      tarvik::AmericanSweeps counted;
      prices[i] = tarvik::american_price_counted(
                      defaults ? tarvik::american_default_scheme(o.t, o.r, o.q, o.v, o.call)
                               : scheme,
                      o.s, o.k, o.t, o.r, o.q, o.v, o.call, counted)
                      .value();
      sweeps[i] = counted.fine;
      coarse[i] = counted.coarse;
    }
    const auto t1 = std::chrono::steady_clock::now();
    const std::clock_t c1 = std::clock();
    best = std::min(best, std::chrono::duration<double, std::micro>(t1 - t0).count());
    best_cpu = std::min(best_cpu, 1e6 * static_cast<double>(c1 - c0) / CLOCKS_PER_SEC);
  }
  if (!ref_file) {
    refs.resize(book.size());
    for (std::size_t i = 0; i < book.size(); ++i) {
      const Option& o = book[i];
      refs[i] = tarvik::american_price_with(ref, o.s, o.k, o.t, o.r, o.q, o.v, o.call).value();
    }
  }
  // Worst error where the put form's rate is at least its yield (nodes in
  // (tau/T)^(1/4)) and where it is below (nodes in sqrt(tau)).
  double worst_form[2] = {0.0, 0.0};
  double worst = 0.0, sum = 0.0;
  std::size_t at = 0;
  long total_sweeps = 0;
  long total_coarse = 0;
  int most_sweeps = 0;
  std::size_t solved = 0;
  for (std::size_t i = 0; i < book.size(); ++i) {
    const double e = std::fabs(prices[i] - refs[i]) / std::max(refs[i], 1e-4 * book[i].k);
    sum += e * e;
    const Option& o = book[i];
    const bool slow_start = (o.call ? o.q : o.r) >= (o.call ? o.r : o.q);
    worst_form[slow_start ? 0 : 1] = std::max(worst_form[slow_start ? 0 : 1], e);
    if (e > worst) {
      worst = e;
      at = i;
    }
    if (sweeps[i] > 0) {
      ++solved;
      total_sweeps += sweeps[i];
      total_coarse += coarse[i];
      most_sweeps = std::max(most_sweeps, sweeps[i]);
    }
  }
  const double us = best / book.size();
  const double cpu_us = best_cpu / book.size();
  const Option& w = book[at];
  if (defaults) std::printf("default schemes: ");
  std::printf(
      "scheme %d %d %d %d tol %g form %d: %zu options, %.1f us/price (%.1f us processor), worst "
      "%.3g (S=%g T=%g r=%g "
      "q=%g v=%g %s), rms %.3g, sweeps mean %.1f most %d, coarse stage %.1f (%zu solved); worst "
      "r>=q %.3g, "
      "r<q %.3g\n",
      scheme.nodes, scheme.iterations, scheme.boundary_points, scheme.price_points,
      scheme.tolerance, scheme.form, book.size(), us, cpu_us, worst, w.s, w.t, w.r, w.q, w.v,
      w.call ? "call" : "put", std::sqrt(sum / book.size()),
      solved ? static_cast<double>(total_sweeps) / solved : 0.0, most_sweeps,
      solved ? static_cast<double>(total_coarse) / solved : 0.0, solved, worst_form[0],
      worst_form[1]);
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
