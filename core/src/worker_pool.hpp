// The process-wide worker pool behind the parallel batch kernels, and the
// thread-count rule it is created with.
#pragma once

#include <cstddef>
#include <optional>

#include "tarvik/errors.hpp"

namespace tarvik::pool {

// A non-owning reference to a callable invoked on index ranges [lo, hi).
// The callable must outlive every call made through the reference.
class RangeFn {
 public:
  template <class F>
  explicit RangeFn(F& f)
      : ctx_(&f), call_([](void* ctx, std::size_t lo, std::size_t hi) {
          (*static_cast<F*>(ctx))(lo, hi);
        }) {}

  void operator()(std::size_t lo, std::size_t hi) const { call_(ctx_, lo, hi); }

 private:
  void* ctx_;
  void (*call_)(void*, std::size_t, std::size_t);
};

// Calls `body` on disjoint ranges that together cover [0, n) exactly once,
// spread over the worker pool by recursive halving, and returns when every
// call has returned. The pool is created on the first call. The only error is
// the worker-pool fault (the pool's threads could not be started); `body` has
// then not been called.
Status run(std::size_t n, RangeFn body);

// Parses an unsigned decimal thread count: an optional leading '+', then one
// or more digits and nothing else (no blanks, no '-'), not overflowing size_t.
// Nothing for a missing or malformed text.
std::optional<std::size_t> parse_thread_count(const char* text);

// The pool's thread count from the texts of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (null when unset) and the hardware thread count (0 when
// unknown): a positive RAYON_NUM_THREADS wins and 0 there means the hardware
// count without looking further; otherwise a positive RAYON_RS_NUM_CPUS;
// otherwise the hardware count, and 1 if that is unknown.
std::size_t thread_count(const char* num_threads, const char* num_cpus, std::size_t hardware);

// The number of hardware threads this process may run on (its CPU affinity
// where the system reports one), or 0 when unknown.
std::size_t hardware_threads();

}  // namespace tarvik::pool
