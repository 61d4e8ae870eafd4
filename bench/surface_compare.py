"""Volatility surfaces: tarvik.surface.fit on chains of known models, and
beside the Python peers' SVI fits, every figure from one run.

Two seeded equity-index chains, each of --expiries expiries from a week to
three years (30) and --strikes strikes an expiry (100), out of the money
(puts below the forward, calls above), strikes from put delta -0.02 to
call delta 0.05 at the expiry's mean variance:

  heston  Heston (1993): v0 and theta in 0.03-0.05, kappa 1-3, vol of
          variance 0.5-1, rho -0.6 to -0.8; QuantLib's AnalyticHestonEngine;
  bates   the same diffusion with lognormal (Merton) jumps, Bates (1996):
          intensity 0.1-0.3 a year, mean log jump -0.12 to -0.05, its
          deviation 0.05-0.15; QuantLib's BatesEngine.

Each model price p gets a bid/ask of max(0.005, 1% of p) in price
(--least-spread, --spread) around a mid p + e, |e| at most a quarter of the
spread (normal, deviation a tenth of it, seeded); the Black-76 implied
volatilities of the mid, the bid and the ask are tarvik.implied_volatilities'
of the undiscounted prices on the forward. A quote whose bid has no implied
volatility (bid <= 0: far wings of short expiries) is dropped, and the count
is printed.

For every smile that tarvik.surface.fit accepts ("svi", "essvi"; one it
refuses is skipped with its message), on each chain:

  * within  the share of quotes whose fitted volatility lies within the
            quote's bid/ask volatilities (goal for the default smile: 95%),
            by expiry and at the worst expiry;
  * RMSE    in volatility points, against the mids and against the model's
            noise-free volatilities;
  * the arbitrage report of Surface.check(): free, the smiles free of
            butterfly arbitrage, their smallest g and that between the
            expiries, the largest calendar fall (infinite when a wing's
            slope falls); beside it the largest fall over the
            log-moneyness quoted at both expiries;
  * times   processor time of the fit of one expiry (the one nearest three
            months with every strike kept; best of 5) and of the whole
            surface (best of 3), serial; implied_volatilities and
            total_variance at 10^6 random (strike, maturity) points, serial
            (processor and wall time) and parallel (wall time), best of 3,
            and whether the bits agree.

Reproduction: a chain of eSSVI slices (Gatheral and Jacquier 2014 for one
slice, Hendriks and Martini 2019 across them): theta increasing, psi =
theta phi a power of theta, rho moving from the short end's to the long
end's with |rho2 psi2 - rho1 psi1| <= psi2 - psi1, psi (1 + |rho|) < 4 and
psi^2 (1 + |rho|) <= 4 theta at every slice (checked). Each smile fits its
exact volatilities (no bid/ask: fit's default weights): the worst relative
volatility error (goal for essvi: 1e-8).

Peers: svi-py and volsurface (PyPI), in a Python 3.13 venv (--peer-python),
through bench/surface_peers.py on the same chains (a .npz in, a JSON out;
their times are taken in that process): RMSE, within, how many of their
smiles are free of butterfly arbitrage (their raw SVI parameters through
tarvik's exact smallest g) and their times beside tarvik's smile="svi"
(goal: tarvik's RMSE no larger, its whole-surface fit 100 times faster).

The machine's other load moves the times: compare ratios within one run.

  python bench/surface_compare.py [--seed 31] [--expiries 30] [--strikes 100]
      [--points 1000000] [--spread 0.01] [--least-spread 0.005]
      [--skip-peers] [--peer-python PATH] [--json PATH]

The peers' venv (svi-py needs Python 3.13):
  python3.13 -m venv /tmp/svienv && /tmp/svienv/bin/pip install svi-py volsurface
"""
import argparse
import json
import math
import os
import pathlib
import subprocess
import tempfile
import time

import numpy as np
import tarvik
from tarvik import _core, surface

try:
    import QuantLib as ql
except ImportError:  # the chains need it
    ql = None

