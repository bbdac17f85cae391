"""FactorSearch.evolve against random search (FactorSearch.mine) at an equal budget of formula
evaluations, on a synthetic market with a planted signal.

The market's fields come from alphaloom/_testing/synthetic.py; the prices the back-test trades on are built
so that the return held from t+1 to t+2 is a planted formula's cross-sectional z-score on day t
times a small edge, plus noise. The planted formula uses only the bench's operators and fields,
so a search can find it (or something with the same ranks); its own hold-out rank IC is the
ceiling a found formula can reach. It is the sum of four parts that each carry about half of it.

Both searches see the in-sample dates only (the first 70%). Each one's best formula by in-sample
rank IC is then scored on the hold-out dates. evolve runs twice: with its defaults and with a
gentler selection and more mutation ("tuned"). Random search is `mine` with max_attempts equal to
the number of distinct formulas the larger evolve run evaluated; its formulas are scored by the
same in-sample rank IC afterwards (that scoring is not timed).

The breadth rule (a day counts toward the fitness only when the legs can be filled; a formula
tradeable on fewer than half of its days scores worst) is measured by one more default run with
the rule switched off (factorsearch._evolve_breadth = False): the best formula's hold-out rank IC
with the rule must be at least 0.95 x the one without (on this market every stock has a value,
so the rule should cost nothing). --breadth-only runs just those two.

Also measured: seconds per evaluation with and without the subtree cache (the same run, so the
same formulas), and evolve on 2 worker processes against 1.

    python bench/factorsearch_evolve.py [--generations G] [--population P] [--stocks N] [--days D]

Targets: evolve's hold-out rank IC >= 0.6 x the ceiling within 10,000 evaluations and >= 2x random
search's; the subtree cache >= 1.5x cheaper per evaluation; 2 workers >= 1.7x 1 worker (an idle
2-core machine)."""
import argparse
import contextlib
import io
import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import harness
import factorsearch
from alphaloom._testing.synthetic import make_market

OPS = [["np.add", 2], ["np.subtract", 2], ["np.multiply", 2], ["np.divide", 2],
       ["np.negative", 1], ["np.log", 1], ["abs", 1], ["delta_1", 1], ["delay_1", 1],
       ["ts_mean_5", 1], ["ts_mean_20", 1], ["ts_std_20", 1], ["ts_rank_10", 1],
       ["cs_rank", 1], ["cs_zscore", 1]]
# Eight nearly independent parts (|correlation| <= 0.2 on this market), each worth about a third of
# the signal's rank IC on its own: a random depth-3 tree can express one of them, a search must
# combine several to come near the ceiling (four parts carry about 0.7 of it).
PARTS = ["cs_rank(np.divide(close, open))", "cs_rank(np.divide(high, low))",
         "cs_rank(np.divide(volume, delay_1(volume)))", "cs_rank(np.negative(ts_std_20(close)))",
         "cs_rank(np.divide(open, delay_1(close)))", "cs_rank(delay_1(np.divide(high, low)))",
         "cs_rank(delay_1(np.divide(close, open)))",
         "cs_rank(np.divide(ts_mean_5(close), ts_mean_20(close)))"]


def sum_of(parts):
    if len(parts) == 1:
        return parts[0]
    half = len(parts) // 2
    return f"np.add({sum_of(parts[:half])}, {sum_of(parts[half:])})"


PLANTED = sum_of(PARTS)
L, SEED, HOLDOUT = 20, 7, 0.3
TUNED = dict(tournament=7, p_crossover=0.7, p_subtree=0.1, p_point=0.1)
EDGE, NOISE = 0.004, 0.02


def planted_market(n_stocks, n_days):
    data1, _, codes = make_market(n_stocks, n_days, seed=3)
    signal = factorsearch.FactorSearch(OPS).factor(PLANTED, data1, codes)
    z = signal.sub(signal.mean(axis=1), axis=0).div(signal.std(axis=1, ddof=0), axis=0)
    z = np.nan_to_num(z.to_numpy())
    rng = np.random.default_rng(11)
    price = np.full((n_days, n_stocks), 20.0)
    for t in range(n_days - 2):
        price[t + 2] = price[t + 1] * (1 + EDGE * z[t] + rng.normal(0, NOISE, n_stocks))
    return data1, pd.DataFrame(price, index=data1.index, columns=codes), codes


