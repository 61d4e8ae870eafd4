// Batch evaluation below the Python layer: the output check of the kernels,
// the worker pool and the parsing of its thread count. The length rule,
// agreement of every kernel with its scalar operation, parallel against
// serial, and the pool's process-wide behaviour (the thread count from the
// environment among it) are tested through the Python functions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "../src/worker_pool.hpp"
#include "tarvik/simd.hpp"
#include "tarvik/parallel.hpp"
#include "tarvik/vector.hpp"

namespace tarvik {
namespace {

constexpr const char* kEmpty = "empty input slice is only valid for an empty batch";
constexpr const char* kMismatch = "slice length mismatch: inputs must be length 1 or n";
constexpr const char* kOutput = "output slice length must equal the resolved batch length";

// Length errors come back from both forms before anything is written: the
// input rule first, then the output check; below and above the parallel
// threshold.
TEST(BatchKernel, LengthErrorsLeaveTheOutputUntouched) {
  struct Case {
    std::size_t forwards, others, out;
    const char* reason;
  };
  for (const std::size_t scale : {1, 100}) {
    for (const Case& c : {Case{3 * scale, 1, 4 * scale, kOutput},
                          Case{2 * scale, 3 * scale, 4 * scale, kMismatch}, Case{0, 1, 1, kOutput},
                          Case{0, 2 * scale, 0, kEmpty}}) {
      const std::vector<double> f(c.forwards, 100.0), other(c.others, 1.0);
      for (auto kernel : {black_price_slice, black_price_slice_par}) {
        std::vector<double> out(c.out, -7.0);
        const Status s = kernel(f, other, other, other, true, out);
        ASSERT_TRUE(s);
        EXPECT_STREQ(s->reason(), c.reason);
        EXPECT_EQ(out, std::vector<double>(c.out, -7.0));
      }
    }
  }
  std::vector<double> x(3, 0.0), small(2, -7.0);
  for (auto kernel : {norm_pdf_slice, norm_cdf_slice, norm_cdf_c_slice}) {
    const Status s = kernel(x, small);
    ASSERT_TRUE(s);
    EXPECT_STREQ(s->reason(), "input and output slices must have equal length");
    EXPECT_EQ(small, std::vector<double>(2, -7.0));
  }
}

// Several threads outside the pool hand in batches at once; each index of
// each batch is visited exactly once, never on the calling thread and never
// in an empty or out-of-range piece.
TEST(WorkerPool, EveryIndexExactlyOnceOffTheCallingThread) {
  std::atomic<int> faults{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (const std::size_t n : {2, 64, 65, 1000, 5000, 100003, 1 << 20}) {
        std::vector<std::atomic<int>> hits(n);
        const auto caller = std::this_thread::get_id();
        auto body = [&](std::size_t lo, std::size_t hi) {
          if (lo >= hi || hi > n || std::this_thread::get_id() == caller) ++faults;
          for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
        };
        if (pool::run(n, pool::RangeFn(body))) ++faults;
        for (std::size_t i = 0; i < n; ++i) {
          if (hits[i].load() != 1) ++faults;
        }
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_GE(worker_pool_size(), 1u);
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

}  // namespace
}  // namespace tarvik