HERE = pathlib.Path(__file__).resolve().parent
SMILES = ("svi", "essvi")
PUT_DELTA, CALL_DELTA = 0.02, 0.05  # the wings' deltas, in absolute value
SPOT = 100.0


# --- the chains ------------------------------------------------------------

def expiry_days(count, first=7, last=1095):
    """count whole days from first to last, geometrically spaced, increasing."""
    days = np.round(np.geomspace(first, last, count)).astype(int)
    for i in range(1, count):
        days[i] = max(days[i], days[i - 1] + 1)
    return days


def strike_grid(forward, t, mean_variance, count):
    """Strikes from put delta -PUT_DELTA to call delta CALL_DELTA at the
    volatility sqrt(mean_variance) (Black-76 forward deltas)."""
    from statistics import NormalDist

    inv = NormalDist().inv_cdf
    s = math.sqrt(mean_variance * t)
    d1 = np.linspace(inv(1 - PUT_DELTA), inv(CALL_DELTA), count)
    return forward * np.exp(0.5 * s * s - d1 * s)


def model_parameters(rng, jumps):
    p = {
        "r": rng.uniform(0.02, 0.05), "q": rng.uniform(0.0, 0.02),
        "v0": rng.uniform(0.03, 0.05), "theta": rng.uniform(0.03, 0.05),
        "kappa": rng.uniform(1.0, 3.0), "sigma": rng.uniform(0.5, 1.0),
        "rho": rng.uniform(-0.8, -0.6),
    }
    if jumps:
        p.update(lambda_=rng.uniform(0.1, 0.3), nu=rng.uniform(-0.12, -0.05),
                 delta=rng.uniform(0.05, 0.15))
    return p


