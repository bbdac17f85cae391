import warnings
import math
import os
import random
import sys

import numpy as np
import pandas as pd
import pytest
import ta

import factorsearch
from factorsearch import FactorSearch

from alphaloom._testing import fs_reference

OPS = [["np.add", 2], ["np.subtract", 2], ["np.divide", 2], ["np.log", 1], ["abs", 1],
       ["momentum.rsi", 1], ["(lambda x: x.rolling(3).mean())", 1]]
SUMMARY_KEYS = ["net_value", "sharpe", "maxdown", "ic_mean", "ic_std", "icir", "rank_ic_mean",
                "rank_icir", "ic_positive", "turnover", "net_value_after_cost",
                "sharpe_after_cost", "days", "sharpe_se", "psr", "ic_t", "rank_ic_t",
                "dispersion_days", "coverage", "tradeable_days"]


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def reference_panel(fs, text, data1, codes):
    namespace = {**vars(factorsearch), "momentum": ta.momentum}
    columns = {}
    for code in codes:
        env = {f: data1[code][f].ffill() for f in FactorSearch.fields}
        columns[code] = np.asarray(eval(text, namespace, env), dtype=float)
    return pd.DataFrame(columns, index=data1.index)


# ---- factor


@pytest.mark.parametrize("seed", [3, 11, 12])
def test_factor_is_the_panel_an_attempt_back_tests(market, capture_stdout, seed):
    data1, price1, codes = market
    fs = FactorSearch(OPS)
    random.seed(seed)
    row = fs.f(data1, price1, codes, 4)
    assert row is not None
    panel = fs.factor(row[0], data1, codes)
    assert list(panel.columns) == codes and panel.index.equals(data1.index)
    assert panel.dtypes.eq(np.float64).all()
    pd.testing.assert_frame_equal(panel, reference_panel(fs, row[0], data1, codes),
                                  check_names=False, check_freq=False)
    _, net, sharp, maxdown = factorsearch._backtest(panel, price1, 4, True)
    assert [net, sharp, maxdown] == row[1:]


def test_factor_reads_blanks_and_picks_the_entry_by_argument_count(market, monkeypatch):
    data1, _, codes = market
    monkeypatch.setattr(factorsearch, "twice", lambda x, y=None: x * 2 if y is None else x + y,
                        raising=False)
    fs = FactorSearch([["twice", 2], ["twice", 1], ["np.log", 1]])
    one = fs.factor(" twice( np.log(close) ) ", data1, codes[:3])
    two = fs.factor("twice(np.log(close),np.log(close))", data1, codes[:3])
    pd.testing.assert_frame_equal(one, two)
    single = fs.factor("twice(np.log(close))", data1, codes[1:2])  # one stock is a panel too
    pd.testing.assert_frame_equal(single, one[codes[1:2]])
    lam = "(lambda x: x.rolling(3).mean())"
    got = FactorSearch([[lam, 1], ["np.log", 1]]).factor(f"np.log({lam}(close))", data1, codes[:3])
    expected = np.log(data1.xs("close", axis=1, level="field")[codes[:3]].rolling(3).mean())
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())


@pytest.mark.parametrize("text,message", [
    ("np.log(close", r"expected ',' or '\)'.* position 12"),
    ("np.log(close))", r"unexpected '\)' after the formula at position 13"),
    ("np.lg(close)", r"unknown operator 'np\.lg' at position 0"),
    ("abs(np.exp(open))", r"unknown operator 'np\.exp' at position 4"),
    ("np.add(close)", r"'np\.add' takes 2 argument\(s\), got 1 at position 0"),
    ("abs(open, high)", r"'abs' takes 1 argument\(s\), got 2 at position 0"),
    ("np.log(price)", r"found 'price' at position 7"),
    ("close", r"not a bare field"),
    ("  ", r"empty"),
    ("abs(" * 600 + "close" + ")" * 600, r"deeper than"),
    # pasted text: positions count characters, not the bytes of their UTF-8 form
    ("np.log(close)\u00a0", r"unexpected '\xa0' \(U\+00A0\) after the formula at position 13"),
    ("np.log(\u20ac)", r"found '\u20ac' \(U\+20AC\) at position 7"),
    ("(lambda x, \u00e9=1: x)(close", r"found the end of the text at position 24"),
    ("np.log(close\ud800)", r"lone surrogate\) at position 12"),
])
def test_factor_rejects_text_that_is_not_a_formula(market, text, message):
    data1, _, codes = market
    with pytest.raises(ValueError, match=message):
        FactorSearch(OPS + [["(lambda x, \u00e9=1: x)", 1]]).factor(text, data1, codes)


