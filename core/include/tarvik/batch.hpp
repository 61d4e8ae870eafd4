// Batch evaluation: one operation of the core over whole runs of inputs, on
// the calling thread or on the worker pool, with the same bits either way.
//
// An input is a run of float64 values of length 1 (its one value stands for
// every element) or the batch length n; option types likewise, one byte
// each. A batch never fails because of an element's value: an element the
// scalar operation rejects is the quiet NaN (or, for the error codes, the
// kind of that rejection). Only the length rule fails a batch, before any
// element is written.
//
// The element computations live in batch_ops.hpp; a kernel is
// run<Op>(inputs, exec, out) for one of them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "tarvik/detail/worker_pool.hpp"
#include "tarvik/errors.hpp"

namespace tarvik {

// A read-only run of float64 values where they lie in memory, aligned or
// not: every value is read through memcpy, so a buffer at any byte offset
// is read without undefined behaviour and with the same bits.
class InView {
 public:
  InView() = default;
  InView(const void* data, std::size_t size)
      : bytes_(static_cast<const unsigned char*>(data)), size_(size) {}
  InView(std::span<const double> values) : InView(values.data(), values.size()) {}

  std::size_t size() const { return size_; }
  const unsigned char* bytes() const { return bytes_; }
  double operator[](std::size_t i) const {
    double v;
    std::memcpy(&v, bytes_ + i * sizeof(double), sizeof v);
    return v;
  }

 private:
  const unsigned char* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// Option types, one byte per element: nonzero for a call.
class FlagView {
 public:
  FlagView() = default;
  FlagView(const std::uint8_t* data, std::size_t size) : bytes_(data), size_(size) {}
  // One option type for every element.
  static FlagView all(bool is_call) { return {is_call ? &kCall : &kPut, 1}; }

  std::size_t size() const { return size_; }
  const std::uint8_t* bytes() const { return bytes_; }
  bool operator[](std::size_t i) const { return bytes_[i] != 0; }

 private:
  static constexpr std::uint8_t kCall = 1;
  static constexpr std::uint8_t kPut = 0;
  const std::uint8_t* bytes_ = &kCall;
  std::size_t size_ = 1;
};

using OutView = std::span<double>;

// Serial runs on the calling thread; Parallel spreads batches of
// kParallelThreshold elements or more over the worker pool while the caller
// waits. No result depends on the choice.
enum class Exec { Serial, Parallel };
inline constexpr std::size_t kParallelThreshold = 64;

// The batch length n from the input lengths, in parameter order: a length 0
// only with lengths 0 and 1 (n = 0), else every length other than 1 equal.
Result<std::size_t> resolve_batch_len(std::span<const std::size_t> lengths);

namespace batch {

// The quiet NaN written for an element that the scalar operation rejects.
inline constexpr double kRejected = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

// The error code of an element: 0 for none, else 1 + the ErrorKind.
inline constexpr std::int8_t kNoError = 0;
constexpr std::int8_t error_code(ErrorKind kind) { return static_cast<std::int8_t>(kind) + 1; }

// The inputs of one batch once the length rule has passed: element i of
// input k, and the option type of element i, each read in place (a length-1
// input at element 0 for every i).
template <std::size_t N>
class Inputs {
 public:
  // The length rule over the values and the option types (after them).
  static Result<Inputs> make(const std::array<InView, N>& values,
                             FlagView is_call = FlagView::all(true)) {
    std::array<std::size_t, N + 1> lengths;
    for (std::size_t k = 0; k < N; ++k) lengths[k] = values[k].size();
    lengths[N] = is_call.size();
    const Result<std::size_t> n = resolve_batch_len(lengths);
    if (!n) return n.error();
    Inputs in;
    in.n_ = n.value();
    for (std::size_t k = 0; k < N; ++k) {
      in.bytes_[k] = values[k].bytes();
      in.step_[k] = values[k].size() == 1 ? 0 : sizeof(double);
    }
    in.flags_ = is_call.bytes();
    in.flag_step_ = is_call.size() == 1 ? 0 : 1;
    return in;
  }