def model_prices(p, days, strikes, is_call):
    """QuantLib's undiscounted European prices: Heston's, or Bates's when p
    has jumps. days, strikes, is_call: one per option."""
    today = ql.Date(2, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    spot = ql.QuoteHandle(ql.SimpleQuote(SPOT))
    rates = ql.YieldTermStructureHandle(ql.FlatForward(today, p["r"], dc))
    yields = ql.YieldTermStructureHandle(ql.FlatForward(today, p["q"], dc))
    diffusion = (p["v0"], p["kappa"], p["theta"], p["sigma"], p["rho"])
    if "lambda_" in p:
        process = ql.BatesProcess(rates, yields, spot, *diffusion,
                                  p["lambda_"], p["nu"], p["delta"])
        engine = ql.BatesEngine(ql.BatesModel(process))
    else:
        engine = ql.AnalyticHestonEngine(ql.HestonModel(ql.HestonProcess(rates, yields, spot, *diffusion)))
    out = np.empty(len(strikes))
    for i, (d, k, c) in enumerate(zip(days, strikes, is_call)):
        payoff = ql.PlainVanillaPayoff(ql.Option.Call if c else ql.Option.Put, float(k))
        option = ql.VanillaOption(payoff, ql.EuropeanExercise(today + int(d)))
        option.setPricingEngine(engine)
        out[i] = option.NPV() * math.exp(p["r"] * d / 365.0)
    return out


def model_chain(name, seed, expiries, strikes, spread=0.01, least_spread=0.005):
    """A seeded chain of the model: quotes kept, with the count dropped."""
    jumps = name == "bates"
    rng = np.random.default_rng([seed, 1 if jumps else 0])
    p = model_parameters(rng, jumps)
    days = expiry_days(expiries)
    T_list, K_list, F_list = [], [], []
    for d in days:
        t = d / 365.0
        f = SPOT * math.exp((p["r"] - p["q"]) * t)
        x = p["kappa"] * t
        variance = p["theta"] + (p["v0"] - p["theta"]) * (1 - math.exp(-x)) / x
        if jumps:
            variance += p["lambda_"] * (p["nu"] ** 2 + p["delta"] ** 2)
        K_list.append(strike_grid(f, t, variance, strikes))
        T_list.append(np.full(strikes, t))
        F_list.append(np.full(strikes, f))
    K, T, F = np.concatenate(K_list), np.concatenate(T_list), np.concatenate(F_list)
    D = np.repeat(days, strikes)
    call = K >= F
    price = model_prices(p, D, K, call)
    half = 0.5 * np.maximum(least_spread, spread * price)
    mid = price + half * np.clip(0.2 * rng.standard_normal(price.size), -0.5, 0.5)
    bid, ask = mid - half, mid + half
    iv = lambda x: tarvik.implied_volatilities(x, F, K, T, call)
    vol, bid_vol, ask_vol, true_vol = iv(mid), iv(bid), iv(ask), iv(price)
    keep = np.isfinite(bid_vol)
    unpriced = int(np.sum(keep & ~(np.isfinite(vol) & np.isfinite(ask_vol))))
    keep &= np.isfinite(vol) & np.isfinite(ask_vol)
    chain = {
        "name": name, "parameters": p,
        "strike": K[keep], "forward": F[keep], "maturity": T[keep], "call": call[keep],
        "vol": vol[keep], "bid_vol": bid_vol[keep], "ask_vol": ask_vol[keep],
        "true_vol": true_vol[keep],
        "quoted": int(K.size), "dropped": int(np.sum(~np.isfinite(bid_vol))),
        "unpriced": unpriced,
    }
    return chain


def essvi_chain(seed, expiries, strikes):
    """Exact volatilities of seeded eSSVI slices within the no-arbitrage
    conditions: w(k) = theta/2 (1 + rho phi k + sqrt((phi k + rho)^2 + 1 - rho^2))."""
    rng = np.random.default_rng([seed, 2])
    v0, vinf = rng.uniform(0.03, 0.05, 2)
    kappa = rng.uniform(1.0, 3.0)
    gamma = rng.uniform(0.35, 0.5)
    rho0, rho_inf = rng.uniform(-0.8, -0.6), rng.uniform(-0.5, -0.3)
    days = expiry_days(expiries)
    t = days / 365.0
    theta = vinf * t + (v0 - vinf) * (1 - np.exp(-kappa * t)) / kappa
    # psi = eta theta^(1 - gamma); eta at most 90% of what either bound allows.
    most = np.min(np.minimum(4 / (theta ** (1 - gamma) * 2), 2 / np.sqrt(2 * theta ** (1 - 2 * gamma))))
    eta = rng.uniform(0.5, 0.9) * most
    psi = eta * theta ** (1 - gamma)
    # rho psi = rho_inf psi + (rho0 - rho_inf) psi_1: its step is |rho_inf| times psi's.
    rho = rho_inf + (rho0 - rho_inf) * psi[0] / psi
    assert np.all(np.diff(theta) > 0) and np.all(np.abs(rho) < 1)
    assert np.all(psi * (1 + np.abs(rho)) < 4) and np.all(psi ** 2 * (1 + np.abs(rho)) <= 4 * theta)
    assert np.all(np.abs(np.diff(rho * psi)) <= np.diff(psi))
    K_list, F_list, T_list, V_list = [], [], [], []
    r = rng.uniform(0.0, 0.04)
    for ti, th, ps, rh in zip(t, theta, psi, rho):
        f = SPOT * math.exp(r * ti)
        K = strike_grid(f, ti, th / ti, strikes)
        k = np.log(K / f)
        phi = ps / th
        w = 0.5 * th * (1 + rh * phi * k + np.sqrt((phi * k + rh) ** 2 + 1 - rh * rh))
        K_list.append(K)
        F_list.append(np.full(strikes, f))
        T_list.append(np.full(strikes, ti))
        V_list.append(np.sqrt(w / ti))
    return {
        "name": "essvi", "strike": np.concatenate(K_list), "forward": np.concatenate(F_list),
        "maturity": np.concatenate(T_list), "vol": np.concatenate(V_list),
        "parameters": {"theta": theta.tolist(), "psi": psi.tolist(), "rho": rho.tolist(),
                       "eta": eta, "gamma": gamma},
    }


# --- tarvik's figures --------------------------------------------------------

def best_of(f, repeat, clock=time.process_time):
    times = []
    for _ in range(repeat):
        t0 = clock()
        f()
        times.append(clock() - t0)
    return min(times)


def timing_expiry(chain, strikes):
    """The index of the expiry nearest three months among those with every
    strike kept (else with the most quotes)."""
    expiries, counts = np.unique(chain["maturity"], return_counts=True)
    full = counts == counts.max() if counts.max() < strikes else counts == strikes
    candidates = np.flatnonzero(full)
    return int(candidates[np.argmin(np.abs(expiries[candidates] - 0.25))])


def quality(chain, fitted):
    """within, RMSE and the worst expiry of fitted volatilities (NaN where
    an expiry was not fitted, counted as outside)."""
    bid, ask, vol = chain["bid_vol"], chain["ask_vol"], chain["vol"]
    inside = (fitted >= bid) & (fitted <= ask)
    ok = np.isfinite(fitted)
    worst_t, worst_share, shares = math.nan, 2.0, []
    for t in np.unique(chain["maturity"]):
        here = chain["maturity"] == t
        shares.append(float(inside[here].mean()))
        if shares[-1] < worst_share:
            worst_t, worst_share = float(t), shares[-1]
    return {
        "within": float(inside.mean()),
        "rmse_mid": 100 * math.sqrt(np.mean((fitted[ok] - vol[ok]) ** 2)) if ok.any() else math.nan,
        "rmse_model": (100 * math.sqrt(np.mean((fitted[ok] - chain["true_vol"][ok]) ** 2))
                       if ok.any() else math.nan),
        "unfitted": int(np.sum(~ok)),
        "worst_expiry": worst_t, "worst_within": worst_share, "within_by_expiry": shares,
    }


def quoted_calendar(s, chain):
    """The largest fall of total variance from one fitted expiry to the next
    over the log-moneyness quoted at both (200 points), and where."""
    k = np.log(chain["strike"] / chain["forward"])
    T = s.maturities
    worst, where = 0.0, None
    for t0, t1 in zip(T[:-1], T[1:]):
        k0, k1 = k[chain["maturity"] == t0], k[chain["maturity"] == t1]
        lo, hi = max(k0.min(), k1.min()), min(k0.max(), k1.max())
        if lo >= hi:
            continue
        grid = np.linspace(lo, hi, 200)
        fall = s.total_variance(grid, t0) - s.total_variance(grid, t1)
        j = int(np.argmax(fall))
        if fall[j] > worst:
            worst, where = float(fall[j]), (float(t0), float(t1), float(grid[j]))
    return worst, where


def arbitrage(report):
    slices = report["slices"]
    g = [s["smallest_g"] for s in slices]
    return {
        "free": bool(report["free"]),
        "butterfly_free": sum(bool(s["free"]) for s in slices), "smiles": len(slices),
        "smallest_g": float(min(g)) if g else math.nan,
        "calendar": float(report["calendar"]["largest_violation"]),
        "calendar_between": report["calendar"]["between"],
        # The smallest g on the grid at maturities between the expiries, where check() has it.
        "interpolated_g": float(report.get("interpolated", {}).get("smallest_g", math.nan)),
    }


def fit_or_refusal(smile, *args, **kwargs):
    try:
        return surface.fit(*args, smile=smile, **kwargs), None
    except (ValueError, TypeError) as e:
        return None, f"{type(e).__name__}: {e}"


def tarvik_figures(chain, smile, strikes, points, seed):
    K, F, T, vol = chain["strike"], chain["forward"], chain["maturity"], chain["vol"]
    quotes = dict(bid_vols=chain["bid_vol"], ask_vols=chain["ask_vol"])
    s, refused = fit_or_refusal(smile, K, F, T, vol, **quotes)
    if refused:
        return {"refused": refused}
    fitted = s.implied_volatilities(K, T, F)
    out = quality(chain, fitted)
    out["failures"] = {f"{t:.6f}": r for t, r in s.failures.items()}
    out.update(arbitrage(s.check()))
    out["calendar_quoted"], out["calendar_quoted_at"] = quoted_calendar(s, chain)
    i = timing_expiry(chain, strikes)
    one = T == np.unique(T)[i]
    out["timing_expiry"] = {"index": i, "maturity": float(np.unique(T)[i]), "quotes": int(one.sum())}
    args_one = (K[one], F[one], T[one], vol[one])
    q_one = dict(bid_vols=chain["bid_vol"][one], ask_vols=chain["ask_vol"][one])
    out["one"] = best_of(lambda: surface.fit(*args_one, smile=smile, **q_one), 5)
    out["whole"] = best_of(lambda: surface.fit(K, F, T, vol, smile=smile, **quotes), 3)
    out.update(evaluation(s, T, points, seed))
    return out


def evaluation(s, T, points, seed):
    rng = np.random.default_rng([seed, 3])
    t = rng.uniform(T.min(), T.max(), points)
    # Strikes at log-moneyness from -1 to 0.6 standard deviations of a 100% volatility.
    K = s.forward(t) * np.exp(rng.uniform(-1.0, 0.6, points) * np.sqrt(t))
    serial = best_of(lambda: s.implied_volatilities(K, t), 3)
    serial_wall = best_of(lambda: s.implied_volatilities(K, t), 3, time.perf_counter)
    parallel = best_of(lambda: s.implied_volatilities(K, t, parallel=True), 3, time.perf_counter)
    same = s.implied_volatilities(K, t).tobytes() == s.implied_volatilities(K, t, parallel=True).tobytes()
    # The core's own share: total variance at log-moneyness, no forwards, logs or roots.
    x = np.log(K / s.forward(t))
    w_serial = best_of(lambda: s.total_variance(x, t), 3)
    w_serial_wall = best_of(lambda: s.total_variance(x, t), 3, time.perf_counter)
    w_parallel = best_of(lambda: s.total_variance(x, t, parallel=True), 3, time.perf_counter)
    w_same = s.total_variance(x, t).tobytes() == s.total_variance(x, t, parallel=True).tobytes()
    return {"eval_serial": serial, "eval_serial_wall": serial_wall, "eval_parallel": parallel,
            "eval_same_bits": same, "w_serial": w_serial, "w_serial_wall": w_serial_wall,
            "w_parallel": w_parallel, "w_same_bits": w_same, "points": points}


def reproduction(chain, smile):
    K, F, T, vol = chain["strike"], chain["forward"], chain["maturity"], chain["vol"]
    s, refused = fit_or_refusal(smile, K, F, T, vol)
    if refused:
        return {"refused": refused}
    fitted = s.implied_volatilities(K, T, F)
    rel = np.abs(fitted / vol - 1)
    worst = int(np.nanargmax(rel)) if np.isfinite(rel).any() else 0
    return {
        "worst_relative": float(np.max(rel)) if np.all(np.isfinite(rel)) else math.inf,
        "at": {"maturity": float(T[worst]), "k": float(np.log(K[worst] / F[worst]))},
        "rmse": 100 * math.sqrt(np.nanmean((fitted - vol) ** 2)),
        "failures": {f"{t:.6f}": r for t, r in s.failures.items()},
        "free": bool(s.check()["free"]),
    }


# --- the peers ---------------------------------------------------------------

def run_peers(chain, python, expiry, workdir):
    """surface_peers.py on the chain in the peers' venv: its JSON, or why not."""
    path = pathlib.Path(workdir) / f"{chain['name']}.npz"
    out = pathlib.Path(workdir) / f"{chain['name']}.json"
    bid = chain.get("bid_vol", chain["vol"])
    ask = chain.get("ask_vol", chain["vol"])
    np.savez(path, strike=chain["strike"], forward=chain["forward"], maturity=chain["maturity"],
             vol=chain["vol"], bid_vol=bid, ask_vol=ask, spot=SPOT)
    cmd = [python, str(HERE / "surface_peers.py"), str(path), str(out), "--expiry", str(expiry)]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=3600)
    except (OSError, subprocess.TimeoutExpired) as e:
        return {"error": f"{type(e).__name__}: {e}"}
    if done.returncode != 0 or not out.exists():
        return {"error": f"exit {done.returncode}: {done.stderr.strip()[-600:]}"}
    return json.loads(out.read_text())


