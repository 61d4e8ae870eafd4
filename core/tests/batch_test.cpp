// Batch evaluation below the Python layer: the output check of the kernels,
// the worker pool, the interrupt of a long batch and the parsing of the
// pool's thread count. The length rule, agreement of every kernel with its
// scalar operation, parallel against serial, and the pool's process-wide
// behaviour (the thread count from the environment among it) are tested
// through the Python functions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "batch/run.hpp"
#include "batch/stop.hpp"
#include "tarvik/batch.hpp"
#include "batch/ops.hpp"
#include "batch/worker_pool.hpp"

namespace tarvik {
namespace {

constexpr const char* kEmpty = "empty input slice is only valid for an empty batch";
constexpr const char* kMismatch = "slice length mismatch: inputs must be length 1 or n";
constexpr const char* kOutput = "output slice length must equal the resolved batch length";

// Length errors come back before anything is written: the input rule (with
// the option types after the values) first, then the output check; serial
// and parallel, below and above the parallel threshold.
TEST(BatchKernel, LengthErrorsLeaveTheOutputUntouched) {
  struct Case {
    std::size_t forwards, others, flags, out;
    const char* reason;
  };
  const std::vector<std::uint8_t> calls(400, 1);
  for (const std::size_t scale : {1, 100}) {
    for (const Case& c :
         {Case{3 * scale, 1, 1, 4 * scale, kOutput},
          Case{2 * scale, 3 * scale, 1, 4 * scale, kMismatch},
          Case{2 * scale, 1, 3 * scale, 2 * scale, kMismatch}, Case{0, 1, 1, 1, kOutput},
          Case{0, 2 * scale, 1, 0, kEmpty}, Case{0, 1, 2, 0, kEmpty}}) {
      const std::vector<double> f(c.forwards, 100.0), other(c.others, 1.0);
      for (const Exec exec : {Exec::Serial, Exec::Parallel}) {
        std::vector<double> out(c.out, -7.0);
        const InView o{std::span<const double>(other)};
        const auto in = batch::Inputs<4>::make({{InView(std::span<const double>(f)), o, o, o}},
                                               FlagView(calls.data(), c.flags));
        const Status s = in ? batch::run<ops::BlackPrice>(in.value(), exec, out) : in.error();
        ASSERT_TRUE(s);
        EXPECT_STREQ(s->reason(), c.reason);
        EXPECT_EQ(out, std::vector<double>(c.out, -7.0));
      }
    }
  }
}

// Several threads outside the pool hand in batches at once (each computing
// its share with the workers); each index of each batch is visited exactly
// once, in non-empty ranges no smaller than the grain (but for a batch below
// two grains, which runs whole) and, where the body caps them, no longer
// than its longest piece.
TEST(WorkerPool, EveryIndexExactlyOnce) {
  std::atomic<int> faults{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      const std::size_t grain = c % 2 == 0 ? 1 : 256;
      const std::size_t most = c < 2 ? SIZE_MAX : 3 * grain;
      for (const std::size_t n : {2, 64, 65, 1000, 5000, 100003, 1 << 20}) {
        std::vector<std::atomic<int>> hits(n);
        auto body = [&](std::size_t lo, std::size_t hi) {
          if (lo >= hi || hi > n || (hi - lo < grain && n >= 2 * grain)) ++faults;
          if (hi - lo > most && n >= 2 * grain) ++faults;
          for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
        };
        pool::run(n, pool::RangeFn(body, grain, 1, most));
        for (std::size_t i = 0; i < n; ++i) {
          if (hits[i].load() != 1) ++faults;
        }
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_GE(pool::size(), 1u);
}

// A batch with an interrupt, a millisecond per index: the interrupt is asked
// on the calling thread only, never within the first period (a 20 ms batch
// never), and once it says stop no further slice begins, so the batch returns
// with most indices never visited; without a stop each is visited once.
TEST(BatchInterrupt, StopsAtTheNextSliceAndAsksOnlyTheCaller) {
  const std::thread::id caller = std::this_thread::get_id();
  struct Case {
    std::size_t n;
    int stop_at;  // the ask that says stop (0: none)
    bool stops;
  };
  for (const Exec exec : {Exec::Serial, Exec::Parallel}) {
    for (const Case c : {Case{300, 0, false}, Case{20000, 2, true}, Case{20, 1, false}}) {
      std::vector<std::atomic<int>> hits(c.n);
      auto body = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
          hits[i].fetch_add(1, std::memory_order_relaxed);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      };
      int polls = 0;
      auto poll = [&] { return std::this_thread::get_id() != caller || ++polls == c.stop_at; };
      Interrupt interrupt(poll);
      batch::for_each_range(exec, c.n, pool::RangeFn(body), &interrupt, 1);
      std::size_t visited = 0;
      for (std::size_t i = 0; i < c.n; ++i) visited += static_cast<std::size_t>(hits[i].load());
      EXPECT_EQ(interrupt.stopped(), c.stops);
      EXPECT_TRUE(c.stops ? visited < c.n / 2 && polls == c.stop_at : visited == c.n);
    }
  }
}

// Elements that run for seconds look at the batch themselves
// (stop_requested): once the caller's poll says stop, every element in
// progress, on the caller and on the pool, ends at its next look, and no
// other begins; outside a batch, before and after it, nothing is stopped.
TEST(BatchInterrupt, LongElementsSeeTheStopOnEveryThread) {
  const std::thread::id caller = std::this_thread::get_id();
  for (const Exec exec : {Exec::Serial, Exec::Parallel}) {
    constexpr std::size_t n = 128;
    std::atomic<int> begun{0}, ended_by_stop{0};
    auto body = [&](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) {
        begun.fetch_add(1);
        for (int k = 0; k < 20000; ++k) {  // some 20 s unless stopped
          if (batch::stop_requested()) {
            ended_by_stop.fetch_add(1);
            break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    };
    int polls = 0;
    auto poll = [&] { return std::this_thread::get_id() != caller || ++polls == 2; };
    Interrupt interrupt(poll);
    EXPECT_FALSE(batch::stop_requested());
    batch::for_each_range(exec, n, pool::RangeFn(body), &interrupt, 1);
    EXPECT_FALSE(batch::stop_requested());
    EXPECT_TRUE(interrupt.stopped());
    EXPECT_EQ(polls, 2);
    EXPECT_GE(begun.load(), 1);
    EXPECT_LT(begun.load(), static_cast<int>(n));
    EXPECT_EQ(ended_by_stop.load(), begun.load());
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
    ::testing::Values(ParseCase{"4", 4}, ParseCase{"+4", 4}, ParseCase{"0", 0}, ParseCase{"007", 7},
                      ParseCase{"18446744073709551615", SIZE_MAX},
                      ParseCase{"18446744073709551616", std::nullopt},
                      ParseCase{nullptr, std::nullopt}, ParseCase{"", std::nullopt},
                      ParseCase{"+", std::nullopt}, ParseCase{"++4", std::nullopt},
                      ParseCase{"-1", std::nullopt}, ParseCase{"-0", std::nullopt},
                      ParseCase{" 4", std::nullopt}, ParseCase{"4 ", std::nullopt},
                      ParseCase{"4x", std::nullopt}, ParseCase{"1e3", std::nullopt}));

}  // namespace
}  // namespace tarvik
