// Single-threaded cost of one implied volatility, in nanoseconds, over two
// fixed, seeded sets of 10^6 out-of-the-money options on F = 100:
//
//   near      K = F exp(U(-0.3, 0.3)), T = U(0.05, 2), vol = U(0.1, 0.6)
//   stressed  T = exp(U(ln(1/365), ln 10)), vol = exp(U(ln 0.01, ln 3)),
//             K = F exp(U(-4, 4) vol sqrt(T))
//
// Machines drift between runs, so each set is also timed through a plain loop
// of std::erfc over the same number of arguments (d1/sqrt(2) of each option)
// and the ratio IV/erfc is the figure to compare across runs. A digest of the
// bits of every result is printed so that a faster build can be checked to
// give the very same answers.
//
// The batch mode also times the serial batch kernel, batch::run<ImpliedVolatility>,
// over the same options (one call for the calls and one for the puts, every
// input a full array), in the same repetitions as the scalar loop; it prints
// its ns per option, its time as a fraction of the scalar loop's (the median
// of the per-repetition ratios) and the digest of its results, which must be
// the scalar loop's.
//
// Usage: iv_bench [near|stressed|all] [repetitions] [scalar|batch]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "seeded_random.hpp"
#include "tarvik/batch.hpp"
#include "batch/ops.hpp"
#include "tarvik/black.hpp"
#include "tarvik/implied_volatility.hpp"

