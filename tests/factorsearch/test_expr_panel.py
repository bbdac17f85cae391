import random
import threading
import time

import numpy as np
import pandas as pd
import pytest
import ta

import factorsearch
from factorsearch import FactorSearch

from alphaloom._testing import fs_reference

# log of negatives, 0 / 0 and the like are part of what is compared
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

BUILTINS = [name for name in dir(factorsearch)
            if type(getattr(factorsearch, name)).__name__ == "BuiltinOperator"]
TIME_SERIES = [n for n in BUILTINS if not getattr(factorsearch, n).cross_sectional]
CROSS = [n for n in BUILTINS if getattr(factorsearch, n).cross_sectional]


def rough_market(market):
    """The synthetic market with gaps, a leading hole, zeros and a constant stretch."""
    data1, price1, codes = market
    data1 = data1.mask(np.random.default_rng(1).random(data1.shape) < 0.04)
    data1.iloc[:4, :6] = np.nan
    data1.iloc[40:70, 5:10] = 3.25
    data1.iloc[90:95, 10:15] = 0.0
    return data1, price1, codes


def same_cells(ours, theirs, rtol):
    assert ours.shape == theirs.shape
    np.testing.assert_array_equal(np.isnan(ours), np.isnan(theirs))
    np.testing.assert_array_equal(np.isinf(ours), np.isinf(theirs))
    finite = np.isfinite(theirs)
    if rtol == 0:
        np.testing.assert_array_equal(ours[finite], theirs[finite])
    else:
        np.testing.assert_allclose(ours[finite], theirs[finite], rtol=rtol, atol=1e-12)


def evaluated(namespace, fs, program, data1, price1, codes, reference, before=lambda: None):
    """(ours, theirs): each the panel or the exception type it raised."""
    outcome = []
    for run in (lambda: factorsearch._evaluate(fs, program, data1, price1, codes),
                lambda: np.asarray(reference(namespace, fs.fuctions(program), data1, codes),
                                   dtype=float)):
        before()
        try:
            outcome.append(run())
        except Exception as e:  # noqa: BLE001 - the failure itself is compared
            outcome.append(type(e))
    return outcome


MIXED = [["np.add", 2], ["np.subtract", 2], ["np.divide", 2], ["np.log", 1], ["abs", 1],
         ["np.sqrt", 1], ["np.power", 2], ["np.floor_divide", 2], ["np.greater", 2],
         ["np.modf", 1], ["np.arctan2", 2], ["ts_mean_5", 1], ["ts_rank_10", 1],
         ["ts_corr_10", 2], ["delta_1", 1], ["ts_zscore_20", 1], ["momentum.rsi", 1],
         ["trend.sma_indicator", 1], ["volatility.bollinger_pband", 1], ["momentum.roc", 1],
         ["(lambda x: x.rolling(3).max())", 1], ["(lambda x: x.to_numpy() * 2)", 1],
         ["(lambda x: x.astype('float32'))", 1], ["np.log", 2]]


@pytest.mark.parametrize("seed,layout", [(s, "float") for s in range(40)] +
                         [(s, "int volume") for s in range(8)])
def test_panel_equals_the_per_stock_evaluation(market, seed, layout):
    data1, price1, codes = rough_market(market)
    if layout == "int volume":  # fields come per stock, not as one block
        data1 = data1.ffill().fillna(0).astype({c: "int64" for c in data1 if c[1] == "volume"})
    fs = FactorSearch(MIXED)
    random.seed(seed)
    program = fs.build_program()
    ours, theirs = evaluated(fs_reference.namespace(factorsearch), fs, program, data1, price1, codes,
                             fs_reference.per_stock_panel)
    if isinstance(theirs, type) or isinstance(ours, type):
        assert ours is theirs  # fails in both forms, the same way
        return
    kinds = {factorsearch.operator_kind(fn) for entry in program for k, fn in enumerate(fs.fc)
             if fs.fuc[k] is entry}
    same_cells(ours, theirs, rtol=1e-9 if "native" in kinds else 0)


def scribble(x):
    out = np.log(x)
    x.iloc[:] = 0.0
    return out


counts = []


def counted(x):
    counts.append(1)
    return x * (len(counts) % 3)


@pytest.mark.parametrize("program", [
    ["np.floor_divide", "delta_1", 3, "delta_1", 0],             # 0 / 0 in the flat stretch
    ["ts_mean_5", "np.greater", 3, 0],                           # booleans: pandas' own rolling
    ["ts_corr_10", 3, "(lambda x: x.reset_index(drop=True))", 0],  # labels of its own
    ["np.log", "np.modf", 3],                                    # two outputs: fails per stock
    ["np.log", 3, 0],                                            # np.log(close, out=open)
    ["np.add", "scribble", 3, "np.subtract", 3, 0],              # writes into its argument
    ["np.add", "counted", 3, "counted", 0],                      # call order across stocks
    ["np.add", "counted", "ts_mean_5", 3, "counted", "abs", 0],
])
def test_hard_cases_equal_the_per_stock_evaluation(market, monkeypatch, program):
    monkeypatch.setattr(factorsearch, "scribble", scribble, raising=False)
    monkeypatch.setattr(factorsearch, "counted", counted, raising=False)
    data1, price1, codes = rough_market(market)
    arity = {"np.floor_divide": 2, "np.add": 2, "np.subtract": 2, "ts_corr_10": 2, "np.greater": 2}
    if program[0] == "np.log" and program[2] == 0:
        arity["np.log"] = 2
    names = sorted({p for p in program if isinstance(p, str)})
    fs = FactorSearch([[name, arity.get(name, 1)] for name in names])
    tree = [p if isinstance(p, int) else fs.fuc[names.index(p)] for p in program]
    ours, theirs = evaluated(fs_reference.namespace(factorsearch), fs, tree, data1, price1,
                             codes, lambda *a: fs_reference.per_stock_panel(*a).to_numpy(float),
                             before=counts.clear)
    if isinstance(theirs, type) or isinstance(ours, type):
        assert ours is theirs
    else:
        same_cells(ours, theirs, rtol=0)