def peer_figures(chain, peer):
    """Our figures of one peer setting from its fitted volatilities."""
    if "error" in peer:
        return {"error": peer["error"]}
    fitted = np.array([math.nan if v is None else v for v in peer["vols"]])
    out = quality(chain, fitted) if "bid_vol" in chain else {}
    if "bid_vol" not in chain:
        rel = np.abs(fitted / chain["vol"] - 1)
        out["worst_relative"] = float(np.max(rel)) if np.all(np.isfinite(rel)) else math.inf
        out["rmse_mid"] = 100 * math.sqrt(np.nanmean((fitted - chain["vol"]) ** 2))
    free = 0
    for p in peer["parameters"]:
        try:
            free += p is not None and bool(_core._svi_smallest_butterfly(*map(float, p))[2])
        except (TypeError, ValueError):  # parameters out of raw SVI's domain
            pass
    out.update(butterfly_free=free, smiles=sum(p is not None for p in peer["parameters"]),
               one=peer["one"], whole=peer["whole"], notes=peer["notes"])
    return out


# --- the report ----------------------------------------------------------------

def ms(x):
    return f"{x * 1e3:8.2f}"


def print_chain(chain):
    p = ", ".join(f"{k.rstrip('_')} {v:.4g}" for k, v in chain["parameters"].items())
    print(f"\n== {chain['name']}: {chain['strike'].size} quotes kept of {chain['quoted']} "
          f"({chain['dropped']} dropped: bid without implied volatility; "
          f"{chain['unpriced']} more: mid or ask without)")
    print(f"   {p}")


