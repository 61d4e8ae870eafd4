// The converged reference prices of the American benchmark portfolio
// (american_portfolio.hpp), and the evidence that they converged.
//
//   american_reference run NODES SWEEPS BOUNDARY_POINTS PRICE_POINTS TOL FILE
//                      [--stride K] [--from A] [--to B]
//     prices options A, A + K, ... below B (default: all 15,552) with that
//     discretisation of the boundary iteration, writes "index,price" rows
//     (17 significant digits) to FILE and prints the time per option (wall
//     and processor);
//   american_reference compare FILE_A FILE_B
//     worst and RMS of |a - b| / max(b, 1e-4 K) over the indices both hold;
//   american_reference csv NODES SWEEPS BOUNDARY_POINTS PRICE_POINTS TOL IN OUT
//     prices the options of IN (rows S,K,T,r,q,vol,call, call 1 or 0; lines
//     that do not parse are skipped, the n-th parsed row is index n) and
//     writes "index,price" rows to OUT; an option the pricer refuses gets
//     the price nan and the error's message in a third column.
//
// The stored reference, tests/data/american_portfolio_reference.csv, is the
// run at 128 nodes, 96 sweeps, 384/512 points, tol 1e-15; its convergence is
// shown by comparing it with a run at 96 nodes, 64 sweeps, 256/512 points
// (docs/accuracy-speed.md gives the commands and figures).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "american_portfolio.hpp"
#include "tarvik/american.hpp"

namespace {

int run(int argc, char** argv) {
  if (argc < 8) return 2;
  const tarvik::AmericanScheme scheme{std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                                      std::atoi(argv[5]), std::atof(argv[6]), 0};
  const char* path = argv[7];
  const auto book = tarvik_bench::american_portfolio();
  int stride = 1, from = 0, to = static_cast<int>(book.size());
  for (int arg = 8; arg + 1 < argc; arg += 2) {
    if (std::strcmp(argv[arg], "--stride") == 0) stride = std::max(1, std::atoi(argv[arg + 1]));
    if (std::strcmp(argv[arg], "--from") == 0) from = std::max(0, std::atoi(argv[arg + 1]));
    if (std::strcmp(argv[arg], "--to") == 0) to = std::min(to, std::atoi(argv[arg + 1]));
  }
  FILE* f = std::fopen(path, "w");
  if (!f) {
    std::perror(path);
    return 1;
  }
  std::fprintf(f, "# american_reference run %d %d %d %d %g\nindex,price\n", scheme.nodes,
               scheme.iterations, scheme.boundary_points, scheme.price_points, scheme.tolerance);
  int count = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const std::clock_t c0 = std::clock();
  for (int i = from; i < to; i += stride) {
    const auto& o = book[static_cast<std::size_t>(i)];
    const auto price = tarvik::american_price_with(scheme, o.s, o.k, o.t, o.r, o.q, o.v, o.call);
    if (!price) {
      std::fprintf(stderr, "option %d: %s\n", i, price.error().message().c_str());
      return 1;
    }
    std::fprintf(f, "%d,%.17g\n", i, price.value());
    ++count;
  }
  const double us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
  const double cpu_us = 1e6 * double(std::clock() - c0) / CLOCKS_PER_SEC;
  std::fclose(f);
  std::printf("%d options, %.0f us per option (%.0f us of processor time)\n", count,
              us / std::max(count, 1), cpu_us / std::max(count, 1));
  return 0;
}

int compare(const char* path_a, const char* path_b) {
  const auto book = tarvik_bench::american_portfolio();
  const auto a = tarvik_bench::read_prices(path_a), b = tarvik_bench::read_prices(path_b);
  double worst = 0.0, sum = 0.0;
  int at = -1, count = 0;
  for (const auto& [index, pb] : b) {
    const auto it = a.find(index);
    if (it == a.end() || index < 0 || index >= static_cast<int>(book.size())) continue;
    const double e = std::fabs(it->second - pb) / std::max(pb, 1e-4 * book[index].k);
    sum += e * e;
    ++count;
    if (e >= worst) {
      worst = e;
      at = index;
    }
  }
  if (count == 0) {
    std::fprintf(stderr, "no common options\n");
    return 1;
  }
  const auto& w = book[static_cast<std::size_t>(at)];
  std::printf("%d options: worst %.3g (index %d: S=%g T=%.4g r=%g q=%g v=%g %s), rms %.3g\n", count,
              worst, at, w.s, w.t, w.r, w.q, w.v, w.call ? "call" : "put", std::sqrt(sum / count));
  return 0;
}

int csv(char** argv) {
  const tarvik::AmericanScheme scheme{std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                                      std::atoi(argv[5]), std::atof(argv[6]), 0};
  FILE* in = std::fopen(argv[7], "r");
  if (!in) {
    std::perror(argv[7]);
    return 1;
  }
  FILE* out = std::fopen(argv[8], "w");
  if (!out) {
    std::perror(argv[8]);
    return 1;
  }
  std::fprintf(out, "# american_reference csv %d %d %d %d %g\nindex,price,error\n", scheme.nodes,
               scheme.iterations, scheme.boundary_points, scheme.price_points, scheme.tolerance);
  char line[512];
  int index = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (std::fgets(line, sizeof line, in)) {
    double s, k, t, r, q, v;
    int call = 0;
    if (std::sscanf(line, "%lf,%lf,%lf,%lf,%lf,%lf,%d", &s, &k, &t, &r, &q, &v, &call) != 7)
      continue;
    const auto price = tarvik::american_price_with(scheme, s, k, t, r, q, v, call != 0);
    if (price)
      std::fprintf(out, "%d,%.17g,\n", index, price.value());
    else
      std::fprintf(out, "%d,nan,%s\n", index, price.error().message().c_str());
    ++index;
  }
  std::fclose(in);
  std::fclose(out);
  const double us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%d options, %.0f us per option\n", index, us / std::max(index, 1));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 8 && std::strcmp(argv[1], "run") == 0) return run(argc, argv);
  if (argc == 4 && std::strcmp(argv[1], "compare") == 0) return compare(argv[2], argv[3]);
  if (argc == 9 && std::strcmp(argv[1], "csv") == 0) return csv(argv);
  std::fprintf(stderr,
               "usage: %s run NODES SWEEPS BOUNDARY PRICE TOL FILE [--stride K] [--from A] "
               "[--to B]\n       %s compare FILE_A FILE_B\n"
               "       %s csv NODES SWEEPS BOUNDARY PRICE TOL IN OUT\n",
               argv[0], argv[0], argv[0]);
  return 2;
}
