import numpy as np
import pandas as pd
import pytest

import factorsearch
from alphaloom._testing import fs_reference
from alphaloom._testing import synthetic

FIELDS = ("open", "high", "low", "close", "volume")


@pytest.fixture(scope="module")
def holey():
    """Six stocks x 40 days with every way a row can go: a missing close, a zero volume, a
    stock listed late, a day without a price, an infinite high, a volume whose ratio overflows
    float32."""
    data1, price1, codes = synthetic.make_market(n_stocks=6, n_days=40, seed=5)
    data1 = data1.copy()
    price1 = price1.copy()
    data1.loc[data1.index[10], (codes[1], "close")] = np.nan
    data1.loc[data1.index[20], (codes[2], "volume")] = 0.0
    data1.loc[data1.index[:15], codes[3]] = np.nan
    price1.loc[price1.index[25], codes[4]] = np.nan
    data1.loc[data1.index[30], (codes[5], "high")] = np.inf
    data1.loc[data1.index[33], (codes[0], "volume")] = 1e300
    return data1, price1, codes


@pytest.mark.parametrize("window, fields, label", [
    (5, FIELDS, "rank"), (3, ("close", "volume"), "zscore"), (1, ("high", "open"), "raw"),
    (4, ("volume",), "rank")])
def test_layout_and_labels_equal_pandas(holey, window, fields, label):
    data1, price1, codes = holey
    codes = codes[::-1]  # the universe's order, not the columns', orders each day's rows
    ours = factorsearch.window_features(data1, codes, window=window, fields=fields,
                                        price1=price1, label=label)
    theirs, dropped = fs_reference.window_frame(data1, codes, window, fields, price1, label)
    assert ours.index.equals(theirs.index)
    assert list(ours.index.names) == ["datetime", "instrument"]
    assert list(ours.columns) == list(theirs.columns)
    features = ours.columns[:-1]
    assert (ours[features].dtypes == np.float32).all()
    np.testing.assert_array_equal(ours[features].to_numpy(), theirs[features].to_numpy())
    if label == "zscore":
        np.testing.assert_allclose(ours["label"], theirs["label"], rtol=1e-12, atol=1e-12)
    else:
        np.testing.assert_array_equal(ours["label"].to_numpy(), theirs["label"].to_numpy())
    assert ours.attrs["dropped"] == dropped > 0


def test_without_prices_there_is_no_label_and_priceless_days_stay(holey):
    data1, price1, codes = holey
    frame = factorsearch.window_features(data1, codes, window=5)
    theirs, dropped = fs_reference.window_frame(data1, codes, 5)
    assert "label" not in frame.columns
    assert frame.index.equals(theirs.index) and frame.attrs["dropped"] == dropped


def test_labels_are_the_returns_the_report_scores(market):
    """A factor equal to the raw label ranks every day's stocks exactly as report's forward
    return does: its daily rank IC is 1 on every back-test day."""
    data1, price1, codes = market
    frame = factorsearch.window_features(data1, codes, window=5, price1=price1, label="raw")
    panel = frame["label"].unstack().reindex(index=data1.index, columns=codes)
    days = factorsearch.report(panel, price1, l=5).daily
    assert len(days) == len(data1) - 152
    np.testing.assert_allclose(days["rank_ic"], 1.0, rtol=0, atol=1e-12)
    np.testing.assert_allclose(days["ic"], 1.0, rtol=0, atol=1e-12)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(zz500=["S0000", "nope"]), KeyError, "no columns for stock(s) ['nope']"),
    (dict(fields=("close", "vwap")), ValueError, "unknown field 'vwap'"),
    (dict(fields="close"), TypeError, "got a str"),
    (dict(fields=()), ValueError, "names no field"),
    (dict(window=0), ValueError, "window must be a whole number >= 1"),
    (dict(label="pct"), ValueError, "label must be 'rank', 'zscore' or 'raw'"),
    (dict(zz500=["S0000", "S0000"]), ValueError, "more than once"),
    (dict(zz500=[]), ValueError, "names no stock"),
    (dict(price1="prices"), TypeError, "price1 must be a DataFrame"),
    (dict(drop_price="S0001"), KeyError, "price1 has no column for stock(s) ['S0001']"),
    (dict(drop_field=("S0002", "volume")), KeyError, "no column(s) [('S0002', 'volume')]"),
    (dict(reverse=True), ValueError, "strictly ascending"),
])
def test_bad_input_is_refused(market, kwargs, error, message):
    data1, price1, codes = market
    args = dict(data1=data1, zz500=codes[:4], price1=price1)
    if "drop_price" in kwargs:
        args["price1"] = price1.drop(columns=kwargs.pop("drop_price"))
    if "drop_field" in kwargs:
        args["data1"] = data1.drop(columns=[kwargs.pop("drop_field")])
    if kwargs.pop("reverse", False):
        args["data1"] = data1.iloc[::-1]
    args.update(kwargs)
    with pytest.raises(error) as info:
        factorsearch.window_features(**args)
    assert message in str(info.value)


@pytest.mark.parametrize("horizon", [0, 2, 5])
def test_split_dates_is_chronological_and_leaves_out_the_label_horizon(market, horizon):
    data1, price1, codes = market
    frame = factorsearch.window_features(data1, codes[:5], window=5, price1=price1)
    dates = frame.index.get_level_values(0).unique()
    selectors = factorsearch.split_dates(frame, dates[100], dates[180], horizon=horizon)
    def days(selector):  # the selector as fit evaluates it, after the frame
        return eval("frame" + selector, {}, {"frame": frame}).index.get_level_values(0).unique()

    parts = [days(s) for s in selectors]
    assert [list(p) for p in parts] == [list(dates[:100 - horizon]), list(dates[100:180 - horizon]),
                                        list(dates[180:])]
    test_end = factorsearch.split_dates(frame, dates[100], dates[180], dates[200], horizon)[2]
    assert days(test_end).equals(dates[180:201])


def test_check_split_refuses_a_test_period_within_the_label_horizon(market):
    data1, price1, codes = market
    frame = factorsearch.window_features(data1, codes[:5], window=5, price1=price1)
    dates = frame.index.get_level_values(0).unique()
    train = f".loc[:'{dates[99].date()}']"
    factorsearch.check_split(frame, train, frame.loc[dates[102]:])  # a frame works as well
    for start in (101, 50):
        with pytest.raises(ValueError, match="overlaps the training dates plus the 2-day label"):
            factorsearch.check_split(frame, train, f".loc['{dates[start].date()}':]")
    with pytest.raises(ValueError, match="valid_start .* must come before test_start"):
        factorsearch.split_dates(frame, dates[150], dates[100])
    with pytest.raises(ValueError, match="the validation split has no dates"):
        factorsearch.split_dates(frame, dates[100], dates[101])
    with pytest.raises(ValueError, match="needs dates as its index"):
        factorsearch.split_dates(frame.reset_index(drop=True), dates[100], dates[150])