def r_points(results):
    n = next((r["points"] for r in results.values() if "points" in r), 0)
    return f"10^{round(math.log10(n))}" if n and 10 ** round(math.log10(n)) == n else f"{n:,}"


def print_tarvik(results):
    print(f"   {'smile':6} {'within':>7} {'worst expiry':>20} {'RMSE mid':>9} {'RMSE mod':>9} "
          f"{'free':>5} {'butterfly':>9} {'smallest g':>11} {'between':>9} {'calendar':>9} {'in quotes':>9}")
    for smile, r in results.items():
        if "refused" in r:
            print(f"   {smile:6} skipped, fit refuses it: {r['refused']}")
            continue
        worst = f"{r['worst_within']:.1%} at T={r['worst_expiry']:.3f}"
        print(f"   {smile:6} {r['within']:7.1%} {worst:>20} {r['rmse_mid']:9.3f} {r['rmse_model']:9.3f} "
              f"{str(r['free']):>5} {r['butterfly_free']:>4}/{r['smiles']:<4} {r['smallest_g']:11.2e} "
              f"{r['interpolated_g']:9.2e} {r['calendar']:9.1e} {r['calendar_quoted']:9.1e}")
        shares = " ".join(f"{100 * x:.0f}" for x in r["within_by_expiry"])
        print(f"          within by expiry, %: {shares}")
        cal = r["calendar_between"]
        if r["calendar"] > 0 and cal:
            at = r["calendar_quoted_at"]
            print(f"          calendar: check()'s worst between T={cal[0]:.4f} and {cal[1]:.4f}"
                  + (f"; in quotes: T={at[0]:.4f} to {at[1]:.4f} at k={at[2]:+.3f}" if at else ""))
        for t, why in r["failures"].items():
            print(f"          not fitted: T={t}: {why}")
    print(f"   {'smile':6} {'one expiry':>10} {'surface':>9} | {r_points(results)} points: {'vols':>8} "
          f"{'(wall)':>8} {'parallel':>8} {'same':>5} | {'w':>8} {'(wall)':>8} {'parallel':>8} {'same':>5}")
    for smile, r in results.items():
        if "refused" in r:
            continue
        e = r["timing_expiry"]
        print(f"   {smile:6} {ms(r['one']):>10} {ms(r['whole']):>9} | {'':{len(r_points(results)) + 8}} "
              f"{ms(r['eval_serial'])} {ms(r['eval_serial_wall'])} {ms(r['eval_parallel'])} "
              f"{str(r['eval_same_bits']):>5} | {ms(r['w_serial'])} {ms(r['w_serial_wall'])} "
              f"{ms(r['w_parallel'])} {str(r['w_same_bits']):>5}")
        print(f"          (one expiry: T={e['maturity']:.3f}, {e['quotes']} quotes)")


