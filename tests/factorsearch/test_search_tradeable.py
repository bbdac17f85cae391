"""What mine and evolve count as found: formulas that trade, on the caller's warm-up, and a hall of
fame (or, on request, a mine result) without near-copies."""
import os
import random

import numpy as np
import pandas as pd
import pytest

import factorsearch
from factorsearch import FactorSearch

from alphaloom._testing.fs_reference import mean_rank_corr

OPS = [["np.subtract", 2], ["np.divide", 2], ["np.negative", 1], ["delta_1", 1],
       ["ts_mean_5", 1], ["cs_rank", 1]]
SMALL = dict(generations=3, population=40, init_depth=(1, 3), max_depth=4, hall_of_fame=8,
             seed=11, progress=False)
L = 4


def test_mine_counts_a_formula_that_never_trades_as_a_miss(market, in_tmp, capture_stdout):
    """Every stock but one lacks prices: each leg of two holds one, so no day ever trades. f still
    returns its documented row (Sharpe NaN); mine finds nothing."""
    data1, price1, codes = market
    price1 = price1.copy()
    price1.iloc[:, 1:] = np.nan
    miner = FactorSearch(OPS)
    random.seed(3)
    rows = [r for r in (miner.f(data1, price1, codes, 2) for _ in range(5)) if r is not None]
    assert rows and all(np.isnan(r[2]) and r[1] == 1.0 for r in rows)
    capture_stdout()
    df = miner.mine(data1, price1, codes, 2, 2, seed=1, max_attempts=30, progress=False)
    assert df.empty and df.attrs["attempts"] == 30 and capture_stdout() == []


@pytest.mark.parametrize("holdout", [None, 0.2])
def test_warmup_moves_the_first_back_test_day(market, in_tmp, holdout):
    data1, price1, codes = market
    miner = FactorSearch(OPS)
    df = miner.mine(data1, price1, codes, 3, L, seed=5, holdout=holdout, warmup=30,
                    progress=False)
    h = len(data1) if holdout is None else data1.index.get_loc(df.attrs["holdout"])
    for _, row in df.iterrows():
        panel = miner.factor(row["formula"], data1.iloc[:h], codes)
        summary = factorsearch.report(panel, price1.iloc[:h], l=L, warmup=30).summary
        assert summary["days"] == h - 32
        assert row["sharpe"] == pytest.approx(summary["sharpe"], rel=1e-12, nan_ok=True)
        assert row["coverage"] == summary["coverage"]
        assert row["tradeable_days"] == summary["tradeable_days"]
    # the 153-date minimum becomes warmup + 3
    short = dict(data1=data1.iloc[:40], price1=price1.iloc[:40], zz500=codes)
    assert len(miner.mine(**short, ct=1, l=L, seed=5, warmup=37, progress=False)) <= 1
    with pytest.raises(ValueError, match="at least 41"):
        miner.mine(**short, ct=1, l=L, warmup=38, progress=False)


@pytest.mark.parametrize("call", ["mine", "evolve", "report"])
def test_a_warmup_leaving_fewer_than_three_dates_is_refused_before_any_work(market, in_tmp,
                                                                            capsys, call):
    data1, price1, codes = market
    miner = FactorSearch(OPS)
    n = len(data1)
    with pytest.raises(ValueError, match=f"at least {n + 1}"):
        if call == "mine":
            miner.mine(data1, price1, codes, 2, L, warmup=n - 2)
        elif call == "evolve":
            miner.evolve(data1, price1, codes, L, warmup=n - 2, **SMALL)
        else:
            factorsearch.report(miner.factor("cs_rank(close)", data1, codes), price1, warmup=n - 2)
    assert capsys.readouterr() == ("", "") and os.listdir(in_tmp) == []


def test_mine_max_correlation_keeps_the_first_distinct_rows(market, in_tmp):
    data1, price1, codes = market
    miner = FactorSearch(OPS)
    every = miner.mine(data1, price1, codes, 30, L, seed=2, progress=False)
    bound = 0.5
    panels = {f: miner.factor(f, data1, codes) for f in every["formula"]}
    kept = []
    for f in every["formula"]:
        if all(mean_rank_corr(panels[f], panels[k], 150, len(data1) - 3) < bound for k in kept):
            kept.append(f)
    assert 2 <= len(kept) < len(every)
    got = miner.mine(data1, price1, codes, len(kept), L, seed=2, max_correlation=bound,
                     progress=False)
    assert list(got["formula"]) == kept
    assert got.attrs["turned_away"] == len(every[every["attempt"] <= got["attempt"].iloc[-1]]) \
        - len(kept)


def test_evolve_hall_of_fame_is_distinct(market, in_tmp):
    data1, price1, codes = market
    miner = FactorSearch(OPS)
    free = miner.evolve(data1, price1, codes, L, max_correlation=None,
                        **dict(SMALL, hall_of_fame=20))
    hall = miner.evolve(data1, price1, codes, L, max_correlation=0.8, **SMALL)
    last = len(data1) - 3
    panels = {f: miner.factor(f, data1, codes) for f in set(free["formula"]) | set(hall["formula"])}
    # without a bound, repeats are named: the row they repeat ranks the stocks identically
    repeats = free[free["duplicate_of"].notna()]
    assert len(repeats) > 0
    for _, row in repeats.iterrows():
        first = free["formula"].iloc[int(row["duplicate_of"])]
        a, b = panels[row["formula"]].iloc[150:last + 1], panels[first].iloc[150:last + 1]
        pd.testing.assert_frame_equal(a.rank(axis=1), b.rank(axis=1), check_names=False)
    # with one, no two rows reach it, no repeats, and the best formula still leads
    assert hall["duplicate_of"].isna().all() and hall.attrs["turned_away"] > 0
    assert hall["formula"].iloc[0] == free["formula"].iloc[0]
    assert hall["fitness"].is_monotonic_decreasing and len(hall) == SMALL["hall_of_fame"]
    rows = list(hall["formula"])
    for i in range(len(rows)):
        for j in range(i):
            assert mean_rank_corr(panels[rows[i]], panels[rows[j]], 150, last) < 0.8
    assert (hall["coverage"] >= 2 * L).all() and (hall["tradeable_days"] >= 0.5).all()
