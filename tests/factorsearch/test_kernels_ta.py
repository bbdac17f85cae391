"""Every native indicator kernel against the real `ta` function, column by column."""
import importlib
import inspect

import numpy as np
import pandas as pd
import pytest

import factorsearch

KERNELS = [(m, n) for m, n, _ in factorsearch._ta_kernels]


def _market(rows, cols, seed):
    rng = np.random.default_rng(seed)
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.02, (rows, cols)), axis=0))
    spread = np.abs(rng.normal(0, 0.01, (rows, cols)))
    return {
        "close": close,
        "high": close * (1 + spread),
        "low": close * (1 - spread),
        "volume": rng.integers(1_000, 100_000, (rows, cols)).astype(float),
    }


def _gappy(rows=260, cols=8, seed=1):
    """What forward-filled fields and operator results look like: leading NaN runs, holes,
    zeros, flat stretches, infinities and sign changes, differently per input."""
    data = _market(rows, cols, seed)
    rng = np.random.default_rng(seed + 1)
    for k, (name, x) in enumerate(data.items()):
        x[: 3 * k + 5, 0] = np.nan  # leading run, longer on later inputs
        x[:40, 1] = np.nan
        x[rows - 5 :, 2] = np.nan  # no valid window at the end
        x[rng.random((rows, cols)) < 0.03] = np.nan
        x[52, 3] *= 1e4  # a spike, then a flat stretch: variances collapse, spreads are zero
        x[60:90, 3] = x[59, 3]
        x[100:130, 4] = 0.0
        x[150:160, 4] = np.nan
        x[70 + k, 5] = np.inf if k % 2 else -np.inf
        x[:, 6] -= np.nanmean(x[:, 6])  # crosses zero: roc/trix divisions, sign clamps
        x[:, 7] = np.round(x[:, 7])  # ties between neighbours
    return data


def _spiky(rows=200, cols=6, seed=4):
    """Operator results at their worst: values over twelve orders of magnitude and both signs,
    spikes followed by flat runs (rolling variances collapse), dense NaN, stray infinities."""
    rng = np.random.default_rng(seed)
    data = {}
    for k, name in enumerate(("high", "low", "close", "volume")):
        x = rng.normal(0, 1, (rows, cols)) * 10.0 ** rng.integers(-6, 6, (rows, cols))
        x[:, 1] = np.abs(x[:, 1])
        x[rng.random((rows, cols)) < 0.05] *= 1e6
        x[40:70, :] = x[39, :]
        x[120 + k : 126 + k, 2] = 0.0
        x[rng.random((rows, cols)) < 0.2 * (k % 2)] = np.nan
        x[rng.random((rows, cols)) < 0.01] = np.inf
        x[rng.random((rows, cols)) < 0.01] = -np.inf
        data[name] = x
    return data


DATASETS = {
    "walk": lambda: _market(300, 6, 0),
    "gaps": _gappy,
    "spiky": _spiky,
    "short": lambda: _market(11, 3, 2),  # shorter than every window
    "one_row": lambda: _market(1, 2, 3),
}


def _function(module, name):
    return getattr(importlib.import_module(f"ta.{module}"), name)


@pytest.mark.parametrize("dataset", DATASETS)
@pytest.mark.parametrize("module,name", KERNELS)
def test_kernel_equals_ta_per_column(module, name, dataset):
    fn = _function(module, name)
    data = DATASETS[dataset]()
    arity = dict(((m, n), a) for m, n, a in factorsearch._ta_kernels)[(module, name)]
    fields = list(inspect.signature(fn).parameters)[:arity]
    inputs = [data[f] for f in fields]
    rows, cols = inputs[0].shape
    try:
        with np.errstate(all="ignore"):  # ta's own inf - inf
            expected = np.column_stack(
                [fn(*(pd.Series(x[:, c]) for x in inputs)).to_numpy(float) for c in range(cols)]
            )
    except IndexError:  # ta itself cannot run this short a column: the kernel must refuse too
        with pytest.raises(ValueError, match="at least"):
            factorsearch._ta_panel(module, name, *inputs)
        return
    before = [x.copy() for x in inputs]
    got = factorsearch._ta_panel(module, name, *inputs)
    assert got.shape == (rows, cols)
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=0, equal_nan=True)
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(inputs, before))


