"""report on what the forecasters' predict returns: a Series or one-column frame on
(datetime, instrument), scored on the predicted dates."""
import numpy as np
import pandas as pd
import pytest

import factorsearch

LEVELS = ["datetime", "instrument"]


@pytest.fixture(scope="module")
def prices():
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2021-01-04", periods=40)
    codes = [f"S{i:02d}" for i in range(30)]
    price1 = pd.DataFrame(50 * np.exp(np.cumsum(rng.normal(0, 0.02, (40, 30)), 0)), dates, codes)
    price1.iloc[20, 3] = np.nan  # a missing price on a traded day
    values = pd.DataFrame(rng.normal(size=(40, 30)), dates, codes)
    return price1, values


def assert_same_report(a, b):
    pd.testing.assert_series_equal(a.summary, b.summary)
    pd.testing.assert_frame_equal(a.daily, b.daily)
    pd.testing.assert_frame_equal(a.quantile_returns, b.quantile_returns)
    pd.testing.assert_series_equal(a.ic_decay, b.ic_decay)


@pytest.mark.parametrize("as_frame", [False, True])
@pytest.mark.parametrize("long_only", [False, True])
def test_prediction_equals_the_wide_panel_over_its_days(prices, as_frame, long_only):
    price1, values = prices
    # 24 of the 30 codes over dates 8..39: the last two predicted dates have no t+2 and are not
    # traded; a few cells missing as predict leaves them for dropped rows.
    sel = values.iloc[8:, 2:26].copy()
    sel.iloc[[3, 9], [0, 5]] = np.nan
    pred = sel.stack().rename_axis(LEVELS)
    pred = pred.sample(frac=1.0, random_state=1)  # row order must not matter
    if as_frame:
        pred = pred.to_frame("score")
    wide = sel.reindex(index=price1.index, columns=price1.columns)
    got = factorsearch.report(pred, price1, l=6, long_only=long_only, cost_bps=5)
    want = factorsearch.report(wide, price1, l=6, long_only=long_only, cost_bps=5,
                               start=price1.index[8], end=price1.index[-1])
    assert_same_report(got, want)
    assert got.summary["days"] == 30 and got.daily.index[0] == price1.index[8]


def test_only_the_predicted_dates_are_back_test_days(prices):
    price1, values = prices
    dates = price1.index[[5, 6, 7, 15, 16, 38]]  # gaps; the last has no t+2
    pred = values.loc[dates].stack().rename_axis(LEVELS)
    rep = factorsearch.report(pred, price1, l=6)
    assert list(rep.daily.index) == list(dates[:5])
    # Each day's figures are the wide panel's on that day (turnover runs over the kept days).
    wide = values.loc[dates].reindex(price1.index)
    full = factorsearch.report(wide, price1, l=6, start=dates[0], end=dates[4]).daily
    cols = ["long", "short", "return", "ic", "rank_ic"]
    pd.testing.assert_frame_equal(rep.daily[cols], full.loc[dates[:5], cols])
    # start/end narrow the predicted days further.
    assert list(factorsearch.report(pred, price1, l=6, start=dates[2]).daily.index) == \
        list(dates[2:5])
    with pytest.raises(ValueError, match="no back-test day"):  # the last two dates lack t+2
        factorsearch.report(values.iloc[-2:].stack().rename_axis(LEVELS), price1, l=6)


@pytest.mark.parametrize("change,error,message", [
    (lambda p: p.rename({"S03": "ZZZ"}, level="instrument"), KeyError, "ZZZ"),
    (lambda p: p.rename({p.index[0][0]: pd.Timestamp("1990-01-02")}, level="datetime"), KeyError,
     "1990-01-02"),
    (lambda p: p.rename_axis(["date", "code"]), ValueError, "named 'datetime' and 'instrument'"),
    (lambda p: p.droplevel("instrument"), ValueError, "(datetime, instrument) MultiIndex"),
    (lambda p: p.to_frame("a").assign(b=1.0), ValueError, "one column, got 2"),
    (lambda p: pd.concat([p, p.iloc[:1]]), ValueError, "duplicate (datetime, instrument)"),
])
def test_bad_predictions_are_refused(prices, change, error, message):
    price1, values = prices
    pred = values.iloc[10:30].stack().rename_axis(LEVELS)
    with pytest.raises(error) as info:
        factorsearch.report(change(pred), price1, l=6)
    assert message in str(info.value)
