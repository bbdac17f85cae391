"""Evolving formulas on the S&P 500 cross-section: a short genetic search (FactorSearch.evolve)
over NumPy, `ta` and built-in operators, scored by in-sample rank IC on the first 80% of the
dates, reproducible from its seed on two worker processes; the hall of fame's best five with
their deflated Sharpe values and what they did on the held-out last 20%."""
import os
import tempfile

import pandas as pd

import factorsearch
from demo_factorsearch import WARMUP, load  # noqa: F401  (the S&P 500 universe, its warm-up)

OPERATORS = [
    ["np.subtract", 2], ["np.divide", 2], ["np.log", 1], ["np.negative", 1],
    ["momentum.rsi", 1], ["momentum.roc", 1], ["trend.sma_indicator", 1],
    ["volatility.bollinger_pband", 1],
    ["ts_mean_5", 1], ["delta_5", 1], ["ts_rank_10", 1], ["ts_zscore_20", 1], ["cs_rank", 1],
]
LEG, SEED, HOLDOUT = 20, 7, 0.2
GENERATIONS, POPULATION = 8, 200


def run(data1, price1, codes):
    miner = factorsearch.FactorSearch(OPERATORS)
    workdir = tempfile.mkdtemp(prefix="alphaloom-evolve-")
    cwd = os.getcwd()
    os.chdir(workdir)
    try:
        hof = miner.evolve(data1, price1, codes, LEG, generations=GENERATIONS,
                           population=POPULATION, holdout=HOLDOUT, seed=SEED, n_jobs=2,
                           hall_of_fame=20, warmup=WARMUP, progress=False)
    finally:
        os.chdir(cwd)
    history = pd.DataFrame(hof.attrs["history"])
    print(f"{GENERATIONS} generations of {POPULATION}, long-short with {LEG} stocks per leg, "
          f"fitness: mean daily rank IC before {hof.attrs['holdout'].date()}; "
          f"{hof.attrs['evaluations']} distinct formulas scored")
    print("best / median in-sample rank IC per generation: " + ", ".join(
        f"{b:+.3f}/{m:+.3f}" for b, m in zip(history["best"], history["median"])))
    print(f"hall of fame, top 5 (of {len(hof)}; file {workdir}/{hof.attrs['path']}):")
    print(f"  {'rank IC':>8} {'deflated':>9} {'hold-out':>9} {'cover-':>6}  formula")
    print(f"  {'in-sample':>8} {'Sharpe':>9} {'rank IC':>9} {'age':>6}")
    for _, row in hof.head(5).iterrows():
        flag = "  (look-ahead!)" if pd.notna(row["lookahead"]) and row["lookahead"] else ""
        print(f"  {row['fitness']:>+8.4f} {row['deflated_sharpe']:>9.3f} "
              f"{row['holdout_rank_ic']:>+9.4f} {row['coverage']:>6.0f}  {row['formula']}{flag}")
    print(f"{hof.attrs['turned_away']} formulas kept out of the hall of fame as near-copies "
          f"(mean daily rank correlation >= 0.9 with a better row)")
    agree = (hof["holdout_rank_ic"] * hof["fitness"] > 0).mean()
    print(f"hold-out rank IC of the same sign as in-sample: {agree:.0%} of the hall of fame")
