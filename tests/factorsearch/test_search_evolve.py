import os
import signal
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import factorsearch
from factorsearch import FactorSearch
from alphaloom._testing import synthetic

OPS = [["np.subtract", 2], ["np.divide", 2], ["np.negative", 1], ["delta_1", 1],
       ["ts_mean_5", 1], ["cs_rank", 1], ["math.sqrt", 1]]   # math.sqrt fails on every panel
SMALL = dict(generations=3, population=40, init_depth=(1, 3), max_depth=4, hall_of_fame=10,
             seed=11, progress=False)
L = 4


def slow(x):
    time.sleep(0.002)
    return x


def broken(x):
    raise ZeroDivisionError("an operator that always fails")


@pytest.fixture(autouse=True)
def named_operators(monkeypatch):
    for fn in (slow, broken):
        monkeypatch.setattr(factorsearch, fn.__name__, fn, raising=False)


# ------------------------------------------------------------------------------------------
# The genetic operators, checked on their own programs

def subtree_end(p, i):
    open_ = 1
    while open_:
        open_ += p[i][2] - 1
        i += 1
    return i


def check_tree(p, arities, max_depth):
    """A complete pre-order tree rooted at an operator, within max_depth; returns its depth."""
    assert p and p[0][0] >= 0
    open_, levels, deepest = 1, [], 0
    for op, field, arity in p:
        assert open_ > 0
        level = len(levels)
        if op >= 0:
            assert arity == arities[op] and field == -1
            deepest = max(deepest, level + 1)
            levels.append(arity)
        else:
            assert 0 <= field < 5 and arity == 0
            while levels:
                levels[-1] -= 1
                if levels[-1]:
                    break
                levels.pop()
        open_ += arity - 1
    assert open_ == 0 and deepest <= max_depth
    return deepest


def splits(child, parent, donor_like):
    """child == parent[:i] + x + parent[end(i):] for some i, x accepted by donor_like."""
    for i in range(len(parent)):
        end = subtree_end(parent, i)
        tail = len(parent) - end
        if child[:i] == parent[:i] and (tail == 0 or child[-tail:] == parent[end:]):
            if donor_like(child[i:len(child) - tail], i):
                return True
    return False


def subtrees(p):
    return [p[i:subtree_end(p, i)] for i in range(len(p))]


@pytest.mark.parametrize("variation", ["ramped", "crossover", "subtree", "hoist", "point"])
def test_variations_give_valid_programs_within_max_depth(variation):
    arities, max_depth = [1, 1, 2, 2, 3, 3], 5
    samples = factorsearch._gp_samples(arities, (2, 4), max_depth, variation, 300, 9)
    changed, depths = 0, set()
    for parent, donor, child in samples:
        depths.add(check_tree(parent, arities, max_depth))   # grow trees may stop early
        check_tree(child, arities, max_depth)
        changed += child != parent
        if variation == "crossover":
            assert splits(child, parent, lambda x, i: x in subtrees(donor))
        elif variation == "subtree":
            assert splits(child, parent, lambda x, i: True)
        elif variation == "hoist":
            # an operator's subtree replaced by one of its own proper subtrees (none: unchanged)
            assert child == parent or splits(
                child, parent, lambda x, i: x in subtrees(parent[i:subtree_end(parent, i)])[1:])
        elif variation == "point":
            assert [a for _, _, a in child] == [a for _, _, a in parent]
            assert child != parent
    assert changed == 0 if variation == "ramped" else changed > 200
    assert max(depths) == 4 and {2, 3} <= depths


# ------------------------------------------------------------------------------------------
# Runs

@pytest.fixture(scope="module")
def reference(market, tmp_path_factory):
    here = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("evolve"))
    try:
        data1, price1, codes = market
        df = FactorSearch(OPS).evolve(data1, price1, codes, L, **SMALL)
        df.attrs["path"] = os.path.abspath(df.attrs["path"])
        return df
    finally:
        os.chdir(here)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


