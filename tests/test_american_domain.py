"""American prices over the whole domain (r and q in [-0.2, 0.5] of any signs,
T from one day to 50 years, vol 0 and 1e-4 to 5, S/K 0.01 to 100, puts and
calls) against tests/data/american_domain_reference.csv: options of the
seeded sweep of reference/american_certify.py whose reference two methods agree
on (the boundary method at high counts and reference/american_lcp, the
independent Crank-Nicolson solver, within the latter's estimate; where the
pricer refused, american_lcp and QuantLib's finite differences; at vol = 0
the exact zero-volatility value), each with its error estimate in units of
max(price, 1e-4 K). The goal: e = |p - p_ref| / max(p_ref, 1e-4 K) <= 1e-9
where the estimate is <= 1e-10, e <= 1e-7 elsewhere. The full sweep and its
figures: reference/american_certify.py."""
import csv
import math
import pathlib
import subprocess

import numpy as np
import pytest
import tarvik
from sizes import sample

TABLE = pathlib.Path(__file__).parent / "data" / "american_domain_reference.csv"
ROWS = [r for r in csv.DictReader(line for line in open(TABLE) if not line.startswith("#"))]
# A partition of the table: each option in the first group whose region it is in.
GROUPS = {
    "two boundaries": {"two boundaries"},
    "zero vol": {"vol = 0"},
    "low vol sqrt(T)": {"vol sqrt(T) < 0.002", "0.002 <= vol sqrt(T) < 0.02"},
    "large carry": {"abs(r - q) T >= 2"},
    "long T": {"T >= 10"},
    "high vol": {"vol >= 1"},
    "short T": {"T <= 1 week"},
    "deep in or out of the money": {"deep ITM", "deep OTM"},
    "r or q zero or negative": {"r = 0 or q = 0", "r < 0 or q < 0"},
    "rest": None,
}


def option(row):
    return (float(row["S"]), float(row["K"]), float(row["T"]), float(row["r"]), float(row["q"]),
            float(row["vol"]), row["call"] == "1")


def group_of(row):
    regions = set(row["regions"].split("|"))
    return next(g for g, names in GROUPS.items() if names is None or names & regions)


def describe(o):
    s, k, t, r, q, v, call = o
    return f"{'call' if call else 'put'} S={s:g} K={k:g} T={t:.6g} r={r:g} q={q:g} vol={v:g}"


def price(o):
    try:
        return tarvik.american_price(*o)
    except tarvik.IVError as err:
        return f"refused ({err.args[0]})"


def two_boundaries(o):
    """In the put's form q < r < 0: an exercise region between two boundaries."""
    _, _, _, r, q, _, call = o
    rate, yield_ = (q, r) if call else (r, q)
    return yield_ < rate < 0.0


# Every option is priced within the goal, or refused with an error that names
# the reason: only a two-boundary case, whose boundaries' sweeps did not settle.
@pytest.mark.parametrize("group", GROUPS)
def test_prices_meet_the_accuracy_goal(group):
    rows = [r for r in ROWS if group_of(r) == group]
    failures = []
    for row in rows:
        o, ref, est = option(row), float(row["price"]), float(row["error_estimate"])
        goal = 1e-9 if est <= 1e-10 else 1e-7
        p = price(o)
        if not isinstance(p, float) and two_boundaries(o):
            with pytest.raises(tarvik.IVError, match="two exercise boundaries failed to converge"):
                tarvik.american_price(*o)
            continue
        e = abs(p - ref) / max(ref, 1e-4 * o[1]) if isinstance(p, float) else math.inf
        if not e <= goal:
            failures.append((e, f"{describe(o)}: {p} vs {ref!r} (e {e:.2e}, goal {goal:g})"))
    failures.sort(key=lambda f: -f[0])
    assert not failures, f"{len(failures)} of {len(rows)}:\n" + "\n".join(f for _, f in failures)


def zero_vol_value(s, k, t, r, q, call):
    def gain(u):
        g = k * math.exp(-r * u) - s * math.exp(-q * u)
        return -g if call else g
    candidates = [0.0, gain(0.0), gain(t)]
    if q != r and r * k != 0 and q * s / (r * k) > 0 and 0 < math.log(q * s / (r * k)) / (q - r) < t:
        candidates.append(gain(math.log(q * s / (r * k)) / (q - r)))
    return max(candidates)


def test_prices_are_at_least_the_european_and_zero_volatility_values():
    bad = []
    for row in ROWS:
        o = option(row)
        p = price(o)
        if isinstance(p, str):
            continue  # refusals fail the accuracy test
        bound = max(tarvik.black_scholes_price(*o), zero_vol_value(*o[:5], o[6]))
        if p < bound - 1e-12 * max(bound, 1e-4 * o[1]):
            bad.append(f"{describe(o)}: {p!r} < {bound!r}")
    assert not bad, "\n".join(bad)


