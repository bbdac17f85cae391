"""FactorSearch.mine with a hold-out against the same mining without one, on the real S&P 500
cross-section (524 stocks x 245 days, l = 30, NumPy and `ta` operators), in this process: the
same seed and number of attempts on both. With holdout=0.2 the attempts run on the first 196
dates and every found formula is evaluated once more on the whole data for its hold-out figures
and look-ahead verdict. Checks that the in-sample rows equal those of mining the truncated frames
without a hold-out.

    python bench/factorsearch_holdout.py [ATTEMPTS]

Target: with holdout, at least 0.6x the attempts/s without (ratio >= 0.6)."""
import os
import sys
import tempfile
import time

import pandas as pd

from harness import section, report

import factorsearch
from alphaloom._testing.sp500_data import load_wide

OPS = [["np.subtract", 2], ["np.divide", 2], ["np.log", 1], ["abs", 1], ["momentum.rsi", 1],
       ["momentum.roc", 1], ["trend.sma_indicator", 1], ["volatility.bollinger_pband", 1]]
L, SEED, HOLDOUT = 30, 2024, 0.2


def timed(fs, data, attempts, **kw):
    best, frame = float("inf"), None
    for _ in range(3):
        t0 = time.perf_counter()
        frame = fs.mine(*data, 10**6, L, seed=SEED, max_attempts=attempts, progress=False, **kw)
        best = min(best, time.perf_counter() - t0)
    return best, frame


def main():
    data1, price1, codes = load_wide()
    fs = factorsearch.FactorSearch(OPS)
    attempts = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    scratch = tempfile.TemporaryDirectory(prefix="bench-holdout-")
    cwd = os.getcwd()
    os.chdir(scratch.name)
    devnull = open(os.devnull, "w")
    stdout, sys.stdout = sys.stdout, devnull  # found rows are printed; keep the table readable
    try:
        fs.mine(data1, price1, codes, 1, L, seed=SEED, max_attempts=1, progress=False)  # warm
        plain, without = timed(fs, (data1, price1, codes), attempts)
        held, with_holdout = timed(fs, (data1, price1, codes), attempts, holdout=HOLDOUT)
        at = data1.index.get_loc(with_holdout.attrs["holdout"])
        truncated = fs.mine(data1.iloc[:at], price1.iloc[:at], codes, 10**6, L, seed=SEED,
                            max_attempts=attempts, progress=False)
    finally:
        sys.stdout = stdout
        os.chdir(cwd)
        scratch.cleanup()
    pd.testing.assert_frame_equal(truncated, with_holdout[truncated.columns])

    section("mine with holdout=0.2 vs without, n_jobs=1, same seed and attempts",
            "the same mine call without a hold-out")
    ratio = report("mine holdout vs without [s/attempt]", held / attempts, plain / attempts)
    print(f"{attempts} attempts: {len(without)} factors without a hold-out, {len(with_holdout)} "
          f"with one ({at} in-sample dates of {len(data1)}); attempts/s {attempts / plain:.1f} "
          f"without, {attempts / held:.1f} with; throughput ratio {ratio:.2f} (target >= 0.6)")
    corr = with_holdout["sharpe"].corr(with_holdout["holdout_sharpe"])
    print(f"in-sample vs hold-out Sharpe correlation over the found factors: {corr:+.2f}; "
          f"flagged look-ahead: {int(with_holdout['lookahead'].sum())}")


if __name__ == "__main__":
    main()
