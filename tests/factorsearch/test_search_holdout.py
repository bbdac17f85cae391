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


@pytest.mark.parametrize("order", ["descending", "repeated"])
def test_lookahead_refuses_dates_out_of_order(market, order):
    data1, _, codes = market
    data1 = data1.iloc[::-1] if order == "descending" else pd.concat([data1.iloc[:5], data1.iloc[4:]])
    with pytest.raises(ValueError, match="data1's dates must be strictly ascending; date"):
        FactorSearch([["np.log", 1]]).lookahead("np.log(close)", data1, codes)


@pytest.mark.parametrize("cuts", [261, 2**62])
def test_lookahead_refuses_more_cuts_than_dates(market, cuts):
    data1, _, codes = market
    with pytest.raises(ValueError, match=r"cuts must be at most 260 \(the dates of data1\)"):
        FactorSearch([["np.log", 1]]).lookahead("np.log(close)", data1, codes, cuts=cuts)


def test_lookahead_passes_every_native_kernel_and_built_in(market):
    data1, _, codes = market
    formulas = causal_formulas()
    assert len(formulas) > 40
    fs = FactorSearch([op for op, _ in formulas])
    for _, text in formulas:
        res = fs.lookahead(text, data1, codes, cuts=3)
        assert (res["changed"] == 0).all() and res["first_changed"].isna().all(), text


# ---- report over a date range


def backtest_days(panel, price1, l, days, hedged=True):
    """The back-test written out over the given day positions: returns per day."""
    dates, out = panel.index, []
    for t in days:
        row = panel.iloc[t]
        ranked = row.mask((row == 0) | (row == 1)).dropna().sort_values(kind="stable")
        rets = []
        for leg in [ranked.index[-l:]] + ([ranked.index[:l]] if hedged else []):
            if len(leg) < l / 2:
                rets.append(0.0)
                continue
            p1, p2 = price1.loc[dates[t + 1], leg], price1.loc[dates[t + 2], leg]
            rets.append(((p2 - p1) / p1).to_numpy().mean())
        out.append(rets[0] - rets[1] if hedged else rets[0])
    return np.nan_to_num(np.array(out))


@pytest.mark.parametrize("start, end", [(40, 120), (170, None), (None, 30)])
def test_report_over_a_date_range_is_the_back_test_of_those_days(market, start, end):
    data1, price1, codes = market
    fs = FactorSearch([["momentum.roc", 1], ["np.log", 1]])
    panel = fs.factor("momentum.roc(np.log(close))", data1, codes)
    dates = panel.index
    kw = {"start": None if start is None else str(dates[start].date()),
          "end": None if end is None else dates[end]}
    rep = factorsearch.report(panel, price1, l=3, **kw)
    first, last = start or 0, min(end if end is not None else len(dates), len(dates) - 3)
    days = list(range(first, last + 1))
    assert rep.daily.index.equals(dates[days])
    r = backtest_days(panel, price1, 3, days)
    curve = np.cumprod(1 + r)
    s = rep.summary
    assert s["net_value"] == pytest.approx(curve[-1], rel=1e-12)
    assert s["sharpe"] == pytest.approx(r.mean() / r.std() * 16, rel=1e-9)
    assert s["days"] == len(days)
    fwd = price1.shift(-2) / price1.shift(-1) - 1
    ic = pd.Series([panel.iloc[t].mask(panel.iloc[t].isin([0, 1])).corr(fwd.iloc[t]) for t in days])
    assert s["ic_mean"] == pytest.approx(ic.mean(), rel=1e-9)
    assert s["ic_t"] == pytest.approx(ic.mean() / ic.std() * math.sqrt(ic.count()), rel=1e-9)
    # The Sharpe's uncertainty, on the per-day SR with ddof 1.
    sr, sk, ku = r.mean() / r.std(ddof=1), stats.skew(r), stats.kurtosis(r, fisher=False)
    se = math.sqrt((1 - sk * sr + (ku - 1) / 4 * sr**2) / (len(r) - 1))
    assert s["sharpe_se"] == pytest.approx(se * 16, rel=1e-9)
    assert s["psr"] == pytest.approx(stats.norm.cdf(sr / se), rel=1e-9)
    assert s["psr"] == pytest.approx(factorsearch.deflated_sharpe(r, []), rel=1e-12)
    eligible = panel.iloc[days].mask(panel.iloc[days].isin([0, 1]))
    assert s["dispersion_days"] == pytest.approx((eligible.nunique(axis=1) >= 2).mean())