@pytest.mark.parametrize("module,name", [("trend", "sma_indicator"), ("momentum", "rsi")])
def test_threaded_panel_equals_single_columns(module, name):
    close = _market(600, 120, 5)["close"]  # large enough to be split across threads
    close[::7, ::3] = np.nan
    whole = factorsearch._ta_panel(module, name, close)
    single = np.column_stack(
        [factorsearch._ta_panel(module, name, close[:, [c]])[:, 0] for c in range(close.shape[1])]
    )
    np.testing.assert_array_equal(whole, single)


@pytest.mark.parametrize(
    "args,error",
    [
        (("trend", "no_such", np.ones((3, 2))), KeyError),
        (("momentum", "rsi", np.ones((3, 2)), np.ones((3, 2))), TypeError),
        (("momentum", "rsi", np.ones(3)), ValueError),
    ],
)
def test_bad_calls_are_refused(args, error):
    with pytest.raises(error):
        factorsearch._ta_panel(*args)


def _short_market(rows, cols=3, seed=6):
    """(data1, price1, codes) over `rows` dates, the fields from _market (open = close)."""
    data = _market(rows, cols, seed)
    data["open"] = data["close"]
    dates = pd.bdate_range("2020-01-01", periods=rows)
    codes = [f"S{c}" for c in range(cols)]
    data1 = pd.concat({code: pd.DataFrame({f: data[f][:, c] for f in factorsearch.FactorSearch.fields},
                                          index=dates)
                       for c, code in enumerate(codes)}, axis=1)
    return data1, pd.DataFrame(data["close"], index=dates, columns=codes), codes


def _outcome(run):
    try:
        with np.errstate(all="ignore"):
            return np.asarray(run(), dtype=float)
    except Exception as e:  # noqa: BLE001 - the failure itself is compared
        return type(e)


_BUILTINS = {n: getattr(factorsearch, n) for n in dir(factorsearch)
             if type(getattr(factorsearch, n)).__name__ == "BuiltinOperator"}
SHORT_CASES = (
    [(f"{m}.{n}", a, list(inspect.signature(_function(m, n)).parameters)[:a])
     for m, n, a in factorsearch._ta_kernels]
    + [(op.name, op.arity, ["close", "volume"][: op.arity]) for op in _BUILTINS.values()])


def _reference(name, fields, data1, codes):
    """`ta` per stock on the forward-filled fields, or the pandas expression of a built-in (over
    the dates x stocks frames for a cross-sectional one)."""
    op = _BUILTINS.get(name)
    if op is None:
        fn = _function(*name.split("."))
    else:
        fn = eval(f"lambda x, y=None: {op.pandas_form}")
        if op.cross_sectional:
            return fn(*(pd.DataFrame({c: data1[c][f] for c in codes}).ffill() for f in fields))
    return np.column_stack([fn(*(data1[c][f].ffill() for f in fields)) for c in codes])


@pytest.mark.parametrize("name,arity,fields", SHORT_CASES, ids=[c[0] for c in SHORT_CASES])
def test_short_panels_fail_or_give_nan_where_ta_and_pandas_do(name, arity, fields):
    """A panel shorter than the operator's windows (0 to 40 dates) in a formula: the same
    values, NaN included, or the same exception as `ta` per stock / the pandas expression."""
    fs = factorsearch.FactorSearch([[name, arity]])
    program = [fs.fuc[0]] + [factorsearch.FactorSearch.fields.index(f) for f in fields]
    for rows in range(41):
        data1, price1, codes = _short_market(rows)
        ours = _outcome(lambda: factorsearch._evaluate(fs, program, data1, price1, codes))
        theirs = _outcome(lambda: _reference(name, fields, data1, codes))
        where = f"{fs.fuctions(program)} on {rows} dates"
        if isinstance(ours, type) or isinstance(theirs, type):
            assert ours is theirs, f"{where}: {ours} where the reference gives {theirs}"
        else:
            np.testing.assert_allclose(ours, theirs, rtol=1e-9, atol=0, equal_nan=True, err_msg=where)
