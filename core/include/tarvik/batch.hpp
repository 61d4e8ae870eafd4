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
// The operations are declared in batch/ops.hpp (private to the core, its
// tests, the extension and the benchmarks); a kernel is run<Op>(inputs,
// exec, out) for one of them, defined and instantiated in the core for every
// operation declared there.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "tarvik/dividends.hpp"
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

// A caller's way to stop a long batch early (on a signal's arrival, say).
// A batch of some length checks `poll` on the thread that called it, never
// on another, about every kPollPeriod of its work (a shorter batch never),
// between pieces and while it waits for the worker pool. Once poll returns
// true it is not asked again: the batch skips what has not begun (each thread
// finishes the piece it is in, a millisecond or a few elements) and returns,
// its output partly written, and stopped() holds. Non-owning: `poll` must
// outlive the batch.
class Interrupt {
 public:
  static constexpr unsigned kPollPeriodMs = 100;

  template <class F>
  explicit Interrupt(F& poll)
      : ctx_(&poll), poll_([](void* ctx) noexcept {
          try {
            return static_cast<bool>((*static_cast<F*>(ctx))());
          } catch (...) {
            return true;  // a poll that fails stops the batch
          }
        }) {}
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // Asks poll once, unless it has already said stop; whether to stop.
  bool poll() {
    if (!stopped()) {
      if (poll_(ctx_)) stopped_.store(true, std::memory_order_relaxed);
    }
    return stopped();
  }
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  void* ctx_;
  bool (*poll_)(void*) noexcept;
  std::atomic<bool> stopped_{false};
};

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
// input at element 0 for every i), and the dividend schedule that every
// element shares (empty for the operations without one).
template <std::size_t N>
class Inputs {
 public:
  // The length rule over the values and the option types (after them).
  static Result<Inputs> make(const std::array<InView, N>& values,
                             FlagView is_call = FlagView::all(true),
                             DividendSchedule schedule = {}) {
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
    in.schedule_ = schedule;
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
  const DividendSchedule& schedule() const { return schedule_; }

 private:
  std::size_t n_ = 0;
  std::array<const unsigned char*, N> bytes_{};
  std::array<std::size_t, N> step_{};
  const std::uint8_t* flags_ = nullptr;
  std::size_t flag_step_ = 0;
  DividendSchedule schedule_;
};

// ---- Kernels --------------------------------------------------------------

// Writes element i of operation Op (batch/ops.hpp) for every i < n: its
// value, or the quiet NaN where the scalar operation rejects the inputs.
// Fails, writing nothing, unless the output has the batch length. Exec
// Parallel cuts a batch of kParallelThreshold elements or more into pieces
// for the worker pool (created on first use) while this thread waits; throws
// a std::runtime_error, before computing anything, when the pool's threads
// cannot start. With an `interrupt`, a long batch asks it now and then
// whether to stop (Interrupt); once stopped, the output is partly written
// and the caller should discard it.
template <class Op, std::size_t N>
Status run(const Inputs<N>& in, Exec exec, OutView out, Interrupt* interrupt = nullptr);

// The same into error codes: what the scalar operation would report for
// element i (kNoError for a value).
template <class Op, std::size_t N>
Status run(const Inputs<N>& in, Exec exec, std::span<std::int8_t> codes,
           Interrupt* interrupt = nullptr);

// Writes every field of a record operation Op (BlackGreeks and its kind) for
// every element i < n into outs[f][i]; each output must have the batch
// length.
template <class Op, std::size_t N>
Status run_fields(const Inputs<N>& in, Exec exec, std::span<const OutView, Op::kFields> outs,
                  Interrupt* interrupt = nullptr);

}  // namespace batch
}  // namespace tarvik
