"""docs/examples/spark_frame.py and the parity recipe of docs/spark.md: Spark
in local mode (two task slots, rows shuffled over partitions) gives, row for
row, the bits of one tarvik.frame call over the whole table, and its Python
workers' pools are sized to one thread. Skipped without pyspark or Java."""

import importlib.util
import os
import shutil

import numpy as np
import pytest

pytest.importorskip("pyspark")
pa = pytest.importorskip("pyarrow")
pytest.importorskip("narwhals")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs Java", allow_module_level=True)
import tarvik  # noqa: E402
import tarvik.frame  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "docs", "examples")


def load(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(EXAMPLES, f"{name}.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def spark():
    session = load("spark_frame").session(2)
    yield session
    session.stop()


def assert_same_bits(got, want):
    """got (sorted by row) has want's columns, each with its bits."""
    got = got.sort_by("row")
    assert got.column_names == want.column_names
    for name in want.column_names:
        g, w = got.column(name), want.column(name)
        if pa.types.is_floating(w.type):
            assert g.to_numpy().view(np.uint64).tolist() == w.to_numpy().view(np.uint64).tolist(), name
        else:
            assert g.to_pylist() == w.to_pylist(), name


def test_workers_pool_has_one_thread(spark):
    def env(batches):
        for _ in batches:
            yield pa.record_batch({"n": [os.environ.get("TARVIK_NUM_THREADS")]})
    seen = spark.range(0, 8, numPartitions=2).mapInArrow(env, "n string").toArrow()
    assert set(seen.column("n").to_pylist()) == {"1"}


@pytest.mark.parametrize("args", [{}, {"greeks": False, "audit": True}, {"model": "normal"}],
                         ids=["greeks", "audit", "normal"])
def test_batches_give_the_bits_of_one_call(spark, args):
    example, data = load("spark_frame"), load("dask_frame")
    table = data.quotes(3001)
    table = table.append_column("row", pa.array(np.arange(table.num_rows)))
    args = {**data.ARGS, **args}
    quotes = spark.createDataFrame(table).repartition(3)  # rows dealt round the partitions
    got = example.implied_volatilities(quotes, **args).toArrow()
    want = tarvik.frame.implied_volatilities(table, **args)
    assert_same_bits(got, want)
    assert table.num_rows - got.column("error").null_count >= table.num_rows // 50  # rows failed


def test_parity_by_expiry_gives_the_bits_of_one_call(spark):
    import pandas as pd
    rng = np.random.default_rng(5)
    maturity = np.repeat([0.1, 0.25, 0.5, 1.0, 2.0], 24)
    strike = np.tile(np.repeat(np.linspace(80.0, 125.0, 12), 2), 5)
    call = np.tile([True, False], 60)
    forward, discount = 100.0 * np.exp(0.02 * maturity), np.exp(-0.03 * maturity)
    price = discount * tarvik.black_prices(forward, strike, maturity, rng.uniform(0.15, 0.4, 120),
                                           call) * rng.uniform(0.99, 1.01, 120)
    quotes = pd.DataFrame({"row": np.arange(120), "maturity": maturity, "strike": strike,
                           "type": np.where(call, "C", "P"), "price": price}).sample(frac=1.0,
                                                                                   random_state=1)
    args = dict(forward="parity", maturity="maturity")
    want = tarvik.frame.implied_volatilities(quotes.sort_values("row"), **args)
    from pyspark.sql.pandas.types import from_arrow_schema
    want = pa.Table.from_pandas(want, preserve_index=False)

    def by_expiry(expiry):  # the rows in the table's order, as one call sees them
        return tarvik.frame.implied_volatilities(expiry.sort_values("row"), **args)

    got = spark.createDataFrame(quotes).groupBy("maturity").applyInPandas(
        by_expiry, from_arrow_schema(want.schema))
    assert_same_bits(got.toArrow(), want)
    assert want.column("error").null_count > 110  # a forward for every expiry