def test_hall_of_fame_rows_are_the_formulas_own_in_sample_figures(market, reference, in_tmp):
    data1, price1, codes = market
    df = reference
    assert list(df.columns) == ["formula", "fitness", "depth", "length", "generation",
                                "net_value", "sharpe", "maxdown", "deflated_sharpe", "coverage",
                                "tradeable_days", "duplicate_of"]
    assert df["fitness"].is_monotonic_decreasing and df["formula"].is_unique
    assert not df["formula"].str.contains("math.sqrt").any()   # the failing operator never scores
    history = pd.DataFrame(df.attrs["history"])
    assert list(history["generation"]) == [0, 1, 2]
    assert (history["failed"] > 0).all() and history["evaluated"].sum() == df.attrs["evaluations"]
    assert history["best"].max() == df["fitness"].iloc[0]
    assert (history["distinct"] == SMALL["population"]).all()   # no formula twice in a generation
    assert ((df["deflated_sharpe"] >= 0) & (df["deflated_sharpe"] <= 1)).all()
    miner = FactorSearch(OPS)
    for _, row in df.head(3).iterrows():
        rep = factorsearch.report(miner.factor(row["formula"], data1, codes), price1, l=L)
        assert row["fitness"] == pytest.approx(rep.summary["rank_ic_mean"], rel=1e-12, abs=1e-15)
        for col in ("net_value", "sharpe", "maxdown"):
            assert row[col] == rep.summary[col]
    saved = np.load(df.attrs["path"])
    assert saved.shape == (len(df), 4) and list(saved[:, 0]) == list(df["formula"])


@pytest.fixture(scope="module")
def dask_threads_client():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=4, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("where", ["n_jobs=2", "ProcessPoolExecutor", "dask", "no subtree cache"])
def test_same_seed_same_hall_of_fame_and_history_everywhere(market, reference, in_tmp, request,
                                                            monkeypatch, where):
    data1, price1, codes = market
    run = lambda **kw: FactorSearch(OPS).evolve(data1, price1, codes, L, **SMALL, **kw)
    if where == "n_jobs=2":
        df = run(n_jobs=2)
    elif where == "ProcessPoolExecutor":
        with ProcessPoolExecutor(2) as pool:
            df = run(executor=pool)
    elif where == "dask":
        df = run(executor=request.getfixturevalue("dask_client"))
        assert df.attrs["data_sent"] == 2
    else:
        monkeypatch.setattr(factorsearch, "_evolve_memo_bytes", 0, raising=False)
        df = run()
        assert df.attrs["subtree_hits"] == 0 < reference.attrs["subtree_hits"]
    pd.testing.assert_frame_equal(df, reference)
    np.testing.assert_array_equal(np.load(df.attrs["path"]), np.load(reference.attrs["path"]))
    assert df.attrs["history"] == reference.attrs["history"]


@pytest.mark.parametrize("where", ["ThreadPoolExecutor", "dask threads"])
def test_threads_of_one_worker_give_the_same_hall_of_fame(in_tmp, request, where):
    """Threads used to share one subtree cache: one thread's walk read values keyed for another
    thread's formula while the kernels ran without the interpreter lock. A tiny switch interval
    makes the threads interleave on every call, as a loaded machine does now and then."""
    data1, price1, codes = synthetic.make_market(n_stocks=60, n_days=300, seed=7)
    settings = dict(SMALL, population=60, generations=2, init_depth=(2, 4), max_depth=5)
    run = lambda **kw: FactorSearch(OPS[:-1]).evolve(data1, price1, codes, L, **settings, **kw)
    reference = run()
    interval = sys.getswitchinterval()
    try:
        sys.setswitchinterval(1e-6)
        if where == "ThreadPoolExecutor":
            with ThreadPoolExecutor(4) as pool:
                runs = [run(executor=pool) for _ in range(3)]
        else:
            client = request.getfixturevalue("dask_threads_client")
            client.run(sys.setswitchinterval, 1e-6)
            runs = [run(executor=client) for _ in range(6)]
    finally:
        sys.setswitchinterval(interval)
    for df in runs:
        pd.testing.assert_frame_equal(df[["formula", "fitness"]], reference[["formula", "fitness"]])


