"""Factor mining on the S&P 500 cross-section: random depth-three formulas from NumPy and `ta`
operators, mined reproducibly (fixed seed) on two worker processes and back-tested as a long-short
strategy with 20 stocks per leg on the dates before a hold-out; the top ten by in-sample Sharpe
beside their deflated Sharpe, hold-out Sharpe and rank IC and look-ahead verdict; then the report
of the best one over the hold-out only (IC, quantiles, turnover, costs) and its PNG."""
import os
import tempfile

import numpy as np

import factorsearch
from alphaloom._testing import sp500_data

# (operator, arity): NumPy by dotted name, `ta` indicators through their submodules.
OPERATORS = [
    ["np.subtract", 2], ["np.divide", 2], ["np.log", 1],
    ["momentum.rsi", 1], ["momentum.roc", 1], ["trend.sma_indicator", 1],
    ["volatility.bollinger_pband", 1],
]
FACTORS, LEG, COST_BPS, SEED, HOLDOUT = 60, 20, 10.0, 7, 0.2
# Dates skipped before the first back-test day. The default 150 suits years of data; on this one
# year it would leave 44 in-sample days before the hold-out. The longest window among the
# operators (bollinger_pband's 20 dates) is enough: a formula still undefined after it has few
# eligible stocks on those days, which its coverage shows.
WARMUP = 20


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
        print(f"long-short, {LEG} stocks per leg, {FACTORS} factors mined on the dates before a "
              f"hold-out of the last {HOLDOUT:.0%}: [formula, net value, sharp, maxdown]")
        found = miner.mine(data1, price1, codes, FACTORS, LEG, seed=SEED, n_jobs=2,
                           holdout=HOLDOUT, warmup=WARMUP)
    finally:
        os.chdir(cwd)
    holdout = found.attrs["holdout"]
    ranked = found[np.isfinite(found["sharpe"])].sort_values("sharpe", ascending=False)
    in_sample_days = data1.index.get_loc(holdout) - 2 - WARMUP
    print(f"\ntop 10 of {len(found)} by in-sample Sharpe (mined on {in_sample_days} back-test days "
          f"from {data1.index[WARMUP].date()} to before {holdout.date()}, hold-out "
          f"{holdout.date()} .. {data1.index[-1].date()}; results in {workdir}/factors):")
    print(f"  {'in-sample':>9} {'deflated':>8} {'hold-out':>8} {'hold-out':>8} {'look-':>6} "
          f"{'cover-':>6}")
    print(f"  {'Sharpe':>9} {'Sharpe':>8} {'Sharpe':>8} {'rank IC':>8} {'ahead':>6} "
          f"{'age':>6}  formula")
    for _, row in ranked.head(10).iterrows():
        print(f"  {row['sharpe']:>+9.2f} {row['deflated_sharpe']:>8.2f} "
              f"{row['holdout_sharpe']:>+8.2f} {row['holdout_rank_ic']:>+8.4f} "
              f"{'yes' if row['lookahead'] else 'no':>6} {row['coverage']:>6.0f}  "
              f"{row['formula']}")
    both = found[["sharpe", "holdout_sharpe"]].dropna()
    print(f"correlation of in-sample and hold-out Sharpe over all {len(both)} found factors: "
          f"{both['sharpe'].corr(both['holdout_sharpe']):+.2f}; mean hold-out Sharpe of the "
          f"top 10 {ranked.head(10)['holdout_sharpe'].mean():+.2f}, of all "
          f"{found['holdout_sharpe'].mean():+.2f}")

    best = ranked.iloc[0]["formula"]
    rep = factorsearch.report(miner.factor(best, data1, codes), price1, l=LEG,
                              cost_bps=COST_BPS, start=holdout)
    print(f"\nreport of {best} over the hold-out only (l = {LEG}, {COST_BPS:g} bps per unit "
          f"turnover per leg):")
    for key, value in rep.summary.items():
        print(f"  {key:<22}{value:.0f}" if key == "days" else f"  {key:<22}{value:+.4f}")
    print("mean forward return by quantile (bps/day): " + ", ".join(
        f"Q{q} {v * 1e4:+.1f}" for q, v in rep.quantile_returns["mean_return"].items()))
    try:
        path = rep.plot(os.path.join(workdir, "report.png"), trials=found.attrs["trial_sharpes"])
        print(f"report plot written to {path}")
    except ImportError as exc:
        print(f"no plot: {exc}")
