// Batch evaluation on the calling thread: the broadcasting rule and the
// serial kernels. An input view has length 1 (its one value stands for every
// element) or the batch length n. A kernel never fails because of an
// element's value: an element the scalar operation rejects is written as NaN.
// Only the length rule fails a batch, before any element is written.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>

#include "tarvik/errors.hpp"

namespace tarvik {

using InView = std::span<const double>;
using OutView = std::span<double>;

// The batch length n from the input lengths, in parameter order.
Result<std::size_t> resolve_batch_len(std::span<const std::size_t> lengths);
inline Result<std::size_t> resolve_batch_len(std::initializer_list<std::size_t> lengths) {
  return resolve_batch_len(std::span<const std::size_t>(lengths.begin(), lengths.size()));
}

// Fails unless the output has the resolved batch length.
Status check_output_len(std::size_t n, std::size_t output_len);

Status black_price_slice(InView forwards, InView strikes, InView maturities, InView vols,
                         bool is_call, OutView out);
Status black_scholes_price_slice(InView spots, InView strikes, InView maturities, InView rates,
                                 InView dividends, InView vols, bool is_call, OutView out);
Status implied_volatility_slice(InView prices, InView forwards, InView strikes,
                                InView maturities, bool is_call, OutView out);
Status normalised_implied_volatility_slice(InView betas, InView xs, bool is_call, OutView out);
Status delta_slice(InView forwards, InView strikes, InView maturities, InView vols,
                   bool is_call, OutView out);
Status gamma_slice(InView forwards, InView strikes, InView maturities, InView vols, OutView out);
Status vega_slice(InView forwards, InView strikes, InView maturities, InView vols, OutView out);
Status vanna_slice(InView forwards, InView strikes, InView maturities, InView vols, OutView out);
Status vomma_slice(InView forwards, InView strikes, InView maturities, InView vols, OutView out);

}  // namespace tarvik
