"""The miner's documented behaviour written plainly in Python: the oracle the tests compare
against. The formula text is evaluated as an expression and the back-test runs one pandas pass
per day."""
import math
import random

import numpy as np
import pandas as pd

FIELDS = ["open", "high", "low", "close", "volume"]


def build_program(fuc):
    op = fuc[random.randint(0, len(fuc) - 1)]
    program, stack = [op], [op[1]]
    while stack:
        if len(stack) < 3:
            op = fuc[random.randint(0, len(fuc) - 1)]
            program.append(op)
            stack.append(op[1])
            continue
        program.append(random.randint(0, len(FIELDS) - 1))
        stack[-1] -= 1
        while stack[-1] == 0:
            stack.pop()
            if not stack:
                return program
            stack[-1] -= 1


def render(program):
    stack, out = [0], ""
    for i, node in enumerate(program):
        if not isinstance(node, int):
            stack.append(node[1])
            out += node[0] + "("
            continue
        out += FIELDS[node]
        stack[-1] -= 1
        while stack[-1] == 0:
            stack.pop()
            stack[-1] -= 1
            out += ")"
        if i != len(program) - 1:
            out += ", "
    return out


def backtest(panel, price1, l, hedged):
    dates = panel.index
    pft = []
    for t in range(150, len(dates) - 2):
        row = panel.loc[dates[t]:dates[t]]
        row = row.mask(row == 0).mask(row == 1)
        ranked = row.iloc[0].dropna().sort_values(kind="stable")
        legs = [ranked.index[-l:]] + ([ranked.index[:l]] if hedged else [])
        rets = []
        for leg in legs:
            px = price1.loc[dates[t + 1]:dates[t + 2], leg]
            if len(leg) < l / 2:
                rets.append(0.0)
                continue
            rets.append(((px.iloc[1] - px.iloc[0]) / px.iloc[0]).to_numpy().mean())
        pft.append(rets[0] - rets[1] if hedged else rets[0])
    pft = np.nan_to_num(np.array(pft))
    sharp = np.mean(pft) / np.std(pft) * math.sqrt(256)
    curve = np.cumprod(1 + pft)
    peak = np.maximum.accumulate(curve)
    return [float(curve[-1]), float(sharp), float(np.max((peak - curve) / peak))]


def per_stock_panel(namespace, text, data1, zz500):
    """The factor panel (dates x stocks array) as the per-stock evaluation assembles it; raises
    what the evaluation raises."""
    series = []
    for code in zz500:
        frame = data1[code]
        env = {f: frame[f].ffill() for f in ("open", "close", "low", "high", "volume")}
        series.append(eval(text, namespace, env))
    panel = pd.DataFrame(series)
    panel.index = zz500
    panel = panel.T
    panel.index = data1.index
    return panel


def frame_panel(namespace, text, data1, zz500):
    """The formula evaluated once over dates x stocks frames of the forward-filled fields: the
    meaning of cross-sectional operators, which have none per stock."""
    env = {f: pd.DataFrame({code: data1[code][f] for code in zz500}).ffill() for f in FIELDS}
    return eval(text, namespace, env).to_numpy(dtype=float)


def namespace(module, **extra):
    """The module's namespace with ta's submodules visible by plain name, as dotted operator
    names resolve them."""
    import ta
    subs = {name: getattr(ta, name) for name in ("momentum", "trend", "volatility", "volume",
                                                  "others")}
    return {**vars(module), **subs, **extra}


def pandas_builtins(module):
    """The time-series built-in operators as the pandas expressions they are defined as."""
    ops = {}
    for name in dir(module):
        op = getattr(module, name)
        if type(op).__name__ == "BuiltinOperator":
            args = "x, y" if op.arity == 2 else "x"
            ops[name] = eval(f"lambda {args}: {op.pandas_form}")
    return ops


def row(namespace, text, data1, price1, zz500, l, hedged):
    """The result row of the formula `text`, or None when it fails."""
    try:
        panel = per_stock_panel(namespace, text, data1, zz500)
        return [text] + backtest(panel, price1, l, hedged) if len(zz500) >= 2 else None
    except Exception:
        return None


def attempt(namespace, fuc, data1, price1, zz500, l, hedged):
    """One attempt; `namespace` resolves the operator names of the text."""
    return row(namespace, render(build_program(fuc)), data1, price1, zz500, l, hedged)


def same_row(ours, theirs, tol=1e-12):
    if ours is None or theirs is None:
        return ours is None and theirs is None
    if ours[0] != theirs[0] or len(ours) != 4:
        return False
    for x, y in zip(ours[1:], theirs[1:]):
        if math.isnan(x) or math.isnan(y):
            if not (math.isnan(x) and math.isnan(y)):
                return False
        elif x != y and abs(x - y) > tol * max(1.0, abs(y)):
            return False
    return True


def window_frame(data1, zz500, window, fields=FIELDS, price1=None, label="rank"):
    """factorsearch.window_features built the straightforward way: one shifted dates x codes
    frame per field and lag, stacked to (date, code) rows, rows with a non-finite value (or,
    with prices, no price that day) dropped, then the per-day normalised forward return.
    Returns (frame, dropped)."""
    def panel(field):
        return pd.DataFrame({code: data1[(code, field)] for code in zz500}, index=data1.index)

    close, volume = panel("close"), panel("volume")
    columns = {}
    for field in fields:
        x, div = panel(field), volume if field == "volume" else close
        for t in range(window):
            shifted = x.shift(window - 1 - t) / div
            with np.errstate(over="ignore"):  # a ratio beyond float32 becomes inf, and drops
                columns[f"{field}{t}"] = shifted.stack(future_stack=True).astype(np.float32)
    frame = pd.DataFrame(columns).iloc[(window - 1) * len(zz500):]
    frame.index.names = ["datetime", "instrument"]
    ok = np.isfinite(frame.to_numpy()).all(axis=1)
    if price1 is not None:
        prices = price1.reindex(index=data1.index, columns=zz500)
        ok &= prices.stack(future_stack=True).reindex(frame.index).notna().to_numpy()
    dropped = int((~ok).sum())
    frame = frame[ok]
    if price1 is not None:
        fwd = (prices.shift(-2) - prices.shift(-1)) / prices.shift(-1)
        ret = fwd.replace([np.inf, -np.inf], np.nan).stack(future_stack=True).reindex(frame.index)
        days = ret.groupby(level=0)
        if label == "rank":
            ret = (days.rank() - 0.5) / days.transform("count") - 0.5
        elif label == "zscore":
            std = days.transform("std")
            ret = (ret - days.transform("mean")) / std.where(std > 0)
        frame["label"] = ret
    return frame, dropped


def mean_rank_corr(a, b, first, last):
    """Mean over days first..last of Spearman between two factors on their common eligible cells."""
    out = []
    for t in range(first, last + 1):
        x, y = a.iloc[t], b.iloc[t]
        ok = x.notna() & y.notna() & ~x.isin([0, 1]) & ~y.isin([0, 1])
        c = x[ok].corr(y[ok], method="spearman") if ok.sum() >= 2 else np.nan
        if np.isfinite(c):
            out.append(c)
    return np.mean(out) if out else np.nan