def test_rank_ic_fitness_with_gaps_ties_and_excluded_values_is_the_reports(market):
    """cs_rank's top value is exactly 1 and leaves the ranking; volume changes tie; prices with
    gaps leave cells out on some days only."""
    data1, price1, codes = market
    price1 = price1.copy()
    price1.iloc[160:200, 3] = np.nan
    price1.iloc[210, :5] = np.nan
    miner = FactorSearch(OPS)
    texts = ["cs_rank(close)", "np.negative(delta_1(np.divide(volume, volume)))",
             "np.divide(ts_mean_5(open), close)", "cs_rank(np.subtract(high, low))",
             "delta_1(cs_rank(volume))"]
    got = factorsearch._evolve_scores(miner, texts, data1, price1, codes, L)
    for text, fitness in zip(texts, got):
        summary = factorsearch.report(miner.factor(text, data1, codes), price1, l=L).summary
        if np.isnan(fitness):   # constant across stocks: the dispersion rule
            assert text.startswith("np.negative(delta_1(np.divide")
        else:
            assert fitness == summary["rank_ic_mean"]


@pytest.mark.parametrize("fitness", ["ic", "sharpe", "callable"])
def test_other_fitness_measures(market, in_tmp, fitness):
    data1, price1, codes = market
    measure = (lambda s: s["turnover"]) if fitness == "callable" else fitness
    df = FactorSearch(OPS).evolve(data1, price1, codes, L, fitness=measure, **SMALL)
    miner = FactorSearch(OPS)
    row = df.iloc[0]
    summary = factorsearch.report(miner.factor(row["formula"], data1, codes), price1, l=L).summary
    key = {"ic": "ic_mean", "sharpe": "sharpe", "callable": "turnover"}[fitness]
    assert row["fitness"] == pytest.approx(summary[key], rel=1e-12)


def test_an_operator_that_always_fails_never_stops_the_run(market, in_tmp):
    data1, price1, codes = market
    df = FactorSearch([["broken", 1], ["np.subtract", 2]]).evolve(
        data1, price1, codes, L, **SMALL)
    assert len(df) and not df["formula"].str.contains("broken").any()
    assert all(h["failed"] > 0 for h in df.attrs["history"])


def test_recovers_a_planted_formula(in_tmp):
    """Prices whose next return ranks exactly as open - close: the best formula must rank the
    stocks that way on every back-test day."""
    rng = np.random.default_rng(4)
    n, m = 200, 30
    codes = [f"S{j:02d}" for j in range(m)]
    dates = pd.bdate_range("2020-01-01", periods=n)
    fields = {f: rng.uniform(10, 20, (n, m)) for f in ("open", "high", "low", "close", "volume")}
    planted = fields["open"] - fields["close"]
    ranks = pd.DataFrame(planted).rank(axis=1).to_numpy()
    price = np.ones((n, m))
    for t in range(n - 2):
        price[t + 2] = price[t + 1] * (1 + 0.001 * (ranks[t] - ranks[t].mean()))
    columns = pd.MultiIndex.from_product([codes, list(fields)])
    block = np.stack([fields[f] for f in fields], axis=2).reshape(n, -1)
    data1 = pd.DataFrame(block, index=dates, columns=columns)
    price1 = pd.DataFrame(price, index=dates, columns=codes)
    ops = [["np.subtract", 2], ["np.add", 2], ["np.divide", 2], ["np.negative", 1]]
    df = FactorSearch(ops).evolve(data1, price1, codes, 5, generations=8, population=80,
                                  init_depth=(1, 2), max_depth=3, seed=2, progress=False)
    best = FactorSearch(ops).factor(df["formula"].iloc[0], data1, codes)
    days = slice(150, n - 2)
    assert df["fitness"].iloc[0] == pytest.approx(1.0)
    np.testing.assert_array_equal(best.rank(axis=1).to_numpy()[days], ranks[days])


