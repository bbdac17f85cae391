import random

import numpy as np
import pytest
import ta

import factorsearch
from factorsearch import FactorSearch

from alphaloom._testing import fs_reference

NUMPY_OPS = [["np.add", 2], ["np.subtract", 2], ["np.divide", 2], ["np.log", 1], ["abs", 1]]


def mine_both(ops, market, l, hedged, seed, namespace=None):
    data1, price1, codes = market
    fs = FactorSearch(ops)
    random.seed(seed)
    ours = (fs.f if hedged else fs.f1)(data1, price1, codes, l)
    after = random.random()
    random.seed(seed)
    theirs = fs_reference.attempt(namespace or vars(factorsearch), fs.fuc, data1, price1, codes,
                                  l, hedged)
    assert random.random() == after  # the same draws, in the same order
    return ours, theirs


@pytest.mark.parametrize("hedged", [True, False])
@pytest.mark.parametrize("seed", [1, 2])
def test_attempts_match_the_plain_version(market, capture_stdout, hedged, seed):
    ours, theirs = mine_both(NUMPY_OPS, market, 4, hedged, seed)
    assert ours is not None and fs_reference.same_row(ours, theirs), (ours, theirs)
    assert capture_stdout() == [str(ours)]


@pytest.mark.parametrize("op", [
    "(lambda x: np.asarray(np.abs(x)))",              # arrays instead of series
    "(lambda x: np.abs(x).reset_index(drop=True))",   # series on their own labels
    "(lambda x: np.abs(x).astype('float32'))",
    "(lambda x: np.abs(x) > 30)",                     # booleans: every value is 0 or 1
])
def test_results_of_other_shapes_are_assembled_as_a_frame_would(market, op):
    ours, theirs = mine_both([[op, 1]], market, 3, True, 0)
    assert ours is not None and fs_reference.same_row(ours, theirs), (ours, theirs)


@pytest.mark.parametrize("op", ["(lambda x: x.iloc[:-1])", "(lambda x: x.to_numpy()[:-1])",
                                "(lambda x: 1.0)"])
def test_results_without_one_value_per_date_are_a_miss(market, capture_stdout, op):
    ours, theirs = mine_both([[op, 1]], market, 3, True, 0)
    assert ours is None and theirs is None
    assert capture_stdout() == []


def test_ta_indicators_as_operators(market):
    namespace = {**vars(factorsearch), "momentum": ta.momentum, "trend": ta.trend}
    ops = [["momentum.rsi", 1], ["trend.sma_indicator", 1], ["np.subtract", 2]]
    for seed in (3, 4):
        ours, theirs = mine_both(ops, market, 3, False, seed, namespace)
        assert ours is not None and fs_reference.same_row(ours, theirs), (ours, theirs)


class Failing:
    """An operator that raises `error` on call number `at` and counts its calls."""

    def __init__(self, error, at):
        self.error, self.at, self.calls = error, at, 0

    def __call__(self, x):
        self.calls += 1
        if self.calls == self.at:
            raise self.error("operator failed")
        return x * 2.0


def test_a_failing_operator_is_a_silent_miss(market, capture_stdout, monkeypatch):
    boom = Failing(ZeroDivisionError, at=10)  # the 4th stock's first call
    monkeypatch.setattr(factorsearch, "boom", boom, raising=False)
    data1, price1, codes = market
    fs = FactorSearch([["boom", 1]])
    assert fs.f(data1, price1, codes, 2) is None
    assert boom.calls == 10 and capture_stdout() == []


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_inside_an_operator_still_stops(market, in_tmp, monkeypatch, error):
    monkeypatch.setattr(factorsearch, "boom", Failing(error, at=5), raising=False)
    data1, price1, codes = market
    with pytest.raises(error):
        FactorSearch([["boom", 1]]).hedge(data1, price1, codes, 1, 2)


def test_one_stock_gives_no_result_even_when_it_evaluates(market, capture_stdout, monkeypatch):
    counter = Failing(RuntimeError, at=0)
    monkeypatch.setattr(factorsearch, "count", counter, raising=False)
    data1, price1, codes = market
    assert FactorSearch([["count", 1]]).f(data1, price1, codes[:1], 1) is None
    assert counter.calls == 3 and capture_stdout() == []


@pytest.mark.parametrize("variant", ["gaps", "integer volume"])
def test_fields_are_forward_filled_per_stock(market, variant):
    data1, price1, codes = market
    if variant == "gaps":
        holes = np.random.default_rng(0).random(data1.shape) < 0.05
        data1 = data1.mask(holes)
        data1.iloc[:3, :7] = np.nan  # leading gaps stay missing
    else:
        data1 = data1.astype({c: "int64" for c in data1.columns if c[1] == "volume"})
    for seed in (1, 5):
        ours, theirs = mine_both(NUMPY_OPS, (data1, price1, codes), 4, True, seed)
        assert ours is not None and fs_reference.same_row(ours, theirs), (ours, theirs)


@pytest.mark.parametrize("l", [0, -3, 1.5, "2", None])
def test_a_leg_size_that_is_not_a_whole_positive_number_is_refused(market, l):
    data1, price1, codes = market
    random.seed(0)
    with pytest.raises(ValueError, match="l must be"):
        FactorSearch(NUMPY_OPS).f(data1, price1, codes, l)
    after = random.random()
    random.seed(0)
    assert after == random.random()  # refused before any draw


def test_an_unknown_code_is_a_miss_for_one_attempt(market):
    data1, price1, codes = market
    assert FactorSearch([["abs", 1]]).f1(data1, price1, codes + ["NOPE"], 2) is None


