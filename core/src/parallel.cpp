// The parallel twins of the serial batch kernels. They apply the same length
// rule and the same element functors; batches of 64 or more elements are
// spread over the worker pool while the caller waits.
#include "tarvik/parallel.hpp"

#include "batch_driver.hpp"
#include "batch_elements.hpp"
#include "worker_pool.hpp"

namespace tarvik {

namespace {

template <class Op, class... Views>
Status run_parallel(const Op& op, OutView out, Views... inputs) {
  const Result<std::size_t> n = batch::checked_len(out, inputs...);
  if (!n) return n.error();
  const auto in = batch::make_inputs(inputs...);
  double* dst = out.data();
  if (n.value() < kParallelThreshold) {
    // Small batches stay on the calling thread and never create the pool.
    batch::evaluate(op, in, dst, 0, n.value());
    return std::nullopt;
  }
  auto body = [&](std::size_t lo, std::size_t hi) { batch::evaluate(op, in, dst, lo, hi); };
  return pool::run(n.value(), pool::RangeFn(body));
}

}  // namespace

Status black_price_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                             bool is_call, OutView out) {
  return run_parallel(batch::BlackPrice{is_call}, out, forwards, strikes, maturities, vols);
}

Status black_scholes_price_slice_par(InView spots, InView strikes, InView maturities,
                                     InView rates, InView dividends, InView vols, bool is_call,
                                     OutView out) {
  return run_parallel(batch::BlackScholesPrice{is_call}, out, spots, strikes, maturities, rates,
                      dividends, vols);
}

Status implied_volatility_slice_par(InView prices, InView forwards, InView strikes,
                                    InView maturities, bool is_call, OutView out) {
  return run_parallel(batch::ImpliedVolatility{is_call}, out, prices, forwards, strikes,
                      maturities);
}

Status normalised_implied_volatility_slice_par(InView betas, InView xs, bool is_call,
                                               OutView out) {
  return run_parallel(batch::NormalisedImpliedVolatility{is_call}, out, betas, xs);
}

Status delta_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       bool is_call, OutView out) {
  return run_parallel(batch::Delta{is_call}, out, forwards, strikes, maturities, vols);
}

Status gamma_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       OutView out) {
  return run_parallel(batch::Gamma{}, out, forwards, strikes, maturities, vols);
}

Status vega_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                      OutView out) {
  return run_parallel(batch::Vega{}, out, forwards, strikes, maturities, vols);
}

Status vanna_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       OutView out) {
  return run_parallel(batch::Vanna{}, out, forwards, strikes, maturities, vols);
}

Status vomma_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       OutView out) {
  return run_parallel(batch::Vomma{}, out, forwards, strikes, maturities, vols);
}

}  // namespace tarvik