def rank_ic(panel, price1, first, last):
    """Mean daily rank IC of a dates x stocks factor against the back-test's forward return,
    on its eligible cells (value present, not 0 or 1, forward return known), days first .. last
    (inclusive); days with fewer than two cells or a constant side are skipped."""
    p = price1.to_numpy()
    fwd = np.full_like(p, np.nan)
    fwd[:-2] = (p[2:] - p[1:-1]) / p[1:-1]
    x, y = panel[first:last + 1], fwd[first:last + 1]
    with np.errstate(invalid="ignore"):
        ok = ~np.isnan(x) & (x != 0) & (x != 1) & ~np.isnan(y) & np.isfinite(x)
    rx = pd.DataFrame(np.where(ok, x, np.nan)).rank(axis=1).to_numpy()
    ry = pd.DataFrame(np.where(ok, y, np.nan)).rank(axis=1).to_numpy()
    with np.errstate(invalid="ignore", divide="ignore"):
        dx = rx - np.nanmean(rx, axis=1, keepdims=True)
        dy = ry - np.nanmean(ry, axis=1, keepdims=True)
        ic = np.nansum(dx * dy, axis=1) / np.sqrt(np.nansum(dx * dx, axis=1) *
                                                  np.nansum(dy * dy, axis=1))
    ic = ic[(ok.sum(axis=1) >= 2) & np.isfinite(ic)]
    return float(ic.mean()) if len(ic) else float("nan")