def test_report_range_errors_name_the_data(market):
    data1, price1, codes = market
    panel = FactorSearch([["np.log", 1]]).factor("np.log(close)", data1, codes)
    with pytest.raises(ValueError, match=r"no back-test day in .*the data runs from 2015"):
        factorsearch.report(panel, price1, start="2030-01-01")
    with pytest.raises(ValueError, match="is not a date"):
        factorsearch.report(panel, price1, start="soon")


# ---- mining with a hold-out

MINE_OPS = [["np.add", 2], ["np.subtract", 2], ["np.log", 1], ["abs", 1], ["momentum.rsi", 1],
            ["peek_ahead", 1]]
HOLD_COLUMNS = ["holdout_net_value", "holdout_sharpe", "holdout_maxdown", "holdout_ic",
                "holdout_rank_ic", "holdout_days", "lookahead"]


def attempt_seed(seed, i):
    state = np.random.SeedSequence(seed, spawn_key=(i,)).generate_state(4)
    return int.from_bytes(state.tobytes(), "little")


@pytest.fixture
def peeking(monkeypatch):
    monkeypatch.setattr(factorsearch, "peek_ahead", peek_ahead, raising=False)


@pytest.fixture(scope="module")
def held_out_run(market, tmp_path_factory):
    """One hold-out run in-process and on two workers (module-wide: mining is the slow part)."""
    import os
    mp = pytest.MonkeyPatch()
    mp.setattr(factorsearch, "peek_ahead", peek_ahead, raising=False)
    mp.chdir(tmp_path_factory.mktemp("mine"))
    data1, price1, codes = market
    fs = FactorSearch(MINE_OPS)
    one = fs.mine(data1, price1, codes, 8, 2, seed=3, holdout=0.25, progress=False)
    two = fs.mine(data1, price1, codes, 8, 2, seed=3, holdout=0.25, n_jobs=2, progress=False,
                  directory=os.path.join("elsewhere", "runs"))
    yield fs, one, two
    mp.undo()


def test_hold_out_rows_are_f_on_the_truncated_frames_and_report_after_it(market, held_out_run,
                                                                           capture_stdout):
    import random
    data1, price1, codes = market
    fs, frame, _ = held_out_run
    holdout = frame.attrs["holdout"]
    at = data1.index.get_loc(holdout)
    assert at == len(data1) - round(0.25 * len(data1))
    assert list(frame.columns[5:]) == (["deflated_sharpe", "duplicate_of"] + HOLD_COLUMNS
                                       + ["coverage", "tradeable_days"])
    head, head_prices = data1.iloc[:at], price1.iloc[:at]
    for row in frame.itertuples(index=False):
        random.seed(attempt_seed(3, row.attempt))
        assert fs.f(head, head_prices, codes, 2) == [row.formula, row.net_value, row.sharpe,
                                                     row.maxdown]
        rep = factorsearch.report(fs.factor(row.formula, data1, codes), price1, l=2,
                                  start=holdout)
        s = rep.summary
        assert [row.holdout_net_value, row.holdout_sharpe, row.holdout_maxdown, row.holdout_ic,
                row.holdout_rank_ic, row.holdout_days] == [
            s["net_value"], s["sharpe"], s["maxdown"], s["ic_mean"], s["rank_ic_mean"], s["days"]]
        assert bool(row.lookahead) == ("peek_ahead" in row.formula)
    capture_stdout()
    # The deflated Sharpe is deflated_sharpe of the in-sample returns against the run's tries.
    rep = factorsearch.report(fs.factor(frame.formula[0], head, codes), head_prices, l=2)
    assert frame.deflated_sharpe[0] == pytest.approx(
        factorsearch.deflated_sharpe(rep.daily["return"], frame.attrs["trial_sharpes"]), abs=1e-12)
    assert len(frame.attrs["trial_sharpes"]) == len(frame)


