"""Timing helpers for the benchmarks: best-of-N wall time and one result line per case.

Each script opens a section with `section(title, baseline)`, saying what its baseline is; every
case then prints `name  ours  baseline  ratio` (seconds, seconds, baseline / ours: above 1 means
ours is faster), both sides measured in the same run on the same data. A figure is the best of
at least three runs, so one noisy run does not read as a regression. Anything a trainer prints
while it is being timed (settings banners, network dumps, epoch lines) is silenced with
`quiet()`. `bench/run_all.py` collects the result lines into a closing summary table.
"""
import contextlib
import io
import pathlib
import sys
import time

# The reference implementations the tests compare against (plain torch ADD, the plain-Python
# miner, in alphaloom._testing) are the benchmarks' baselines too.
ROOT = pathlib.Path(__file__).resolve().parents[1]

MIN_RUNS = 3
RATIO_NOTE = "ratio = baseline / ours (above 1: ours is faster)"


def best_of(fn, repeat=MIN_RUNS, warmup=1):
    """The shortest wall time of `repeat` calls of fn (at least MIN_RUNS) after `warmup` calls."""
    for _ in range(warmup):
        fn()
    best = float("inf")
    for _ in range(max(repeat, MIN_RUNS)):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


@contextlib.contextmanager
def quiet():
    """Swallows whatever is printed inside (banners and epoch lines of the trainers)."""
    with contextlib.redirect_stdout(io.StringIO()):
        yield


def section(title, baseline):
    """The heading of a script's results: what is timed, against what, and how to read it."""
    print(f"-- {title}")
    print(f"   baseline: {baseline}")
    print(f"   {RATIO_NOTE}; each figure the best of at least {MIN_RUNS} runs")
    header()


def header():
    print(f"{'name':<40} {'ours[s]':>10} {'baseline[s]':>12} {'ratio':>8}")


def report(name, ours, baseline):
    """One result row; returns the ratio baseline / ours."""
    ratio = baseline / ours if ours > 0 else float("inf")
    print(f"{name:<40} {ours:>10.4f} {baseline:>12.4f} {ratio:>7.2f}x", flush=True)
    return ratio
