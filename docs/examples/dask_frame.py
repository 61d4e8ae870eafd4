"""Implied volatilities and Greeks of a partitioned Parquet dataset of quotes,
partition by partition on a Dask cluster of worker processes.

dask.dataframe.read_parquet reads one partition per file; map_partitions
calls tarvik.frame.implied_volatilities once per partition, a pandas frame
in, a pandas frame out. Each row's result depends on that row alone, so the
rows come out with the bits of one call over the whole table in one process,
however the dataset is split (forward="parity" is the exception: it fits a
forward to all the quotes of an expiry, so there every expiry must lie whole
in one partition, as with a dataset written partitioned by expiry).

Threads: the cluster has n_workers processes of one thread each, one per
core, and each partition runs with parallel=False, on the worker's own
thread. tarvik's pool would start threads of its own in every worker (as
many as the CPUs, unless TARVIK_NUM_THREADS says otherwise), n_workers x
CPUs threads on CPUs cores; so the workers' environment also sets
TARVIK_NUM_THREADS=1, for any call that passes parallel=True there. The pool
reads the variable once, at its first parallel use, and each worker process
sets it as it starts, before its first task.

    python docs/examples/dask_frame.py [rows] [files] [workers]
"""

import os
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import tarvik
import tarvik.frame

ARGS = dict(price="price", forward="forward", rate="rate", maturity="maturity",
            strike="strike", option_type="type")


def quotes(rows, seed=7):
    """Seeded Black-76 quotes as a pyarrow Table: forward, rate, maturity,
    strike, type (C or P) and a discounted price; one row in 50 is priced
    below its intrinsic value (no volatility: the error column says why)."""
    rng = np.random.default_rng(seed)
    forward = 100.0 * np.exp(rng.normal(0.0, 0.2, rows))
    strike = forward * np.exp(rng.normal(0.0, 0.25, rows))
    maturity = rng.uniform(0.02, 3.0, rows)
    rate = rng.uniform(0.0, 0.05, rows)
    call = rng.random(rows) < 0.5
    vol = rng.uniform(0.05, 0.9, rows)
    price = np.exp(-rate * maturity) * tarvik.black_prices(forward, strike, maturity, vol, call)
    price[::50] = -price[::50]
    return pa.table({"forward": forward, "rate": rate, "maturity": maturity, "strike": strike,
                     "type": np.where(call, "C", "P"), "price": price})


def write_dataset(table, path, files):
    """The table as `files` Parquet files part-00000.parquet, ... in a new
    folder `path`, rows in order (read_parquet reads the files in name order)."""
    os.makedirs(path)
    bounds = np.linspace(0, table.num_rows, files + 1).astype(int)
    for i, (lo, hi) in enumerate(zip(bounds[:-1], bounds[1:])):
        pq.write_table(table.slice(lo, hi - lo), os.path.join(path, f"part-{i:05d}.parquet"))


def cluster(workers=2):
    """A LocalCluster of `workers` processes, one thread each, whose tarvik
    pool (if a call asks for it) has one thread."""
    from dask.distributed import LocalCluster
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        env={"TARVIK_NUM_THREADS": "1"}, dashboard_address=None)


def implied_volatilities(path, **args):
    """The dataset's rows with iv, the Greeks and error appended, as a lazy
    Dask DataFrame; args go to tarvik.frame.implied_volatilities."""
    import dask.dataframe as dd
    quotes = dd.read_parquet(path)
    # The result's columns and types: the call on the empty frame that Dask keeps.
    meta = tarvik.frame.implied_volatilities(quotes._meta, **args)
    return quotes.map_partitions(tarvik.frame.implied_volatilities, **args, parallel=False,
                                 meta=meta)


def main():
    from dask.distributed import Client
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    workers = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    table = quotes(rows)
    with tempfile.TemporaryDirectory() as tmp, cluster(workers) as lc, Client(lc):
        path = os.path.join(tmp, "quotes")
        write_dataset(table, path, files)
        start = time.perf_counter()
        risk = implied_volatilities(path, **ARGS).compute()
        seconds = time.perf_counter() - start
        whole = tarvik.frame.implied_volatilities(table.to_pandas(), **ARGS, parallel=True)
        same = all(np.array_equal(risk[c].to_numpy(), whole[c].to_numpy(), equal_nan=True)
                   for c in ("iv", "delta", "gamma", "vega", "theta", "vanna", "vomma"))
        same = same and risk["error"].fillna("").tolist() == whole["error"].fillna("").tolist()
        print(f"{rows:,} quotes in {files} files, {workers} worker processes: {seconds:.2f} s,"
              f" the numbers of one call over the whole table: {same}")
        print("rows without a volatility:", risk["error"].value_counts().to_dict())


if __name__ == "__main__":
    main()
