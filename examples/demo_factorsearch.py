"""Factor mining on the S&P 500 cross-section: random depth-three formulas from NumPy and `ta`
operators, mined reproducibly (fixed seed) on two worker processes and back-tested as a long-short
strategy with 20 stocks per leg; then the report of the best one (IC, quantiles, turnover, costs)
and its PNG."""
import os
import tempfile

import numpy as np

import factorsearch
import sp500_data

# (operator, arity): NumPy by dotted name, `ta` indicators through their submodules.
OPERATORS = [
    ["np.subtract", 2], ["np.divide", 2], ["np.log", 1],
    ["momentum.rsi", 1], ["momentum.roc", 1], ["trend.sma_indicator", 1],
    ["volatility.bollinger_pband", 1],
]
FACTORS, LEG, COST_BPS, SEED = 40, 20, 10.0, 7


def load():
    """The long table read with from_long. The universe is the stocks with a price on every day:
    the back-test voids a leg's day when one of its stocks has no price, and stocks that left the
    index keep stale forward-filled fields that would land in the legs."""
    table = sp500_data.load_long()
    data1, price1, codes = factorsearch.from_long(table)
    universe = [c for c in codes if price1[c].notna().all()]
    print(f"S&P 500 long table: {len(table)} rows -> {len(codes)} stocks x {len(data1)} days "
          f"{data1.index[0].date()} .. {data1.index[-1].date()}; universe: the {len(universe)} "
          f"with a price on every day")
    return data1, price1, universe


def run(data1, price1, codes):
    miner = factorsearch.FactorSearch(OPERATORS)
    print(f"operators: {', '.join(miner.function)}")
    workdir = tempfile.mkdtemp(prefix="alphaloom-demo-")
    cwd = os.getcwd()
    os.chdir(workdir)
    try:
        print(f"long-short, {LEG} stocks per leg, {FACTORS} factors: "
              f"[formula, net value, sharp, maxdown]")
        found = miner.mine(data1, price1, codes, FACTORS, LEG, seed=SEED, n_jobs=2)
    finally:
        os.chdir(cwd)
    ranked = found[np.isfinite(found["sharpe"])].sort_values("sharpe", ascending=False)
    print(f"\ntop formulas by Sharpe value (of {len(found)}; results in {workdir}/factors):")
    for _, row in ranked.head(5).iterrows():
        print(f"  sharpe {row['sharpe']:+.3f}  net value {row['net_value']:.4f}  "
              f"maxdown {row['maxdown']:.4f}  {row['formula']}")

    best = ranked.iloc[0]["formula"]
    rep = factorsearch.report(miner.factor(best, data1, codes), price1, l=LEG,
                              cost_bps=COST_BPS)
    print(f"\nreport of {best} (l = {LEG}, {COST_BPS:g} bps per unit turnover per leg):")
    for key, value in rep.summary.items():
        print(f"  {key:<22}{value:.0f}" if key == "days" else f"  {key:<22}{value:+.4f}")
    print("mean forward return by quantile (bps/day): " + ", ".join(
        f"Q{q} {v * 1e4:+.1f}" for q, v in rep.quantile_returns["mean_return"].items()))
    try:
        path = rep.plot(os.path.join(workdir, "report.png"))
        print(f"report plot written to {path}")
    except ImportError as exc:
        print(f"no plot: {exc}")
