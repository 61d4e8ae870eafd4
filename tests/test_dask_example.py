"""docs/examples/dask_implied_vols.py: over a chunked array (the last chunk
shorter), the numbers and error codes of one batch call over the whole."""

import importlib.util
import os

import numpy as np
import pytest
import tarvik

da = pytest.importorskip("dask.array")
EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "docs", "examples",
                       "dask_implied_vols.py")


@pytest.mark.parametrize("scheduler", ["threads", "processes"])
def test_chunks_give_the_numbers_of_one_batch_call(scheduler):
    spec = importlib.util.spec_from_file_location("dask_implied_vols", EXAMPLE)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    inputs = [np.asarray(a) for a in example.quotes(1000, 300)]
    inputs[0][::7] = -1.0  # below intrinsic
    inputs[3][3::11] = -1.0  # negative time
    chunked = [da.from_array(a, chunks=300) for a in inputs]
    vols = example.implied_volatilities(*chunked).compute(scheduler=scheduler)
    codes = example.error_codes(*chunked).compute(scheduler=scheduler)
    assert vols.view(np.uint64).tolist() == tarvik.implied_volatilities(*inputs).view(
        np.uint64).tolist()
    assert codes.tolist() == tarvik.error_codes(tarvik.implied_volatilities, *inputs).tolist()
    assert set(codes.tolist()) == {0, 1, 3}
