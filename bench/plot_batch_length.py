"""Plots ns per option against batch length from the figures of
bench/compare.py (its --json file): implied volatilities (tarvik serial and
parallel, beside lbriv's vectorised solver) and Black-76 prices (tarvik
serial and parallel, beside the NumPy/SciPy expression), calls back to back.

Usage: python bench/plot_batch_length.py RESULTS.json [OUT.png]
       (default OUT: docs/bench-batch-length.png)
"""

import json
import os
import sys

import matplotlib
import matplotlib.ticker

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    results = sys.argv[1]
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "docs", "bench-batch-length.png")
    with open(results) as f:
        r = json.load(f)
    rows = r["sweep"]
    n = [row["n"] for row in rows]
    m = r["machine"]
    threads = m["pool_threads"]

    def ns(key):
        return [row[key] / row["n"] * 1e9 for row in rows]

    # The peer line is lbriv's; say whether it was the fastest peer of the table.
    iv = {key: v["ns"] for key, v in r["sets"]["near"]["iv"].items()}
    peers = {k: iv[k] for k in ("lbriv_vec", "pvv", "quantlib", "vollib", "brentq", "lbriv_loop")
             if k in iv}
    peer_label = "lbriv, vectorised"
    if peers and min(peers, key=peers.get) == "lbriv_vec":
        peer_label += " (fastest peer)"

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.4), constrained_layout=True)
    panels = [
        (axes[0], "Implied volatility", [("iv_serial", "tarvik serial", "C0", "-"),
                                         ("iv_parallel", f"tarvik parallel ({threads} threads)",
                                          "C1", "-"),
                                         ("iv_peer", peer_label, "C2", "--")]),
        (axes[1], "Black-76 price", [("black_serial", "tarvik serial", "C0", "-"),
                                     ("black_parallel", f"tarvik parallel ({threads} threads)",
                                      "C1", "-"),
                                     ("black_numpy", "NumPy/SciPy expression (ndtr)", "C3",
                                      "--")]),
    ]
    for ax, title, lines in panels:
        for key, label, color, style in lines:
            if key in rows[0]:
                ax.plot(n, ns(key), style, marker="o", markersize=3, color=color, label=label)
        ax.set_xscale("log")
        ax.set_yscale("log")
        plain = matplotlib.ticker.FuncFormatter(lambda y, _: f"{y:,.0f}")
        ax.yaxis.set_major_formatter(plain)
        ax.yaxis.set_minor_formatter(matplotlib.ticker.FuncFormatter(
            lambda y, _: f"{y:,.0f}" if f"{y:.0e}"[0] in "25" else ""))
        ax.set_xlabel("batch length n (calls of the near-the-money set)")
        ax.set_ylabel("ns per option")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.suptitle(f"tarvik {m['tarvik']}, {m['cpu']}, {m['cores']} cores, {m['date']} "
                 "(median per-call time, calls back to back)", fontsize=10)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
