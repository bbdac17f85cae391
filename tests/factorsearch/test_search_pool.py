import os
import signal
import threading
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pandas as pd
import pytest

import factorsearch
from factorsearch import FactorSearch

OPS = [["np.subtract", 2], ["np.divide", 2], ["np.negative", 1], ["delta_1", 1],
       ["ts_mean_5", 1], ["cs_rank", 1], ["math.sqrt", 1]]   # math.sqrt fails on every panel
SMALL = dict(generations=3, population=40, init_depth=(1, 3), max_depth=4, seed=11,
             progress=False, holdout=0.3)
SIZE, L, FIRST = 4, 4, 150


def slow(x):
    time.sleep(0.002)
    return x


@pytest.fixture(autouse=True)
def named_operators(monkeypatch):
    monkeypatch.setattr(factorsearch, "slow", slow, raising=False)


@pytest.fixture(scope="module")
def reference(market, tmp_path_factory):
    here = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("pool"))
    try:
        df = FactorSearch(OPS).pool(*market, SIZE, L, **SMALL)
        df.attrs["path"] = os.path.abspath(df.attrs["path"])
        df.attrs["table"] = os.path.abspath(df.attrs["table"])
        return df
    finally:
        os.chdir(here)


# ------------------------------------------------------------------------------------------
# An independent version of the pool's maths, in NumPy and pandas

def normalised(panel):
    """Per day, eligible values (present, not 0 or 1) as average ranks in (-0.5, 0.5); 0 elsewhere."""
    ok = ~np.isnan(panel) & (panel != 0) & (panel != 1)
    ranks = pd.DataFrame(np.where(ok, panel, np.nan)).rank(axis=1).to_numpy()
    with np.errstate(invalid="ignore", divide="ignore"):
        z = (ranks - 0.5) / ok.sum(axis=1, keepdims=True) - 0.5
    return np.where(ok, z, 0.0)


def fit_data(miner, formulas, data1, price1, codes):
    """Members' normalised panels and the normalised forward return on the back-test days."""
    p = price1.to_numpy()
    fwd = np.full_like(p, np.nan)
    fwd[:-2] = (p[2:] - p[1:-1]) / p[1:-1]
    days = slice(FIRST, len(p) - 2)
    z = [normalised(miner.factor(f, data1, codes).to_numpy())[days] for f in formulas]
    return np.stack(z), normalised(fwd)[days], ~np.isnan(fwd[days])


def ridge(z, y, known):
    x = np.stack([m[known] for m in z], axis=1)
    gram = x.T @ x
    gram += 1e-3 * np.trace(gram) / len(z) * np.eye(len(z))
    return np.linalg.solve(gram, x.T @ y[known])


def mean_corr(a, b, known):
    out = []
    for t in range(len(a)):
        x, y = a[t][known[t]], b[t][known[t]]
        if len(x) > 1 and x.std() > 0 and y.std() > 0:
            out.append(np.corrcoef(x, y)[0, 1])
    return np.mean(out)


def score(z, y, known):
    return mean_corr(np.tensordot(ridge(z, y, known), z, axes=1), y, known)


# ------------------------------------------------------------------------------------------