@pytest.mark.parametrize("seed", range(12))
def test_cross_sectional_operators_equal_their_frame_expressions(market, seed):
    data1, price1, codes = rough_market(market)
    ops = [["np.subtract", 2], ["np.log", 1], ["ts_mean_5", 1], ["delta_5", 1],
           ["np.greater", 2]] + [[name, 1] for name in CROSS]
    fs = FactorSearch(ops)
    random.seed(seed)
    program = fs.build_program()
    namespace = {**vars(factorsearch), **fs_reference.pandas_builtins(factorsearch),
                 **{name: eval(f"lambda x: {getattr(factorsearch, name).pandas_form}")
                    for name in CROSS}}
    ours, theirs = evaluated(namespace, fs, program, data1, price1, codes, fs_reference.frame_panel)
    same_cells(ours, theirs, rtol=1e-9)


@pytest.mark.parametrize("name", TIME_SERIES)
def test_time_series_builtins_equal_their_pandas_expression(market, name):
    data1, _, codes = rough_market(market)
    op = getattr(factorsearch, name)
    expected = eval(f"lambda x, y=None: {op.pandas_form}")
    # pandas' running sums are replayed step for step; its correlation only to rounding
    rtol = 1e-9 if name == "ts_corr_10" else 0
    for code in codes[:12]:
        x, y = data1[code]["close"].ffill(), data1[code]["volume"].ffill()
        args = (x, y)[:op.arity]
        got = op(*args)
        assert isinstance(got, pd.Series) and got.index is x.index and got.name == x.name
        want = expected(*args).to_numpy()
        # a window of equal values has deviation 0, not pandas' rounding residue
        flat = (x.rolling(20).min() == x.rolling(20).max()).to_numpy()
        keep = ~flat if name in ("ts_std_20", "ts_zscore_20") else slice(None)
        same_cells(got.to_numpy()[keep], want[keep], rtol=rtol)
    # other dtypes run the pandas expression itself
    ints = pd.Series(np.arange(30) % 7, name="v")
    pd.testing.assert_series_equal(op(*(ints,) * op.arity), expected(*(ints,) * op.arity))


@pytest.mark.parametrize("name", CROSS)
def test_cross_sectional_builtins_refuse_one_series(name):
    with pytest.raises(TypeError, match="cross-sectional"):
        getattr(factorsearch, name)(pd.Series([1.0, 2.0, 3.0]))


def test_builtin_windows_without_variance():
    flat = pd.Series([2.0] * 25)
    assert (factorsearch.ts_std_20(flat).iloc[19:] == 0).all()
    assert factorsearch.ts_zscore_20(flat).iloc[19:].isna().all()
    assert factorsearch.ts_corr_10(flat, flat + np.arange(25.0)).iloc[9:].isna().all()
    panel = FactorSearch([["cs_zscore", 1]])
    data1 = pd.DataFrame(1.5, index=range(160),
                         columns=pd.MultiIndex.from_product([["a", "b"], FactorSearch.fields]))
    price1 = pd.DataFrame(1.0, index=range(160), columns=["a", "b"])
    out = factorsearch._evaluate(panel, [panel.fuc[0], 3], data1, price1, ["a", "b"])
    assert np.isnan(out).all()


@pytest.mark.parametrize("fn,kind", [
    (np.log, "ufunc"), (np.subtract, "ufunc"), (abs, "ufunc"), (factorsearch.ts_mean_5, "built-in"),
    (factorsearch.cs_rank, "built-in"), (lambda x: x, "per-stock"), (pd.Series.rank, "per-stock"),
    (ta.volume.ease_of_movement, "per-stock"),
])
def test_operator_kinds(fn, kind):
    assert factorsearch.operator_kind(fn) == kind


def test_ta_functions_with_a_native_kernel_are_recognised_by_identity():
    natives = [fn for fn in vars(ta.momentum).values() if callable(fn)
               and factorsearch.operator_kind(fn) == "native"]
    for fn in natives:  # the same function object under its package path
        assert factorsearch.operator_kind(getattr(ta.momentum, fn.__name__)) == "native"
    assert factorsearch.operator_kind(lambda close: ta.momentum.rsi(close)) == "per-stock"


def test_each_instance_evaluates_with_its_own_operators(market, capture_stdout, monkeypatch):
    data1, price1, codes = market

    def yielding(fn):
        def op(x):
            time.sleep(0)  # hands the interpreter to the other thread between stocks
            return fn(x)
        return op

    monkeypatch.setattr(factorsearch, "op", yielding(np.log), raising=False)
    first = FactorSearch([["op", 1], ["np.negative", 1]])
    monkeypatch.setattr(factorsearch, "op", yielding(np.sqrt), raising=False)
    second = FactorSearch([["op", 1], ["np.negative", 1]])
    rows = {id(first): [], id(second): []}

    def mine(fs):
        for _ in range(6):
            rows[id(fs)].append(fs.f1(data1, price1, codes, 3))

    threads = [threading.Thread(target=mine, args=(fs,)) for fs in (first, second)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for fs in (first, second):
        namespace = fs_reference.namespace(factorsearch, op=fs.fc[0])
        for got in rows[id(fs)]:
            assert got is not None
            expected = fs_reference.row(namespace, got[0], data1, price1, codes, 3, False)
            assert fs_reference.same_row(got, expected), (got, expected)
    assert factorsearch.op in (first.fc[0], second.fc[0])  # registration still happens
