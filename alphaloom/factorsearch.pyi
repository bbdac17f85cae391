"""Random search for daily stock-selection formulas, back-tested as long-short or long-only strategies."""
import os
from typing import Any, Callable, Mapping, Sequence, TypeVar, overload

import pandas as pd
from matplotlib.figure import Figure

_P = TypeVar("_P", str, os.PathLike[str])

class FactorSearch:
    """Draws random depth-three formulas from the caller's operators and back-tests them day by day."""

    fields: list[str]
    fuc1: list[list[Any]]
    fuc: list[list[Any]]
    function: list[str]
    fc: list[Any]
    def __init__(self, fuc: Sequence[Sequence[Any]]) -> None:
        """fuc: pairs (operator name, arity); resolves each name to a callable."""
    def build_program(self) -> list[Any]:
        """A random full tree of depth three in pre-order, drawn from the `random` module."""
    def fuctions(self, fuc1: list[Any]) -> str:
        """The expression text of a program, e.g. 'A(B(close), C(open, volume))'."""
    def f(
        self, data1: pd.DataFrame, price1: pd.DataFrame, zz500: Sequence[Any], l: int
    ) -> list[Any] | None:
        """One long-short mining attempt: [text, net value, sharp, maxdown], or None on failure."""
    def f1(
        self, data1: pd.DataFrame, price1: pd.DataFrame, zz500: Sequence[Any], l: int
    ) -> list[Any] | None:
        """One long-only mining attempt; returns as f."""
    def hedge(
        self, data1: pd.DataFrame, price1: pd.DataFrame, zz500: Sequence[Any], ct: int, l: int
    ) -> None:
        """Long-short attempts until ct factors are found, rewriting factors/<run>.npy after each."""
    def long(
        self, data1: pd.DataFrame, price1: pd.DataFrame, zz500: Sequence[Any], ct: int, l: int
    ) -> None:
        """As hedge, with long-only attempts."""
    def mine(
        self,
        data1: pd.DataFrame,
        price1: pd.DataFrame,
        zz500: Sequence[Any],
        ct: int,
        l: int,
        *,
        long_only: bool = False,
        seed: int | None = None,
        n_jobs: int = 1,
        executor: Any = None,
        max_attempts: int = 9999999,
        progress: Any = None,
        holdout: Any = None,
        directory: str | os.PathLike[str] | None = None,
        warmup: int = 150,
        max_correlation: float | None = None,
    ) -> pd.DataFrame:
        """The first ct factors in attempt order (holdout=: selected on the dates before it)."""
    def lookahead(
        self, formula: str, data1: pd.DataFrame, zz500: Sequence[Any], cuts: int = 5
    ) -> pd.DataFrame:
        """Per cut date: cells compared, cells changed and the first changed date (NaT: none)."""
    def evolve(
        self,
        data1: pd.DataFrame,
        price1: pd.DataFrame,
        zz500: Sequence[Any],
        l: int,
        *,
        generations: int = 20,
        population: int = 500,
        fitness: str | Callable[[pd.Series], float] = "rank_ic",
        long_only: bool = False,
        holdout: Any = None,
        tournament: int = 20,
        p_crossover: float = 0.9,
        p_subtree: float = 0.01,
        p_hoist: float = 0.01,
        p_point: float = 0.01,
        parsimony: float = 0.001,
        init_depth: tuple[int, int] = (2, 4),
        max_depth: int = 6,
        hall_of_fame: int = 50,
        seed: int | None = None,
        n_jobs: int = 1,
        executor: Any = None,
        progress: Any = None,
        warmup: int = 150,
        max_correlation: float | None = 0.9,
    ) -> pd.DataFrame:
        """Genetic search over formulas; the hall of fame, reproducible from seed on any workers."""
    def pool(
        self,
        data1: pd.DataFrame,
        price1: pd.DataFrame,
        zz500: Sequence[Any],
        size: int,
        l: int,
        *,
        generations: int = 20,
        population: int = 500,
        fitness: str = "rank_ic",
        long_only: bool = False,
        holdout: Any = None,
        max_correlation: float | None = 0.7,
        tournament: int = 20,
        p_crossover: float = 0.9,
        p_subtree: float = 0.01,
        p_hoist: float = 0.01,
        p_point: float = 0.01,
        parsimony: float = 0.001,
        init_depth: tuple[int, int] = (2, 4),
        max_depth: int = 6,
        seed: int | None = None,
        n_jobs: int = 1,
        executor: Any = None,
        progress: Any = None,
        directory: Any = None,
        warmup: int = 150,
    ) -> pd.DataFrame:
        """A pool of at most size formulas whose ridge-fit combination has the best in-sample IC."""
    def combine(
        self,
        pool: pd.DataFrame | Sequence[str],
        data1: pd.DataFrame,
        zz500: Sequence[Any],
        weights: Sequence[float] | None = None,
    ) -> pd.DataFrame:
        """The combined factor (dates x codes) of a pool frame, or of formulas with weights."""
    def factor(self, formula: str, data1: pd.DataFrame, zz500: Sequence[Any]) -> pd.DataFrame:
        """The dates x codes float64 DataFrame of a formula text, evaluated as an attempt does."""

