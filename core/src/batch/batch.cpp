// The batch length rule and the choice between the calling thread and the
// worker pool.
#include <algorithm>
#include <chrono>
#include <thread>

#include "batch/run.hpp"
#include "batch/stop.hpp"
#include "tarvik/batch.hpp"

namespace tarvik {

Result<std::size_t> resolve_batch_len(std::span<const std::size_t> lengths) {
  bool any_empty = false;
  bool any_long = false;
  for (const std::size_t len : lengths) {
    any_empty = any_empty || len == 0;
    any_long = any_long || len >= 2;
  }
  // An empty input only combines with broadcast scalars; this test comes
  // before the mismatch test, so (0, 2, 3) reports the empty input.
  if (any_empty) {
    if (any_long)
      return IVError::invalid_input("empty input slice is only valid for an empty batch");
    return std::size_t{0};
  }
  // Every length is at least 1: the first one other than 1 is n.
  std::size_t n = 1;
  for (const std::size_t len : lengths) {
    if (len == 1) continue;
    if (n == 1) {
      n = len;
    } else if (len != n) {
      return IVError::invalid_input("slice length mismatch: inputs must be length 1 or n");
    }
  }
  return n;
}

namespace batch {

Status check_output_len(std::size_t n, std::size_t output_len) {
  if (output_len != n) {
    return IVError::invalid_input("output slice length must equal the resolved batch length");
  }
  return std::nullopt;
}

namespace {

void run_on(bool parallel, std::size_t n, pool::RangeFn body, const pool::WaitFn* waiting) {
  if (parallel) {
    pool::run(n, body, waiting);
  } else if (n > 0) {
    // Small batches stay on the calling thread and never create the pool.
    body(0, n);
  }
}

// What stop_requested looks at on a thread that runs a batch's slices: the
// interrupt, and on the calling thread the batch's own rate-limited poll.
struct Watch {
  const Interrupt& interrupt;
  void (*poll)(void*);  // null on the pool's threads
  void* ctx;
};
thread_local const Watch* watch = nullptr;

class Watching {
 public:
  explicit Watching(const Watch& w) : outer_(watch) { watch = &w; }
  ~Watching() { watch = outer_; }
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;

 private:
  const Watch* outer_;
};

// A batch that may be interrupted, slice by slice. The interrupt is asked on
// this thread only: between its slices and while it waits for the pool, once
// a period has passed since the last time (or the start, so that a batch
// shorter than a period never asks). Kept out of line, away from the short
// batches' path.
[[gnu::noinline]] void run_sliced(bool parallel, std::size_t n, pool::RangeFn body,
                                  Interrupt& interrupt, std::size_t slice) {
  using Clock = std::chrono::steady_clock;
  const std::chrono::milliseconds period(Interrupt::kPollPeriodMs);
  const std::thread::id caller = std::this_thread::get_id();
  Clock::time_point next = Clock::now() + period;
  auto poll = [&] {
    if (Clock::now() < next) return;
    interrupt.poll();
    next = Clock::now() + period;
  };
  constexpr auto ask = [](void* p) { (*static_cast<decltype(poll)*>(p))(); };
  auto sliced = [&](std::size_t lo, std::size_t hi) {
    const bool on_caller = std::this_thread::get_id() == caller;
    const Watch w{interrupt, on_caller ? +ask : nullptr, &poll};
    const Watching watching(w);
    for (std::size_t start = lo; start < hi && !interrupt.stopped(); start += slice) {
      body(start, start + std::min(slice, hi - start));
      if (on_caller) poll();
    }
  };
  const pool::WaitFn waiting(poll, period);
  run_on(parallel, n, pool::RangeFn(sliced, body.grain(), body.wake(), body.most()), &waiting);
}

}  // namespace

bool stop_requested() {
  const Watch* w = watch;
  if (w == nullptr) return false;
  if (w->poll != nullptr) w->poll(w->ctx);
  return w->interrupt.stopped();
}

void for_each_range(Exec exec, std::size_t n, pool::RangeFn body, Interrupt* interrupt,
                    std::size_t slice) {
  const bool parallel = exec == Exec::Parallel && n >= kParallelThreshold;
  if (interrupt != nullptr && n > slice) {
    run_sliced(parallel, n, body, *interrupt, slice);
  } else {
    run_on(parallel, n, body, nullptr);
  }
}

}  // namespace batch
}  // namespace tarvik
