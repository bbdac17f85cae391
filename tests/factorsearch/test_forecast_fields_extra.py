"""window_features over any field data1 holds (prices over the close, other fields over their own
value) and over caller panels (a mined factor) as windowed feature columns."""
import numpy as np
import pandas as pd
import pytest

import factorsearch


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