class Report:
    """The report of one factor: summary, daily, quantile_returns, ic_decay and plot(path)."""

    summary: pd.Series
    daily: pd.DataFrame
    quantile_returns: pd.DataFrame
    ic_decay: pd.Series
    ic_decay_se: pd.Series
    l: int
    long_only: bool
    quantiles: int
    cost_bps: float
    @overload
    def plot(self, path: None = None, title: str | None = None, split: Any = None, trials: Any = None) -> Figure:
        """The Figure of net values, rolling IC, quantile returns and IC decay."""
    @overload
    def plot(self, path: _P, title: str | None = None, split: Any = None, trials: Any = None) -> _P:
        """Writes the PNG atomically (a temporary file renamed over the old one); returns path."""
    def plot(self, path: _P | None = None, title: str | None = None, split: Any = None, trials: Any = None) -> Any:
        """Without a path the Figure; with one, writes the PNG atomically and returns path."""

def report(
    factor: pd.DataFrame | pd.Series,
    price1: pd.DataFrame,
    l: int = 20,
    long_only: bool = False,
    quantiles: int = 5,
    cost_bps: float = 0.0,
    start: Any = None,
    end: Any = None,
    *,
    warmup: int = 150,
) -> Report:
    """Back-test statistics of a factor panel (dates x codes) or a (datetime, instrument) prediction."""

def deflated_sharpe(returns: Sequence[float], trial_sharpes: Sequence[float]) -> float:
    """P(true Sharpe of returns > the expected best of the trials' per-day Sharpe values)."""

def from_long(
    frame: Any, date: str = "date", code: str = "code", price: str = "open"
) -> tuple[pd.DataFrame, pd.DataFrame, list[Any]]:
    """(data1, price1, zz500) from a long table with one row per date and code."""

def window_features(
    data1: pd.DataFrame,
    zz500: Sequence[Any],
    window: int = 20,
    fields: Sequence[str] = ("open", "high", "low", "close", "volume"),
    price1: pd.DataFrame | None = None,
    label: str = "rank",
    extra: Mapping[str, pd.DataFrame] | None = None,
) -> pd.DataFrame:
    """The forecasters' (datetime, instrument) frame of scaled windows, with the forward-return label."""

def split_dates(
    frame: pd.DataFrame,
    valid_start: Any,
    test_start: Any,
    test_end: Any = None,
    horizon: int = 2,
) -> tuple[str, str, str]:
    """(train, valid, test) selector texts splitting a dated frame chronologically, purged by horizon."""

def check_split(frame: pd.DataFrame, train: Any, test: Any, horizon: int = 2) -> None:
    """ValueError when the test rows overlap the training dates plus the label horizon."""

class BuiltinOperator:
    """A built-in operator: over the whole panel in a formula, on one Series when time-series."""

    name: str
    arity: int
    cross_sectional: bool
    pandas_form: str

def operator_kind(fn: Any) -> str:
    """'ufunc', 'native', 'built-in' or 'per-stock': how a formula node with fn runs."""
def delay_1(x: pd.Series, /) -> pd.Series:
    """x.shift(1)"""
def delta_1(x: pd.Series, /) -> pd.Series:
    """x - x.shift(1)"""
def delta_5(x: pd.Series, /) -> pd.Series:
    """x - x.shift(5)"""
def ts_mean_5(x: pd.Series, /) -> pd.Series:
    """x.rolling(5).mean()"""
def ts_mean_20(x: pd.Series, /) -> pd.Series:
    """x.rolling(20).mean()"""
def ts_std_20(x: pd.Series, /) -> pd.Series:
    """x.rolling(20).std()"""
def ts_min_10(x: pd.Series, /) -> pd.Series:
    """x.rolling(10).min()"""
def ts_max_10(x: pd.Series, /) -> pd.Series:
    """x.rolling(10).max()"""
def ts_rank_10(x: pd.Series, /) -> pd.Series:
    """x.rolling(10).rank()"""
def ts_corr_10(x: pd.Series, y: pd.Series, /) -> pd.Series:
    """x.rolling(10).corr(y)"""
def ts_zscore_20(x: pd.Series, /) -> pd.Series:
    """(x - x.rolling(20).mean()) / x.rolling(20).std()"""
def cs_rank(x: pd.Series, /) -> pd.Series:
    """Per date x.rank(axis=1, pct=True) over the panel; raises TypeError on one Series."""
def cs_zscore(x: pd.Series, /) -> pd.Series:
    """Per date (x - mean) / std over the panel; raises TypeError on one Series."""
def cs_demean(x: pd.Series, /) -> pd.Series:
    """Per date x - mean over the panel; raises TypeError on one Series."""
