"""The references with cash dividends, against each other and against
values known independently: reference/american_lcp with a schedule per row
and reference/dividend_smoothing.py (European), checked against closed
forms where a dividend falls on the expiry date or after it, nested
quadrature in mpmath (reference/dividend_quadrature.py) for a European with
one dividend, and for an American call with a dividend the day before
expiry the one integral that gives its price (exercise is optimal only just
before the ex-date)."""
import csv
import importlib.util
import pathlib
import subprocess

import mpmath as mp
import pytest
import tarvik

SOLVER = pathlib.Path(tarvik._core.__file__).parents[2] / "reference" / "american_lcp"
SOURCES = pathlib.Path(__file__).parents[1] / "reference"
needs_solver = pytest.mark.skipif(
    not (SOLVER.exists() and (SOURCES / "dividend_quadrature.py").exists()),
    reason="the reference solvers are not built or not beside the tests")

DAY = 1 / 365


def reference(name):
    spec = importlib.util.spec_from_file_location(name, SOURCES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def quadrature():
    return reference("dividend_quadrature")


def smoothing(option):
    return reference("dividend_smoothing").price(*option)


def solve(tmp_path, options, *flags):
    """Rows (S, K, T, r, q, vol, call, times, amounts) through the solver."""
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_text("".join(
        ",".join(map(repr, o[:6])) + f",{int(o[6])},"
        + ";".join(map(repr, o[7])) + "," + ";".join(map(repr, o[8])) + "\n" for o in options))
    subprocess.run([str(SOLVER), str(src), str(out), "--levels", "5", *flags], check=True,
                   timeout=120)
    rows = csv.DictReader(line for line in open(out) if not line.startswith("#"))
    return {int(r["index"]): (float(r["price"]), float(r["error_estimate"]), r["status"])
            for r in rows}


def check(got, options, expected):
    bad = []
    for i, (o, want) in enumerate(zip(options, expected)):
        price, estimate, status = got[i]
        # The certification takes the estimate times 1.5.
        if status != "ok" or abs(price - want) > 1.5 * estimate + 1e-13 * o[1]:
            bad.append(f"{o}: {price!r} (estimate {estimate:.1e}) vs {want!r}")
    assert not bad, "\n".join(bad)


def at_expiry(s, k, t, r, q, vol, call, d):
    # The payoff on S_T - D (0 at the least): a call of strike K + D; a put
    # of strike K + D less one of strike D (below D the put pays K).
    bs = tarvik.black_scholes_price
    if call:
        return bs(s, k + d, t, r, q, vol, True)
    return bs(s, k + d, t, r, q, vol, False) - bs(s, d, t, r, q, vol, False)


@needs_solver
def test_european_with_a_dividend_on_or_after_expiry_meets_the_closed_form(tmp_path):
    options = [(100.0, 100.0, 90 * DAY, 0.05, 0.02, 0.3, call, [90 * DAY], [2.5])
               for call in (True, False)]
    options += [(60.0, 100.0, 400 * DAY, 0.03, 0.0, 0.9, False, [400 * DAY], [30.0]),
                (120.0, 100.0, 30 * DAY, 0.08, 0.01, 0.1, True, [31 * DAY], [5.0])]
    expected = [at_expiry(*o[:7], o[8][0]) for o in options[:3]]
    expected.append(tarvik.black_scholes_price(*options[3][:7]))
    check(solve(tmp_path, options, "--european"), options, expected)
    for o, want in zip(options, expected):
        assert smoothing(o) == pytest.approx(want, rel=1e-12, abs=1e-14 * o[1]), o


@needs_solver
@pytest.mark.parametrize("option", [
    (100.0, 100.0, 180 * DAY, 0.05, 0.02, 0.3, True, [90 * DAY], [2.0]),
    (100.0, 100.0, 180 * DAY, 0.05, 0.02, 0.3, False, [90 * DAY], [2.0]),
    (100.0, 100.0, 30 * DAY, 0.05, 0.0, 0.05, True, [29 * DAY], [3.0]),
    # A large dividend at high volatility: the spot often ends below it.
    (40.0, 100.0, 700 * DAY, 0.02, 0.04, 1.0, False, [350 * DAY], [8.0]),
], ids=["call", "put", "day-before", "capped"])
def test_european_with_one_dividend_meets_the_quadrature(tmp_path, option):
    want = float(quadrature().price(*option, digits=20))
    check(solve(tmp_path, [option], "--european"), [option], [want])
    assert smoothing(option) == pytest.approx(want, rel=1e-12, abs=1e-14 * option[1])


@needs_solver
def test_solver_meets_the_smoothing_with_large_dividends_then_a_small_one(tmp_path):
    # A put where dividends of 7 bring the spot low and one of 1 follows:
    # with its grid ending only 8 standard deviations below the path, the
    # solver took the zero-volatility value for the put on a spot of 1.1
    # with the dividend of 1 to come, off by some 0.03, and the price by
    # 6e-9 of it at seven levels (its estimate: 1e-10).
    times = [119 * DAY, 164 * DAY, 196 * DAY, 237 * DAY]
    option = (139.93, 100.0, 238 * DAY, 0.0904, 0.0253, 0.706, False, times,
              [6.89, 2.30, 6.92, 1.03])
    got = solve(tmp_path, [option], "--european", "--levels", "7")
    check(got, [option], [smoothing(option)])


@needs_solver
def test_american_call_before_the_ex_date_meets_its_integral(tmp_path):
    # q = 0: the call is held but for the instant before the ex-date t1, where
    # it is worth max(S - K, C(S - D, T - t1)); its price is the discounted
    # mean of that over S_t1.
    s, k, t, r, vol, t1, d = 100.0, 100.0, 30 * DAY, 0.05, 0.05, 29 * DAY, 3.0
    bs = quadrature().black_scholes
    with mp.workdps(25):
        mean, sd = (r - vol**2 / 2) * t1, vol * mp.sqrt(t1)

        def spot(z):
            return s * mp.exp(mean + sd * z)

        def held(z):
            return bs(max(spot(z) - d, mp.mpf(0)), mp.mpf(k), mp.mpf(t - t1), mp.mpf(r),
                      mp.mpf(0), mp.mpf(vol), True)

        switch = mp.findroot(lambda z: spot(z) - k - held(z), 0.0)
        want = mp.exp(-r * t1) * mp.quad(
            lambda z: max(spot(z) - k, held(z)) * mp.npdf(z), [-40, switch, 40])
    option = (s, k, t, r, 0.0, vol, True, [t1], [d])
    check(solve(tmp_path, [option]), [option], [float(want)])
