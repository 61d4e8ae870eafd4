// The broadcasting rule and the serial batch kernels.
#include "tarvik/vector.hpp"

#include "batch_driver.hpp"
#include "batch_elements.hpp"

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
    if (any_long) return IVError::invalid_input("empty input slice is only valid for an empty batch");
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

Status check_output_len(std::size_t n, std::size_t output_len) {
  if (output_len != n) {
    return IVError::invalid_input("output slice length must equal the resolved batch length");
  }
  return std::nullopt;
}

namespace {

template <class Op, class... Views>
Status run_serial(const Op& op, OutView out, Views... inputs) {
  const Result<std::size_t> n = batch::checked_len(out, inputs...);
  if (!n) return n.error();
  batch::evaluate(op, batch::make_inputs(inputs...), out.data(), 0, n.value());
  return std::nullopt;
}

}  // namespace

Status black_price_slice(InView forwards, InView strikes, InView maturities, InView vols,
                         bool is_call, OutView out) {
  return run_serial(batch::BlackPrice{is_call}, out, forwards, strikes, maturities, vols);
}

Status black_scholes_price_slice(InView spots, InView strikes, InView maturities, InView rates,
                                 InView dividends, InView vols, bool is_call, OutView out) {
  return run_serial(batch::BlackScholesPrice{is_call}, out, spots, strikes, maturities, rates,
                    dividends, vols);
}

Status implied_volatility_slice(InView prices, InView forwards, InView strikes,
                                InView maturities, bool is_call, OutView out) {
  return run_serial(batch::ImpliedVolatility{is_call}, out, prices, forwards, strikes,
                    maturities);
}

Status normalised_implied_volatility_slice(InView betas, InView xs, bool is_call, OutView out) {
  return run_serial(batch::NormalisedImpliedVolatility{is_call}, out, betas, xs);
}

Status delta_slice(InView forwards, InView strikes, InView maturities, InView vols,
                   bool is_call, OutView out) {
  return run_serial(batch::Delta{is_call}, out, forwards, strikes, maturities, vols);
}

Status gamma_slice(InView forwards, InView strikes, InView maturities, InView vols,
                   OutView out) {
  return run_serial(batch::Gamma{}, out, forwards, strikes, maturities, vols);
}

Status vega_slice(InView forwards, InView strikes, InView maturities, InView vols,
                  OutView out) {
  return run_serial(batch::Vega{}, out, forwards, strikes, maturities, vols);
}

Status vanna_slice(InView forwards, InView strikes, InView maturities, InView vols,
                   OutView out) {
  return run_serial(batch::Vanna{}, out, forwards, strikes, maturities, vols);
}

Status vomma_slice(InView forwards, InView strikes, InView maturities, InView vols,
                   OutView out) {
  return run_serial(batch::Vomma{}, out, forwards, strikes, maturities, vols);
}

}  // namespace tarvik
