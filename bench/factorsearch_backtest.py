"""FactorSearch back-test: the daily long-short and long-only back-test of one factor panel over
300 stocks x 1200 days (l = 30), against the straightforward pandas version of the same steps
(per-day label slice, masking of 0 and 1, dropna, stable sort_values, price rows per leg).
Rows [net value, sharp, maxdown] must agree to 1e-12."""
import math

import numpy as np

from harness import best_of, report, section

import factorsearch
from alphaloom._testing.fs_reference import backtest as baseline_backtest
from alphaloom._testing.synthetic import make_market

N_STOCKS, N_DAYS, L = 300, 1200, 30


def same_rows(a, b, tol=1e-12):
    def same(x, y):
        if math.isnan(x) or math.isnan(y):
            return math.isnan(x) and math.isnan(y)
        return x == y or abs(x - y) <= tol * max(1.0, abs(y))
    return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))


def test_panel(data1, codes):
    """A factor with what real ones have: missing values, ties, exact 0 and 1 values."""
    close = data1.xs("close", axis=1, level="field")[codes]
    factor = close.pct_change(5).round(3)  # ties, exact zeros, NaN at the start
    factor.iloc[::7, ::11] = 1.0
    factor.iloc[300:320, :200] = np.nan  # days with too few usable stocks
    return factor


def main():
    data1, price1, codes = make_market(N_STOCKS, N_DAYS, seed=0)
    price1 = price1.copy()
    price1.iloc[500, 3] = np.nan  # a missing price makes its leg's return missing
    panel = test_panel(data1, codes)
    section('FactorSearch back-test of one factor panel, 300 stocks x 1200 days (l = 30)',
            'the straightforward pandas back-test')
    ok = True
    for hedged, name in ((True, "hedge"), (False, "long")):
        ours = factorsearch._backtest(panel, price1, L, hedged)
        base = baseline_backtest(panel, price1, L, hedged)
        same = same_rows(list(ours[1:]), base)
        ok = ok and same
        print(f"{name}: ours {list(ours[1:])}  baseline {base}  same: {same}")
        t_ours = best_of(lambda: factorsearch._backtest(panel, price1, L, hedged), 5)
        t_base = best_of(lambda: baseline_backtest(panel, price1, L, hedged), 1, warmup=0)
        report(f"factorsearch back-test {name} {N_STOCKS}x{N_DAYS}", t_ours, t_base)
    if not ok:
        raise SystemExit("back-test rows differ from the pandas version")


if __name__ == "__main__":
    main()
