"""Implied volatilities of an array larger than one batch, chunk by chunk with
Dask.

dask.array.map_blocks calls tarvik's batch function once per chunk. With
Dask's default threaded scheduler the chunks run side by side on every core
of the machine: a batch call lets other Python threads run while it
computes. The same code runs on a Dask cluster: create a
dask.distributed.Client for it first (tarvik installed on every worker), and
compute() sends the chunks there.

What to use when:
- An array in memory on one machine: one batch call with parallel=True; its
  worker pool splits the work, nothing else is needed.
- An array larger than memory, or data already in Dask (from Parquet or CSV
  files, say): map_blocks as below, parallel=False inside (the chunks keep the
  cores busy), on the threaded scheduler. The processes scheduler gives the
  same numbers but copies every chunk between processes.
- More work than one machine does in time: the same map_blocks on a Dask
  cluster.

Inputs are 1-D float64 Dask arrays of one length (or floats), chunked alike;
is_call is a bool or a Dask bool array. Elements that
tarvik.implied_volatility would reject are NaN, and error_codes() tells why
(tarvik.ERROR_KINDS[code]).

    python docs/examples/dask_implied_vols.py [quotes] [chunk]
"""

import functools
import sys
import time

import dask
import dask.array as da
import numpy as np
import tarvik


def implied_volatilities(prices, forwards, strikes, maturities, is_call=True):
    """Black-76 implied volatilities, as a lazy Dask array."""
    return da.map_blocks(tarvik.implied_volatilities, prices, forwards, strikes, maturities,
                         is_call, dtype=np.float64)


def error_codes(prices, forwards, strikes, maturities, is_call=True):
    """The error code of every element of implied_volatilities(), lazily."""
    codes = functools.partial(tarvik.error_codes, tarvik.implied_volatilities)
    return da.map_blocks(codes, prices, forwards, strikes, maturities, is_call, dtype=np.int8)


def quotes(n, chunk, seed=3):
    """Seeded Black-76 quotes as Dask arrays, calls and puts mixed."""
    rng = da.random.default_rng(seed)
    forwards = 100.0 * da.exp(rng.normal(0.0, 0.2, n, chunks=chunk))
    strikes = 100.0 * da.exp(rng.normal(0.0, 0.2, n, chunks=chunk))
    maturities = rng.uniform(0.05, 3.0, n, chunks=chunk)
    vols = rng.uniform(0.05, 0.8, n, chunks=chunk)
    is_call = rng.random(n, chunks=chunk) < 0.5
    prices = da.map_blocks(tarvik.black_prices, forwards, strikes, maturities, vols, is_call,
                           dtype=np.float64)
    return prices, forwards, strikes, maturities, is_call


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 4_000_000
    chunk = int(sys.argv[2]) if len(sys.argv) > 2 else 500_000
    inputs = dask.persist(*quotes(n, chunk))  # computed once, kept in memory
    arrays = [np.asarray(a) for a in inputs]
    start = time.perf_counter()
    direct = tarvik.implied_volatilities(*arrays, parallel=True)
    print(f"{n:,} quotes, one call with parallel=True: {time.perf_counter() - start:.3f} s")
    for scheduler in ("threads", "processes"):
        start = time.perf_counter()
        vols = implied_volatilities(*inputs).compute(scheduler=scheduler)
        seconds = time.perf_counter() - start
        same = np.array_equal(vols, direct, equal_nan=True)
        print(f"Dask, {len(inputs[0].chunks[0])} chunks of {chunk:,}, {scheduler} scheduler:"
              f" {seconds:.3f} s, the same numbers: {same}")
    codes = np.bincount(error_codes(*inputs).compute(), minlength=len(tarvik.ERROR_KINDS))
    failed = {tarvik.ERROR_KINDS[code]: int(count) for code, count in enumerate(codes)
              if code and count}
    print("quotes without a volatility, by kind:", failed or "none")


if __name__ == "__main__":
    main()