def cpu_timed(fn):
    t0 = time.process_time()
    out = fn()
    return time.process_time() - t0, out


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--generations", type=int, default=20)
    ap.add_argument("--population", type=int, default=500)
    ap.add_argument("--stocks", type=int, default=100)
    ap.add_argument("--days", type=int, default=600)
    ap.add_argument("--breadth-only", action="store_true",
                    help="only the default evolve run with and without the breadth rule")
    args = ap.parse_args()
    harness.section("FactorSearch.evolve against random search at an equal budget, planted market",
                    "FactorSearch.mine (random search) and the planted formula's ceiling")

    data1, price1, codes = planted_market(args.stocks, args.days)
    n = len(data1)
    h = n - int(np.ceil(HOLDOUT * n))
    inside = (data1.iloc[:h], price1.iloc[:h], codes)
    miner = factorsearch.FactorSearch(OPS)
    whole = lambda text: miner.factor(text, data1, codes).to_numpy()
    ceiling = rank_ic(whole(PLANTED), price1, h, n - 3)
    print(f"market: {args.stocks} stocks x {n} days, hold-out from {data1.index[h].date()} "
          f"({n - h} dates); planted {PLANTED}")
    print(f"ceiling: the planted formula's hold-out rank IC {ceiling:+.4f} (in-sample "
          f"{rank_ic(whole(PLANTED), price1, 150, h - 3):+.4f})")
    alone = [rank_ic(whole(part), price1, h, n - 3) for part in PARTS]
    print(f"each part alone: hold-out rank IC {min(alone):+.4f} .. {max(alone):+.4f} "
          f"({min(alone) / ceiling:.2f} .. {max(alone) / ceiling:.2f} x the ceiling)")

    scratch = tempfile.TemporaryDirectory(prefix="bench-evolve-")
    os.chdir(scratch.name)
    run = dict(generations=args.generations, population=args.population, seed=SEED,
               holdout=HOLDOUT, progress=False)
    def best_holdout(hof):
        held = rank_ic(whole(hof.iloc[0]["formula"]), price1, h, n - 3)
        assert abs(held - hof.iloc[0]["holdout_rank_ic"]) < 1e-9
        return held

    # The breadth rule against the same run without it.
    t_with, with_rule = timed(lambda: miner.evolve(data1, price1, codes, L, **run))
    factorsearch._evolve_breadth = False
    try:
        t_without, without_rule = timed(lambda: miner.evolve(data1, price1, codes, L, **run))
    finally:
        del factorsearch._evolve_breadth
    held_with, held_without = best_holdout(with_rule), best_holdout(without_rule)
    print(f"breadth rule: best formula's hold-out rank IC {held_with:+.4f} with, "
          f"{held_without:+.4f} without ({held_with / held_without:.3f}x, target >= 0.95); "
          f"{t_with:.1f} s with, {t_without:.1f} s without; hall coverage median "
          f"{with_rule['coverage'].median():.0f} with, {without_rule['coverage'].median():.0f} "
          f"without; {with_rule.attrs['turned_away']} formulas kept out of the hall")
    if args.breadth_only:
        os.chdir("/")
        return

    # The defaults, and a gentler selection with more mutation (less premature convergence).
    searches = [("evolve", {}), ("evolve, tuned", TUNED)]
    results = []
    for name, extra in searches:
        t_evolve, hof = timed(lambda: miner.evolve(data1, price1, codes, L, **run, **extra))
        best = hof.iloc[0]
        evolve_holdout = rank_ic(whole(best["formula"]), price1, h, n - 3)
        assert abs(evolve_holdout - best["holdout_rank_ic"]) < 1e-9
        results.append((name, hof, t_evolve, evolve_holdout))
    hof = results[0][1]
    evaluations = max(r[1].attrs["evaluations"] for r in results)

    # Random search with as many evaluations as the larger evolve run, on the in-sample dates.
    # (two workers: in this process mine rewrites its file after every one of ~10,000 factors)
    with contextlib.redirect_stdout(io.StringIO()):
        t_mine, found = timed(lambda: miner.mine(*inside, evaluations, L, seed=SEED, n_jobs=2,
                                                 max_attempts=evaluations, progress=False))
    # scored afterwards with evolve's own in-sample fitness (dispersion rule included)
    distinct = found.drop_duplicates("formula")
    fitness = factorsearch._evolve_scores(miner, list(distinct["formula"]), *inside, L)
    distinct = distinct.assign(fitness=fitness).dropna(subset="fitness").sort_values(
        "fitness", ascending=False, kind="stable")
    mine_best = distinct.iloc[0]
    mine_holdout = rank_ic(whole(mine_best["formula"]), price1, h, n - 3)

    print(f"\n{'search':<16}{'evaluations':>12}{'wall s':>9}{'in-sample':>11}{'hold-out':>10}"
          f"{'/ceiling':>10}  best formula")
    for name, found_by, seconds, held in results:
        top = found_by.iloc[0]
        print(f"{name:<16}{found_by.attrs['evaluations']:>12}{seconds:>9.1f}"
              f"{top['fitness']:>+11.4f}{held:>+10.4f}{held / ceiling:>10.2f}  {top['formula']}")
    print(f"{'random (mine)':<16}{found.attrs['attempts']:>12}{t_mine:>9.1f}"
          f"{mine_best['fitness']:>+11.4f}{mine_holdout:>+10.4f}{mine_holdout / ceiling:>10.2f}"
          f"  {mine_best['formula']}")
    print(f"{'ceiling':<16}{'':>12}{'':>9}{'':>11}{ceiling:>+10.4f}{1.0:>10.2f}  {PLANTED}")
    print("tuned: " + ", ".join(f"{k}={v}" for k, v in TUNED.items()))
    for name, _, _, held in results:
        ratio = held / mine_holdout if mine_holdout > 0 else float("inf")
        print(f"{name}: / ceiling {held / ceiling:.2f} (target >= 0.6), / random {ratio:.2f}x "
              f"(target >= 2)")
    history = pd.DataFrame(hof.attrs["history"])
    print("history (best, median in-sample rank IC per generation): " + ", ".join(
        f"{b:+.3f}/{m:+.3f}" for b, m in zip(history["best"], history["median"])))

    # Subtree cache and workers: a shorter run, same formulas each time. CPU seconds of this
    # process for the cache (the machine may be shared), wall seconds for the workers.
    short = dict(run, generations=max(2, args.generations // 4), holdout=None)
    factorsearch._evolve_memo_bytes = 0
    c_fresh, (t_fresh, fresh) = cpu_timed(lambda: timed(lambda: miner.evolve(*inside, L, **short)))
    del factorsearch._evolve_memo_bytes
    c_cached, (t_cached, cached) = cpu_timed(lambda: timed(lambda: miner.evolve(*inside, L,
                                                                              **short)))
    assert fresh.equals(cached) and fresh.attrs["history"] == cached.attrs["history"]
    e = cached.attrs["evaluations"]
    print(f"\nsubtree cache, {e} evaluations: CPU per evaluation {c_cached / e * 1e3:.2f} ms "
          f"with, {c_fresh / e * 1e3:.2f} ms without ({c_fresh / c_cached:.2f}x, target >= 1.5); "
          f"evaluating the formula trees alone {cached.attrs['walk_seconds'] / e * 1e3:.2f} ms "
          f"with, {fresh.attrs['walk_seconds'] / e * 1e3:.2f} ms without "
          f"({fresh.attrs['walk_seconds'] / cached.attrs['walk_seconds']:.2f}x); "
          f"{cached.attrs['subtree_hits']} subtrees reused")
    t_two, two = timed(lambda: miner.evolve(*inside, L, n_jobs=2, **short))
    assert two.equals(cached) and two.attrs["history"] == cached.attrs["history"]
    print(f"workers: 1 process {t_cached:.1f} s, n_jobs=2 {t_two:.1f} s "
          f"({t_cached / t_two:.2f}x, target >= 1.7 on an idle 2-core machine; "
          f"load now {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)")
    os.chdir("/")


if __name__ == "__main__":
    sys.exit(main())