def test_holdout_columns_score_the_dates_after_the_split(market, in_tmp):
    data1, price1, codes = market
    df = FactorSearch(OPS).evolve(data1, price1, codes, L, holdout=0.25, **SMALL)
    n = len(data1)
    h = n - round(0.25 * n)
    assert df.attrs["holdout"] == data1.index[h]
    assert (df["holdout_days"] == n - 2 - h).all() and not df["lookahead"].any()
    miner = FactorSearch(OPS)
    fwd = ((price1.shift(-2) - price1.shift(-1)) / price1.shift(-1)).to_numpy()
    for _, row in df.head(3).iterrows():
        # in-sample: exactly as on the truncated frames
        inside = miner.factor(row["formula"], data1.iloc[:h], codes)
        rep = factorsearch.report(inside, price1.iloc[:h], l=L)
        assert row["fitness"] == pytest.approx(rep.summary["rank_ic_mean"], rel=1e-12)
        # hold-out: the whole-data factor, days h .. n-3
        panel = miner.factor(row["formula"], data1, codes).to_numpy()
        ics, rank_ics = [], []
        for t in range(h, n - 2):
            ok = ~np.isnan(panel[t]) & (panel[t] != 0) & (panel[t] != 1) & ~np.isnan(fwd[t])
            x, y = pd.Series(panel[t][ok]), pd.Series(fwd[t][ok])
            ics.append(x.corr(y))
            rank_ics.append(x.rank().corr(y.rank()))
        assert row["holdout_ic"] == pytest.approx(np.nanmean(ics), rel=1e-9)
        assert row["holdout_rank_ic"] == pytest.approx(np.nanmean(rank_ics), rel=1e-9)


def test_a_formula_that_peeks_at_later_dates_is_flagged(market, in_tmp):
    data1, price1, codes = market
    peek = "lambda x: x - x.mean()"   # a whole-series mean: every date sees the last one
    df = FactorSearch([["np.subtract", 2], ["np.log", 1], [peek, 1]]).evolve(
        data1, price1, codes, L, holdout=0.25, **SMALL)
    assert df["lookahead"].any() and not df["lookahead"].all()
    assert list(df["lookahead"]) == [peek in f for f in df["formula"]]


def test_ctrl_c_saves_the_hall_of_fame_and_reraises(market, in_tmp):
    data1, price1, codes = market
    timer = threading.Timer(2.0, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            FactorSearch([["np.subtract", 2], ["slow", 1]]).evolve(
                data1, price1, codes, L, generations=1000, population=20, seed=1,
                progress=False)
    finally:
        timer.cancel()
    (name,) = os.listdir("factors")
    rows = np.load(os.path.join("factors", name))
    assert rows.shape[1] == 4 and len(rows) > 0
    assert not [f for f in os.listdir("factors") if f.startswith(".")]


@pytest.mark.parametrize("bad", [
    dict(fitness="bogus"), dict(fitness=3), dict(p_crossover=0.95, p_subtree=0.1),
    dict(p_point=-0.1), dict(init_depth=(3, 2)), dict(init_depth=(2, 7)), dict(population=0),
    dict(parsimony=float("nan")), dict(holdout=1.5), dict(holdout="1990-01-01"),
    dict(n_jobs=2, executor=ProcessPoolExecutor), dict(progress="yes"),
    # deeper than the parser reads: an empty hall of fame, or a stack overflow while building
    dict(max_depth=513), dict(init_depth=(520, 520), max_depth=520, population=1, generations=1),
    dict(init_depth=(100000, 100000), max_depth=100000, population=1, generations=1),
    # bounded before any allocation or long loop
    dict(tournament=10**12), dict(population=40, tournament=41), dict(population=2**62)])
def test_bad_arguments_raise_before_any_work(market, in_tmp, bad):
    data1, price1, codes = market
    with pytest.raises((ValueError, TypeError)):
        FactorSearch(OPS).evolve(data1, price1, codes, L, **bad)
    assert not os.path.exists("factors")
