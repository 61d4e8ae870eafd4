"""The README's quick start, and a call of every function its table lists,
as a user's typed script: tests/test_readme.py runs it and type-checks it
with `mypy --strict`."""

import numpy as np
import numpy.typing as npt
import tarvik

# ---- the quick start, as the README shows it
price = tarvik.black_price(100.0, 105.0, 0.5, 0.2, True)  # forward, strike, maturity, vol, is_call
vol = tarvik.implied_volatility(price, 100.0, 105.0, 0.5, True)
print(f"{price:.6f} {vol:.12f}")  # 3.617974 0.200000000000

strikes = np.linspace(80.0, 120.0, 9)
calls = strikes >= 100.0  # out of the money: puts below, calls above
prices = tarvik.black_prices(100.0, strikes, 0.5, 0.2, calls)  # floats broadcast against arrays
vols = tarvik.implied_volatilities(prices, 100.0, strikes, 0.5, calls, parallel=True)
print(np.abs(vols - 0.2).max() < 1e-14)  # True

spot = tarvik.black_scholes_price(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True)  # spot, strike, T, r, q, vol
print(f"{tarvik.black_scholes_implied_volatility(spot, 100.0, 105.0, 0.5, 0.03, 0.01, True):.12f}")


# ---- every function of the table, with the types a user's code sees
def scalars() -> list[float]:
    f, k, t, v, r, q = 100.0, 105.0, 0.5, 0.2, 0.03, 0.01
    out = [tarvik.black_price_total_vol(f, k, v * t**0.5, True), tarvik.black_intrinsic(f, k, False),
           tarvik.log_moneyness(f, k), tarvik.delta(f, k, t, v, True), tarvik.gamma(f, k, t, v),
           tarvik.vega(f, k, t, v), tarvik.theta(f, k, t, v), tarvik.vanna(f, k, t, v),
           tarvik.vomma(f, k, t, v), tarvik.black_scholes_forward(f, t, r, q),
           tarvik.normalised_implied_volatility(0.05, -0.05, True),
           tarvik.norm_pdf(0.5), tarvik.norm_cdf(0.5), tarvik.norm_cdf_c(0.5),
           tarvik.black_implied_volatility(5.0, f, k, t, True)]
    for greek in (tarvik.black_scholes_delta, tarvik.black_scholes_theta, tarvik.black_scholes_rho,
                  tarvik.black_scholes_dividend_rho):
        out.append(greek(f, k, t, r, q, v, True))
    for greek2 in (tarvik.black_scholes_gamma, tarvik.black_scholes_vega, tarvik.black_scholes_vanna,
                   tarvik.black_scholes_vomma):
        out.append(greek2(f, k, t, r, q, v))
    nf, nk, nv = -0.004, 0.002, 0.0075  # the normal model: negative forwards allowed
    out += [tarvik.bachelier_price(nf, nk, t, nv, False), tarvik.bachelier_delta(nf, nk, t, nv, True),
            tarvik.bachelier_implied_volatility(0.004, nf, nk, t, True)]
    for normal_greek in (tarvik.bachelier_gamma, tarvik.bachelier_vega, tarvik.bachelier_theta,
                         tarvik.bachelier_vanna, tarvik.bachelier_vomma):
        out.append(normal_greek(nf, nk, t, nv))
    return out


def batches() -> list[npt.NDArray[np.float64]]:
    f, k, t, v = np.full(4, 100.0), np.linspace(90.0, 110.0, 4), 0.5, 0.2
    out = [tarvik.deltas(f, k, t, v, np.array([True, False, True, False])),
           tarvik.black_scholes_prices(f, k, t, 0.03, 0.01, v, True, parallel=False),
           tarvik.normalised_implied_volatilities(np.full(4, 0.05), -0.05),
           tarvik.norm_pdfs(k), tarvik.norm_cdfs(k), tarvik.norm_cdf_cs(k)]
    for greek in (tarvik.gammas, tarvik.vegas, tarvik.thetas, tarvik.vannas, tarvik.vommas):
        out.append(greek(f, k, t, v))
    for spot_greek in (tarvik.black_scholes_deltas, tarvik.black_scholes_thetas,
                       tarvik.black_scholes_rhos, tarvik.black_scholes_dividend_rhos):
        out.append(spot_greek(f, k, t, 0.03, 0.01, v, is_call=False))
    for spot_greek2 in (tarvik.black_scholes_gammas, tarvik.black_scholes_vegas,
                        tarvik.black_scholes_vannas, tarvik.black_scholes_vommas):
        out.append(spot_greek2(f, k, t, 0.03, 0.01, v))
    bs = tarvik.black_scholes_prices(f, k, t, 0.03, 0.01, v)
    out.append(tarvik.black_scholes_implied_volatilities(bs, f, k, t, 0.03, 0.01))
    prices = tarvik.black_greeks(f, k, t, v, True)["price"]
    out.append(tarvik.black_implied_volatilities(prices, f, k, t, True))
    out.append(tarvik.black_scholes_greeks(f, k, t, 0.03, 0.01, v)["dividend_rho"])
    nf, nk = np.linspace(-0.01, 0.01, 4), 0.0
    prices = tarvik.bachelier_prices(nf, nk, t, 0.0075, is_call=False, parallel=True)
    out += [prices, tarvik.bachelier_implied_volatilities(prices, nf, nk, t, False),
            tarvik.bachelier_deltas(nf, nk, t, 0.0075)]
    for normal_greek in (tarvik.bachelier_gammas, tarvik.bachelier_vegas, tarvik.bachelier_thetas,
                         tarvik.bachelier_vannas, tarvik.bachelier_vommas):
        out.append(normal_greek(nf, nk, t, 0.0075))
    return out


codes = tarvik.error_codes(tarvik.implied_volatilities, np.array([5.0, 120.0]), 100.0, 105.0, 0.5)
kinds = [tarvik.ERROR_KINDS[c] for c in codes]
try:
    tarvik.implied_volatility(120.0, 100.0, 105.0, 0.5, True)
except tarvik.IVError as exc:
    kind, message = exc.args
    print(kinds, kind, message)
print(len(scalars()), len(batches()))

# ---- the README's negative-rates example, as it shows it
f, k, t, shift = -0.004, 0.002, 2.0, 0.03        # a negative forward, a 3% shift
p = tarvik.black_price(f + shift, k + shift, t, 0.25, True)
print(round(tarvik.implied_volatility(p, f + shift, k + shift, t, True), 12))   # 0.25
q = tarvik.bachelier_price(f, k, t, 0.0075, True)  # 75 bp normal volatility
print(round(tarvik.bachelier_implied_volatility(q, f, k, t, True), 15))         # 0.0075
