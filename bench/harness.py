"""Timing helpers for the benchmarks: best-of-k wall time and one result line per case.

Every case prints `name  ours  baseline  ratio` (seconds, seconds, baseline / ours), both sides
measured in the same run on the same data.
"""
import sys
import time
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
# The plain-Python miner the tests compare against is the benchmarks' baseline too.
sys.path.insert(0, str(ROOT / "tests" / "factorsearch"))


def best_of(fn, repeat=3, warmup=1):
    for _ in range(warmup):
        fn()
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def header():
    print(f"{'name':<40} {'ours[s]':>10} {'baseline[s]':>12} {'ratio':>8}")


def report(name, ours, baseline):
    ratio = baseline / ours if ours > 0 else float("inf")
    print(f"{name:<40} {ours:>10.4f} {baseline:>12.4f} {ratio:>7.2f}x", flush=True)
    return ratio