@pytest.mark.parametrize("tail", [")", "\ud800"])
def test_a_long_formula_is_echoed_around_the_error_only(market, tail):
    data1, _, codes = market
    text = "abs(" * 300 + "close" + ")" * 300 + " " * 100_000 + tail
    with pytest.raises(ValueError) as info:
        FactorSearch(OPS).factor(text, data1, codes)
    message = str(info.value)
    assert len(message) < 400 and f"({len(text)} characters, shown from position" in message
    assert f"at position {len(text) - 1}" in message


@pytest.mark.parametrize("call,error,message", [
    (lambda fs, d, p, c: fs.mine(d, p, c, 1, 2, long_only="no"), TypeError,
     "long_only must be True or False, got 'no'"),
    (lambda fs, d, p, c: fs.mine(d, p, c, 1, 2, n_jobs=10**6), ValueError, "n_jobs must be at most"),
    (lambda fs, d, p, c: fs.hedge(None, p, c, 1, 2), TypeError, "data1 must be a DataFrame"),
    (lambda fs, d, p, c: fs.mine(d, p.to_numpy(), c, 1, 2), TypeError, "price1 must be a DataFrame"),
    (lambda fs, d, p, c: fs.long(d, p, "AAPL", 1, 2), TypeError, "zz500 must be a list"),
    (lambda fs, d, p, c: fs.factor("np.log(close)", d.to_numpy(), c), TypeError, "data1 must"),
    (lambda fs, d, p, c: factorsearch.report(fs.factor("np.log(close)", d, c), p, long_only="no"),
     TypeError, "long_only must be True or False"),
    (lambda fs, d, p, c: fs.fuctions([["\ud800", 1], 3]), ValueError, "not valid text"),
])
def test_wrong_argument_types_name_the_argument(market, in_tmp, capture_stdout, call, error,
                                                message):
    with pytest.raises(error, match=message):
        call(FactorSearch(OPS), *market)
    assert capture_stdout() == [] and not os.path.exists("factors")


# ---- report


@pytest.mark.parametrize("long_only", [False, True])
@pytest.mark.parametrize("l", [3, 30])
def test_summary_equals_the_mining_row(market, capture_stdout, long_only, l):
    data1, price1, codes = market
    fs = FactorSearch(OPS)
    rows = 0
    for seed in (5, 6, 7):
        random.seed(seed)
        row = (fs.f1 if long_only else fs.f)(data1, price1, codes, l)
        if row is None:
            continue
        rows += 1
        rep = factorsearch.report(fs.factor(row[0], data1, codes), price1, l=l,
                                  long_only=long_only, cost_bps=0.0)
        assert list(rep.summary.index) == SUMMARY_KEYS
        got = rep.summary[["net_value", "sharpe", "maxdown"]].tolist()
        assert all(same(a, b) for a, b in zip(got, row[1:])), (got, row)
        assert rep.summary["net_value_after_cost"] == rep.summary["net_value"]
        assert rep.summary["days"] == len(data1) - 152 == len(rep.daily)
        np.testing.assert_allclose(rep.daily["net_value"], np.cumprod(1 + rep.daily["return"]))
    assert rows >= 2