def test_the_pool_is_the_ridge_fit_of_its_members_and_combine_reproduces_its_figures(
        market, reference):
    data1, price1, codes = market
    df, miner = reference, FactorSearch(OPS)
    assert list(df.columns) == [
        "formula", "weight", "rank_ic", "contribution", "coverage", "net_value", "sharpe",
        "maxdown", "generation", "holdout_net_value", "holdout_sharpe", "holdout_maxdown",
        "holdout_ic", "holdout_rank_ic", "holdout_days", "lookahead"]
    assert 2 <= len(df) <= SIZE and df["formula"].is_unique
    assert not df["formula"].str.contains("math.sqrt").any()
    held = data1.index.get_loc(df.attrs["holdout"])
    inside = (data1.iloc[:held], price1.iloc[:held], codes)

    z, y, known = fit_data(miner, df["formula"], *inside)
    np.testing.assert_allclose(df["weight"], ridge(z, y, known), rtol=1e-9, atol=1e-12)
    assert df.attrs["score"] == pytest.approx(score(z, y, known), rel=1e-9)
    without = [score(np.delete(z, k, axis=0), y, known) for k in range(len(df))]
    np.testing.assert_allclose(df["contribution"], df.attrs["score"] - np.array(without),
                               rtol=1e-7, atol=1e-12)
    assert (df["contribution"] >= 0).all()
    for a in range(len(df)):           # no two members correlate at max_correlation or above
        for b in range(a):
            assert abs(mean_corr(z[a], z[b], known)) < 0.7

    combined = miner.combine(df, data1, codes)
    assert combined.shape == (len(data1), len(codes))
    trials = df.attrs["trial_sharpes"]
    assert len(trials) <= df.attrs["evaluations"]
    for part, start, end in [("in_sample", data1.index[FIRST], data1.index[held - 3]),
                             ("holdout", data1.index[held], None)]:
        rep = factorsearch.report(combined, price1, l=L, start=start, end=end)
        figures = df.attrs["combined"][part]
        assert figures["days"] == rep.summary["days"]
        for key, column in [("ic", "ic_mean"), ("rank_ic", "rank_ic_mean"), ("icir", "icir"),
                            ("sharpe", "sharpe")]:
            assert figures[key] == rep.summary[column], (part, key)
        assert figures["deflated_sharpe"] == factorsearch.deflated_sharpe(
            rep.daily["return"], trials)
    by_hand = miner.combine(list(df["formula"]), data1, codes, weights=list(df["weight"]))
    pd.testing.assert_frame_equal(by_hand, combined)

    history = pd.DataFrame(df.attrs["history"])
    assert list(history["generation"]) == [0, 1, 2]
    assert history["scored"].sum() == df.attrs["evaluations"]
    assert history["turned_away"].sum() == df.attrs["turned_away"]
    assert history["score"].iloc[-1] == df.attrs["score"]
    assert history["score"].is_monotonic_increasing       # a change never lowers the score
    saved = np.load(df.attrs["path"])
    assert list(saved[:, 0]) == list(df["formula"])
    table = pd.read_csv(df.attrs["table"])
    np.testing.assert_allclose(table["weight"], df["weight"], rtol=1e-12)


def test_a_gain_is_the_score_the_pool_would_have_with_the_candidate(market):
    data1, price1, codes = market
    miner = FactorSearch(OPS)
    members = ["delta_1(close)", "np.negative(ts_mean_5(volume))"]
    candidates = ["cs_rank(np.divide(open, close))", "math.sqrt(close)", "delta_1(close)"]
    gains = factorsearch._pool_scores(miner, members, candidates, data1, price1, codes, L)
    z, y, known = fit_data(miner, members + candidates[:1], data1, price1, codes)
    assert gains[0] == pytest.approx(score(z, y, known) - score(z[:2], y, known), rel=1e-9)
    assert np.isnan(gains[1])                             # fails on every panel
    assert gains[2] == pytest.approx(0.0, abs=1e-4)       # a copy adds nothing


def test_combine_weighs_the_per_day_ranks_of_hand_written_formulas(market):
    data1, _, codes = market
    miner = FactorSearch(OPS)
    formulas = ["cs_rank(close)", "delta_1(volume)"]      # cs_rank's top value is 1: left out
    got = miner.combine(formulas, data1, codes, weights=[2.0, -0.5]).to_numpy()
    panels = [miner.factor(f, data1, codes).to_numpy() for f in formulas]
    want = 2.0 * normalised(panels[0]) - 0.5 * normalised(panels[1])
    eligible = [~np.isnan(p) & (p != 0) & (p != 1) for p in panels]
    want[~(eligible[0] | eligible[1])] = np.nan
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15)
    top = panels[0][0] == 1          # day 0: delta_1 has no value, cs_rank's top is left out
    assert np.isnan(got[0][top]).all() and not np.isnan(got[0][~top]).any()


