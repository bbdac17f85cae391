"""Day-wise kernels on several threads and the day orderings they share: the same bits for any
thread count, and the radix order equal to the comparison order on awkward values."""
import numpy as np
import pandas as pd
import pytest

import factorsearch
from factorsearch import FactorSearch

from alphaloom._testing import synthetic
from alphaloom._testing.fs_reference import mean_rank_corr

OPS = [["np.subtract", 2], ["np.divide", 2], ["cs_rank", 1], ["delta_1", 1], ["ts_mean_5", 1]]
TEXTS = ["cs_rank(close)", "np.divide(ts_mean_5(open), close)", "delta_1(cs_rank(volume))",
         "np.subtract(high, low)"]


@pytest.fixture(scope="module")
def wide():
    """More stocks than the short-day insertion sort takes, with gaps, ties and excluded values."""
    data1, price1, codes = synthetic.make_market(n_stocks=150, n_days=230, seed=5)
    price1 = price1.copy()
    price1.iloc[160:190, 3] = np.nan
    price1.iloc[200, :40] = np.nan
    close = data1.xs("close", axis=1, level="field")[codes]
    panel = close.pct_change(3).round(3)          # many ties
    panel.iloc[170, ::4] = 1.0                     # not eligible
    panel.iloc[171, ::5] = -0.0                    # not eligible, equal to 0.0
    panel.iloc[172, :10] = np.inf
    panel.iloc[173, :] = 0.25                      # no dispersion
    return data1, price1, codes, panel


def bits(report):
    frames = [report.summary, report.daily, report.quantile_returns, report.ic_decay,
              report.ic_decay_se]
    return [np.ascontiguousarray(f.to_numpy(dtype=float)).tobytes() for f in frames]


@pytest.mark.parametrize("threads", [2, 3])
def test_report_and_fitness_are_the_same_on_any_thread_count(wide, threads):
    data1, price1, codes, panel = wide
    miner = FactorSearch(OPS)
    try:
        runs = []
        for n in (1, threads):
            factorsearch._set_kernel_threads(n)
            runs.append((
                [bits(factorsearch.report(panel, price1, l=l, long_only=lo, quantiles=q,
                                          cost_bps=5.0)) for l, lo, q in ((5, False, 4),
                                                                          (30, True, 7))],
                [factorsearch._evolve_scores(miner, TEXTS, data1, price1, codes, 10, fitness=f)
                 for f in ("rank_ic", "ic", "sharpe")]))
    finally:
        factorsearch._set_kernel_threads(0)
    (reports_one, scores_one), (reports_many, scores_many) = runs
    assert reports_one == reports_many
    np.testing.assert_array_equal(np.array(scores_one, dtype=float),
                                  np.array(scores_many, dtype=float))
    assert np.isfinite(np.array(scores_one, dtype=float)).sum() >= 6


@pytest.mark.parametrize("values", ["ties", "signed_zeros_and_infinities", "near_equal",
                                    "short_runs", "tiny"])
def test_cs_rank_orders_awkward_values_as_pandas(values):
    """Long runs of values equal in their high 32 bits, signed zeros (equal), infinities and NaN:
    the radix order gives pandas' average ranks."""
    rng = np.random.default_rng(1)
    data1, _, codes = synthetic.make_market(n_stocks=120, n_days=12, seed=2)
    x = rng.normal(0.0, 1.0, (12, 120))
    if values == "ties":
        x = np.round(x, 1)
    elif values == "signed_zeros_and_infinities":
        x[rng.random(x.shape) < 0.3] = -0.0
        x[rng.random(x.shape) < 0.3] = 0.0
        x[rng.random(x.shape) < 0.1] = np.inf
        x[rng.random(x.shape) < 0.1] = -np.inf
    elif values == "near_equal":
        x = 1e9 + np.round(x * 1e3) * 1e-6          # the same high half, many exact ties
    elif values == "short_runs":                    # a few cells per high half, low halves apart
        x = np.round(x, 1) + rng.integers(0, 1000, x.shape) * 2.0 ** -40
    else:
        x = x * 1e-310                              # subnormal
    x[0, :] = np.nan
    x[1, 3] = np.nan
    data1 = data1.copy()
    for j, code in enumerate(codes):
        data1[(code, "close")] = x[:, j]
    got = FactorSearch(OPS).factor("cs_rank(close)", data1, codes)
    expected = pd.DataFrame(x, index=data1.index, columns=codes).ffill().rank(axis=1, pct=True)
    pd.testing.assert_frame_equal(got, expected, check_exact=True, check_names=False,
                                  check_freq=False)


@pytest.mark.filterwarnings("ignore:An input array is constant")
def test_near_copy_correlation_matches_pandas_on_any_thread_count(wide):
    """Two factors with different eligible cells on most days (NaN, 0 and 1 holes, ties), so the
    restricted re-ranking is exercised; the same bits on 1, 2 and 3 threads."""
    _, _, _, panel = wide
    a = panel.to_numpy()
    b = np.round(a + np.random.default_rng(3).normal(0.0, 0.03, a.shape), 3)
    b[::3, 7::9] = np.nan
    b[1::4, ::11] = 0.0
    first, end = 10, a.shape[0] - 5
    want = mean_rank_corr(pd.DataFrame(a), pd.DataFrame(b), first, end - 1)
    got = []
    try:
        for n in (1, 2, 3):
            factorsearch._set_kernel_threads(n)
            got.append(factorsearch._rank_correlation(a, b, first, end))
    finally:
        factorsearch._set_kernel_threads(0)
    assert got[0] == got[1] == got[2]
    assert got[0] == pytest.approx(want, rel=1e-12) and 0.3 < want < 0.99


@pytest.mark.parametrize("label", ["rank", "zscore"])
def test_window_features_are_the_same_on_any_thread_count(wide, label):
    """Stocks and label days split over 1, 2 and 3 threads; rounded prices give tied labels."""
    data1, price1, codes, _ = wide
    price1 = price1.round(1)
    frames = []
    try:
        for n in (1, 2, 3):
            factorsearch._set_kernel_threads(n)
            frames.append(factorsearch.window_features(data1, codes, window=5, price1=price1,
                                                       label=label))
    finally:
        factorsearch._set_kernel_threads(0)
    for other in frames[1:]:
        pd.testing.assert_frame_equal(other, frames[0], check_exact=True)
    assert frames[0]["label"].notna().sum() > 1000
