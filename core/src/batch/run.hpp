// The batch kernels: batch::run<Op> and batch::run_fields<Op> (declared in
// tarvik/batch.hpp) over the computation of each operation (elements.hpp,
// greeks_batch.hpp), on the calling thread or in pieces on the worker pool.
// They are instantiated for every operation in kernels.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "batch/elements.hpp"
#include "batch/greeks_batch.hpp"
#include "tarvik/batch.hpp"
#include "tarvik/errors.hpp"
#include "batch/worker_pool.hpp"

namespace tarvik::batch {

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

// A batch that may be interrupted is cut into slices of about this much work
// (some 0.6 ms of the cheapest elements, less in vector lanes; a single
// element of the American operations), between which each thread looks
// whether the batch has been stopped, and the calling thread at the clock.
inline constexpr std::size_t kSliceWork = 16384;

// The slice of an operation whose pieces have `grain` elements of `work`
// units each: whole grains (so that blocked kernels keep whole blocks).
constexpr std::size_t slice_of(std::size_t grain, std::size_t work) {
  const std::size_t elements = (kSliceWork + work - 1) / work;
  return (elements + grain - 1) / grain * grain;
}

// Calls body(lo, hi) on disjoint ranges covering [0, n) exactly once: on this
// thread, or for a parallel batch of kParallelThreshold or more on the worker
// pool (created on first use) while this thread waits, in pieces no smaller
// than the body's grain, and on this thread alone when the batch holds less
// than two of them. Throws pool::PoolUnavailable when the pool's threads
// cannot start. With an interrupt, a batch of more than one slice is called
// slice by slice and asks the interrupt on this thread about every
// Interrupt::kPollPeriodMs; once it is stopped, no further slice begins.
void for_each_range(Exec exec, std::size_t n, pool::RangeFn body, Interrupt* interrupt = nullptr,
                    std::size_t slice = 0);

// Fails unless the output has the batch length.
Status check_output_len(std::size_t n, std::size_t output_len);

// ---- The element loops (kinds of computation: see elements.hpp) -----------

template <class Op>
concept Planned = requires { typename Op::Plan; };

// An Op that evaluates a run of up to Op::kRun elements at once.
template <class Op, std::size_t N>
concept RunStaged = requires(const typename Op::Prepared& p, const Inputs<N>& in, double* out) {
  Op::evaluate_run(p, in, 0, 0, out);
};

// A blocked Op evaluates whole blocks of up to Op::kBlock elements at once
// (the lane kernels): each block's picked inputs and option types are
// gathered into aligned scratch, a broadcast input repeated.
template <class Op>
concept Blocked = requires { Op::kBlock; };

// The grain of Op's pieces; for a blocked Op a multiple of half its block
// (shorter blocks run slower, and longer pieces would leave a late thread's
// share too large to be taken back).
template <class Op>
constexpr std::size_t piece_grain(std::size_t work) {
  const std::size_t grain = grain_of(work);
  if constexpr (Blocked<Op>) {
    constexpr std::size_t half = Op::kBlock / 2;
    return (grain + half - 1) / half * half;
  } else {
    return grain;
  }
}
constexpr std::size_t wake_of(std::size_t work) { return (kWakeWork + work - 1) / work; }

// A piece on the pool holds at most this much work (some 5 ms of the cheapest
// elements, four American prices), so that at the end of a batch of costly
// or uneven elements no thread is left alone with a long piece while the
// others idle; a batch of cheap elements splits so only from 2^17 of them.
inline constexpr std::size_t kMostPieceWork = 131072;
template <class Op>
constexpr std::size_t most_of(std::size_t work) {
  const std::size_t grain = piece_grain<Op>(work);
  return (kMostPieceWork / work + grain - 1) / grain * grain;
}

// An operation's elements in pieces and slices of its element's cost.
template <class E, class Op, class Body>
void for_each_piece(Exec exec, std::size_t n, Body& body, Interrupt* interrupt) {
  constexpr std::size_t grain = piece_grain<E>(Op::kWork);
  for_each_range(exec, n, pool::RangeFn(body, grain, wake_of(Op::kWork), most_of<E>(Op::kWork)),
                 interrupt, slice_of(grain, Op::kWork));
}

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
      for (std::size_t j = 0; j < len; ++j) {
        plans[j] = Op::plan_or_rejected(prepared, in.value(K, run + j)..., in.is_call(run + j));
      }
      erfcs_of(plans.data(), len, erfcs);
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
Status run_into(const Inputs<N>& in, Exec exec, std::span<T> out, Interrupt* interrupt) {
  static_assert(Op::kInputs == N);
  using E = typename Element<Op>::type;
  if (Status err = check_output_len(in.size(), out.size())) return err;
  auto body = [&](std::size_t lo, std::size_t hi) {
    if constexpr (std::is_same_v<T, std::int8_t>) {
      evaluate_codes<E>(in, out.data(), lo, hi, std::make_index_sequence<N>{});
    } else {
      evaluate<E>(in, out.data(), lo, hi, std::make_index_sequence<N>{});
    }
  };
  for_each_piece<E, Op>(exec, in.size(), body, interrupt);
  return std::nullopt;
}

template <class Op, std::size_t N>
Status run(const Inputs<N>& in, Exec exec, OutView out, Interrupt* interrupt) {
  return run_into<Op>(in, exec, out, interrupt);
}

template <class Op, std::size_t N>
Status run(const Inputs<N>& in, Exec exec, std::span<std::int8_t> codes, Interrupt* interrupt) {
  return run_into<Op>(in, exec, codes, interrupt);
}

// Writes every field of operation Op for every element i < n into
// outs[f][i]; each output must have the batch length.
template <class Op, std::size_t N>
Status run_fields(const Inputs<N>& in, Exec exec, std::span<const OutView, Op::kFields> outs,
                  Interrupt* interrupt) {
  static_assert(Op::kInputs == N);
  using E = typename Element<Op>::type;
  std::array<double*, Op::kFields> data;
  for (std::size_t f = 0; f < Op::kFields; ++f) {
    if (Status err = check_output_len(in.size(), outs[f].size())) return err;
    data[f] = outs[f].data();
  }
  auto body = [&](std::size_t lo, std::size_t hi) {
    const typename E::Prepared prepared(in);
    for (std::size_t run = lo; run < hi; run += E::kRun) {
      E::evaluate_run(prepared, in, run, std::min(E::kRun, hi - run), data.data());
    }
  };
  for_each_piece<E, Op>(exec, in.size(), body, interrupt);
  return std::nullopt;
}

}  // namespace tarvik::batch
