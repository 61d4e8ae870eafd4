// The process-wide worker pool behind the parallel batch kernels, and the
// thread-count rule it is created with.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>

namespace tarvik::pool {

// A non-owning reference to a callable invoked on index ranges [lo, hi),
// with the least range worth handing to another thread (its grain: ranges
// are cut at multiples of it), the least range worth waking a sleeping
// worker for, and the longest range run whole (longer ones are always split,
// so that no thread is left alone with a long piece at the end of a batch of
// costly elements). The callable must outlive every call made through the
// reference.
class RangeFn {
 public:
  template <class F>
  explicit RangeFn(F& f, std::size_t grain = 1, std::size_t wake = 1,
                   std::size_t most = static_cast<std::size_t>(-1))
      : ctx_(&f),
        call_([](void* ctx, std::size_t lo, std::size_t hi) { (*static_cast<F*>(ctx))(lo, hi); }),
        grain_(grain < 1 ? 1 : grain),
        wake_(wake < grain_ ? grain_ : wake),
        most_(most < grain_ ? grain_ : most) {}

  void operator()(std::size_t lo, std::size_t hi) const { call_(ctx_, lo, hi); }
  std::size_t grain() const { return grain_; }
  std::size_t wake() const { return wake_; }
  std::size_t most() const { return most_; }

 private:
  void* ctx_;
  void (*call_)(void*, std::size_t, std::size_t);
  std::size_t grain_;
  std::size_t wake_;
  std::size_t most_;
};

// What the thread that hands in a batch does while it waits for other
// threads to finish their pieces: a call, made on that thread with none of
// the pool's locks held, about every `period` (a caller that must keep an eye
// on something else meanwhile, such as a signal's arrival). Non-owning, as
// RangeFn.
class WaitFn {
 public:
  template <class F>
  WaitFn(F& f, std::chrono::milliseconds period)
      : ctx_(&f), call_([](void* ctx) { (*static_cast<F*>(ctx))(); }), period_(period) {}

  void operator()() const { call_(ctx_); }
  std::chrono::milliseconds period() const { return period_; }

 private:
  void* ctx_;
  void (*call_)(void*);
  std::chrono::milliseconds period_;
};

// The internal fault of a pool whose threads cannot be started: nothing has
// been computed, and the next parallel batch tries to start the pool again.
class PoolUnavailable : public std::runtime_error {
 public:
  PoolUnavailable() : std::runtime_error("The global thread pool has not been initialized.") {}
};

// Calls `body` on disjoint ranges that together cover [0, n) exactly once,
// spread over the worker pool by recursive halving (never below the grain,
// each left half a multiple of it),
// and returns when every call has returned. The pool is created on the first
// call; throws PoolUnavailable (before calling `body`) if its threads cannot
// be started. While the calling thread waits for pieces that other threads
// took, it calls `waiting` (when given) about every waiting->period().
void run(std::size_t n, RangeFn body, const WaitFn* waiting = nullptr);

// Creates the pool if it does not exist yet (the same fault as run).
void start();

// The thread count of the process's pool, or 0 while it does not exist.
std::size_t size();

// Parses an unsigned decimal thread count: an optional leading '+', then one
// or more digits and nothing else (no blanks, no '-'), not overflowing size_t.
// Nothing for a missing or malformed text.
std::optional<std::size_t> parse_thread_count(const char* text);

// The pool's thread count from the texts of TARVIK_NUM_THREADS,
// RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (null when unset) and the hardware
// thread count (0 when unknown): a well-formed TARVIK_NUM_THREADS wins, 0
// there meaning the hardware count; otherwise a well-formed
// RAYON_NUM_THREADS, 0 there likewise; otherwise a positive
// RAYON_RS_NUM_CPUS; otherwise the hardware count, and 1 if that is unknown.
std::size_t thread_count(const char* tarvik_threads, const char* num_threads, const char* num_cpus,
                         std::size_t hardware);

// The number of hardware threads this process may run on (its CPU affinity
// where the system reports one), or 0 when unknown.
std::size_t hardware_threads();

}  // namespace tarvik::pool