  std::size_t size() const { return n_; }
  double value(std::size_t k, std::size_t i) const {
    double v;
    std::memcpy(&v, bytes_[k] + i * step_[k], sizeof v);
    return v;
  }
  bool is_call(std::size_t i) const { return flags_[i * flag_step_] != 0; }
  // The memory of input k where it lies.
  const unsigned char* bytes(std::size_t k) const { return bytes_[k]; }
  // Whether input k is one value broadcast to every element.
  bool broadcast(std::size_t k) const { return step_[k] == 0; }
  bool broadcast_option_type() const { return flag_step_ == 0; }

 private:
  std::size_t n_ = 0;
  std::array<const unsigned char*, N> bytes_{};
  std::array<std::size_t, N> step_{};
  const std::uint8_t* flags_ = nullptr;
  std::size_t flag_step_ = 0;
};

// A piece handed to another thread carries at least this much work, counted
// in elements of the cheapest operations (a Greek, a price: some 40 ns each):
// a smaller one costs more to hand over than it saves.
inline constexpr std::size_t kMinPieceWork = 256;

// The least number of elements of an operation whose elements cost `work`
// such units that is worth a piece of its own.
constexpr std::size_t grain_of(std::size_t work) { return (kMinPieceWork + work - 1) / work; }

// A sleeping worker is woken for a piece of at least this much work (some
// 300 microseconds): on a virtual machine its wake-up can cost the batch
// tens of microseconds, and now and then more.
inline constexpr std::size_t kWakeWork = 32 * kMinPieceWork;

// Calls body(lo, hi) on disjoint ranges covering [0, n) exactly once: on this
// thread, or for a parallel batch of kParallelThreshold or more on the worker
// pool (created on first use) while this thread waits, in pieces no smaller
// than the body's grain, and on this thread alone when the batch holds less
// than two of them. Throws pool::PoolUnavailable when the pool's threads
// cannot start.
void for_each_range(Exec exec, std::size_t n, pool::RangeFn body);

// Fails unless the output has the batch length.
Status check_output_len(std::size_t n, std::size_t output_len);

// ---- The element loops (kinds of Op: see batch_ops.hpp) -------------------

template <class Op>
concept Planned = requires { typename Op::Plan; };

// An Op that makes the plans of a run itself (from the terms of the whole
// run), rather than element by element.
template <class Op, std::size_t N>
concept RunPlanned = requires(const typename Op::Prepared& p, const Inputs<N>& in,
                              typename Op::Plan* plans) { Op::make_plans(p, in, 0, 0, plans); };

// An Op that evaluates a run of up to Op::kRun elements at once.
template <class Op, std::size_t N>
concept RunStaged = requires(const typename Op::Prepared& p, const Inputs<N>& in, double* out) {
  Op::evaluate_run(p, in, 0, 0, out);
};

// The run of elements whose plans are made before any of their erfc calls.
inline constexpr std::size_t kPlanRun = 128;

// A blocked Op evaluates whole blocks of up to Op::kBlock elements at once
// (the lane kernels): each block's picked inputs and option types are
// gathered into aligned scratch, a broadcast input repeated.
template <class Op>
concept Blocked = requires { Op::kBlock; };

// The grain of Op's pieces; for a blocked Op a multiple of half its block
// (shorter blocks run slower, and longer pieces would leave a late thread's
// share too large to be taken back).
template <class Op>
constexpr std::size_t piece_grain() {
  const std::size_t grain = grain_of(Op::kWork);
  if constexpr (Blocked<Op>) {
    constexpr std::size_t half = Op::kBlock / 2;
    return (grain + half - 1) / half * half;
  } else {
    return grain;
  }
}
constexpr std::size_t wake_of(std::size_t work) { return (kWakeWork + work - 1) / work; }

template <class Op, std::size_t N, std::size_t... K>
void evaluate_blocked(const Inputs<N>& in, double* out, std::size_t lo, std::size_t hi,
                      std::index_sequence<K...>) {
  alignas(64) double values[N][Op::kBlock];
  alignas(64) std::uint8_t calls[Op::kBlock];
  for (std::size_t start = lo; start < hi; start += Op::kBlock) {
    const std::size_t len = std::min(Op::kBlock, hi - start);
    for (std::size_t k = 0; k < N; ++k) {
      if (in.broadcast(k)) {
        std::fill_n(values[k], len, in.value(k, 0));
      } else {
        std::memcpy(values[k], &in.bytes(k)[start * sizeof(double)], len * sizeof(double));
      }
    }
    for (std::size_t j = 0; j < len; ++j) calls[j] = in.is_call(start + j) ? 1 : 0;
    Op::block(values[K]..., calls, len, out + start);
  }
}

template <class Op, std::size_t N, std::size_t... K>
void evaluate(const Inputs<N>& in, double* out, std::size_t lo, std::size_t hi,
              std::index_sequence<K...> seq) {
  if constexpr (Blocked<Op>) {
    evaluate_blocked<Op>(in, out, lo, hi, seq);
    return;
  }
  const typename Op::Prepared prepared(in);
  if constexpr (Planned<Op>) {
    // Staged: each run in three passes (plans, their erfc calls, prices), so
    // that consecutive elements overlap instead of waiting on the long
    // dependent chain of each one.
    std::array<typename Op::Plan, kPlanRun> plans;
    std::array<typename Op::Erfcs, kPlanRun> erfcs;
    for (std::size_t run = lo; run < hi; run += kPlanRun) {
      const std::size_t len = std::min(kPlanRun, hi - run);
      if constexpr (RunPlanned<Op, N>) {
        Op::make_plans(prepared, in, run, len, plans.data());
      } else {
        for (std::size_t j = 0; j < len; ++j) {
          plans[j] = Op::plan_or_rejected(prepared, in.value(K, run + j)..., in.is_call(run + j));
        }
      }
      for (std::size_t j = 0; j < len; ++j) erfcs[j] = plans[j].erfcs();
      for (std::size_t j = 0; j < len; ++j) out[run + j] = plans[j].price(erfcs[j]);
    }
  } else if constexpr (RunStaged<Op, N>) {
    for (std::size_t run = lo; run < hi; run += Op::kRun) {
      Op::evaluate_run(prepared, in, run, std::min(Op::kRun, hi - run), out + run);
    }
  } else {
    for (std::size_t i = lo; i < hi; ++i) {
      const auto r = Op::element(prepared, in.value(K, i)..., in.is_call(i));
      out[i] = r.ok() ? r.value() : kRejected;
    }
  }
}

template <class Op, std::size_t N, std::size_t... K>
void evaluate_codes(const Inputs<N>& in, std::int8_t* out, std::size_t lo, std::size_t hi,
                    std::index_sequence<K...>) {
  const typename Op::Prepared prepared(in);
  for (std::size_t i = lo; i < hi; ++i) {
    const auto r = Op::element(prepared, in.value(K, i)..., in.is_call(i));
    out[i] = r.ok() ? kNoError : error_code(r.error().kind());
  }
}

// ---- Kernels --------------------------------------------------------------

// Writes element i of operation Op for every i < n: into doubles its value,
// or the quiet NaN where the scalar operation rejects the inputs; into int8
// its error code, what the scalar operation would report (0 for a value).
template <class Op, std::size_t N, class T>
Status run_into(const Inputs<N>& in, Exec exec, std::span<T> out) {
  static_assert(Op::kInputs == N);
  if (Status err = check_output_len(in.size(), out.size())) return err;
  auto body = [&](std::size_t lo, std::size_t hi) {
    if constexpr (std::is_same_v<T, std::int8_t>) {
      evaluate_codes<Op>(in, out.data(), lo, hi, std::make_index_sequence<N>{});
    } else {
      evaluate<Op>(in, out.data(), lo, hi, std::make_index_sequence<N>{});
    }
  };
  for_each_range(exec, in.size(), pool::RangeFn(body, piece_grain<Op>(), wake_of(Op::kWork)));
  return std::nullopt;
}

template <class Op, std::size_t N>
Status run(const Inputs<N>& in, Exec exec, OutView out) {
  return run_into<Op>(in, exec, out);
}

template <class Op, std::size_t N>
Status run(const Inputs<N>& in, Exec exec, std::span<std::int8_t> codes) {
  return run_into<Op>(in, exec, codes);
}

}  // namespace batch
}  // namespace tarvik
