// The parallel twins of the serial batch kernels: same arguments, same
// results bit for bit. Batches of 64 or more elements run on the process-wide
// worker pool while the caller blocks; smaller ones run on the calling thread
// and never create the pool.
#pragma once

#include "tarvik/vector.hpp"

namespace tarvik {

// Batches below this length are computed serially on the calling thread.
inline constexpr std::size_t kParallelThreshold = 64;

// The reason of the InvalidInput error that a parallel kernel returns when
// the worker pool cannot be started (its threads cannot be created). It is an
// internal fault, not a fault of the inputs: nothing has been written, and
// the next parallel batch tries to start the pool again. Recognise it with
// is_worker_pool_fault (the reason pointer is this very array).
extern const char kWorkerPoolFault[];
bool is_worker_pool_fault(const IVError& error);

// The thread count of the process's worker pool, or 0 while it does not exist.
std::size_t worker_pool_size();

Status black_price_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                             bool is_call, OutView out);
Status black_scholes_price_slice_par(InView spots, InView strikes, InView maturities,
                                     InView rates, InView dividends, InView vols, bool is_call,
                                     OutView out);
Status implied_volatility_slice_par(InView prices, InView forwards, InView strikes,
                                    InView maturities, bool is_call, OutView out);
Status normalised_implied_volatility_slice_par(InView betas, InView xs, bool is_call,
                                               OutView out);
Status delta_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       bool is_call, OutView out);
Status gamma_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       OutView out);
Status vega_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                      OutView out);
Status vanna_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       OutView out);
Status vomma_slice_par(InView forwards, InView strikes, InView maturities, InView vols,
                       OutView out);

}  // namespace tarvik
