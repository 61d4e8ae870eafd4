"""Implied volatilities and Greeks of a Spark DataFrame of quotes, Arrow batch
by Arrow batch, with tarvik.frame in Spark's Python workers.

DataFrame.mapInArrow hands each task its rows as pyarrow RecordBatches;
tarvik.frame takes a pyarrow Table as it takes a pandas frame (through
narwhals) and returns one, the quote columns untouched and iv, the Greeks and
error appended. Each row's result depends on that row alone, so the rows come
out with the bits of one call over the whole table in one process
(forward="parity" fits a forward to all the quotes of an expiry: for it,
groupBy(expiry).applyInPandas, every expiry whole in one call).

Threads: local[N] runs N tasks at once, each in a Python worker process of
its own, and each batch runs with parallel=False, on the worker's thread:
N = the cores keeps them busy and tarvik's pool is never started. A call
with parallel=True would start a pool of as many threads as the CPUs in
every worker, so the workers' environment also sets TARVIK_NUM_THREADS=1
(spark.executorEnv.TARVIK_NUM_THREADS; on a cluster, executors x cores per
executor = the cores, and the same setting).

    python docs/examples/spark_frame.py [rows] [partitions]
"""

import os
import sys
import time

import numpy as np
import pyarrow as pa
import tarvik.frame


def session(cores=2):
    """A local Spark session of `cores` task slots, on this machine's loopback
    address only, its Python workers this interpreter with one-thread pools."""
    from pyspark.sql import SparkSession
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    # The Python workers' interpreter (else python3 on the PATH, perhaps one
    # without tarvik): read from the environment when the session starts.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    return (SparkSession.builder.master(f"local[{cores}]").appName("tarvik")
            .config("spark.driver.host", "127.0.0.1")
            .config("spark.driver.bindAddress", "127.0.0.1")
            .config("spark.ui.enabled", "false")
            .config("spark.ui.showConsoleProgress", "false")
            .config("spark.executorEnv.TARVIK_NUM_THREADS", "1")
            .config("spark.sql.shuffle.partitions", str(cores))
            .getOrCreate())


def implied_volatilities(quotes, **args):
    """The DataFrame's rows with iv, the Greeks and error appended (lazy);
    args go to tarvik.frame.implied_volatilities."""
    from pyspark.sql.pandas.types import from_arrow_schema, to_arrow_schema
    # The result's columns and types: the call on an empty table of the input's.
    empty = to_arrow_schema(quotes.schema).empty_table()
    schema = from_arrow_schema(tarvik.frame.implied_volatilities(empty, **args).schema)
    arrow = to_arrow_schema(schema)

    def batches(batches):
        for batch in batches:
            out = tarvik.frame.implied_volatilities(pa.Table.from_batches([batch]), **args,
                                                    parallel=False)
            yield from out.cast(arrow).to_batches()

    return quotes.mapInArrow(batches, schema)


def main():
    import importlib.util
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    partitions = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    spec = importlib.util.spec_from_file_location(
        "dask_frame", os.path.join(os.path.dirname(os.path.abspath(__file__)), "dask_frame.py"))
    data = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(data)  # the seeded quotes of the Dask example
    table = data.quotes(rows)
    spark = session()
    try:
        quotes = spark.createDataFrame(table).repartition(partitions)
        start = time.perf_counter()
        risk = implied_volatilities(quotes, **data.ARGS).toArrow()
        seconds = time.perf_counter() - start
    finally:
        spark.stop()
    print(f"{rows:,} quotes in {partitions} partitions, local[2]: {seconds:.2f} s")
    print("rows without a volatility:",
          risk.column("error").drop_null().value_counts().to_pylist())


if __name__ == "__main__":
    main()
