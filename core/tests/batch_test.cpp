// Batch evaluation: the length rule, broadcasting, every kernel against its
// scalar operation (NaN exactly where the scalar operation fails), the
// parallel twins against the serial kernels, the worker pool, its thread-count
// rule, and its behaviour across fork() and when threads cannot be started.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../src/worker_pool.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/parallel.hpp"
#include "tarvik/simd.hpp"
#include "tarvik/vector.hpp"

namespace tarvik {
namespace {

constexpr std::uint64_t kNaNBits = 0x7ff8000000000000;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr const char* kEmpty = "empty input slice is only valid for an empty batch";
constexpr const char* kMismatch = "slice length mismatch: inputs must be length 1 or n";
constexpr const char* kOutput = "output slice length must equal the resolved batch length";

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// ---- Length rule -----------------------------------------------------------

struct LengthCase {
  std::vector<std::size_t> lengths;
  std::size_t n;           // when reason is null
  const char* reason;
};

class LengthRule : public ::testing::TestWithParam<LengthCase> {};

TEST_P(LengthRule, ResolvesOrFailsWithItsReason) {
  const LengthCase& c = GetParam();
  const Result<std::size_t> r = resolve_batch_len(c.lengths);
  if (c.reason == nullptr) {
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value(), c.n);
  } else {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
    EXPECT_STREQ(r.error().reason(), c.reason);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Batch, LengthRule,
    ::testing::Values(LengthCase{{1, 1, 1, 1}, 1, nullptr}, LengthCase{{1, 5, 1, 5}, 5, nullptr},
                      LengthCase{{5, 1}, 5, nullptr}, LengthCase{{0, 1, 1, 1}, 0, nullptr},
                      LengthCase{{0, 0}, 0, nullptr}, LengthCase{{5, 4}, 0, kMismatch},
                      LengthCase{{1, 1, 3, 4}, 0, kMismatch}, LengthCase{{0, 2}, 0, kEmpty},
                      LengthCase{{2, 0}, 0, kEmpty}, LengthCase{{0, 2, 3}, 0, kEmpty}));

// ---- The kernels, described uniformly ------------------------------------

using Views = std::array<InView, 6>;
using Args = std::array<double, 6>;
using Rng = std::mt19937_64;

double uniform(Rng& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

struct Kernel {
  const char* name;
  std::size_t arity;
  Status (*serial)(const Views&, bool, OutView);
  Status (*par)(const Views&, bool, OutView);
  Result<double> (*scalar)(const Args&, bool);
  Args (*valid)(Rng&);  // inputs the scalar operation accepts
};

Args black_args(Rng& r) {
  return {uniform(r, 50, 150), uniform(r, 50, 150), uniform(r, 0.01, 5), uniform(r, 0, 1)};
}
Args spot_args(Rng& r) {
  return {uniform(r, 50, 150), uniform(r, 50, 150), uniform(r, 0.01, 5),
          uniform(r, -0.1, 0.1), uniform(r, -0.1, 0.1), uniform(r, 0, 1)};
}
// A price inside its bounds, from the Black-76 price at a volatility.
Args iv_args(Rng& r) {
  const Args b = black_args(r);
  const double vol = uniform(r, 0.05, 1);
  return {black_price(true, b[0], b[1], b[2], vol).value_or(kNaN), b[0], b[1], b[2]};
}
Args niv_args(Rng& r) {
  const Args p = iv_args(r);
  return {p[0] / (std::sqrt(p[1]) * std::sqrt(p[2])), std::log(p[1]) - std::log(p[2])};
}

#define TARVIK_BLACK4(slice, scalar_call)                                                     \
  [](const Views& v, bool c, OutView o) { return slice(v[0], v[1], v[2], v[3], c, o); },      \
      [](const Views& v, bool c, OutView o) { return slice##_par(v[0], v[1], v[2], v[3], c, o); }, \
      [](const Args& a, bool c) { return scalar_call; }, black_args
#define TARVIK_GREEK(slice, op)                                                              \
  [](const Views& v, bool, OutView o) { return slice(v[0], v[1], v[2], v[3], o); },          \
      [](const Views& v, bool, OutView o) { return slice##_par(v[0], v[1], v[2], v[3], o); }, \
      [](const Args& a, bool) { return op(a[0], a[1], a[2], a[3]); }, black_args

const Kernel kKernels[] = {
    {"black_price", 4, TARVIK_BLACK4(black_price_slice, black_price(c, a[0], a[1], a[2], a[3]))},
    {"black_scholes_price", 6,
     [](const Views& v, bool c, OutView o) {
       return black_scholes_price_slice(v[0], v[1], v[2], v[3], v[4], v[5], c, o);
     },
     [](const Views& v, bool c, OutView o) {
       return black_scholes_price_slice_par(v[0], v[1], v[2], v[3], v[4], v[5], c, o);
     },
     [](const Args& a, bool c) { return black_scholes_price(c, a[0], a[1], a[2], a[3], a[4], a[5]); },
     spot_args},
    {"implied_volatility", 4,
     [](const Views& v, bool c, OutView o) {
       return implied_volatility_slice(v[0], v[1], v[2], v[3], c, o);
     },
     [](const Views& v, bool c, OutView o) {
       return implied_volatility_slice_par(v[0], v[1], v[2], v[3], c, o);
     },
     [](const Args& a, bool c) { return implied_volatility(a[0], a[1], a[2], a[3], c); }, iv_args},
    {"normalised_implied_volatility", 2,
     [](const Views& v, bool c, OutView o) { return normalised_implied_volatility_slice(v[0], v[1], c, o); },
     [](const Views& v, bool c, OutView o) {
       return normalised_implied_volatility_slice_par(v[0], v[1], c, o);
     },
     [](const Args& a, bool c) { return normalised_implied_volatility(a[0], a[1], c); }, niv_args},
    {"delta", 4, TARVIK_BLACK4(delta_slice, delta(c, a[0], a[1], a[2], a[3]))},
    {"gamma", 4, TARVIK_GREEK(gamma_slice, gamma)},
    {"vega", 4, TARVIK_GREEK(vega_slice, vega)},
    {"vanna", 4, TARVIK_GREEK(vanna_slice, vanna)},
    {"vomma", 4, TARVIK_GREEK(vomma_slice, vomma)},
};

// Column-major inputs for a kernel: one vector per parameter.
struct Batch {
  std::array<std::vector<double>, 6> columns;
  Views views() const {
    Views v;
    for (std::size_t k = 0; k < 6; ++k) v[k] = columns[k];
    return v;
  }
};

// n elements of valid inputs with about one in five made invalid in one
// position: a NaN, an infinity, a zero, a negative value or a price far out
// of bounds.
Batch mixed_batch(const Kernel& k, std::size_t n, Rng& rng) {
  static constexpr double kBad[] = {kNaN, kInf, -kInf, 0.0, -0.0, -1.0, 1e300, -1e-300};
  Batch b;
  for (std::size_t i = 0; i < n; ++i) {
    Args a = k.valid(rng);
    if (rng() % 5 == 0) a[rng() % k.arity] = kBad[rng() % std::size(kBad)];
    for (std::size_t j = 0; j < k.arity; ++j) b.columns[j].push_back(a[j]);
  }
  return b;
}

std::string param_name(const ::testing::TestParamInfo<Kernel>& info) { return info.param.name; }

class KernelTest : public ::testing::TestWithParam<Kernel> {};

// Element i equals the scalar operation on the picked inputs, and is the
// quiet NaN 0x7ff8000000000000 exactly where the scalar operation fails.
// The last input is broadcast, the others are full columns.
TEST_P(KernelTest, EqualsScalarOperationWithRejectedElementsAsNaN) {
  const Kernel& k = GetParam();
  Rng rng(12345);
  const std::size_t n = 2000;
  Batch b = mixed_batch(k, n, rng);
  const std::size_t broadcast = k.arity - 1;
  b.columns[broadcast].resize(1);
  for (const bool is_call : {true, false}) {
    std::vector<double> out(n, -7.0);
    ASSERT_FALSE(k.serial(b.views(), is_call, out));
    std::size_t valid = 0;
    for (std::size_t i = 0; i < n; ++i) {
      Args a{};
      for (std::size_t j = 0; j < k.arity; ++j) a[j] = b.columns[j][j == broadcast ? 0 : i];
      const Result<double> want = k.scalar(a, is_call);
      if (want.ok()) {
        ++valid;
        ASSERT_EQ(bits(out[i]), bits(want.value())) << k.name << " element " << i;
      } else {
        ASSERT_EQ(bits(out[i]), kNaNBits) << k.name << " element " << i;
      }
    }
    EXPECT_GT(valid, n / 4) << k.name << ": the scalar operation rejects valid inputs";
  }
}

TEST_P(KernelTest, ParallelEqualsSerialBitForBit) {
  const Kernel& k = GetParam();
  Rng rng(777);
  for (const std::size_t n : {0, 1, 63, 64, 65, 1000, 100003}) {
    const Batch b = mixed_batch(k, n, rng);
    for (const bool is_call : {true, false}) {
      std::vector<double> serial(n), par(n, -7.0);
      ASSERT_FALSE(k.serial(b.views(), is_call, serial));
      ASSERT_FALSE(k.par(b.views(), is_call, par));
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(par[i]), bits(serial[i])) << k.name << " n=" << n << " i=" << i;
      }
    }
  }
}

// Length errors come back from both forms before anything is written: the
// input rule first, then the output check.
TEST_P(KernelTest, LengthErrorsLeaveTheOutputUntouched) {
  const Kernel& k = GetParam();
  struct Case {
    std::size_t first_len, other_len, out_len;
    const char* reason;
  };
  for (const std::size_t scale : {1, 100}) {  // below and above the parallel threshold
    const Case cases[] = {
        {3 * scale, 1, 4 * scale, kOutput},
        {2 * scale, 3 * scale, 4 * scale, kMismatch},
        {0, 1, 1, kOutput},
        {0, 2 * scale, 0, kEmpty},
    };
    for (const Case& c : cases) {
      Batch b;
      b.columns[0].assign(c.first_len, 100.0);
      for (std::size_t j = 1; j < k.arity; ++j) b.columns[j].assign(c.other_len, 1.0);
      for (auto run : {k.serial, k.par}) {
        std::vector<double> out(c.out_len, -7.0);
        const Status s = run(b.views(), true, out);
        ASSERT_TRUE(s) << k.name;
        EXPECT_STREQ(s->reason(), c.reason) << k.name;
        for (const double v : out) ASSERT_EQ(v, -7.0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Batch, KernelTest, ::testing::ValuesIn(kKernels), param_name);

// All inputs broadcast: one element, the scalar result.
TEST(BatchBroadcast, ScalarsAloneGiveOneElement) {
  const double f = 100, k = 100, t = 1, v = 0.2;
  double out = 0;
  ASSERT_FALSE(black_price_slice({&f, 1}, {&k, 1}, {&t, 1}, {&v, 1}, true, {&out, 1}));
  EXPECT_EQ(bits(out), bits(black_price(true, f, k, t, v).value()));
}

// ---- Normal functions over runs ------------------------------------------

TEST(NormalSlices, SpecialValuesAndScalarAgreement) {
  std::vector<double> x = {kNaN, kInf, -kInf, 0.0};
  Rng rng(5);
  for (int i = 0; i < 1000; ++i) x.push_back(uniform(rng, -40, 40));
  struct Fn {
    Status (*slice)(InView, OutView);
    double (*scalar)(double);
    std::array<double, 4> special;
  };
  const Fn fns[] = {{norm_pdf_slice, norm_pdf, {kNaN, 0, 0, 0.3989422804014327}},
                    {norm_cdf_slice, norm_cdf, {kNaN, 1, 0, 0.5}},
                    {norm_cdf_c_slice, norm_cdf_c, {kNaN, 0, 1, 0.5}}};
  for (const Fn& f : fns) {
    std::vector<double> out(x.size());
    ASSERT_FALSE(f.slice(x, out));
    for (std::size_t i = 0; i < 4; ++i) {
      if (std::isnan(f.special[i])) {
        EXPECT_TRUE(std::isnan(out[i]));
      } else {
        EXPECT_EQ(out[i], f.special[i]);
      }
    }
    for (std::size_t i = 4; i < x.size(); ++i) ASSERT_EQ(bits(out[i]), bits(f.scalar(x[i])));

    std::vector<double> small(2, -7.0);
    const Status s = f.slice(InView(x).first(3), small);
    ASSERT_TRUE(s);
    EXPECT_STREQ(s->reason(), "input and output slices must have equal length");
    EXPECT_EQ(small, std::vector<double>(2, -7.0));
    EXPECT_FALSE(f.slice(InView(), OutView()));
  }
}

// ---- Worker pool -----------------------------------------------------------

TEST(WorkerPool, EveryIndexExactlyOnceOffTheCallingThread) {
  for (const std::size_t n : {2, 64, 65, 1000, 100003, 1 << 20}) {
    std::vector<std::atomic<int>> hits(n);
    std::atomic<bool> on_caller{false};
    const auto caller = std::this_thread::get_id();
    auto body = [&](std::size_t lo, std::size_t hi) {
      if (lo >= hi || hi > n) on_caller = true;  // an empty or out-of-range piece
      if (std::this_thread::get_id() == caller) on_caller = true;
      for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
    };
    ASSERT_FALSE(pool::run(n, pool::RangeFn(body)));
    EXPECT_FALSE(on_caller) << n;
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
  }
  EXPECT_GE(worker_pool_size(), 1u);
}

// Several threads outside the pool hand in batches at once.
TEST(WorkerPool, ConcurrentCallersEachGetTheirWholeBatch) {
  constexpr std::size_t kCallers = 6, kRounds = 50, kN = 5000;
  std::vector<std::vector<int>> hits(kCallers, std::vector<int>(kN));
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (std::size_t r = 0; r < kRounds; ++r) {
        auto body = [&](std::size_t lo, std::size_t hi) {
          for (std::size_t i = lo; i < hi; ++i) ++hits[c][i];
        };
        if (pool::run(kN, pool::RangeFn(body))) hits[c][0] = -1000000;
      }
    });
  }
  for (std::thread& t : callers) t.join();
  for (std::size_t c = 0; c < kCallers; ++c) {
    for (std::size_t i = 0; i < kN; ++i) ASSERT_EQ(hits[c][i], int(kRounds)) << c << " " << i;
  }
}

struct ParseCase {
  const char* text;
  std::optional<std::size_t> value;
};

class ThreadCountParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ThreadCountParse, AcceptsOnlyPlainUnsignedDecimals) {
  EXPECT_EQ(pool::parse_thread_count(GetParam().text), GetParam().value)
      << (GetParam().text ? GetParam().text : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(
    Batch, ThreadCountParse,
    ::testing::Values(ParseCase{"4", 4}, ParseCase{"+4", 4}, ParseCase{"0", 0},
                      ParseCase{"007", 7}, ParseCase{"18446744073709551615", SIZE_MAX},
                      ParseCase{"18446744073709551616", std::nullopt},
                      ParseCase{nullptr, std::nullopt}, ParseCase{"", std::nullopt},
                      ParseCase{"+", std::nullopt}, ParseCase{"++4", std::nullopt},
                      ParseCase{"-1", std::nullopt}, ParseCase{"-0", std::nullopt},
                      ParseCase{" 4", std::nullopt}, ParseCase{"4 ", std::nullopt},
                      ParseCase{"4x", std::nullopt}, ParseCase{"1e3", std::nullopt}));

TEST(ThreadCount, EnvironmentPrecedence) {
  struct Case {
    const char* num_threads;
    const char* num_cpus;
    std::size_t hardware, want;
  };
  const Case cases[] = {
      {nullptr, nullptr, 8, 8}, {"1", "3", 8, 1},     {"0", "3", 8, 8},
      {"x", "3", 8, 3},         {"x", nullptr, 8, 8}, {nullptr, "0", 8, 8},
      {nullptr, nullptr, 0, 1}, {"0", nullptr, 0, 1}, {"-2", "+5", 8, 5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pool::thread_count(c.num_threads, c.num_cpus, c.hardware), c.want)
        << (c.num_threads ? c.num_threads : "-") << " " << (c.num_cpus ? c.num_cpus : "-");
  }
}

// ---- Process-wide behaviour, each in a forked child -----------------------
//
// A forked child starts without a pool (the fork handler forgets the
// parent's), so each of these sees a fresh process as far as the pool goes.

// The child's exit code, or -1 if it has not exited after 30 seconds.
int in_child(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Exit code 0 when a parallel batch of n black prices succeeds and equals the
// serial one, 1 when it differs, 2 when it fails.
int parallel_matches_serial(std::size_t n) {
  std::vector<double> f(n), serial(n), par(n);
  for (std::size_t i = 0; i < n; ++i) f[i] = 50.0 + double(i % 100);
  const double k = 100, t = 1, v = 0.3;
  if (black_price_slice(f, {&k, 1}, {&t, 1}, {&v, 1}, true, serial)) return 2;
  if (black_price_slice_par(f, {&k, 1}, {&t, 1}, {&v, 1}, true, par)) return 2;
  return serial == par ? 0 : 1;
}

TEST(WorkerPoolProcess, ForkedChildStartsItsOwnPool) {
  ASSERT_EQ(parallel_matches_serial(1000), 0);
  ASSERT_GE(worker_pool_size(), 1u);
  EXPECT_EQ(in_child([] {
              if (worker_pool_size() != 0) return 3;
              return parallel_matches_serial(1000);
            }),
            0);
  EXPECT_EQ(parallel_matches_serial(1000), 0);  // the parent's pool still works
}

TEST(WorkerPoolProcess, CreatedOnlyByBatchesOfSixtyFourOrMore) {
  EXPECT_EQ(in_child([] {
              if (parallel_matches_serial(63) != 0 || worker_pool_size() != 0) return 1;
              if (parallel_matches_serial(64) != 0 || worker_pool_size() == 0) return 2;
              return 0;
            }),
            0);
}

TEST(WorkerPoolProcess, ThreadCountReadOnceFromTheEnvironment) {
  EXPECT_EQ(in_child([] {
              setenv("RAYON_NUM_THREADS", "3", 1);
              if (parallel_matches_serial(500) != 0 || worker_pool_size() != 3) return 1;
              setenv("RAYON_NUM_THREADS", "5", 1);
              if (parallel_matches_serial(500) != 0 || worker_pool_size() != 3) return 2;
              return 0;
            }),
            0);
  EXPECT_EQ(in_child([] {
              setenv("RAYON_NUM_THREADS", "1", 1);
              return parallel_matches_serial(100003) != 0 || worker_pool_size() != 1;
            }),
            0);
}

std::size_t virtual_memory_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// With the address space capped, only the first few of 64 worker stacks fit
// (glibc may reuse cached stacks of finished threads): the kernel reports the
// pool fault, writes nothing and creates no pool; once the cap is lifted the
// next batch starts the pool.
TEST(WorkerPoolProcess, ThreadsThatCannotStartGiveThePoolFault) {
  EXPECT_EQ(in_child([] {
              setenv("RAYON_NUM_THREADS", "64", 1);
              std::vector<double> f(1000, 100.0), out(1000, -7.0);
              const double k = 100, t = 1, v = 0.3;
              rlimit old{};
              getrlimit(RLIMIT_AS, &old);
              rlimit capped = old;
              capped.rlim_cur = virtual_memory_bytes() + (16u << 20);
              if (setrlimit(RLIMIT_AS, &capped) != 0) return 10;
              const Status s = black_price_slice_par(f, {&k, 1}, {&t, 1}, {&v, 1}, true, out);
              setrlimit(RLIMIT_AS, &old);
              if (!s || !is_worker_pool_fault(*s)) return 1;
              if (std::string(s->reason()) != "The global thread pool has not been initialized.")
                return 2;
              if (out != std::vector<double>(1000, -7.0) || worker_pool_size() != 0) return 3;
              if (parallel_matches_serial(1000) != 0 || worker_pool_size() != 64) return 4;
              return 0;
            }),
            0);
}

}  // namespace
}  // namespace tarvik