def pandas_ic(panel, price1, h=1):
    """The daily IC and rank IC written with pandas corr."""
    fwd = (price1.shift(-(1 + h)) - price1.shift(-1)) / price1.shift(-1)
    out = []
    for t in range(150, len(panel) - 2 - (h - 1)):
        fac = panel.iloc[t].mask(panel.iloc[t] == 0).mask(panel.iloc[t] == 1)
        out.append((fac.corr(fwd.iloc[t]), fac.corr(fwd.iloc[t], method="spearman")))
    return pd.DataFrame(out, columns=["ic", "rank_ic"], index=panel.index[150:150 + len(out)])


def awkward_panel(market):
    """Real-looking values plus what breaks naive IC code: ties, 0/1, inf, NaN, constant days."""
    data1, price1, codes = market
    close = data1.xs("close", axis=1, level="field")[codes]
    panel = close.pct_change(3).round(3)
    panel.iloc[160, :] = 0.5          # constant day: IC undefined
    panel.iloc[161, 2:] = np.nan      # two stocks left
    panel.iloc[162, 1:] = np.nan      # one stock: undefined
    panel.iloc[163, ::3] = 1.0        # not eligible
    panel.iloc[164, 4] = np.inf       # Pearson undefined, rank IC defined
    prices = price1.copy()
    prices.iloc[170, 5] = np.nan
    return panel, prices


