"""A pool of formulas on the S&P 500 cross-section (FactorSearch.pool): a short search for ten
formulas whose ridge-fit combination has the best in-sample rank IC on the first 80% of the dates,
reproducible from its seed on two worker processes; the members with their weights and
contributions, then the combined factor's hold-out rank IC beside the best single member's and the
5-day reversal's, each with its t-statistic, and the combination's report picture."""
import os
import tempfile

import pandas as pd

import factorsearch
from demo_evolve import OPERATORS
from demo_factorsearch import load  # noqa: F401  (the section's data: the S&P 500 universe)

SIZE, LEG, SEED, HOLDOUT = 10, 20, 7, 0.2
GENERATIONS, POPULATION = 6, 200


def holdout_line(name, factor, price1, start):
    rep = factorsearch.report(factor, price1, l=LEG, start=start)
    s = rep.summary
    print(f"  {name:<34}{s['rank_ic_mean']:>+9.4f} {s['rank_ic_t']:>+7.2f} {s['sharpe']:>+8.2f}"
          f" {s['days']:>5.0f}")
    return rep


def run(data1, price1, codes):
    miner = factorsearch.FactorSearch(OPERATORS)
    workdir = tempfile.mkdtemp(prefix="alphaloom-pool-")
    cwd = os.getcwd()
    os.chdir(workdir)
    try:
        pool = miner.pool(data1, price1, codes, SIZE, LEG, generations=GENERATIONS,
                          population=POPULATION, holdout=HOLDOUT, seed=SEED, n_jobs=2,
                          progress=False)
    finally:
        os.chdir(cwd)
    holdout = pool.attrs["holdout"]
    history = pd.DataFrame(pool.attrs["history"])
    print(f"{GENERATIONS} generations of {POPULATION}, a pool of at most {SIZE}, long-short with "
          f"{LEG} stocks per leg, fit and scored before {holdout.date()}; "
          f"{pool.attrs['evaluations']} distinct formulas scored, {pool.attrs['turned_away']} "
          f"turned away as too close to a member")
    print("pool size / in-sample score per generation: " + ", ".join(
        f"{n}/{v:+.3f}" for n, v in zip(history["pool_size"], history["score"])))
    print(f"the pool ({len(pool)} members; files {workdir}/{pool.attrs['path']} and .csv):")
    print(f"  {'weight':>8} {'contrib.':>8} {'own rank IC':>11} {'hold-out':>9}  formula")
    print(f"  {'':>8} {'':>8} {'in-sample':>11} {'rank IC':>9}")
    for _, row in pool.iterrows():
        flag = "  (look-ahead!)" if pd.notna(row["lookahead"]) and row["lookahead"] else ""
        print(f"  {row['weight']:>+8.4f} {row['contribution']:>+8.4f} {row['rank_ic']:>+11.4f} "
              f"{row['holdout_rank_ic']:>+9.4f}  {row['formula']}{flag}")
    inside = pool.attrs["combined"]["in_sample"]
    print(f"combined in-sample: rank IC {inside['rank_ic']:+.4f}, Sharpe {inside['sharpe']:+.2f}, "
          f"deflated Sharpe {inside['deflated_sharpe']:.3f} (over "
          f"{len(pool.attrs['trial_sharpes'])} candidates; biased upwards by the search and the fit)")

    combined = miner.combine(pool, data1, codes)
    best = pool.sort_values("rank_ic", key=abs, ascending=False).iloc[0]   # chosen in-sample
    sign = 1.0 if best["rank_ic"] > 0 else -1.0
    close = data1.xs("close", axis=1, level=1)[codes]
    reversal = -(close / close.shift(5) - 1.0)
    print(f"\nhold-out {holdout.date()} .. {data1.index[-1].date()} (one period: a t-statistic near "
          f"2 is weak evidence, and the members were chosen on the dates before it):")
    print(f"  {'factor':<34}{'rank IC':>9} {'t':>7} {'Sharpe':>8} {'days':>5}")
    rep = holdout_line("the pool, combined", combined, price1, holdout)
    holdout_line("best member alone (by in-sample)", sign * miner.factor(best["formula"], data1,
                                                                          codes), price1, holdout)
    holdout_line("5-day reversal", reversal, price1, holdout)
    try:
        path = rep.plot(os.path.join(workdir, "pool_report.png"), split=holdout)
        print(f"report plot of the combined factor written to {path}")
    except (ImportError, TypeError) as exc:
        print(f"no plot: {exc}")
