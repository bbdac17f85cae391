"""The data researchers hold and where they look at it: reports in a notebook (HTML view, a
Figure, atomic PNG writes), from_long on integer/text YYYYMMDD dates and frames from other
libraries, window_features over any field of data1 and over caller panels."""
import base64
import sys

import numpy as np
import pandas as pd
import pytest

import factorsearch

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parents[2] / "examples"))


@pytest.fixture(scope="module")
def rep(market):
    data1, price1, codes = market
    miner = factorsearch.FactorSearch([["np.negative", 1], ["delta_5", 1]])
    panel = miner.factor("np.negative(delta_5(close))", data1, codes)
    return factorsearch.report(panel, price1, l=5)


def test_report_in_a_notebook(rep, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure
    html = rep._repr_html_()
    assert html.startswith("<div") and "<table" in html and "rank_ic_mean" in html
    png = html.split('src="data:image/png;base64,')[1].split('"')[0]
    assert base64.b64decode(png)[:8] == b"\x89PNG\r\n\x1a\n"
    fig = rep.plot()
    assert isinstance(fig, Figure) and len(fig.axes) == 4
    target = tmp_path / "r.png"
    assert rep.plot(str(target)) == str(target) and target.read_bytes()[:4] == b"\x89PNG"
    old = target.read_bytes()

    def broken(self, fname, **kw):
        fname.write(b"partial")
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(Figure, "savefig", broken)
    with pytest.raises(OSError, match="No space left"):
        rep.plot(target)
    assert target.read_bytes() == old and [p.name for p in tmp_path.iterdir()] == ["r.png"]
    with pytest.raises(FileNotFoundError):
        rep.plot(tmp_path / "missing" / "r.png")


def long_table(market, dates):
    data1, _, codes = market
    frame = data1[codes[:3]].stack(level=0, future_stack=True).reset_index()
    frame.columns = ["date", "code", *frame.columns[2:]]
    frame["date"] = dates(frame["date"])
    return frame


@pytest.mark.parametrize("dates", [
    lambda d: d.dt.strftime("%Y%m%d").astype(int),       # integer YYYYMMDD, as CSVs hold them
    lambda d: d.dt.strftime("%Y%m%d"),                    # the same as text
])
def test_from_long_reads_yyyymmdd_dates(market, dates):
    expected = factorsearch.from_long(long_table(market, lambda d: d))
    got = factorsearch.from_long(long_table(market, dates))
    assert isinstance(got[0].index, pd.DatetimeIndex)
    pd.testing.assert_frame_equal(got[0], expected[0])
    pd.testing.assert_frame_equal(got[1], expected[1])


def test_from_long_keeps_integers_that_are_not_dates(market):
    data1, _, _ = factorsearch.from_long(long_table(market, lambda d: d.rank(method="dense")
                                                    .astype(int)))
    assert data1.index.dtype.kind == "i"


def test_from_long_takes_frames_of_other_libraries(market):
    table = long_table(market, lambda d: d)

    class Foreign:  # what a polars frame offers without polars installed here
        def to_pandas(self):
            return table

    class Other:
        pass
    pd.testing.assert_frame_equal(factorsearch.from_long(Foreign())[0],
                                  factorsearch.from_long(table)[0])
    with pytest.raises(TypeError, match=r"from_long takes a DataFrame .*, got .*Other"):
        factorsearch.from_long(Other())


def test_from_long_on_the_sp500_csv_with_integer_dates():
    sp500_data = pytest.importorskip("sp500_data")
    try:
        path = sp500_data.csv_path()
    except ImportError:
        pytest.skip("the S&P 500 data package is not installed")
    table = pd.read_csv(path)
    assert table["Date"].dtype.kind == "i"
    data1, price1, codes = factorsearch.from_long(table, code="Symbol")
    assert data1.index[0] == pd.Timestamp("2009-08-21")
    frame = factorsearch.window_features(data1, codes[:20], window=5, price1=price1)
    train, valid, test = factorsearch.split_dates(frame, "2010-03-01", "2010-05-03")
    assert train.startswith(".loc[:'2010-02-2") and test == ".loc['2010-05-03':]"


def with_amount(market):
    data1, price1, codes = market
    amount = data1.xs("close", axis=1, level=1) * data1.xs("volume", axis=1, level=1)
    amount.columns = pd.MultiIndex.from_product([amount.columns, ["amount"]])
    return pd.concat([data1, amount], axis=1).sort_index(axis=1), price1, codes


def test_window_features_takes_any_field_and_caller_panels(market):
    data1, price1, codes = with_amount(market)
    codes = codes[:6]
    rev = -data1.xs("close", axis=1, level=1)[codes].pct_change(5)
    frame = factorsearch.window_features(data1, codes, window=3, fields=("close", "amount"),
                                         price1=price1, extra={"rev": rev})
    assert list(frame.columns) == ["close0", "close1", "close2", "amount0", "amount1", "amount2",
                                   "rev0", "rev1", "rev2", "label"]
    assert frame.attrs["fields"] == ("close", "amount") and frame.attrs["extra"] == ("rev",)
    assert frame.attrs["scaling"] == {"close": "close", "amount": "amount", "rev": "none"}
    day, code = frame.index[40]
    t = data1.index.get_loc(day)
    amount = data1[(code, "amount")].to_numpy()[t - 2: t + 1]
    np.testing.assert_array_equal(frame.iloc[40][["amount0", "amount1", "amount2"]].to_numpy(),
                                  (amount / amount[-1]).astype(np.float32))
    np.testing.assert_array_equal(frame.iloc[40][["rev0", "rev1", "rev2"]].to_numpy(),
                                  rev[code].to_numpy()[t - 2: t + 1].astype(np.float32))
    # the rows a panel cannot fill (its first five days are NaN) are left out and counted
    plain = factorsearch.window_features(data1, codes, window=3, fields=("close", "amount"),
                                         price1=price1)
    assert frame.index.get_level_values(0)[0] > plain.index.get_level_values(0)[0]
    assert frame.attrs["dropped"] > plain.attrs["dropped"]


@pytest.mark.parametrize("change,error,message", [
    (dict(fields=("close", "turnover")), ValueError, "unknown field 'turnover'"),
    (dict(extra={"rev": "x"}), TypeError, "extra panel 'rev' must be a DataFrame"),
    (dict(extra={"close": None}), ValueError, "extra name 'close'"),
    (dict(extra="rev"), TypeError, "extra must be a dict"),
    (dict(drop_code=True), KeyError, "extra panel 'rev' has no column(s) for"),
    (dict(drop_date=True), KeyError, "extra panel 'rev' has no row(s) for"),
])
def test_window_features_refuses_bad_fields_and_panels(market, change, error, message):
    data1, price1, codes = with_amount(market)
    codes = codes[:4]
    rev = data1.xs("close", axis=1, level=1)[codes]
    if change.pop("drop_code", False):
        rev = rev.drop(columns=codes[1])
    if change.pop("drop_date", False):
        rev = rev.iloc[3:]
    kw = dict(window=3, price1=price1, extra={"rev": rev})
    kw.update(change)
    if kw["extra"] and "close" in kw["extra"]:
        kw["extra"] = {"close": rev}
    with pytest.raises(error) as err:
        factorsearch.window_features(data1, codes, **kw)
    assert message in str(err.value)
