"""The two seeded sets of out-of-the-money options on F = 100 that
bench/iv_bench.cpp times, rebuilt in Python option for option:

  near      K = F exp(U(-0.3, 0.3)), T = U(0.05, 2), vol = U(0.1, 0.6)
  stressed  T = exp(U(ln(1/365), ln 10)), vol = exp(U(ln 0.01, ln 3)),
            K = F exp(U(-4, 4) vol sqrt(T))

The uniforms come from the splitmix64 stream of bench/seeded_random.hpp (same
seeds, drawn in the same order), exp and log from the C library through
`math`, so the first n options of a set are those of the C++ benchmark.
Prices are tarvik's undiscounted Black-76 prices of the out-of-the-money
option (a call where K >= F, else a put).
"""

import math

import numpy as np
import tarvik

FORWARD = 100.0
SEEDS = {"near": 20240601, "stressed": 20240602}

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)


def splitmix64_uniforms(seed, count):
    """The first `count` draws of Random(seed).uniform(0, 1) as float64."""
    with np.errstate(over="ignore"):
        z = np.uint64(seed) + np.arange(1, count + 1, dtype=np.uint64) * _GOLDEN
        z = (z ^ (z >> np.uint64(30))) * _MIX1
        z = (z ^ (z >> np.uint64(27))) * _MIX2
        z ^= z >> np.uint64(31)
    return (z >> np.uint64(11)).astype(np.float64) * 2.0**-53


def _uniform(u, lo, hi):
    return lo + (hi - lo) * u


def _exp(values):
    return np.array([math.exp(v) for v in values.tolist()])


class OptionSet:
    """n options of one set, in generation order: price, strike, maturity,
    vol, is_call (bool arrays). A batch function takes one `is_call` flag,
    so batches run over two blocks: the calls, then the puts."""

    def __init__(self, name, n):
        self.name = name
        self.n = n
        u = splitmix64_uniforms(SEEDS[name], 3 * n).reshape(n, 3)
        if name == "near":
            self.strike = FORWARD * _exp(_uniform(u[:, 0], -0.3, 0.3))
            self.maturity = _uniform(u[:, 1], 0.05, 2.0)
            self.vol = _uniform(u[:, 2], 0.1, 0.6)
        elif name == "stressed":
            self.maturity = _exp(_uniform(u[:, 0], math.log(1.0 / 365.0), math.log(10.0)))
            self.vol = _exp(_uniform(u[:, 1], math.log(0.01), math.log(3.0)))
            self.strike = FORWARD * _exp(_uniform(u[:, 2], -4.0, 4.0) * self.vol
                                         * np.sqrt(self.maturity))
        else:
            raise ValueError(f"unknown option set {name!r}")
        self.is_call = self.strike >= FORWARD
        self.price = np.empty(n)
        for flag, block in self.blocks():
            self.price[block] = tarvik.black_prices(
                FORWARD, self.strike[block], self.maturity[block], self.vol[block], flag)

    def head(self, n):
        """The first n options, the same as OptionSet(name, n)."""
        part = object.__new__(OptionSet)
        part.name, part.n = self.name, n
        for field in ("strike", "maturity", "vol", "is_call", "price"):
            setattr(part, field, getattr(self, field)[:n])
        return part

    def blocks(self, indices=None):
        """(is_call, indices) of the calls, then of the puts, among
        `indices` (default: all), each in generation order."""
        if indices is None:
            indices = np.arange(self.n)
        calls = self.is_call[indices]
        return ((True, indices[calls]), (False, indices[~calls]))


def digest(values):
    """FNV-1a over the bits of float64 values, as bench/iv_bench.cpp prints
    it for results that are all valid."""
    h = 1469598103934665603
    for bits in np.ascontiguousarray(values, dtype=np.float64).view(np.uint64).tolist():
        h = ((h ^ bits) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h
