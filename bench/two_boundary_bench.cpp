// Time per American price where the exercise region has two boundaries (a
// put with q < r < 0, a call with r < q < 0), over seeded options of the
// whole domain: r and q from -0.2 to 0, T from a day to 50 years (log-
// uniform), sigma from 1e-4 to 5 and S/K from 0.01 to 100 (log-uniform),
// puts and calls, K = 100. Processor time of the thread, each price taken
// `--repeat` times and the fastest kept.
//   two_boundary_bench [--count N] [--seed S] [--repeat R] [--slowest M]
//                      [--options FILE] [--csv FILE]
// Prints the median, 90th and 99th percentiles and the largest time, over
// all the options and over those that reached the boundaries' solver (taken
// as those over 20 us: the others are priced from bounds on the premium in
// about 1 us), and the refusals (no_convergence). --slowest M lists the M
// slowest options; --options FILE times the rows S,K,T,r,q,sigma,is_call of
// FILE instead; --csv FILE writes each option, its price (nan where
// refused) and its time.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "seeded_random.hpp"
#include "tarvik/american.hpp"

namespace {

struct Option {
  double s, k, t, r, q, v;
  bool call;
};

struct Row {
  Option o;
  double price;
  double seconds;
};

// Above this, a price reached the boundaries' solver.
constexpr double kSolverSeconds = 2e-5;

std::vector<Option> seeded(int count, unsigned long long seed) {
  tarvik::bench::Random rng(seed);
  auto log_uniform = [&](double lo, double hi) { return lo * std::exp(rng.uniform(0.0, 1.0) * std::log(hi / lo)); };
  std::vector<Option> out;
  for (int i = 0; i < count; ++i) {
    const double a = rng.uniform(-0.2, 0.0);
    const double b = rng.uniform(-0.2, 0.0);
    const double lo = std::min(a, b);
    const double hi = std::max(a, b);
    const double t = log_uniform(1.0 / 365.0, 50.0);
    const double v = log_uniform(1e-4, 5.0);
    const double m = log_uniform(0.01, 100.0);
    const bool call = rng.uniform(0.0, 1.0) < 0.5;
    // A put with q < r < 0, a call with r < q < 0.
    out.push_back(Option{100.0 * m, 100.0, t, call ? lo : hi, call ? hi : lo, v, call});
  }
  return out;
}

std::vector<Option> read_options(const char* path) {
  std::vector<Option> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == 'S') continue;
    std::istringstream row(line);
    double f[7];
    char comma;
    row >> f[0];
    for (int i = 1; i < 7; ++i) row >> comma >> f[i];
    if (!row) continue;
    out.push_back(Option{f[0], f[1], f[2], f[3], f[4], f[5], f[6] != 0.0});
  }
  return out;
}

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double quantile(std::vector<double> x, double f) {
  if (x.empty()) return NAN;
  std::sort(x.begin(), x.end());
  const std::size_t at = std::min(x.size() - 1, static_cast<std::size_t>(f * static_cast<double>(x.size())));
  return x[at];
}

void summary(const char* name, const std::vector<Row>& rows, bool solved_only) {
  std::vector<double> times;
  int refused = 0;
  for (const Row& row : rows) {
    if (solved_only && row.seconds <= kSolverSeconds) continue;
    times.push_back(row.seconds);
    if (std::isnan(row.price)) ++refused;
  }
  std::printf("%-8s %5zu options: median %8.3f ms  p90 %8.3f  p99 %8.3f  max %9.3f  refused %d\n", name,
              times.size(), 1e3 * quantile(times, 0.5), 1e3 * quantile(times, 0.9),
              1e3 * quantile(times, 0.99), 1e3 * quantile(times, 1.0), refused);
}

}  // namespace

int main(int argc, char** argv) {
  int count = 200;
  unsigned long long seed = 2026;
  int repeat = 1;
  int slowest = 0;
  const char* options = nullptr;
  const char* csv = nullptr;
  for (int i = 1; i < argc; ++i) {
    auto next = [&]() {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", argv[i]);
        std::exit(2);
      }
      return argv[++i];
    };
    if (!std::strcmp(argv[i], "--count")) count = std::atoi(next());
    else if (!std::strcmp(argv[i], "--seed")) seed = std::strtoull(next(), nullptr, 10);
    else if (!std::strcmp(argv[i], "--repeat")) repeat = std::max(1, std::atoi(next()));
    else if (!std::strcmp(argv[i], "--slowest")) slowest = std::atoi(next());
    else if (!std::strcmp(argv[i], "--options")) options = next();
    else if (!std::strcmp(argv[i], "--csv")) csv = next();
    else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  const std::vector<Option> book = options ? read_options(options) : seeded(count, seed);
  std::vector<Row> rows;
  for (const Option& o : book) {
    Row row{o, NAN, INFINITY};
    for (int pass = 0; pass < repeat; ++pass) {
      const double t0 = thread_seconds();
      const tarvik::Result<double> p = tarvik::american_price(o.s, o.k, o.t, o.r, o.q, o.v, o.call);
      const double t1 = thread_seconds();
      row.seconds = std::min(row.seconds, t1 - t0);
      row.price = p ? p.value() : NAN;
    }
    rows.push_back(row);
  }
  summary("all", rows, false);
  summary("solved", rows, true);
  if (slowest > 0) {
    std::vector<Row> sorted = rows;
    std::sort(sorted.begin(), sorted.end(), [](const Row& a, const Row& b) { return a.seconds > b.seconds; });
    std::printf("slowest:\n");
    for (int i = 0; i < slowest && i < static_cast<int>(sorted.size()); ++i) {
      const Row& r = sorted[static_cast<std::size_t>(i)];
      std::printf("  %9.3f ms  %s S=%.6g K=%g T=%.6g r=%.6g q=%.6g vol=%.4g  price %.17g\n",
                  1e3 * r.seconds, r.o.call ? "call" : "put ", r.o.s, r.o.k, r.o.t, r.o.r, r.o.q,
                  r.o.v, r.price);
    }
  }
  if (csv) {
    std::FILE* f = std::fopen(csv, "w");
    if (!f) {
      std::fprintf(stderr, "cannot write %s\n", csv);
      return 1;
    }
    std::fprintf(f, "S,K,T,r,q,sigma,is_call,price,seconds\n");
    for (const Row& r : rows) {
      std::fprintf(f, "%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%d,%.17g,%.6e\n", r.o.s, r.o.k, r.o.t,
                   r.o.r, r.o.q, r.o.v, r.o.call ? 1 : 0, r.price, r.seconds);
    }
    std::fclose(f);
  }
  return 0;
}
