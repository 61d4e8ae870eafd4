"""docs/examples/dask_frame.py: a Parquet dataset read by a cluster of two
worker processes gives, row for row, the bits of one tarvik.frame call over
the whole table, and the workers' pools are sized to one thread."""

import importlib.util
import os

import numpy as np
import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("dask.distributed")
pytest.importorskip("pyarrow.parquet")
pytest.importorskip("narwhals")
import tarvik.frame  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "docs", "examples", "dask_frame.py")


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("dask_frame", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def client(example):
    with example.cluster(2) as cluster, distributed.Client(cluster) as c:
        yield c


def test_workers_pool_has_one_thread(client):
    threads = client.run(lambda: os.environ.get("TARVIK_NUM_THREADS"))
    assert len(threads) == 2 and set(threads.values()) == {"1"}


@pytest.mark.parametrize("files, args", [
    (5, {}),  # uneven files, one process's defaults
    (3, {"greeks": False, "audit": True}),
    (2, {"model": "normal"}),
], ids=["greeks", "audit", "normal"])
def test_partitions_give_the_bits_of_one_call(example, client, tmp_path, files, args):
    table = example.quotes(3001)
    path = str(tmp_path / "quotes")
    example.write_dataset(table, path, files)
    args = {**example.ARGS, **args}
    lazy = example.implied_volatilities(path, **args)
    assert lazy.npartitions == files
    got = lazy.compute()
    want = tarvik.frame.implied_volatilities(table.to_pandas(), **args)
    assert list(got.columns) == list(want.columns)
    for name in want.columns:
        g, w = got[name].to_numpy(), want[name].to_numpy()
        if w.dtype == np.float64:
            assert g.dtype == np.float64 and g.view(np.uint64).tolist() == w.view(np.uint64).tolist(), name
        else:
            assert [x if isinstance(x, str) else None for x in g] == \
                   [x if isinstance(x, str) else None for x in w], name
    assert got["error"].notna().sum() >= len(table) // 50
