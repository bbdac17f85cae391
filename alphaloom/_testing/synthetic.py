"""Deterministic synthetic market for tests, benchmarks and the demo.

`make_market(n_stocks, n_days, seed)` draws daily OHLCV for a universe of stocks driven by a
common market factor, stock betas and a weak cross-sectional signal (short-term reversal of the
previous day's idiosyncratic return), and returns the three objects the factor miner takes:

    data1  DataFrame, trading dates x (stock code, field) with fields open/high/low/close/volume
    price1 DataFrame, trading dates x stock code: the price a position is entered and left at
    codes  list of stock codes (the universe, in column order)

`make_windows(data1, codes, window)` turns such data into the forecasters' labelled frame: one
row per (day, stock), feature-major columns (6 features x `window` steps, oldest first) and a
"label" column holding the next day's return.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

FIELDS = ["open", "high", "low", "close", "volume"]
FEATURES = ["open", "high", "low", "close", "vwap", "volume"]


def make_market(n_stocks: int = 300, n_days: int = 1200, seed: int = 0, signal: float = 0.1):
    rng = np.random.default_rng(seed)
    codes = [f"S{i:04d}" for i in range(n_stocks)]
    dates = pd.bdate_range("2015-01-05", periods=n_days, name="datetime")
    market = rng.normal(0.0003, 0.011, n_days)
    beta = rng.uniform(0.6, 1.4, n_stocks)
    vol = rng.uniform(0.010, 0.025, n_stocks)
    idio = rng.standard_normal((n_days, n_stocks)) * vol
    # weak, learnable cross-sectional structure: yesterday's idiosyncratic move partly reverts
    idio[1:] -= signal * idio[:-1]
    ret = market[:, None] * beta[None, :] + idio
    close = 20.0 * rng.uniform(0.5, 2.0, n_stocks) * np.exp(np.cumsum(ret, axis=0))
    gap = rng.normal(0.0, 0.004, (n_days, n_stocks))
    open_ = np.empty_like(close)
    open_[0] = close[0] * (1 + gap[0])
    open_[1:] = close[:-1] * (1 + gap[1:])
    spread = np.abs(rng.normal(0.0, 0.008, (n_days, n_stocks)))
    high = np.maximum(open_, close) * (1 + spread)
    low = np.minimum(open_, close) * (1 - spread)
    volume = np.round(1e6 * rng.lognormal(0.0, 0.4, (n_days, n_stocks)) * (1 + 20 * np.abs(ret)))
    columns = pd.MultiIndex.from_product([codes, FIELDS], names=["code", "field"])
    block = np.stack([open_, high, low, close, volume], axis=2).reshape(n_days, -1)
    data1 = pd.DataFrame(block, index=dates, columns=columns)
    price1 = pd.DataFrame(open_, index=dates, columns=codes)
    return data1, price1, codes


def make_windows(data1: pd.DataFrame, codes, window: int = 60, start: int | None = None,
                 end: int | None = None) -> pd.DataFrame:
    """Labelled frame indexed by (datetime, instrument), days ascending and contiguous.

    Prices are divided by the window's last close and volume by its last volume, so rows of
    different stocks are comparable. The label is the return from the close of the row's day
    to the next day's close (NaN on the last day).
    """
    dates = data1.index
    n_days = len(dates)
    lo = window - 1 if start is None else max(start, window - 1)
    hi = n_days if end is None else min(end, n_days)
    per_stock = []
    for code in codes:
        frame = data1[code]
        o, h, l, c, v = (frame[f].to_numpy(dtype=float) for f in FIELDS)
        vwap = (h + l + c) / 3.0
        raw = np.stack([o, h, l, c, vwap, v])  # (6, n_days)
        idx = np.arange(lo, hi)
        win = np.stack([raw[:, t - window + 1:t + 1] for t in idx])  # (rows, 6, window)
        last_close = c[idx][:, None]
        win[:, :5, :] /= last_close[:, :, None]
        win[:, 5, :] /= np.maximum(v[idx], 1.0)[:, None]
        label = np.full(len(idx), np.nan)
        nxt = idx + 1
        ok = nxt < n_days
        label[ok] = c[nxt[ok]] / c[idx[ok]] - 1.0
        per_stock.append((idx, win.reshape(len(idx), -1), label))
    rows = []
    for k, code in enumerate(codes):
        idx, feats, label = per_stock[k]
        rows.append((np.repeat(k, len(idx)), idx, feats, label))
    stock = np.concatenate([r[0] for r in rows])
    day = np.concatenate([r[1] for r in rows])
    feats = np.concatenate([r[2] for r in rows])
    label = np.concatenate([r[3] for r in rows])
    order = np.lexsort((stock, day))  # by day, then universe order
    index = pd.MultiIndex.from_arrays(
        [dates[day[order]], np.asarray(codes, dtype=object)[stock[order]]],
        names=["datetime", "instrument"])
    columns = [f"{name}{t}" for name in FEATURES for t in range(window)]
    frame = pd.DataFrame(feats[order].astype(np.float32), index=index, columns=columns)
    frame["label"] = label[order]
    return frame


def daily_rank_ic(scores, labels: pd.Series) -> pd.Series:
    """Spearman correlation of scores and labels for each day (first index level): the Pearson
    correlation of within-day average ranks, rows with a missing label left out."""
    both = pd.DataFrame({"score": np.asarray(scores, dtype=float),
                         "label": np.asarray(labels, dtype=float)}, index=labels.index).dropna()
    ranks = both.groupby(level=0).rank()
    return ranks.groupby(level=0).apply(lambda d: d["score"].corr(d["label"]))
