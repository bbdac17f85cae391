"""Mining that cannot fool its user: deflated Sharpe, the look-ahead check, hold-out scoring,
degenerate and repeated factors, report over a date range."""
import math

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import factorsearch
from factorsearch import FactorSearch


def dsr_reference(returns, trials):
    """The deflated Sharpe written out from its definition, with scipy's moments and normal."""
    r = np.nan_to_num(np.asarray(returns, dtype=float), nan=0.0)
    t = len(r)
    sr = r.mean() / r.std(ddof=1)
    skew = stats.skew(r, bias=True)
    kurt = stats.kurtosis(r, fisher=False, bias=True)
    trials = np.asarray(trials, dtype=float)
    trials = trials[np.isfinite(trials)]
    n = len(trials)
    sigma = trials.std(ddof=1) if n > 1 else 0.0
    if n <= 1 or sigma == 0:
        sr0 = 0.0
    else:
        g = np.euler_gamma
        sr0 = sigma * ((1 - g) * stats.norm.ppf(1 - 1 / n) + g * stats.norm.ppf(1 - 1 / (n * math.e)))
    return stats.norm.cdf((sr - sr0) * math.sqrt(t - 1) / math.sqrt(1 - skew * sr + (kurt - 1) / 4 * sr**2))


@pytest.mark.parametrize("case", range(6))
def test_deflated_sharpe_matches_its_definition(case):
    rng = np.random.default_rng(case)
    t = [40, 93, 250, 1000, 12, 500][case]
    returns = [
        lambda: rng.normal(0.001, 0.01, t),
        lambda: np.exp(rng.normal(0, 0.5, t)) * 0.01 - 0.012,  # skewed
        lambda: rng.standard_t(3, t) * 0.01 + 0.002,            # heavy tails
        lambda: np.where(rng.random(t) < 0.1, np.nan, rng.normal(0.0005, 0.01, t)),
        lambda: rng.normal(0.003, 0.01, t),
        lambda: rng.normal(-0.001, 0.02, t),
    ][case]()
    trials = [rng.normal(0, 0.05, 150), [0.08], rng.normal(0.01, 0.1, 5000),
              np.append(rng.normal(0, 0.03, 40), np.nan), [], np.full(7, 0.02)][case]
    got = factorsearch.deflated_sharpe(pd.Series(returns), list(trials))
    assert abs(got - dsr_reference(returns, trials)) < 1e-9


def test_deflated_sharpe_is_nan_where_undefined():
    assert math.isnan(factorsearch.deflated_sharpe([0.01, 0.02], [0.1, 0.2]))
    assert math.isnan(factorsearch.deflated_sharpe([0.01] * 30, [0.1, 0.2]))
    with pytest.raises(ValueError, match="one-dimensional"):
        factorsearch.deflated_sharpe(np.zeros((3, 3)), [0.1])


# ---- look-ahead


def whole_series_zscore(x):
    return (x - x.mean()) / x.std()


def peek_ahead(x):
    return x.shift(-1)


KERNEL_ARGS = {1: "close", 2: "close, volume", 3: "high, low, close", 4: "high, low, close, volume"}


def causal_formulas():
    out = [(["np.log", 1], "np.log(close)"), (["np.subtract", 2], "np.subtract(high, low)"),
           (["abs", 1], "abs(close)")]
    for module, name, arity in factorsearch._ta_kernels:
        out.append(([f"{module}.{name}", arity], f"{module}.{name}({KERNEL_ARGS[arity]})"))
    for name in dir(factorsearch):
        op = getattr(factorsearch, name)
        if isinstance(op, factorsearch.BuiltinOperator):
            out.append(([name, op.arity], f"{name}({KERNEL_ARGS[op.arity]})"))
    return out


def test_lookahead_flags_operators_that_read_later_dates(market, monkeypatch):
    data1, _, codes = market
    for fn in (whole_series_zscore, peek_ahead):
        monkeypatch.setattr(factorsearch, fn.__name__, fn, raising=False)
    fs = FactorSearch([["whole_series_zscore", 1], ["peek_ahead", 1], ["np.log", 1]])
    z = fs.lookahead("whole_series_zscore(close)", data1, codes, cuts=3)
    assert list(z.columns) == ["cut", "compared", "changed", "first_changed"]
    assert len(z) == 3 and (z["changed"] > 0).all()
    assert (z["first_changed"] == data1.index[0]).all()  # the mean moves every date
    assert z["cut"].iloc[0] == data1.index[len(data1) // 2] and z["cut"].iloc[-1] == data1.index[-1]
    assert (z["compared"] == [data1.index.get_loc(c) * len(codes) for c in z["cut"]]).all()
    shift = fs.lookahead("np.log(peek_ahead(close))", data1, codes, cuts=2)
    # Only the last date before each cut saw the next one.
    assert (shift["changed"] == len(codes)).all()
    assert (shift["first_changed"] == [data1.index[data1.index.get_loc(c) - 1]
                                       for c in shift["cut"]]).all()


def test_lookahead_passes_every_native_kernel_and_built_in(market):
    data1, _, codes = market
    formulas = causal_formulas()
    assert len(formulas) > 40
    fs = FactorSearch([op for op, _ in formulas])
    for _, text in formulas:
        res = fs.lookahead(text, data1, codes, cuts=3)
        assert (res["changed"] == 0).all() and res["first_changed"].isna().all(), text