namespace {

constexpr std::size_t kOptions = 1000000;
constexpr double kForward = 100.0;

struct Option {
  double price, strike, maturity;
  bool is_call;
};

struct DataSet {
  const char* name;
  std::vector<Option> options;
  std::vector<double> erfc_args;
};

using tarvik::bench::Random;

void add_option(DataSet& set, double strike, double maturity, double vol) {
  const bool is_call = strike >= kForward;  // the out-of-the-money option
  const double s = vol * std::sqrt(maturity);
  const double price = tarvik::black_price_total_vol(kForward, strike, s, is_call);
  set.options.push_back({price, strike, maturity, is_call});
  const double d1 = (std::log(kForward / strike) + 0.5 * s * s) / s;
  set.erfc_args.push_back(d1 * 0.7071067811865476);
}

DataSet near_the_money() {
  DataSet set{"near", {}, {}};
  Random rng(20240601);
  for (std::size_t i = 0; i < kOptions; ++i) {
    const double strike = kForward * std::exp(rng.uniform(-0.3, 0.3));
    const double maturity = rng.uniform(0.05, 2.0);
    const double vol = rng.uniform(0.1, 0.6);
    add_option(set, strike, maturity, vol);
  }
  return set;
}

DataSet stressed() {
  DataSet set{"stressed", {}, {}};
  Random rng(20240602);
  for (std::size_t i = 0; i < kOptions; ++i) {
    const double maturity = std::exp(rng.uniform(std::log(1.0 / 365.0), std::log(10.0)));
    const double vol = std::exp(rng.uniform(std::log(0.01), std::log(3.0)));
    const double strike = kForward * std::exp(rng.uniform(-4.0, 4.0) * vol * std::sqrt(maturity));
    add_option(set, strike, maturity, vol);
  }
  return set;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct IvRun {
  double ns_per_option;
  std::uint64_t digest;
  std::size_t failures;
};

IvRun time_iv(const DataSet& set) {
  std::uint64_t digest = 1469598103934665603ULL;  // FNV-1a over the result bits
  std::size_t failures = 0;
  const Clock::time_point start = Clock::now();
  for (const Option& o : set.options) {
    const tarvik::Result<double> v =
        tarvik::implied_volatility(o.price, kForward, o.strike, o.maturity, o.is_call);
    std::uint64_t bits = 0;
    if (v.ok()) {
      const double value = v.value();
      std::memcpy(&bits, &value, sizeof bits);
    } else {
      ++failures;
      bits = static_cast<std::uint64_t>(v.error().kind()) + 1;
    }
    digest = (digest ^ bits) * 1099511628211ULL;
  }
  const double elapsed = seconds_since(start);
  return {elapsed * 1e9 / static_cast<double>(set.options.size()), digest, failures};
}

// The options of a set as the batch kernel takes them: calls and puts apart.
struct Batch {
  struct Side {
    std::vector<std::size_t> index;
    std::vector<double> price, forward, strike, maturity, out;
  } side[2];  // puts, calls
};

Batch make_batch(const DataSet& set) {
  Batch b;
  for (std::size_t i = 0; i < set.options.size(); ++i) {
    const Option& o = set.options[i];
    Batch::Side& s = b.side[o.is_call ? 1 : 0];
    s.index.push_back(i);
    s.price.push_back(o.price);
    s.forward.push_back(kForward);
    s.strike.push_back(o.strike);
    s.maturity.push_back(o.maturity);
  }
  for (Batch::Side& s : b.side) s.out.assign(s.index.size(), 0.0);
  return b;
}

IvRun time_batch(Batch& b) {
  const Clock::time_point start = Clock::now();
  for (int call = 0; call < 2; ++call) {
    Batch::Side& s = b.side[call];
    const auto in =
        tarvik::batch::Inputs<4>::make({{tarvik::InView(s.price.data(), s.price.size()),
                                         tarvik::InView(s.forward.data(), s.forward.size()),
                                         tarvik::InView(s.strike.data(), s.strike.size()),
                                         tarvik::InView(s.maturity.data(), s.maturity.size())}},
                                       tarvik::FlagView::all(call == 1));
    const tarvik::Status status = in ? tarvik::batch::run<tarvik::ops::ImpliedVolatility>(
                                           in.value(), tarvik::Exec::Serial, s.out)
                                     : tarvik::Status(in.error());
    if (status) std::printf("batch failed: %s\n", status->reason());
  }
  const double elapsed = seconds_since(start);
  // The digest over the results in the order of the set; a rejected element
  // is NaN here (the scalar digest hashes its error kind instead).
  const std::size_t n = b.side[0].index.size() + b.side[1].index.size();
  std::vector<double> values(n);
  std::size_t failures = 0;
  for (const Batch::Side& s : b.side) {
    for (std::size_t j = 0; j < s.index.size(); ++j) values[s.index[j]] = s.out[j];
  }
  std::uint64_t digest = 1469598103934665603ULL;
  for (const double v : values) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    failures += std::isnan(v) ? 1 : 0;
    digest = (digest ^ bits) * 1099511628211ULL;
  }
  return {elapsed * 1e9 / static_cast<double>(n), digest, failures};
}

double time_erfc(const DataSet& set) {
  double sum = 0.0;
  const Clock::time_point start = Clock::now();
  for (double a : set.erfc_args) sum += std::erfc(a);
  const double elapsed = seconds_since(start);
  // Keep the loop observable.
  if (sum == -1.0) std::puts("");
  return elapsed * 1e9 / static_cast<double>(set.erfc_args.size());
}

void run(const DataSet& set, int repetitions, bool batch) {
  std::vector<double> iv_ns, erfc_ns, ratios, batch_ns, batch_ratios;
  IvRun last{}, last_batch{};
  Batch b;
  if (batch) b = make_batch(set);
  for (int r = 0; r < repetitions; ++r) {
    const double e = time_erfc(set);
    last = time_iv(set);
    iv_ns.push_back(last.ns_per_option);
    erfc_ns.push_back(e);
    ratios.push_back(last.ns_per_option / e);
    if (batch) {
      last_batch = time_batch(b);
      batch_ns.push_back(last_batch.ns_per_option);
      batch_ratios.push_back(last_batch.ns_per_option / last.ns_per_option);
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf(
      "%-9s IV %7.1f ns (min %7.1f)  erfc %5.1f ns  ratio %6.2f  failures %zu  digest %016llx\n",
      set.name, median(iv_ns), *std::min_element(iv_ns.begin(), iv_ns.end()), median(erfc_ns),
      median(ratios), last.failures, static_cast<unsigned long long>(last.digest));
  if (batch) {
    std::printf(
        "%-9s batch %5.1f ns (min %7.1f)  of scalar %.3f (min-to-min %.3f)  failures %zu  digest "
        "%016llx%s\n",
        set.name, median(batch_ns), *std::min_element(batch_ns.begin(), batch_ns.end()),
        median(batch_ratios),
        *std::min_element(batch_ns.begin(), batch_ns.end()) /
            *std::min_element(iv_ns.begin(), iv_ns.end()),
        last_batch.failures, static_cast<unsigned long long>(last_batch.digest),
        last_batch.digest == last.digest ? "" : "  DIFFERS FROM THE SCALAR DIGEST");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const bool batch = argc > 3 && std::string(argv[3]) == "batch";
  if (which == "near" || which == "all") run(near_the_money(), repetitions, batch);
  if (which == "stressed" || which == "all") run(stressed(), repetitions, batch);
  return 0;
}
