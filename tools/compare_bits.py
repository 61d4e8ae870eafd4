"""Which results two builds give differently, and by how much: every function
of the module over the digest test's seeded inputs (tests/test_digests.py),
its results dumped by each build and then compared element by element.

    PYTHONPATH=old/pkg python3 tools/compare_bits.py dump /tmp/old /tmp/inputs
    PYTHONPATH=new/pkg python3 tools/compare_bits.py dump /tmp/new /tmp/inputs
    python3 tools/compare_bits.py compare /tmp/old /tmp/new

The comparison prints, per function whose results moved, how many elements
differ, the largest distance in units in the last place (the count of
doubles between the two) and the largest relative difference; results that
change class (a number against NaN or an error) are counted apart.
"""

import inspect
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))


def dump(directory, inputs_dir):
    """Every function's results, on inputs kept in inputs_dir: the first
    build dumped writes them, the next reads them, so that the inputs made
    from a function's results (the prices an implied volatility inverts) are
    the same for both."""
    import tarvik
    import test_digests as d

    out = pathlib.Path(directory)
    out.mkdir(parents=True, exist_ok=True)
    pathlib.Path(inputs_dir).mkdir(parents=True, exist_ok=True)

    def inputs(function, n):
        path = pathlib.Path(inputs_dir) / f"{function.__name__}.{n}.npy"
        if not path.exists():
            np.save(path, np.array(d.inputs(function, n)))
        return list(np.load(path))

    for name in d.EXPECTED:
        function = getattr(tarvik, name)
        if d.returns_array(function):
            arrays = inputs(function, d.sizes(function)[0])
            flags = (True, False) if "is_call" in inspect.signature(function).parameters else (None,)
            parts = [function(*arrays, **({} if c is None else {"is_call": c})) for c in flags]
            np.save(out / f"{name}.npy", np.concatenate([np.ravel(p) for p in parts]))
        else:
            n = d.sizes(function)[1]
            arrays = inputs(function, n)
            values = np.empty(n)
            errors = np.zeros(n, dtype=bool)
            for i in range(n):
                try:
                    values[i] = function(*d.scalar_args(function, arrays, i))
                except tarvik.IVError:
                    values[i], errors[i] = np.nan, True
            np.save(out / f"{name}.npy", np.where(errors, np.nan, values))
            np.save(out / f"{name}.errors.npy", errors)


def ordered(values):
    """The doubles as integers in their order (adjacent doubles differ by 1)."""
    bits = values.view(np.int64)
    return np.where(bits < 0, np.int64(-2**63) - bits, bits)


def compare(old_dir, new_dir):
    total = moved = 0
    print(f"{'function':36} {'elements':>9} {'differ':>7} {'max ulps':>9} {'max rel':>9} {'class':>6}")
    for path in sorted(pathlib.Path(old_dir).glob("*.npy")):
        if path.name.endswith(".errors.npy"):
            continue
        old = np.load(path)
        new = np.load(pathlib.Path(new_dir) / path.name)
        errors = [pathlib.Path(d) / path.name.replace(".npy", ".errors.npy") for d in (old_dir, new_dir)]
        old_err, new_err = (np.load(e) if e.exists() else np.zeros(old.shape, bool) for e in errors)
        same_class = (np.isnan(old) == np.isnan(new)) & (old_err == new_err)
        both = same_class & ~np.isnan(old)
        differ = both & (old != new)
        total += old.size
        moved += int(differ.sum()) + int((~same_class).sum())
        if not differ.any() and same_class.all():
            continue
        ulps = np.abs(ordered(old[differ]) - ordered(new[differ]))
        with np.errstate(all="ignore"):
            rel = np.abs(new[differ] - old[differ]) / np.abs(old[differ])
        print(f"{path.stem:36} {old.size:9d} {int(differ.sum()):7d} "
              f"{int(ulps.max()) if ulps.size else 0:9d} "
              f"{float(np.nanmax(rel)) if rel.size else 0.0:9.2e} {int((~same_class).sum()):6d}")
    print(f"{moved} of {total} results differ")


if __name__ == "__main__":
    if sys.argv[1:2] == ["dump"] and len(sys.argv) == 4:
        dump(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["compare"] and len(sys.argv) == 4:
        compare(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