def test_fewer_than_153_dates_give_no_result(market):
    data1, price1, codes = market
    fs = FactorSearch([["abs", 1]])
    assert fs.f(data1.iloc[:152], price1.iloc[:152], codes, 2) is None
    row = fs.f(data1.iloc[:153], price1.iloc[:153], codes, 2)
    assert row is not None and row[3] == 0.0  # one day: no drawdown possible


def test_an_operator_writing_into_its_argument_does_not_change_later_attempts(
        market, in_tmp, capture_stdout, monkeypatch):
    def scribble(x):
        out = np.log(x)
        x.iloc[:] = 0.0
        return out

    monkeypatch.setattr(factorsearch, "scribble", scribble, raising=False)
    data1, price1, codes = market
    ops = [["scribble", 1], ["abs", 1]]
    fs = FactorSearch(ops)
    random.seed(8)
    fs.long(data1, price1, codes, 4, 3)
    ours = [eval(line, {"nan": np.nan, "inf": np.inf}) for line in capture_stdout()]
    random.seed(8)
    random.randint(0, 999)
    theirs = [fs_reference.attempt(vars(factorsearch), fs.fuc, data1, price1, codes, 3, False)
              for _ in range(4)]
    assert all(fs_reference.same_row(a, b) for a, b in zip(ours, theirs)), (ours, theirs)
    assert data1.iloc[:, 0].notna().all() and (data1.iloc[:, 0] != 0).all()


# ---- the back-test itself, on one or two hand-made days


def one_day(values, returns, n_days=153):
    """Factor values and per-stock returns for the back-test day t = 150."""
    m = len(values)
    panel = np.full((n_days, m), np.nan)
    panel[150] = values
    prices = np.ones((n_days, m))
    prices[152] = 1.0 + np.asarray(returns, dtype=float)
    return panel, prices


R = [0.01, 0.02, 0.03, 0.04]


@pytest.mark.parametrize("values,l,hedged,expected", [
    ([0.5, 0.2, 0.9, 0.7], 1, True, 0.03 - 0.02),
    ([0.5, 0.2, 0.9, 0.7], 2, False, (0.03 + 0.04) / 2),
    ([0.5, 1.0, 0.0, 0.7], 1, True, 0.04 - 0.01),     # exactly 0 and 1 are not eligible
    ([0.5, 1.0, 0.0, 0.7], 1, False, 0.04),
    ([0.5, np.nan, -np.inf, np.inf], 1, True, 0.04 - 0.03),
    ([0.5, 0.5, 0.5, 0.5], 1, True, 0.04 - 0.01),    # ties: universe order
    ([0.5, 0.5, 0.5, 0.5], 2, False, (0.03 + 0.04) / 2),
    ([0.3, 0.1, 0.2, np.nan], 3, True, 0.0),          # l covers every eligible stock
    ([0.3, 0.1, 0.2, np.nan], 3, False, (0.01 + 0.02 + 0.03) / 3),
    ([0.3, 0.1, np.nan, np.nan], 5, True, 0.0),       # 2 < 5 / 2
    ([0.3, 0.1, np.nan, np.nan], 5, False, 0.0),
    ([0.3, 0.1, 0.2, np.nan], 5, False, (0.01 + 0.02 + 0.03) / 3),  # 3 >= 5 / 2
])
def test_one_day_legs(values, l, hedged, expected):
    panel, prices = one_day(values, R)
    pft, net, sharp, maxdown = factorsearch._backtest(panel, prices, l, hedged)
    assert len(pft) == 1 and pft[0] == pytest.approx(expected, abs=1e-15)
    assert net == pytest.approx(1 + expected, abs=1e-15)


def test_a_missing_price_makes_the_day_count_as_zero():
    panel, prices = one_day([0.5, 0.2, 0.9, 0.7], R)
    prices[151, 2] = np.nan
    pft, net, _, maxdown = factorsearch._backtest(panel, prices, 1, True)
    assert np.isnan(pft[0]) and net == 1.0 and maxdown == 0.0
    pft, net, _, _ = factorsearch._backtest(panel, prices, 1, False)
    assert np.isnan(pft[0]) and net == 1.0


@pytest.mark.parametrize("returns,net,maxdown", [
    ([0.2, -0.25], 0.9, 0.25),
    ([0.1, 0.0, 0.05], 1.155, 0.0),
    ([-0.5, 1.0, -0.5], 0.5, 0.5),
])
def test_net_value_sharp_and_drawdown(returns, net, maxdown):
    n_days = 152 + len(returns)
    panel = np.full((n_days, 2), np.nan)
    panel[150:150 + len(returns)] = [0.2, 0.4]
    prices = np.ones((n_days, 2))
    prices[151:] = np.cumprod(1 + np.asarray([0.0] + returns))[:, None]
    pft, got_net, sharp, got_maxdown = factorsearch._backtest(panel, prices, 1, False)
    np.testing.assert_allclose(pft, returns, atol=1e-12)
    assert got_net == pytest.approx(net, abs=1e-12)
    assert got_maxdown == pytest.approx(maxdown, abs=1e-12)
    assert sharp == pytest.approx(np.mean(returns) / np.std(returns) * 16, rel=1e-9)


def test_a_flat_return_series_still_gives_a_row(market):
    data1, price1, codes = market
    row = FactorSearch([["(lambda x: x * 0)", 1]]).f(data1, price1, codes, 2)
    assert row is not None and row[1] == 1.0 and np.isnan(row[2]) and row[3] == 0.0
