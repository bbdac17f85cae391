"""from_long on the tables researchers hold: integer or text YYYYMMDD dates (the S&P 500 CSV's
own), frames of other libraries through to_pandas()."""
import pandas as pd
import pytest

import factorsearch
from alphaloom._testing import sp500_data


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
