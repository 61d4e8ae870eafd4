// The frame shared by every batch kernel, serial or parallel: the length
// checks, the in-place pick of each input's element, and the loop that
// applies one element functor to a range of output indexes (for the prices,
// in runs of staged passes). The serial kernels and their parallel twins both
// go through `evaluate`, so an element gets the same bits on either path.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "price_plans.hpp"
#include "tarvik/vector.hpp"

namespace tarvik::batch {

// The quiet NaN written for an element that the scalar operation rejects.
inline constexpr double kRejected = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

template <class T>
inline double value_or_rejected(const Result<T>& r) {
  return r.ok() ? r.value() : kRejected;
}

// The inputs of one batch. Element i of input k is data[k][i * step[k]]: a
// length-1 input has step 0 and is read in place for every element.
template <std::size_t N>
struct Inputs {
  std::array<const double*, N> data;
  std::array<std::size_t, N> step;
};

template <class... Views>
Inputs<sizeof...(Views)> make_inputs(Views... views) {
  return {{views.data()...}, {std::size_t{views.size() == 1 ? 0u : 1u}...}};
}

// The batch length, or the first length error: the input rule before the
// output check.
template <class... Views>
Result<std::size_t> checked_len(OutView out, Views... views) {
  const std::array<std::size_t, sizeof...(Views)> lengths{views.size()...};
  const Result<std::size_t> n = resolve_batch_len(lengths);
  if (!n) return n;
  if (Status err = check_output_len(n.value(), out.size())) return *err;
  return n;
}

// An element functor either computes an element in one call, op(inputs...),
// or, for the prices, makes its plan, op.plan(inputs...) (price_plans.hpp).
template <class Op>
concept Planned = requires { typename Op::Plan; };

// The run of elements whose plans are made before any of their erfc calls.
inline constexpr std::size_t kPlanRun = 128;

// Writes out[lo..hi) run by run, each run in three passes: the plans, their
// erfc calls, the prices. Each pass is a loop of independent elements, so the
// processor overlaps consecutive elements instead of waiting on the long
// dependent chain of each one.
template <Planned Op, std::size_t N, std::size_t... K>
inline void evaluate_planned(const Op& op, const Inputs<N>& in, double* out, std::size_t lo,
                             std::size_t hi, std::index_sequence<K...>) {
  std::array<typename Op::Plan, kPlanRun> plans;
  std::array<ErfcPair, kPlanRun> erfcs;
  for (std::size_t run = lo; run < hi; run += kPlanRun) {
    const std::size_t len = std::min(kPlanRun, hi - run);
    for (std::size_t j = 0; j < len; ++j) {
      plans[j] = op.plan(in.data[K][(run + j) * in.step[K]]...);
    }
    for (std::size_t j = 0; j < len; ++j) erfcs[j] = erfc_of(plans[j].erfc_args());
    for (std::size_t j = 0; j < len; ++j) out[run + j] = plans[j].price(erfcs[j]);
  }
}

template <class Op, std::size_t N, std::size_t... K>
inline void evaluate_impl(const Op& op, const Inputs<N>& in, double* out, std::size_t lo,
                          std::size_t hi, std::index_sequence<K...> k) {
  if constexpr (Planned<Op>) {
    evaluate_planned(op, in, out, lo, hi, k);
  } else {
    for (std::size_t i = lo; i < hi; ++i) out[i] = op(in.data[K][i * in.step[K]]...);
  }
}

// Writes output elements lo to hi-1, in increasing index order.
template <class Op, std::size_t N>
inline void evaluate(const Op& op, const Inputs<N>& in, double* out, std::size_t lo,
                     std::size_t hi) {
  evaluate_impl(op, in, out, lo, hi, std::make_index_sequence<N>{});
}

}  // namespace tarvik::batch