def test_hold_out_results_do_not_depend_on_workers_and_are_saved_beside_the_npy(held_out_run):
    _, one, two = held_out_run
    pd.testing.assert_frame_equal(one, two)
    assert two.attrs["path"].startswith("elsewhere/runs/")
    assert np.load(two.attrs["path"]).shape == (8, 4)
    table = pd.read_csv(two.attrs["table"],
                        dtype={"duplicate_of": "Int64", "lookahead": "boolean"})
    pd.testing.assert_frame_equal(table, two, check_dtype=False)


def test_without_a_hold_out_selection_is_unchanged(market, in_tmp, peeking, held_out_run):
    """The hold-out never decides what is found: mining the truncated data without one gives the
    same rows, the same deflated Sharpe and duplicates."""
    data1, price1, codes = market
    fs, frame, _ = held_out_run
    at = data1.index.get_loc(frame.attrs["holdout"])
    plain = fs.mine(data1.iloc[:at], price1.iloc[:at], codes, 8, 2, seed=3, progress=False)
    pd.testing.assert_frame_equal(plain, frame[plain.columns])


def test_degenerate_factors_are_misses_and_duplicates_are_marked(market, in_tmp, monkeypatch,
                                                                  capture_stdout):
    data1, price1, codes = market
    monkeypatch.setattr(factorsearch, "flat", lambda x: x * 0 + 5, raising=False)
    fs = FactorSearch([["flat", 1], ["abs", 1], ["np.log", 1]])
    frame = fs.mine(data1, price1, codes, 12, 2, seed=1, progress=False)
    assert not frame.formula.str.startswith("flat(").any()
    assert FactorSearch([["flat", 1]]).f(data1, price1, codes, 2) is not None
    capture_stdout()
    # duplicate_of: the first earlier row whose in-sample ranks equal on every back-test day.
    ranks = []
    for text in frame.formula:
        p = fs.factor(text, data1, codes).iloc[150:len(data1) - 2]
        ranks.append(p.mask(p.isin([0, 1])).rank(axis=1, method="dense"))
    expected = [next((frame.attempt[j] for j in range(k) if ranks[j].equals(ranks[k])), pd.NA)
                for k in range(len(frame))]
    assert list(frame.duplicate_of) == expected and frame.duplicate_of.notna().sum() >= 3


@pytest.mark.parametrize("n_dates, fraction, held", [(250, 0.37, 92), (250, 0.386, 96), (200, 0.2, 40)])
def test_a_hold_out_fraction_takes_round_of_fraction_times_dates(market, in_tmp, n_dates, fraction,
                                                                 held):
    data1, price1, codes = market
    df = FactorSearch(MINE_OPS[:2]).mine(data1.iloc[:n_dates], price1, codes, 1, 2, seed=1,
                                         holdout=fraction, max_attempts=1, progress=False)
    assert df.attrs["holdout"] == data1.index[n_dates - held]  # 0.37 * 250 = 92.5: to even


@pytest.mark.parametrize("holdout, message", [
    (0.005, "the hold-out has 1 dates"), (0.45, "the in-sample part before the hold-out has 143"),
    ("2031-01-01", "the hold-out has 0 dates"), (1.5, r"fraction of the dates in \(0, 1\)"),
    ("later", "is not a date"), (True, "got a bool")])
def test_hold_out_too_short_is_refused_before_any_work(market, in_tmp, holdout, message):
    data1, price1, codes = market
    with pytest.raises(ValueError, match=message):
        FactorSearch(MINE_OPS[:2]).mine(data1, price1, codes, 3, 2, seed=1, holdout=holdout)
    import os
    assert not os.path.exists("factors")


def test_plot_keeps_the_statistics_under_a_title_and_marks_a_split(market, tmp_path):
    pytest.importorskip("matplotlib")
    data1, price1, codes = market
    panel = FactorSearch([["np.log", 1]]).factor("np.log(close)", data1, codes)
    rep = factorsearch.report(panel, price1, l=3, cost_bps=10)
    path = rep.plot(tmp_path / "r.png", title="mine", split=data1.index[200])
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    rel = rep.quantile_returns["relative_return"]
    assert rel.iloc[-1] - rel.iloc[0] == pytest.approx(
        rep.quantile_returns["mean_return"].iloc[-1] - rep.quantile_returns["mean_return"].iloc[0])
    assert (rep.ic_decay_se > 0).all()
