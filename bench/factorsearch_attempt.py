"""FactorSearch mining attempts with NumPy operators over 300 stocks x 1200 days (l = 30): the
cost of one attempt inside hedge / long, and of one stand-alone f / f1 call, against the
straightforward Python version of the same steps (register, draw, render, per stock: the stock's
frame, five forward-fills and eval of the text, a DataFrame of the results, the per-day pandas
back-test, save). Both sides draw from the same seeded `random`, so they mine the same formulas
and their rows must agree to 1e-12."""
import io
import contextlib
import os
import random
import tempfile
import time

import numpy as np

from harness import report, section
from factorsearch_backtest import same_rows

import factorsearch
from alphaloom._testing import fs_reference
from alphaloom._testing.synthetic import make_market

N_STOCKS, N_DAYS, L = 300, 1200, 30
OPS = [["np.add", 2], ["np.subtract", 2], ["np.multiply", 2], ["np.divide", 2], ["np.log", 1],
       ["np.abs", 1], ["np.sqrt", 1], ["np.negative", 1]]
SEED = 11
OURS_FACTORS, BASE_FACTORS = 8, 2


class Baseline:
    """The miner written the obvious way in Python (the tests' reference), on the same operator
    registry, printing and saving as the drivers do."""

    def __init__(self, fuc):
        self.fuc = [[name, int(arity)] for name, arity in fuc]
        self.ns = vars(factorsearch)
        self.fc = [eval(name, self.ns) for name, _ in self.fuc]

    def attempt(self, data1, price1, zz500, l, hedged):
        for (name, _), fn in zip(self.fuc, self.fc):
            self.ns[name] = fn
        row = fs_reference.attempt(self.ns, self.fuc, data1, price1, zz500, l, hedged)
        if row is not None:
            print(row)
        return row

    def drive(self, data1, price1, zz500, ct, l, hedged):
        rows, run = [], random.randint(0, 999)
        while len(rows) < ct:
            row = self.attempt(data1, price1, zz500, l, hedged)
            if row is not None:
                rows.append(row)
                np.save(f"factors/{run}", np.array(rows))
        return rows


def timed(fn):
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        value = fn()
    return time.perf_counter() - t0, value, out.getvalue()


def main():
    data1, price1, codes = make_market(N_STOCKS, N_DAYS, seed=0)
    os.chdir(tempfile.mkdtemp(prefix="factorsearch-bench-"))
    os.makedirs("factors")
    ours, base = factorsearch.FactorSearch(OPS), Baseline(OPS)
    section('FactorSearch mining attempts, 300 stocks x 1200 days (l = 30)',
            'the straightforward Python attempt (per-stock eval of the text, pandas back-test)')
    ok = True
    for name, method, hedged in (("hedge", ours.hedge, True), ("long", ours.long, False)):
        random.seed(SEED)
        t_ours, _, printed = timed(lambda: method(data1, price1, codes, OURS_FACTORS, L))
        our_rows = [eval(line, {"nan": np.nan, "inf": np.inf}) for line in printed.splitlines()]
        random.seed(SEED)
        t_base, base_rows, _ = timed(lambda: base.drive(data1, price1, codes, BASE_FACTORS, L, hedged))
        same = len(our_rows) == OURS_FACTORS and all(
            a[0] == b[0] and same_rows(a[1:], b[1:]) for a, b in zip(our_rows, base_rows))
        ok = ok and same
        print(f"{name}: first formula {our_rows[0][0]!r}; same rows as the Python version: {same}")
        report(f"factorsearch attempt in {name} {N_STOCKS}x{N_DAYS}", t_ours / OURS_FACTORS,
               t_base / BASE_FACTORS)

    for name, method, hedged in (("f", ours.f, True), ("f1", ours.f1, False)):
        random.seed(SEED + 1)
        t_ours, row, _ = timed(lambda: method(data1, price1, codes, L))
        random.seed(SEED + 1)
        t_base, base_row, _ = timed(lambda: base.attempt(data1, price1, codes, L, hedged))
        same = row is not None and row[0] == base_row[0] and same_rows(row[1:], base_row[1:])
        ok = ok and same
        report(f"factorsearch stand-alone {name} {N_STOCKS}x{N_DAYS}", t_ours, t_base)
    if not ok:
        raise SystemExit("mined rows differ from the Python version")


if __name__ == "__main__":
    main()
