"""Breadth (a day counts only when the legs can be filled), the report's coverage figures, the
Newey-West standard error of the IC decay and the picture's honest labels, each against a plain
pandas computation."""
import math

import numpy as np
import pandas as pd
import pytest

import factorsearch
from factorsearch import FactorSearch

OPS = [["np.subtract", 2], ["np.log", 1], ["cs_rank", 1], ["delta_1", 1]]
# Defined only where close > open: roughly half the stocks a day, so a leg of l stocks is full
# on some days and not on others.
PATCHY = "np.log(np.subtract(close, open))"


def eligible(panel):
    return panel.notna() & (panel != 0) & (panel != 1)


def forward(price1, h=1):
    p = price1.to_numpy()
    out = np.full_like(p, np.nan)
    out[:-1 - h] = (p[1 + h:] - p[1:-h]) / p[1:-h]
    return pd.DataFrame(out, index=price1.index, columns=price1.columns)


def daily_rank_ic(panel, price1, days, h=1):
    fwd, ok = forward(price1, h), eligible(panel)
    out = []
    for t in days:
        x, y = panel.iloc[t][ok.iloc[t]], fwd.iloc[t][ok.iloc[t]]
        pair = pd.concat([x, y], axis=1).dropna()
        out.append(pair.iloc[:, 0].corr(pair.iloc[:, 1], method="spearman"))
    return pd.Series(out, dtype=float)


@pytest.mark.parametrize("l,long_only", [(2, False), (5, False), (9, True), (12, False)])
def test_breadth_decides_which_days_count_and_whether_a_formula_scores(market, l, long_only):
    data1, price1, codes = market
    miner = FactorSearch(OPS)
    panel = miner.factor(PATCHY, data1, codes)
    days = range(150, len(data1) - 2)
    counts = eligible(panel).sum(axis=1).iloc[150:len(data1) - 2].to_numpy()
    need = (1 if long_only else 2) * l
    full = counts >= need
    rep = factorsearch.report(panel, price1, l=l, long_only=long_only)
    assert rep.summary["coverage"] == np.median(counts)
    assert rep.summary["tradeable_days"] == pytest.approx(full.mean(), abs=0)
    np.testing.assert_array_equal(rep.daily["eligible"], counts)

    got = factorsearch._evolve_scores(miner, [PATCHY], data1, price1, codes, l,
                                      long_only=long_only)[0]
    if full.mean() < 0.5 or np.median(counts) < need:
        assert math.isnan(got)           # the worst fitness, as for a constant
    else:
        expected = daily_rank_ic(panel, price1, days)[full].mean()
        assert got == pytest.approx(expected, rel=1e-10)
    assert 0 < full.mean() < 1 or l == 2   # the cases do exercise partly tradeable factors


def newey_west(x, lags):
    """The textbook HAC variance of a mean with Bartlett weights, written out loop by loop."""
    x = [v for v in x if not math.isnan(v)]
    n = len(x)
    mean = sum(x) / n
    e = [v - mean for v in x]
    s = sum(v * v for v in e)
    for k in range(1, lags + 1):
        w = 1 - k / (lags + 1)
        s += 2 * w * sum(e[i] * e[i - k] for i in range(k, n))
    return math.sqrt(max(s, 0.0) / (n * (n - 1)))


def test_ic_decay_se_is_newey_west_with_h_minus_one_lags(market):
    data1, price1, codes = market
    panel = FactorSearch(OPS).factor("delta_1(cs_rank(close))", data1, codes)
    rep = factorsearch.report(panel, price1, l=5)
    n = len(data1)
    for h in (1, 2, 5, 10):
        values = daily_rank_ic(panel, price1, [t for t in range(150, n - 2) if t + 1 + h < n], h)
        assert rep.ic_decay[h] == pytest.approx(values.mean(), rel=1e-10)
        assert rep.ic_decay_se[h] == pytest.approx(newey_west(list(values), h - 1), rel=1e-10)
        if h == 1:   # a one-day hold overlaps nothing: the plain standard error
            assert rep.ic_decay_se[1] == pytest.approx(values.std() / math.sqrt(values.count()),
                                                       rel=1e-10)


def test_quantile_standard_errors(market):
    data1, price1, codes = market
    panel = FactorSearch(OPS).factor("cs_rank(close)", data1, codes)
    rep = factorsearch.report(panel, price1, l=5, quantiles=2)
    fwd, ok = forward(price1), eligible(panel)
    rel = {1: [], 2: []}
    for t in range(150, len(data1) - 2):
        cells = pd.DataFrame({"f": panel.iloc[t][ok.iloc[t]], "r": fwd.iloc[t]}).dropna()
        cells = cells.sort_values("f", kind="stable")
        c = len(cells)
        bucket = np.arange(c) * 2 // c + 1
        for q in (1, 2):
            rel[q].append(cells["r"][bucket == q].mean() - cells["r"].mean())
    for q in (1, 2):
        v = pd.Series(rel[q])
        assert rep.quantile_returns.loc[q, "relative_return"] == pytest.approx(v.mean(), rel=1e-9)
        assert rep.quantile_returns.loc[q, "relative_return_se"] == pytest.approx(
            v.std() / math.sqrt(len(v)), rel=1e-9)


@pytest.fixture
def drawn(monkeypatch):
    """The figure plot() saves, kept for inspection."""
    figure = pytest.importorskip("matplotlib.figure")
    kept = []
    save = figure.Figure.savefig
    monkeypatch.setattr(figure.Figure, "savefig",
                        lambda self, *a, **k: (kept.append(self), save(self, *a, **k))[1])
    return kept


def test_picture_shows_coverage_and_never_a_bare_probability(market, tmp_path, drawn):
    data1, price1, codes = market
    rep = factorsearch.report(FactorSearch(OPS).factor(PATCHY, data1, codes), price1, l=4)
    rep.plot(tmp_path / "a.png")
    trials = np.random.default_rng(1).normal(0, 0.05, 40)
    rep.plot(tmp_path / "b.png", trials=trials)
    bare, deflated = (f._suptitle.get_text() for f in drawn)
    assert "P(Sharpe > 0)" in bare and "not corrected for selection" in bare
    dsr = factorsearch.deflated_sharpe(rep.daily["return"], trials)
    assert f"deflated Sharpe {dsr:.2f} (40 trials)" in deflated and "P(Sharpe" not in deflated
    coverage = [a for a in drawn[0].axes if a.get_title().startswith("Coverage")]
    assert len(coverage) == 1
    line, = [ln for ln in coverage[0].get_lines() if ln.get_label() == "eligible stocks"]
    np.testing.assert_array_equal(line.get_ydata(), rep.daily["eligible"])
    assert any(ln.get_label().startswith("2·l = 8") and set(ln.get_ydata()) == {8}
               for ln in coverage[0].get_lines())
    with pytest.raises((ValueError, TypeError)):
        rep.plot(tmp_path / "c.png", trials="many")
    assert not (tmp_path / "c.png").exists()