# Options of the table, one of each kind (every hundredth of it in a full
# run), whose price must not fall with the volatility by more than twice the
# goal on a fine grid of volatilities.
MONOTONE = sample([0, 1, 2, 5, 8, 13, 21, 34, 55, 89], list(range(100)))


@pytest.mark.parametrize("at", MONOTONE)
def test_prices_do_not_fall_with_the_volatility(at):
    s, k, t, r, q, _, call = option(ROWS[at * len(ROWS) // 100])
    vols = np.concatenate([[0.0], np.geomspace(1e-4, 5.0, 48)])
    p = [price((s, k, t, r, q, v, call)) for v in vols]
    falls = [f"vol {vols[j]:.4g} -> {vols[j + 1]:.4g}: {p[j]} -> {p[j + 1]}"
             for j in range(len(vols) - 1)
             if isinstance(p[j], float) and isinstance(p[j + 1], float)
             and p[j + 1] < p[j] - 2e-9 * max(p[j], 1e-4 * k)]
    assert not falls, describe((s, k, t, r, q, 0.0, call)) + "\n" + "\n".join(falls)


def european_regime(r, q, call):
    """Early exercise never pays: in the put's form r <= 0 and q >= r."""
    rate, yield_ = (q, r) if call else (r, q)
    return rate <= 0.0 and yield_ >= rate


# Where early exercise pays, a call is priced as its mirrored put: the same
# bits. Where it never pays, each is the European price of its own kind, bit
# for bit, and the two European formulas agree to rounding.
def test_put_call_symmetry():
    bad = []
    for row in ROWS:
        s, k, t, r, q, v, call = option(row)
        a, b = price((s, k, t, r, q, v, call)), price((k, s, t, q, r, v, not call))
        exact = not european_regime(r, q, call)
        if (a != b) if exact or not isinstance(a, float) else abs(a - b) > 1e-13 * max(b, 1e-4 * k):
            bad.append(f"{describe((s, k, t, r, q, v, call))}: {a!r} vs mirror {b!r}")
    assert not bad, f"{len(bad)} of {len(ROWS)}:\n" + "\n".join(bad[:20])


# The build holds the package in pkg/ and the reference solvers in reference/.
SOLVER = pathlib.Path(tarvik._core.__file__).parents[2] / "reference" / "american_lcp"


@pytest.mark.skipif(not SOLVER.exists(), reason="the reference solvers are not built")
def test_reference_solver_agrees_with_the_table_within_its_estimate(tmp_path):
    # A bounded sample (the sweep runs the solver at seven levels): a few
    # options with two boundaries and a few others, at five levels.
    two = [r for r in ROWS if "two boundaries" in r["regions"]][:3]
    one = [r for r in ROWS if "two boundaries" not in r["regions"] and float(r["vol"]) >= 0.1
           and float(r["T"]) <= 5][:3]
    sample = two + one
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_text("".join(",".join(row[c] for c in ("S", "K", "T", "r", "q", "vol", "call")) + "\n"
                           for row in sample))
    subprocess.run([str(SOLVER), str(src), str(out), "--levels", "5"], check=True, timeout=60)
    got = {int(r["index"]): r for r in csv.DictReader(
        line for line in open(out) if not line.startswith("#"))}
    for i, row in enumerate(sample):
        o, ref = option(row), float(row["price"])
        scale = max(ref, 1e-4 * o[1])
        gap = abs(float(got[i]["price"]) - ref) / scale
        est = float(got[i]["error_estimate"]) / scale
        assert got[i]["status"] == "ok" and gap <= 1.5 * est + float(row["error_estimate"]), (
            f"{describe(o)}: {got[i]['price']} (estimate {est:.1e}) vs {ref!r}")


# Without the early exercise the solver's answer is known in closed form:
# long and short, negative rates, tiny and large vol, far from the money.
EUROPEAN = [(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, False), (2000.0, 100.0, 30.0, -0.15, 0.3, 0.05, True),
            (30.0, 100.0, 0.01, 0.4, -0.2, 3.0, False), (100.0, 80.0, 45.0, -0.2, -0.1, 0.6, True),
            (100.0, 100.0, 2.0, 0.1, 0.1, 0.002, False)]


@pytest.mark.skipif(not SOLVER.exists(), reason="the reference solvers are not built")
def test_reference_solver_meets_the_closed_form_within_its_estimate(tmp_path):
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_text("".join(",".join(map(repr, o[:6])) + f",{int(o[6])}\n" for o in EUROPEAN))
    subprocess.run([str(SOLVER), str(src), str(out), "--levels", "5", "--european"], check=True,
                   timeout=60)
    got = {int(r["index"]): r for r in csv.DictReader(
        line for line in open(out) if not line.startswith("#"))}
    bad = []
    for i, o in enumerate(EUROPEAN):
        exact = tarvik.black_scholes_price(*o)
        gap = abs(float(got[i]["price"]) - exact)
        # The certification takes the estimate times 1.5 (reference/american_certify.py).
        if got[i]["status"] != "ok" or gap > 1.5 * float(got[i]["error_estimate"]) + 1e-13 * o[1]:
            bad.append(f"{describe(o)}: {got[i]['price']} (estimate {got[i]['error_estimate']})"
                       f" vs {exact!r}")
    assert not bad, "\n".join(bad)


CERTIFY = pathlib.Path(__file__).parents[1] / "reference" / "american_certify.py"


@pytest.mark.skipif(not (SOLVER.exists() and CERTIFY.exists()),
                    reason="the reference solvers are not built or not beside the tests")
def test_certification_sweep_reports_refusals_and_writes_its_table(tmp_path):
    # A bounded run at low counts: it must carry the pricer's refusals (the
    # two-boundary stratum) through to its report, not stop at them.
    run = subprocess.run(
        ["python3", str(CERTIFY), "--count", "40", "--fd-sample", "4", "--ql-sample", "0",
         "--mono-sample", "2", "--mono-vols", "8", "--fd-levels", "4", "--fd-budget", "20000",
         "--threads", "1", "--scheme-a", "16,32,24,64,1e-10", "--scheme-b", "12,32,16,64,1e-9",
         "--tools", str(SOLVER.parent), "--out", str(tmp_path), "--table", str(tmp_path / "t.csv")],
        capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    report = run.stdout
    for needle in ("| two boundaries |", "Share of the sweep meeting the goal", "put-call symmetry",
                   "monotone in vol", "Refused by today's pricer"):
        assert needle in report, needle
    assert (tmp_path / "t.csv").read_text().startswith("# reference/american_certify.py --table")


def run_solver(tmp_path, options, *flags):
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_text("".join(",".join(map(repr, o[:6])) + f",{int(o[6])}\n" for o in options))
    subprocess.run([str(SOLVER), str(src), str(out), *flags], check=True, timeout=60)
    return {int(r["index"]): r for r in csv.DictReader(
        line for line in open(out) if not line.startswith("#"))}


@pytest.mark.skipif(not SOLVER.exists(), reason="the reference solvers are not built")
def test_reference_solver_meets_the_portfolio_reference_within_its_estimate(tmp_path):
    # The hardest options of the benchmark portfolio (tests/test_american_reference.py),
    # whose converged prices are stored, and two ordinary ones.
    from test_american_reference import HARD, REFERENCE, portfolio
    picks = HARD + [100, 7000]
    table = dict(np.loadtxt(REFERENCE, delimiter=",", skiprows=2))
    book = portfolio()
    options = [tuple(float(a[i]) for a in book[:6]) + (bool(book[6][i]),) for i in picks]
    got = run_solver(tmp_path, options, "--levels", "6")
    bad = []
    for j, (i, o) in enumerate(zip(picks, options)):
        gap, est = abs(float(got[j]["price"]) - table[i]), float(got[j]["error_estimate"])
        if got[j]["status"] != "ok" or gap > 1.5 * est + 1e-13 * o[1]:
            bad.append(f"{describe(o)}: {got[j]['price']} (estimate {est:.1e}) vs {table[i]!r}")
    assert not bad, "\n".join(bad)


@pytest.mark.skipif(not SOLVER.exists(), reason="the reference solvers are not built")
def test_reference_solver_with_two_boundaries_keeps_the_bounds(tmp_path):
    # Puts with q < r < 0 across the money and their mirrored calls (r < q <
    # 0), solved each on its own: at least the European and zero-volatility
    # values, and the put equal to its call, within the estimates.
    puts = [(s, 100.0, t, -0.02, -0.08, v, False) for s in (60.0, 90.0, 120.0)
            for t, v in ((0.5, 0.3), (10.0, 0.1))]
    options = puts + [(100.0, s, t, q, r, v, True) for (s, _, t, r, q, v, _) in puts]
    got = run_solver(tmp_path, options, "--levels", "5")
    price = [float(got[j]["price"]) for j in range(len(options))]
    est = [1.5 * float(got[j]["error_estimate"]) + 1e-13 * 100 for j in range(len(options))]
    bad = [f"{describe(o)}: status {got[j]['status']}" for j, o in enumerate(options)
           if got[j]["status"] != "ok"]
    for j, o in enumerate(options):
        bound = max(tarvik.black_scholes_price(*o), zero_vol_value(*o[:5], o[6]))
        if price[j] < bound - est[j]:
            bad.append(f"{describe(o)}: {price[j]!r} (estimate {est[j]:.1e}) < {bound!r}")
    for j, o in enumerate(puts):
        m = j + len(puts)
        if abs(price[j] - price[m]) > est[j] + est[m]:
            bad.append(f"{describe(o)}: {price[j]!r} vs its mirrored call {price[m]!r}")
    assert not bad, "\n".join(bad)
