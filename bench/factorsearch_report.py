"""factorsearch.report: one report (l = 20, long-short, 5 quantiles, 10 bps) of a mined-style
factor on the real S&P 500 cross-section (524 stocks x 245 days), against the straightforward
pandas version of the same statistics (per-day label slice, masking, stable sort, leg returns,
name-set turnover, Series.corr Pearson/Spearman, quantile means, rank IC for h = 1..10).
The two must agree to 1e-9."""
import math

import numpy as np
import pandas as pd

from harness import best_of, report, section

import factorsearch
from alphaloom._testing import sp500_data

L, QUANTILES, COST_BPS = 20, 5, 10.0
FORMULA = "np.subtract(momentum.roc(close), np.divide(volume, trend.sma_indicator(volume)))"
OPS = [["np.subtract", 2], ["np.divide", 2], ["momentum.roc", 1], ["trend.sma_indicator", 1]]


def baseline_report(panel, price1, l, hedged, quantiles, cost_bps):
    dates = panel.index
    price1 = price1[panel.columns]
    days, rows = [], []
    held = {"long": set(), "short": set()}
    for t in range(150, len(dates) - 2):
        row = panel.loc[dates[t]:dates[t]]
        row = row.mask(row == 0).mask(row == 1).iloc[0]
        ranked = row.dropna().sort_values(kind="stable")
        legs = {"long": ranked.index[-l:], "short": ranked.index[:l]}
        px = price1.loc[dates[t + 1]:dates[t + 2]]
        fwd = (px.iloc[1] - px.iloc[0]) / px.iloc[0]
        out, turns = {}, []
        for side in (["long", "short"] if hedged else ["long"]):
            leg = legs[side] if len(legs[side]) >= l / 2 else ranked.index[:0]
            out[side] = fwd[leg].to_numpy().mean() if len(leg) else 0.0  # NaN if any is
            turns.append(len(set(leg) - held[side]) / len(leg) if len(leg) else 0.0)
            held[side] = set(leg)
        ret = out["long"] - out["short"] if hedged else out["long"]
        out["return"] = ret
        out["turnover"] = np.mean(turns)
        out["cost"] = cost_bps * 1e-4 * np.sum(turns)
        out["ic"] = row.corr(fwd)
        out["rank_ic"] = row.corr(fwd, method="spearman")
        pairs = pd.DataFrame({"f": row, "r": fwd}).dropna()
        pairs = pairs.iloc[np.argsort(pairs["f"].to_numpy(), kind="stable")]
        bucket = np.arange(len(pairs)) * quantiles // max(len(pairs), 1) + 1
        out.update({("q", b): v for b, v in pairs["r"].groupby(bucket).mean().items()})
        for h in range(1, 11):
            if t + 1 + h < len(dates):
                ph = price1.iloc[t + 1 + h]
                out[("h", h)] = row.corr((ph - px.iloc[0]) / px.iloc[0], method="spearman")
        days.append(dates[t])
        rows.append(out)
    daily = pd.DataFrame(rows, index=days)
    pft = np.nan_to_num(daily["return"].to_numpy())
    after = pft - daily["cost"].to_numpy()
    ic, rank_ic = daily["ic"].dropna(), daily["rank_ic"].dropna()
    summary = {
        "net_value": np.cumprod(1 + pft)[-1],
        "sharpe": np.mean(pft) / np.std(pft) * math.sqrt(256),
        "ic_mean": ic.mean(), "icir": ic.mean() / ic.std(),
        "rank_icir": rank_ic.mean() / rank_ic.std(), "ic_positive": (ic > 0).mean(),
        "turnover": daily["turnover"].mean(),
        "net_value_after_cost": np.cumprod(1 + after)[-1],
        "sharpe_after_cost": np.mean(after) / np.std(after) * math.sqrt(256),
    }
    quant = [daily[("q", b)].mean() for b in range(1, quantiles + 1)]
    decay = [daily[("h", h)].mean() for h in range(1, 11)]
    return summary, quant, decay


def main():
    data1, price1, codes = sp500_data.load_wide()
    panel = factorsearch.FactorSearch(OPS).factor(FORMULA, data1, codes)
    section('factorsearch.report on the S&P 500 cross-section (524 x 245, l = 20)',
            'the straightforward pandas statistics')
    ours = factorsearch.report(panel, price1, l=L, quantiles=QUANTILES, cost_bps=COST_BPS)
    summary, quant, decay = baseline_report(panel, price1, L, True, QUANTILES, COST_BPS)
    ok = all(math.isclose(ours.summary[k], v, rel_tol=1e-9, abs_tol=1e-12)
             for k, v in summary.items())
    ok = ok and np.allclose(ours.quantile_returns["mean_return"], quant, rtol=1e-9, atol=1e-15)
    ok = ok and np.allclose(ours.ic_decay, decay, rtol=1e-9, atol=1e-15)
    print(f"{FORMULA}: net value {ours.summary['net_value']:.4f}, rank IC "
          f"{ours.summary['rank_ic_mean']:+.4f}, turnover {ours.summary['turnover']:.3f}; "
          f"same as pandas: {ok}")
    t_ours = best_of(lambda: factorsearch.report(panel, price1, l=L, quantiles=QUANTILES,
                                                 cost_bps=COST_BPS), 5)
    t_base = best_of(lambda: baseline_report(panel, price1, L, True, QUANTILES, COST_BPS), 1,
                     warmup=0)
    report(f"factorsearch report {len(codes)}x{len(panel)} (S&P 500)", t_ours, t_base)
    if not ok:
        raise SystemExit("the report differs from the pandas version")


if __name__ == "__main__":
    main()
