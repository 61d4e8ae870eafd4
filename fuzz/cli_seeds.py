#!/usr/bin/env python3
"""Writes the seed corpus of fuzz/fuzz_cli.py into fuzz/corpus/cli: quote
files of every mode the harness's options make (implied volatilities and
prices; Black-76, the spot model with a rate; mids of bid and ask; expiry
dates; both engines; chunks of two rows), each with a few good rows and a
few bad ones (an empty field, a word, a row of the wrong width), led by the
two bytes that pick its command line. Each file is named by the SHA-1 of its
bytes, as libFuzzer names what it keeps.

  python3 fuzz/cli_seeds.py
"""
import hashlib
import pathlib

# (command bit | options group << 1, second group): the groups are indexes of
# fuzz_cli.OPTIONS ([], --no-greeks, --engine pyarrow, --chunk-rows 2,
# --bid-col/--ask-col, --expiry-col maturity with a valuation date,
# --spot-col forward, --rate-col rate).
IV, PRICE = 0, 1
PLAIN, NO_GREEKS, PYARROW, CHUNKS, BID_ASK, EXPIRY, SPOT, RATE = range(8)

ROWS = "8.0,100,95,1,C\n3.2,100,105,0.5,P\n,100,95,1,C\n8.0,abc,95,1,C\n8.0,100\n"
SEEDS = [
    (IV | PLAIN << 1, PLAIN, "price,forward,strike,maturity,type\n" + ROWS),
    (IV | CHUNKS << 1, NO_GREEKS, "price,forward,strike,maturity,type\n" + ROWS),
    (IV | PYARROW << 1, PLAIN, "price,forward,strike,maturity,type\r\n8.0,100,95,1,call\r\n"),
    (IV | BID_ASK << 1, PLAIN,
     "bid,ask,forward,strike,maturity,type\n7.9,8.1,100,95,1,C\n,8.1,100,95,1,C\n"
     "8.2,8.1,100,95,1,P\n"),
    (IV | EXPIRY << 1, PLAIN,
     "price,forward,strike,maturity,type\n8.0,100,95,2026-06-19,C\n8.0,100,95,,P\n"
     "8.0,100,95,2025-01-01,C\n"),
    (IV | SPOT << 1, RATE, "price,forward,strike,maturity,type,rate\n8.0,100,95,1,C,0.03\n"
     "1e-9,100,50,0.1,P,-0.01\n"),
    (PRICE | PLAIN << 1, PLAIN,
     "vol,forward,strike,maturity,type\n0.2,100,95,1,C\n0.3,100,105,0.5,put\n-1,100,95,1,C\n"),
    (PRICE | SPOT << 1, RATE, "vol,forward,strike,maturity,type,rate\n0.2,100,95,1,C,0.01\n"),
    (PRICE | EXPIRY << 1, PYARROW,
     "vol,forward,strike,maturity,type\n0.2,100,95,2026-06-19T16:00:00Z,C\n0.2,100,95,x,C\n"),
]


def main():
    corpus = pathlib.Path(__file__).parent / "corpus" / "cli"
    corpus.mkdir(parents=True, exist_ok=True)
    for first, second, text in SEEDS:
        data = bytes([first, second]) + text.encode()
        (corpus / hashlib.sha1(data).hexdigest()).write_bytes(data)


if __name__ == "__main__":
    main()
