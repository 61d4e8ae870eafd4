"""European prices on a stock that pays cash dividends on known dates, in the
spot model: the spot follows geometric Brownian motion (rate r, yield q,
volatility vol) between ex-dates and drops by the amount D_i at each ex-date
t_i, to max(S - D_i, 0) (a firm pays out at most what it is worth; 0 then
stays 0), by nested quadrature in mpmath, as in Haug, Haug and Lewis, "Back
to basics: a new approach to the discrete dividend problem", Wilmott
Magazine, September 2003:

  f_m(S) = Black-Scholes(S, K, T - t_m),
  f_i(S) = e^{-r (t_{i+1} - t_i)} E[f_{i+1}(max(S e^{X} - D_{i+1}, 0))],

X ~ N((r - q - vol^2/2) dt, vol^2 dt), t_0 = 0, the price f_0(S_0). Each
expectation is split where S e^X reaches D (below it the value is f(0),
in closed form) and where it reaches D + K, and integrated by mpmath's
tanh-sinh rule over pieces no wider than the density; the nesting costs
the product of the point counts, so one or two dividends (the reference of
the independent checks of american_lcp and dividend_smoothing.py).

  python3 reference/dividend_quadrature.py S K T r q vol call times amounts
      [--digits 30]
(times and amounts joined by ';'). As a module: price(...).
"""
import argparse

import mpmath as mp


def black_scholes(s, k, tau, r, q, vol, call):
    """The European value at spot s with tau to expiry (s >= 0, tau >= 0)."""
    if tau == 0 or s == 0:
        payoff = s - k if call else k - s
        if s == 0:
            return mp.mpf(0) if call else k * mp.exp(-r * tau)
        return max(payoff, mp.mpf(0))
    sd = vol * mp.sqrt(tau)
    d1 = (mp.log(s / k) + (r - q) * tau) / sd + sd / 2
    d2 = d1 - sd
    if call:
        return s * mp.exp(-q * tau) * mp.ncdf(d1) - k * mp.exp(-r * tau) * mp.ncdf(d2)
    return k * mp.exp(-r * tau) * mp.ncdf(-d2) - s * mp.exp(-q * tau) * mp.ncdf(-d1)


def price(s, k, t, r, q, vol, call, times, amounts, digits=30):
    """f_0(s): the dividends with times in (0, t] count (one on t included)."""
    with mp.workdps(digits):
        s, k, t, r, q, vol = (mp.mpf(x) for x in (s, k, t, r, q, vol))
        schedule = [(mp.mpf(a), mp.mpf(d)) for a, d in zip(times, amounts) if a <= t]

        def value(i, spot):
            # The value an instant after the i-th ex-date (i = 0: valuation).
            start = schedule[i - 1][0] if i else mp.mpf(0)
            if i == len(schedule):
                return black_scholes(spot, k, t - start, r, q, vol, call)
            ex, d = schedule[i]
            dt = ex - start
            floor = value(i + 1, mp.mpf(0))
            if spot == 0:
                return mp.exp(-r * dt) * floor
            mean, sd = (r - q - vol**2 / 2) * dt, vol * mp.sqrt(dt)
            # S e^{mean + sd z} = D at z_d, = D + K at z_k.
            z_d = (mp.log(d / spot) - mean) / sd if d > 0 else -mp.inf
            z_k = (mp.log((d + k) / spot) - mean) / sd

            def integrand(z):
                return value(i + 1, max(spot * mp.exp(mean + sd * z) - d, mp.mpf(0))) * mp.npdf(z)

            # Over [-40, 40] (beyond, the density is below 1e-347), from
            # z_d, broken at z_k and at -8, 0 and 8, so that no piece is
            # much wider than the density where it matters (tanh-sinh on a
            # long piece with the mass in a corner of it is inaccurate).
            below = mp.mpf(0) if z_d == -mp.inf else floor * mp.ncdf(z_d)
            lo = max(z_d, mp.mpf(-40))
            if lo >= 40:
                return mp.exp(-r * dt) * below
            points = sorted({lo, mp.mpf(40)} | {p for p in (z_k, -8, 0, 8) if lo < p < 40})
            return mp.exp(-r * dt) * (below + mp.quad(integrand, points))

        return value(0, s)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("S", "K", "T", "r", "q", "vol"):
        parser.add_argument(name, type=float)
    parser.add_argument("call", type=int)
    parser.add_argument("times")
    parser.add_argument("amounts")
    parser.add_argument("--digits", type=int, default=30)
    a = parser.parse_args()
    times = [float(x) for x in a.times.split(";") if x]
    amounts = [float(x) for x in a.amounts.split(";") if x]
    v = price(a.S, a.K, a.T, a.r, a.q, a.vol, bool(a.call), times, amounts, a.digits)
    print(mp.nstr(v, 20))


if __name__ == "__main__":
    main()
