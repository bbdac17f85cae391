"""FactorSearch.mine on the real S&P 500 cross-section (524 stocks x 245 days, l = 30) with the
operators a researcher writes: attempts per second with n_jobs=1 (this process) and n_jobs=2 (a
process pool of the call's own), and with a ProcessPoolExecutor(2) passed as executor=, which
receives the data inside its first tasks. Every run mines the same fixed number of attempts with
the same seed, so all of them must return the same rows. Also reports what shipping the market
data costs: its pickled size, one pickle + unpickle round trip, how many times it was sent, and
that time as a share of the pool's worker time, and CPU seconds per attempt (a loaded machine
starves the workers of cores; CPU time shows what the call itself costs).

    python bench/factorsearch_mine.py [ATTEMPTS]

Without ATTEMPTS the count is chosen so the one-process run takes about 20 s (pool start-up and
the workers' data preparation are part of every parallel call and must not dominate).

Target: n_jobs=2 at least 1.7x the attempts/s of n_jobs=1 on an otherwise idle 2-core machine."""
import os
import pickle
import resource
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import pandas as pd

from harness import report, section

import factorsearch
from alphaloom._testing.sp500_data import load_wide

OPS = [["np.subtract", 2], ["np.divide", 2], ["np.log", 1], ["abs", 1], ["momentum.rsi", 1],
       ["momentum.roc", 1], ["trend.sma_indicator", 1], ["volatility.bollinger_pband", 1]]
L, SEED = 30, 2024


def cpu(who):
    r = resource.getrusage(who)
    return r.ru_utime + r.ru_stime


def timed_mine(fs, data, attempts, **kw):
    """Wall seconds and the frame; CPU seconds of this process and of the worker processes
    (counted once a pool has shut down and its workers were reaped) in CPU_SPENT."""
    own, kids = cpu(resource.RUSAGE_SELF), cpu(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    frame = fs.mine(*data, 10**6, L, seed=SEED, max_attempts=attempts, progress=False, **kw)
    wall = time.perf_counter() - t0
    CPU_SPENT["executor" if "executor" in kw else kw.get("n_jobs", 1)] = (cpu(resource.RUSAGE_SELF) - own,
                                      cpu(resource.RUSAGE_CHILDREN) - kids)
    return wall, frame


CPU_SPENT = {}


def main():
    data = load_wide()
    fs = factorsearch.FactorSearch(OPS)
    scratch = tempfile.TemporaryDirectory(prefix="bench-mine-")  # the factors/ files go there
    os.chdir(scratch.name)
    devnull = open(os.devnull, "w")
    stdout, sys.stdout = sys.stdout, devnull  # found rows are printed; keep the table readable
    try:
        fs.mine(*data, 1, L, seed=SEED, max_attempts=1, progress=False)  # imports, caches
        if len(sys.argv) > 1:
            attempts = int(sys.argv[1])
        else:
            probe, _ = timed_mine(fs, data, 6)
            attempts = max(12, min(2000, int(20.0 * 6 / probe)))
        one, ref = timed_mine(fs, data, attempts)
        two, own = timed_mine(fs, data, attempts, n_jobs=2)
        with ProcessPoolExecutor(2) as pool:
            gen, given = timed_mine(fs, data, attempts, executor=pool)
    finally:
        sys.stdout = stdout
        os.chdir(os.path.dirname(os.path.abspath(__file__)))
        scratch.cleanup()
    for frame in (own, given):
        pd.testing.assert_frame_equal(frame, ref)

    t0 = time.perf_counter()
    blob = pickle.dumps((data[0], data[1], list(data[2])), protocol=pickle.HIGHEST_PROTOCOL)
    pickle.loads(blob)
    ship = time.perf_counter() - t0

    print(f"{attempts} attempts, {len(ref)} factors, {len(data[2])} stocks x {len(data[0])} days")
    print(f"attempts/s  n_jobs=1: {attempts / one:.2f}   n_jobs=2: {attempts / two:.2f}   "
          f"executor=ProcessPoolExecutor(2): {attempts / gen:.2f}")
    section('FactorSearch.mine on the S&P 500 cross-section (524 x 245, l = 30)',
            'the same attempts in this process (n_jobs=1)')
    report("mine n_jobs=2 vs n_jobs=1 [s/attempt]", two / attempts, one / attempts)
    report("mine executor=pool(2) vs n_jobs=1", gen / attempts, one / attempts)
    # On a loaded machine the workers wait for cores; their CPU time shows what the call itself
    # costs. Projected: the 2-worker rate if each worker had a core of its own.
    single = sum(CPU_SPENT[1])
    parent, workers = CPU_SPENT[2]
    print(f"CPU s/attempt  n_jobs=1: {single / attempts:.3f}   n_jobs=2: workers "
          f"{workers / attempts:.3f} + caller {parent / attempts:.3f}   projected ratio on two "
          f"idle cores: {single / max(workers / 2, parent):.2f}x   (cores busy during n_jobs=2: "
          f"{(workers + parent) / two:.2f} of 2)")
    for name, frame, wall in (("n_jobs=2", own, two), ("executor", given, gen)):
        sent = frame.attrs["data_sent"]
        share = sent * ship / (2 * wall)
        print(f"data shipping {name}: {len(blob) / 2**20:.1f} MiB, at most {ship * 1e3:.0f} ms per "
              f"round trip, sent {sent}x, {100 * share:.1f}% of worker time")


if __name__ == "__main__":
    main()
