"""A seeded portfolio of options on a stock that pays cash dividends on known
dates, for the references of discrete-dividend pricing (american_lcp reads
its rows).

Valuation and ex-dates in whole days, times ACT/365F (days / 365). Each
option: K = 100, S/K log-uniform in [0.5, 2], maturity 7 days to 3 years,
vol 5% to 100%, r 0 to 0.1, q 0 to 0.05, a put or a call; one to twelve
dividends, quarterly (91 days apart from a first ex-date in the first
quarter) or irregular (distinct days up to maturity), each 0.1% to 5% of the
spot; in three options of ten the last ex-date is moved to the maturity
date, the day before it or the day after it (a dividend on the maturity date
counts, one after it does not).

  python3 reference/dividend_portfolio.py [--count 200] [--seed 28] > in.csv

Rows: S,K,T,r,q,vol,call,times,amounts (call 1 or 0; times and amounts
joined by ';', %.17g).
"""
import argparse
import math
import random

K = 100.0
YEAR = 365.0


def dividend_days(rng, days):
    """Sorted distinct ex-dates in days from valuation, the first >= 1."""
    count = rng.randint(1, 12)
    if rng.random() < 0.5:
        first = rng.randint(1, 91)
        dates = [first + 91 * j for j in range(count) if first + 91 * j <= days + 1]
        dates = dates or [first]
    else:
        dates = sorted(rng.sample(range(1, days + 2), min(count, days + 1)))
    if rng.random() < 0.3:
        last = days + rng.choice((-1, 0, 1))
        dates = [d for d in dates if d < last] + [last]
    return [d for d in dates if d >= 1]


def option(rng):
    days = rng.randint(7, 3 * 365)
    spot = K * math.exp(rng.uniform(math.log(0.5), math.log(2.0)))
    dates = dividend_days(rng, days)
    amounts = [spot * rng.uniform(0.001, 0.05) for _ in dates]
    return {
        "s": spot,
        "k": K,
        "t": days / YEAR,
        "r": rng.uniform(0.0, 0.1),
        "q": rng.uniform(0.0, 0.05),
        "vol": rng.uniform(0.05, 1.0),
        "call": rng.random() < 0.5,
        "times": [d / YEAR for d in dates],
        "amounts": amounts,
    }


def portfolio(count, seed):
    rng = random.Random(seed)
    return [option(rng) for _ in range(count)]


def row(o):
    def joined(xs):
        return ";".join(f"{x:.17g}" for x in xs)

    fields = [f"{o[key]:.17g}" for key in ("s", "k", "t", "r", "q", "vol")]
    return ",".join(fields + [str(int(o["call"])), joined(o["times"]), joined(o["amounts"])])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--seed", type=int, default=28)
    args = parser.parse_args()
    print("S,K,T,r,q,vol,call,times,amounts")
    for o in portfolio(args.count, args.seed):
        print(row(o))


if __name__ == "__main__":
    main()
