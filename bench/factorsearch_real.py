"""FactorSearch attempts on real data: the S&P 500 cross-section (524 stocks x 245 days, gaps
included) with the operators a researcher writes (NumPy ufuncs, abs, ta indicators, built-in
windowed operators), stand-alone f and f1 with l = 10 and 50 over several seeds, against the
straightforward pandas attempt (the tests' plain-Python miner: one eval of the formula text per
stock on its forward-filled fields, the per-day pandas back-test), built-ins given to it as the
pandas expressions they are defined as. Both sides draw from the same seeded `random`, so they
mine the same formulas; their rows must agree. Runs on one core (the process is pinned to one
CPU), so kernels use one thread."""
import contextlib
import io
import os
import random
import sys
import time

from harness import report, section

import factorsearch
from alphaloom._testing import fs_reference

OPS = [["np.subtract", 2], ["np.divide", 2], ["np.log", 1], ["abs", 1], ["momentum.rsi", 1],
       ["momentum.roc", 1], ["trend.sma_indicator", 1], ["volatility.bollinger_pband", 1],
       ["ts_mean_5", 1], ["delta_5", 1], ["ts_rank_10", 1]]
SEEDS = [1, 2, 3, 4]
LEGS = [10, 50]
REPEAT = 3  # our side: best of this many runs of the same seeded attempt


def quiet(fn):
    with contextlib.redirect_stdout(io.StringIO()):
        t0 = time.perf_counter()
        value = fn()
        return time.perf_counter() - t0, value


def seeded(seed, fn):
    random.seed(seed)
    return quiet(fn)


def main():
    try:
        from alphaloom._testing import sp500_data
        data1, price1, codes = sp500_data.load_wide()
    except ImportError as e:
        print(f"skipped: {e}")
        return
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    ours = factorsearch.FactorSearch(OPS)
    namespace = fs_reference.namespace(factorsearch, **fs_reference.pandas_builtins(factorsearch))
    kinds = sorted({f"{name}: {factorsearch.operator_kind(fn)}" for (name, _), fn in
                    zip(ours.fuc, ours.fc)})
    print(f"{len(codes)} stocks x {len(data1)} days; operators: {', '.join(kinds)}")
    section('FactorSearch f / f1 on the S&P 500 cross-section (524 x 245, l = 10 and 50)',
            "the plain-Python miner's attempt (per-stock eval, pandas back-test)")
    ok, ratios, ours_total, n_attempts = True, [], 0.0, 0
    for name, hedged in (("f", True), ("f1", False)):
        method = ours.f if hedged else ours.f1
        for l in LEGS:
            for seed in SEEDS:
                runs = [seeded(seed, lambda: method(data1, price1, codes, l))
                        for _ in range(REPEAT)]
                t_ours, row = min(t for t, _ in runs), runs[0][1]
                t_base, base_row = seeded(seed, lambda: fs_reference.attempt(
                    namespace, ours.fuc, data1, price1, codes, l, hedged))
                same = fs_reference.same_row(row, base_row, tol=1e-9)
                ok = ok and same
                text = row[0] if row else "(miss)"
                ratios.append(report(f"real {name} l={l} seed={seed}", t_ours, t_base))
                ours_total += t_ours
                n_attempts += 1
                if not same:
                    print(f"  rows differ: {row} vs {base_row}")
                else:
                    print(f"  {text}")
    print(f"ours: {n_attempts / ours_total:.1f} attempts/s on one core; "
          f"ratio min {min(ratios):.1f}x, max {max(ratios):.1f}x")
    if not ok:
        sys.exit("mined rows differ from the pandas version")


if __name__ == "__main__":
    main()