@pytest.mark.parametrize("where", ["n_jobs=2", "ProcessPoolExecutor", "dask"])
def test_same_seed_same_pool_everywhere(market, reference, in_tmp, request, where):
    run = lambda **kw: FactorSearch(OPS).pool(*market, SIZE, L, **SMALL, **kw)
    if where == "n_jobs=2":
        df = run(n_jobs=2)
    elif where == "ProcessPoolExecutor":
        with ProcessPoolExecutor(2) as pool:
            df = run(executor=pool)
    else:
        distributed = pytest.importorskip("dask.distributed")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            df = run(executor=client)
    pd.testing.assert_frame_equal(df, reference)
    for key in ("history", "combined", "score", "trial_sharpes"):
        assert df.attrs[key] == reference.attrs[key]
    np.testing.assert_array_equal(np.load(df.attrs["path"]), np.load(reference.attrs["path"]))


def test_ctrl_c_leaves_complete_files_and_reraises(market, in_tmp):
    def interrupt_once_a_member_is_saved():
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            tables = [f for f in os.listdir("factors")] if os.path.isdir("factors") else []
            tables = [os.path.join("factors", f) for f in tables if f.endswith(".csv")]
            if tables and len(open(tables[0]).read().splitlines()) > 1:
                break
            time.sleep(0.05)
        os.kill(os.getpid(), signal.SIGINT)

    watcher = threading.Thread(target=interrupt_once_a_member_is_saved, daemon=True)
    watcher.start()
    with pytest.raises(KeyboardInterrupt):
        FactorSearch([["np.subtract", 2], ["slow", 1]]).pool(
            *market, SIZE, L, generations=1000, population=20, seed=1, progress=False)
    watcher.join()
    names = sorted(os.listdir("factors"))
    assert len(names) == 2 and names[0].endswith(".csv") and names[1].endswith(".npy")
    rows = np.load(os.path.join("factors", names[1]))
    table = pd.read_csv(os.path.join("factors", names[0]))
    assert rows.shape[1] == 4 and len(rows) == len(table) > 0
    assert list(rows[:, 0]) == list(table["formula"])


@pytest.mark.parametrize("call, bad, name", [
    ("pool", dict(size=0), "size"), ("pool", dict(max_correlation=0), "max_correlation"),
    ("pool", dict(max_correlation=1.5), "max_correlation"),
    ("pool", dict(max_correlation=float("nan")), "max_correlation"),
    ("pool", dict(max_correlation=True), "max_correlation"),
    ("pool", dict(fitness="sharpe"), "fitness"), ("pool", dict(population=0), "population"),
    ("pool", dict(holdout=1.5), "holdout"),
    ("combine", dict(pool=["np.negative(close"], weights=[1.0]), "pool"),
    ("combine", dict(pool=["nosuch(close)"], weights=[1.0]), "pool"),
    ("combine", dict(pool=["delta_1(close)"], weights=[float("inf")]), "weights"),
    ("combine", dict(pool=["delta_1(close)"], weights=["1"]), "weights"),
    ("combine", dict(pool=["delta_1(close)", "cs_rank(open)"], weights=[1.0]), "weights"),
    ("combine", dict(pool=["delta_1(close)"]), "weights"),
    ("combine", dict(pool=[], weights=[]), "pool"),
    ("combine", dict(pool=pd.DataFrame({"formula": ["delta_1(close)"]})), "weight")])
def test_bad_arguments_raise_before_any_work(market, in_tmp, call, bad, name):
    data1, price1, codes = market
    miner = FactorSearch(OPS)
    with pytest.raises(ValueError, match=name):
        if call == "pool":
            args = dict(size=SIZE) | bad
            miner.pool(data1, price1, codes, args.pop("size"), L, progress=False, **args)
        else:
            miner.combine(bad["pool"], data1, codes, weights=bad.get("weights"))
    assert not os.path.exists("factors")
