"""FactorSearch native `ta` kernels: every kernel over the real S&P 500 panel (forward-filled
fields, 524 stocks x 245 days, leading NaNs for late listings), one thread and all cores, against
calling the `ta` function per stock on pandas Series. Outputs must agree to 1e-9 relative with
NaN in the same cells."""
import importlib
import inspect
import sys

import numpy as np
import pandas as pd

from harness import best_of, report, section

import factorsearch
from alphaloom._testing.sp500_data import load_wide


def fields():
    data1, _, codes = load_wide()
    return {
        f: np.ascontiguousarray(data1.xs(f, axis=1, level=1)[codes].ffill().to_numpy(float))
        for f in ("high", "low", "close", "volume")
    }, data1.index


def main():
    data, dates = fields()
    section('FactorSearch native ta kernels on the S&P 500 panel (524 x 245)',
            'the ta function called per stock on pandas Series')
    bad = []
    for module, name, arity in factorsearch._ta_kernels:
        fn = getattr(importlib.import_module(f"ta.{module}"), name)
        inputs = [data[f] for f in list(inspect.signature(fn).parameters)[:arity]]
        cols = inputs[0].shape[1]

        def per_stock():
            return np.column_stack(
                [fn(*(pd.Series(x[:, c], index=dates) for x in inputs)).to_numpy(float)
                 for c in range(cols)]
            )

        expected = per_stock()
        got = factorsearch._ta_panel(module, name, *inputs, threads=1)
        if not np.allclose(got, expected, rtol=1e-9, atol=0, equal_nan=True):
            bad.append(name)
        t_base = best_of(per_stock, 1, warmup=0)
        for threads in (1, 0):
            t_ours = best_of(lambda: factorsearch._ta_panel(module, name, *inputs, threads=threads))
            label = "1 thread" if threads == 1 else "all cores"
            report(f"ta {module}.{name} {label}", t_ours, t_base)
    if bad:
        sys.exit("native kernels differ from ta: " + ", ".join(bad))


if __name__ == "__main__":
    main()
