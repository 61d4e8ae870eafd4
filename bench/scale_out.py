"""Rows per second per core of tarvik.frame.implied_volatilities (iv and the
six Greeks) over one seeded Parquet dataset of quotes, by one process (the
whole table, parallel=True on every core), by Dask (a LocalCluster of worker
processes, one thread each, map_partitions) and by Spark (local mode,
mapInArrow). Each reads the dataset, computes every row and reduces it to a
digest (the sum of the bits of every result column, and the count of rows
without a volatility), so no result crosses between processes and the
digests show that the three computed the same bits. Cluster and session
start-up are timed apart.

    python bench/scale_out.py [--rows 10000000] [--files 40] [--workers 2]
                              [--engines one,dask,spark] [--repeats 1]

Run on an otherwise idle machine (uptime); Spark needs pyspark and Java, and
is left out without them."""

import argparse
import importlib.util
import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import tarvik.frame

HERE = os.path.dirname(os.path.abspath(__file__))
FLOATS = ("iv", "delta", "gamma", "vega", "theta", "vanna", "vomma")


def example(name):
    path = os.path.join(HERE, os.pardir, "docs", "examples", f"{name}.py")
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def digest(risk):
    """[bits sum mod 2**64 of every result column, rows with an error] of a
    pandas frame or a pyarrow Table."""
    columns = risk if isinstance(risk, pd.DataFrame) else risk.to_pandas()
    bits = [np.asarray(columns[name].to_numpy(), np.float64).view(np.uint64).sum(dtype=np.uint64)
            for name in FLOATS]
    return np.array([np.sum(bits, dtype=np.uint64), columns["error"].notna().sum()], np.uint64)


def warm_up():
    """The imports of a first call, in a worker."""
    import narwhals  # noqa: F401
    import pyarrow.parquet  # noqa: F401
    import tarvik.frame  # noqa: F401


def one_process(path, args):
    quotes = pq.read_table(path).to_pandas()
    return digest(tarvik.frame.implied_volatilities(quotes, **args, parallel=True))


def dask_run(path, args, workers):
    import dask
    from dask.distributed import Client
    data = example("dask_frame")
    start = time.perf_counter()
    cluster = data.cluster(workers)
    client = Client(cluster)
    client.run(warm_up)
    started = time.perf_counter() - start

    def run():
        lazy = data.implied_volatilities(path, **args)
        parts = lazy.map_partitions(lambda df: pd.DataFrame([digest(df)]), meta={0: "u8", 1: "u8"})
        return np.asarray(dask.compute(parts)[0].to_numpy(), np.uint64).sum(axis=0,
                                                                           dtype=np.uint64)
    return started, run, lambda: (client.close(), cluster.close())


def spark_run(path, args, workers):
    sp = example("spark_frame")
    start = time.perf_counter()
    spark = sp.session(workers)
    # The JVM, and a Python worker per task slot with its imports done.
    spark.range(0, workers, numPartitions=workers).mapInArrow(
        lambda batches: (warm_up() or b for b in batches), "id long").collect()
    started = time.perf_counter() - start

    def run():
        risk = sp.implied_volatilities(spark.read.parquet(path), **args)

        def digests(batches):
            total = np.zeros(2, np.uint64)
            for batch in batches:
                total += digest(pa.Table.from_batches([batch]))
            yield pa.record_batch({"bits": [str(total[0])], "errors": [int(total[1])]})

        parts = risk.mapInArrow(digests, "bits string, errors long").toArrow()
        return np.array([sum(int(b) for b in parts.column("bits").to_pylist()) % 2**64,
                         sum(parts.column("errors").to_pylist())], np.uint64)
    return started, run, spark.stop


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", type=int, default=10_000_000)
    p.add_argument("--files", type=int, default=40)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--engines", default="one,dask,spark")
    p.add_argument("--repeats", type=int, default=1)
    o = p.parse_args()
    data = example("dask_frame")
    cores = len(os.sched_getaffinity(0))
    print(f"{o.rows:,} rows in {o.files} Parquet files; {cores} cores; tarvik {tarvik.__version__},"
          f" Python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "quotes")
        start = time.perf_counter()
        data.write_dataset(data.quotes(o.rows), path, o.files)
        print(f"dataset written in {time.perf_counter() - start:.1f} s")
        digests = {}
        for engine in o.engines.split(","):
            if engine == "one":
                used, started, run, stop = cores, 0.0, lambda: one_process(path, data.ARGS), None
            else:
                try:
                    maker = dask_run if engine == "dask" else spark_run
                    used = o.workers
                    started, run, stop = maker(path, data.ARGS, o.workers)
                except ImportError as e:
                    print(f"{engine}: left out ({e})")
                    continue
            try:
                seconds = []
                for _ in range(o.repeats):
                    start = time.perf_counter()
                    digests[engine] = run()
                    seconds.append(time.perf_counter() - start)
            finally:
                if stop:
                    stop()
            best = min(seconds)
            print(f"{engine:5} {used} cores: {best:7.2f} s, {o.rows / best / used:12,.0f} rows/s/core"
                  + (f" (start-up {started:.1f} s)" if stop else "")
                  + f", digest {digests[engine][0]:016x}, {digests[engine][1]:,} rows failed")
        same = len({tuple(d.tolist()) for d in digests.values()}) == 1
        print("the same bits in every engine:", same)


if __name__ == "__main__":
    main()
