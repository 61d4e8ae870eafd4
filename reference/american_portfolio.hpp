// The benchmark portfolio of American options in the style of Andersen, Lake
// and Offengenden (2016): K = 100; S in {25, 50, 80, 90, 100, 110,
// 120, 150, 200}; T in {1/12, 1/4, 1/2, 1, 2, 3}; r in {0, .02, ..., .1};
// q in {0, .04, .08, .12}; sigma in {.1, .2, ..., .6}; a put and a call of each,
// 15,552 options. The enumeration order (S outermost, the put before the call
// innermost) gives each option its index; tests/test_american_reference.py
// rebuilds the same list in the same order.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace tarvik_bench {

struct AmericanOption {
  double s, k, t, r, q, v;
  bool call;
};

inline std::vector<AmericanOption> american_portfolio() {
  std::vector<AmericanOption> out;
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
            for (bool call : {false, true}) out.push_back({s, 100.0, t, r, q, v, call});
  return out;
}

// A table of index,price rows (american_reference's output; other lines,
// such as a header, are skipped), by index.
inline std::map<int, double> read_prices(const char* path) {
  std::map<int, double> out;
  FILE* f = std::fopen(path, "r");
  if (!f) {
    std::perror(path);
    std::exit(1);
  }
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    int index = 0;
    double price = 0.0;
    if (std::sscanf(line, "%d,%lf", &index, &price) == 2) out[index] = price;
  }
  std::fclose(f);
  return out;
}

}  // namespace tarvik_bench
