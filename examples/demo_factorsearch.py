"""Factor mining: random depth-three formulas from NumPy and `ta` operators, back-tested on the six
stocks as a long-short (1 stock per leg) and a long-only (2 stocks) daily strategy."""
import os
import random
import tempfile

import numpy as np

import factorsearch

# (operator, arity): NumPy by dotted name, `ta` indicators through their submodules.
OPERATORS = [
    ["np.subtract", 2], ["np.divide", 2], ["np.log", 1],
    ["momentum.rsi", 1], ["momentum.roc", 1], ["trend.sma_indicator", 1],
    ["volatility.bollinger_pband", 1],
]


def run(data1, price1, codes):
    miner = factorsearch.FactorSearch(OPERATORS)
    print(f"operators: {', '.join(miner.function)}")
    workdir = tempfile.mkdtemp(prefix="alphaloom-demo-")
    cwd = os.getcwd()
    os.chdir(workdir)
    try:
        random.seed(7)  # the miner draws from `random`: seeding makes the run repeatable
        for label, driver, l in (("long-short, 1 stock per leg", miner.hedge, 1),
                                 ("long-only, 2 stocks", miner.long, 2)):
            print(f"{label}: [formula, net value, sharp, maxdown]")
            before = set(os.listdir("factors")) if os.path.isdir("factors") else set()
            driver(data1, price1, codes, 4, l)
            (name,) = set(os.listdir("factors")) - before
            table = np.load(os.path.join("factors", name))
            sharp = table[:, 2].astype(float)
            best = table[np.nanargmax(np.where(np.isfinite(sharp), sharp, np.nan))]
            print(f"-> factors/{name}: {len(table)} factors; best sharp {float(best[2]):.3f} "
                  f"for {best[0]}")
    finally:
        os.chdir(cwd)
    print(f"result files are in {os.path.join(workdir, 'factors')}")