@pytest.mark.filterwarnings("ignore")  # pandas warns on the undefined days
def test_ic_equals_pandas_per_day(market):
    panel, prices = awkward_panel(market)
    rep = factorsearch.report(panel, prices, l=5, quantiles=4)
    expected = pandas_ic(panel, prices)
    np.testing.assert_allclose(rep.daily["ic"], expected["ic"], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(rep.daily["rank_ic"], expected["rank_ic"], rtol=1e-10, atol=1e-12)
    assert rep.daily["ic"].isna().sum() >= 3 and not math.isnan(rep.daily["rank_ic"].iloc[14])
    s = rep.summary
    ic = expected["ic"].dropna()
    assert s["ic_mean"] == pytest.approx(ic.mean(), rel=1e-10)
    assert s["icir"] == pytest.approx(ic.mean() / ic.std(), rel=1e-10)
    assert s["ic_positive"] == pytest.approx((ic > 0).mean(), rel=1e-12)
    assert s["rank_icir"] == pytest.approx(
        expected["rank_ic"].mean() / expected["rank_ic"].std(), rel=1e-10)
    for h in (1, 4, 10):
        assert rep.ic_decay[h] == pytest.approx(pandas_ic(panel, prices, h)["rank_ic"].mean(),
                                                rel=1e-10)


def hand_market(values, returns):
    """Days 150.. carry `values`; each stock's price moves by `returns` from t+1 to t+2."""
    values, returns = np.asarray(values, float), np.asarray(returns, float)
    n_days, m = 152 + len(values), values.shape[1]
    dates = pd.bdate_range("2021-01-04", periods=n_days)
    panel = pd.DataFrame(np.nan, index=dates, columns=list("ABCD")[:m])
    panel.iloc[150:150 + len(values)] = values
    growth = np.ones((n_days, m))
    growth[152:152 + len(values)] = 1 + returns
    prices = pd.DataFrame(np.cumprod(growth, axis=0), index=dates, columns=panel.columns)
    return panel, prices


def test_turnover_and_costs_on_a_hand_built_case():
    values = [[0.1, 0.2, 0.3, 0.9],     # short A, long D
              [0.3, 0.2, 0.4, 0.9],     # short B (new), long D (kept)
              [0.3, 0.2, 0.9, 0.4],     # short B (kept), long C (new)
              [np.nan, np.nan, np.nan, 0.4],   # one stock: both legs hold D, both new
              [np.nan] * 4,             # no trade: legs empty
              [0.1, 0.2, 0.3, 0.9]]     # back in: everything new
    returns = np.array([[0.01, -0.02, 0.03, 0.04]] * 6)
    panel, prices = hand_market(values, returns)
    rep = factorsearch.report(panel, prices, l=1, cost_bps=10.0)
    d = rep.daily
    np.testing.assert_allclose(d["turnover"], [1.0, 0.5, 0.5, 1.0, 0.0, 1.0])
    np.testing.assert_allclose(d["cost"], 1e-3 * np.array([2, 1, 1, 2, 0, 2]))
    np.testing.assert_allclose(d["return"], [0.03, 0.06, 0.05, 0.0, 0.0, 0.03], atol=1e-15)
    np.testing.assert_allclose(d["net_value_after_cost"],
                               np.cumprod(1 + d["return"] - d["cost"]))
    assert rep.summary["turnover"] == pytest.approx(4.0 / 6)
    assert rep.summary["net_value_after_cost"] == d["net_value_after_cost"].iloc[-1]

    long_only = factorsearch.report(panel, prices, l=1, long_only=True, cost_bps=10.0).daily
    np.testing.assert_allclose(long_only["turnover"], [1, 0, 1, 1, 0, 1])
    np.testing.assert_allclose(long_only["cost"], 1e-3 * long_only["turnover"])
    assert long_only["short"].isna().all()


def test_quantile_returns_on_a_hand_built_case():
    values = [[0.4, 0.1, 0.3, 0.2], [0.1, 0.2, 0.3, 0.4]]
    returns = [[0.04, 0.01, 0.03, 0.02], [0.01, 0.02, 0.03, 0.05]]
    panel, prices = hand_market(values, returns)
    q = factorsearch.report(panel, prices, l=1, quantiles=2).quantile_returns
    assert list(q.index) == [1, 2] and q["count"].tolist() == [4, 4]
    np.testing.assert_allclose(q["mean_return"], [(0.015 + 0.015) / 2, (0.035 + 0.04) / 2])


@pytest.mark.parametrize("kwargs,error,message", [
    ({"l": 0}, ValueError, "l must be"),
    ({"quantiles": 1.5}, ValueError, "quantiles must be"),
    ({"quantiles": 10**9}, ValueError, "at most 1000"),
    ({"cost_bps": -1}, ValueError, "cost_bps"),
    ({"cost_bps": "5"}, TypeError, "cost_bps"),
    ({"short": True}, KeyError, "no column for stock"),
    ({"dates": 152}, ValueError, "at least 153 dates"),
    ({"text": True}, ValueError, "must be numbers"),
    ({"reverse": True}, ValueError, "dates must be ascending"),
    ({"price_rows": [5]}, ValueError, "price1 has duplicate dates"),
    ({"price_cols": [0]}, ValueError, "price1 has duplicate columns"),
])
def test_report_rejects_bad_input(market, kwargs, error, message):
    panel, prices = awkward_panel(market)
    if kwargs.pop("short", False):
        prices = prices.drop(columns=prices.columns[3])
    if "dates" in kwargs:
        panel = panel.iloc[:kwargs.pop("dates")]
    if kwargs.pop("text", False):
        panel = panel.astype({panel.columns[0]: str})
    if kwargs.pop("reverse", False):
        panel = panel.iloc[::-1]
    if "price_rows" in kwargs:
        prices = pd.concat([prices, prices.iloc[kwargs.pop("price_rows")]])
    if "price_cols" in kwargs:
        prices = pd.concat([prices, prices.iloc[:, kwargs.pop("price_cols")]], axis=1)
    with pytest.raises(error, match=message):
        factorsearch.report(panel, prices, **kwargs)


def test_plot_writes_one_png(market, tmp_path):
    matplotlib_image = pytest.importorskip("matplotlib.image")
    panel, prices = awkward_panel(market)
    rep = factorsearch.report(panel, prices, l=5, cost_bps=5)
    path = tmp_path / "report.png"
    assert rep.plot(path) == path
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = matplotlib_image.imread(path)
    assert image.ndim == 3 and image.shape[0] > 300 and image.shape[1] > 300


def test_without_matplotlib_plot_names_the_extra(market, tmp_path, monkeypatch):
    panel, prices = awkward_panel(market)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    rep = factorsearch.report(panel, prices, l=5)
    with pytest.raises(ImportError, match=r"alphaloom\[plot\]"):
        rep.plot(tmp_path / "x.png")
    assert list(tmp_path.iterdir()) == []


# ---- from_long


def to_long(data1):
    frame = data1.stack(level="code", future_stack=True).reset_index()
    return frame.rename(columns={"datetime": "date"})


def test_from_long_round_trip(market):
    data1, _, codes = market
    data1 = data1.iloc[:30, :20].copy()
    data1.iloc[5, 0] = np.nan                                   # a missing value stays missing
    table = to_long(data1).sample(frac=1.0, random_state=0)     # any row order
    gone = table.iloc[:3]                                       # whole stock-days missing
    table = table.iloc[3:]
    table.columns = [c.upper() for c in table.columns]
    table["VOLUME"] = table["VOLUME"].astype("int64")           # integers are numbers too
    got1, gotp, gotc = factorsearch.from_long(table, price="CLOSE")
    indexed = factorsearch.from_long(table.set_index(["DATE", "CODE"]), price="CLOSE")
    pd.testing.assert_frame_equal(indexed[0], got1)
    expected = data1.copy()
    for date, code in zip(gone["date"], gone["code"]):
        expected.loc[date, code] = np.nan
    assert gotc == sorted(codes[:4]) and got1.index.is_monotonic_increasing
    assert list(got1.columns) == list(expected.columns)
    np.testing.assert_array_equal(got1.to_numpy(), expected.to_numpy())
    np.testing.assert_array_equal(gotp.to_numpy(),
                                  expected.xs("close", axis=1, level="field").to_numpy())


@pytest.mark.parametrize("fmt", ["%Y-%m-%d", "%b %d %Y"])
def test_from_long_orders_text_dates_in_time(market, fmt):
    data1, _, _ = market
    data1 = data1.iloc[:40, :10]          # spans a month end: "Feb" sorts before "Jan" as text
    table = to_long(data1)
    table["date"] = table["date"].dt.strftime(fmt)
    got1, _, _ = factorsearch.from_long(table)
    pd.testing.assert_index_equal(got1.index, pd.Index(data1.index.to_numpy(), name="date"))
    np.testing.assert_array_equal(got1.to_numpy(), data1.to_numpy())


@pytest.mark.parametrize("change,message", [
    (lambda f: f.drop(columns=["volume"]), r"no column\(s\) \['volume'\]"),
    (lambda f: pd.concat([f, f.iloc[[7]]]), r"1 duplicate \(date, code\)"),
    (lambda f: f.assign(high=f["high"].astype(str)), "'high' must hold numbers"),
    (lambda f: f.iloc[:0], "no rows"),
    (lambda f: f.assign(code=f["code"].where(f.index != 3)), "'code' has missing values"),
    (lambda f: f.assign(Open=1.0), "one name"),
    (lambda f: f.assign(date="day " + f["date"].dt.day.astype(str)), "cannot be read as dates"),
    (lambda f: f.assign(date=f["date"].dt.strftime("%d/%m/%Y")), "cannot be read as dates"),
    (lambda f: f.assign(date=[d.tz_localize("UTC" if k % 2 else "Asia/Tokyo")
                              for k, d in enumerate(f["date"])]), "more than one time zone"),
])
def test_from_long_rejects_bad_tables(market, change, message):
    data1, _, _ = market
    table = change(to_long(data1.iloc[:10, :15]))
    before = table.copy()
    with pytest.raises(ValueError, match=message):
        factorsearch.from_long(table)
    pd.testing.assert_frame_equal(table, before)


def test_a_zero_price_where_a_leg_buys_is_named_not_silent(market):
    data1, price1, codes = market
    factor = FactorSearch(OPS).factor("np.log(close)", data1, codes)
    priced = price1.copy()
    priced.iloc[200] = 0.0  # every stock: whichever leg buys on that date divides by zero
    with pytest.warns(RuntimeWarning, match=r"infinite leg return, first the day "
                                            + str(price1.index[199].date())):
        factorsearch.report(factor, priced, l=5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        factorsearch.report(factor, price1, l=5)  # honest prices: no warning