def print_peers(tarvik_svi, peers):
    if peers is None:
        return
    if "error" in peers:
        print(f"   peers: not run: {peers['error']}")
        return
    print(f"   peers ({', '.join(f'{k} {v}' for k, v in peers['versions'].items())}), raw SVI:")
    print(f"   {'':22} {'RMSE mid':>9} {'within':>7} {'butterfly':>9} {'one expiry ms':>13} "
          f"{'surface ms':>11}   tarvik faster: one, surface")
    rows = [("tarvik svi", tarvik_svi)] + list(peers["figures"].items())
    for name, r in rows:
        if r is None or "refused" in r:
            continue
        if "error" in r:
            print(f"   {name:22} failed: {r['error']}")
            continue
        faster = ("" if name == "tarvik svi" else
                  f"{r['one'] / tarvik_svi['one']:9.0f}x {r['whole'] / tarvik_svi['whole']:8.0f}x")
        within = f"{r['within']:7.1%}" if "within" in r else f"{'':7}"
        print(f"   {name:22} {r['rmse_mid']:9.3f} {within} {r['butterfly_free']:>4}/{r['smiles']:<4} "
              f"{ms(r['one']):>13} {ms(r['whole']):>11} {faster}")
        notes = r.get("notes", [])
        for note in notes[:3]:
            print(f"   {'':22} note: {note[:100]}{'...' if len(note) > 100 else ''}")
        if len(notes) > 3:
            print(f"   {'':22} ({len(notes) - 3} more notes in --json)")


def goals(report):
    lines = []
    default = report["default_smile"]
    for name in ("heston", "bates"):
        r = report["chains"][name]["tarvik"].get(default, {})
        if "within" in r:
            lines.append((r["within"] >= 0.95, f"{name}: smile={default!r} within bid/ask "
                          f"{r['within']:.1%} >= 95%"))
            lines.append((r["free"], f"{name}: smile={default!r} free of arbitrage"))
        svi = report["chains"][name]["tarvik"].get("svi", {})
        peers = report["chains"][name].get("peers") or {}
        for peer, p in (peers.get("figures") or {}).items():
            if "error" in p or "rmse_mid" not in svi:
                continue
            lines.append((svi["rmse_mid"] <= p["rmse_mid"], f"{name}: svi RMSE {svi['rmse_mid']:.3f} "
                          f"<= {peer}'s {p['rmse_mid']:.3f} vol points"))
            lines.append((p["whole"] >= 100 * svi["whole"], f"{name}: svi surface fit "
                          f"{p['whole'] / svi['whole']:.0f}x faster than {peer}'s (goal 100x)"))
    r = report["reproduction"]["tarvik"].get("essvi", {})
    if "worst_relative" in r:
        lines.append((r["worst_relative"] <= 1e-8, f"essvi reproduces its own chain: worst relative "
                      f"error {r['worst_relative']:.1e} <= 1e-8"))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=31)
    parser.add_argument("--expiries", type=int, default=30)
    parser.add_argument("--strikes", type=int, default=100)
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--spread", type=float, default=0.01, help="bid/ask spread over the price")
    parser.add_argument("--least-spread", type=float, default=0.005, help="the smallest spread in price")
    parser.add_argument("--skip-peers", action="store_true")
    parser.add_argument("--peer-python", default="/tmp/svienv/bin/python")
    parser.add_argument("--json")
    args = parser.parse_args()
    if ql is None:
        raise SystemExit("the chains are priced by QuantLib: pip install QuantLib")
    default = surface.fit.__kwdefaults__["smile"]
    report = {"seed": args.seed, "spread": args.spread, "least_spread": args.least_spread,
              "default_smile": default, "chains": {}}
    print(f"tarvik {tarvik.__version__}, QuantLib {ql.__version__}; seed {args.seed}, "
          f"{args.expiries} expiries x {args.strikes} strikes, bid/ask max({args.least_spread:g}, "
          f"{args.spread:.1%} of the price); fit's default smile: {default!r}; "
          f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    print("within: share of quotes fitted within their bid/ask volatilities; RMSE in vol points\n"
          "against the mids and the model's own volatilities; butterfly: smiles free of it;\n"
          "smallest g: of the fitted smiles, between: on check()'s grid between the expiries;\n"
          "calendar: check()'s largest fall of total variance from an expiry to the next (inf: a\n"
          "wing's slope falls), in quotes: over the log-moneyness quoted at both; times in ms,\n"
          "processor time unless (wall), best of 3-5; w: Surface.total_variance at the same points")
    with tempfile.TemporaryDirectory() as workdir:
        for name in ("heston", "bates"):
            chain = model_chain(name, args.seed, args.expiries, args.strikes,
                                args.spread, args.least_spread)
            print_chain(chain)
            results = {s: tarvik_figures(chain, s, args.strikes, args.points, args.seed) for s in SMILES}
            print_tarvik(results)
            peers = None
            if not args.skip_peers:
                expiry = timing_expiry(chain, args.strikes)
                peers = run_peers(chain, args.peer_python, expiry, workdir)
                if "error" not in peers:
                    peers["figures"] = {k: (peer_figures(chain, v) if "error" not in v else v)
                                        for k, v in peers["settings"].items()}
                print_peers(results["svi"], peers)
            report["chains"][name] = {
                "quotes": int(chain["strike"].size), "quoted": chain["quoted"],
                "dropped": chain["dropped"], "unpriced": chain["unpriced"],
                "parameters": chain["parameters"], "tarvik": results,
                "peers": None if peers is None else {k: v for k, v in peers.items() if k != "settings"},
            }
        chain = essvi_chain(args.seed, args.expiries, args.strikes)
        print(f"\n== reproduction: exact volatilities of {chain['vol'].size} quotes from eSSVI slices "
              f"(eta {chain['parameters']['eta']:.3f}, gamma {chain['parameters']['gamma']:.3f}, "
              f"rho {chain['parameters']['rho'][0]:.3f} to {chain['parameters']['rho'][-1]:.3f})")
        rep = {s: reproduction(chain, s) for s in SMILES}
        for smile, r in rep.items():
            if "refused" in r:
                print(f"   {smile:6} skipped, fit refuses it: {r['refused']}")
                continue
            print(f"   {smile:6} worst relative vol error {r['worst_relative']:.2e} "
                  f"(T={r['at']['maturity']:.3f}, k={r['at']['k']:+.3f}), RMSE {r['rmse']:.2e} vol points, "
                  f"free {r['free']}" + "".join(f"; not fitted T={t}: {w}" for t, w in r["failures"].items()))
        report["reproduction"] = {"parameters": chain["parameters"], "tarvik": rep}
        if not args.skip_peers:
            peers = run_peers(chain, args.peer_python, timing_expiry(chain, args.strikes), workdir)
            if "error" in peers:
                print(f"   peers: not run: {peers['error']}")
            else:
                for k, v in peers["settings"].items():
                    if "error" in v:
                        print(f"   {k:18} failed: {v['error']}")
                        continue
                    f = peer_figures(chain, v)
                    print(f"   {k:18} worst relative vol error {f['worst_relative']:.2e}, "
                          f"RMSE {f['rmse_mid']:.2e} vol points")
                    peers["settings"][k] = f
                report["reproduction"]["peers"] = peers
    print("\n== goals")
    for ok, text in goals(report):
        print(f"- {'PASS' if ok else 'FAIL'}: {text}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1, default=lambda x: x.tolist() if hasattr(x, "tolist") else str(x))


if __name__ == "__main__":
    main()
