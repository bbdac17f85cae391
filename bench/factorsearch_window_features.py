"""factorsearch.window_features on the real S&P 500 panel (524 stocks x 245 days, window 60, the
five fields, rank labels) against the straightforward pandas construction (a shifted frame per
field and lag, stacked, non-finite rows dropped, labels ranked per day); the two frames must be
equal. Also the peak memory of one call next to the size of the frame it returns: traced by
tracemalloc (NumPy and pandas allocations) and as the rise of the resident set (everything,
the C++ buffers included), each in a fresh process."""
import json
import subprocess
import sys
import time
import tracemalloc

import numpy as np

from harness import best_of, report, section

import factorsearch
from alphaloom._testing import fs_reference
from alphaloom._testing import sp500_data

WINDOW = 60


def best_cpu(fn, repeat):
    """Best process CPU time (all threads) of `repeat` calls: on a shared machine the wall time
    also counts other people's work."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best


def frame_bytes(frame):
    return int(frame.memory_usage(index=True, deep=True).sum())


def peak_in_child(kind):
    """(peak bytes above the level before the call, bytes of the frame) in a fresh process."""
    code = f"""
import gc, json, sys, tracemalloc
sys.path[:0] = {sys.path[:3]!r}
import factorsearch
from alphaloom._testing import sp500_data
data1, price1, codes = sp500_data.load_wide()
gc.collect()
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
if {kind!r} == "rss":
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak resident set to the current one
    before = status("VmRSS")
    frame = factorsearch.window_features(data1, codes, window={WINDOW}, price1=price1)
    peak = status("VmHWM") - before
else:
    tracemalloc.start()
    frame = factorsearch.window_features(data1, codes, window={WINDOW}, price1=price1)
    peak = tracemalloc.get_traced_memory()[1]
print(json.dumps([peak, int(frame.memory_usage(index=True, deep=True).sum())]))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    data1, price1, codes = sp500_data.load_wide()
    section(f"window_features, S&P 500 panel, window {WINDOW}",
            "the pandas construction: a shifted frame per field and lag, stacked")
    ours = factorsearch.window_features(data1, codes, window=WINDOW, price1=price1)
    theirs, dropped = fs_reference.window_frame(data1, codes, WINDOW, price1=price1)
    same = (ours.index.equals(theirs.index) and list(ours.columns) == list(theirs.columns)
            and np.array_equal(ours.to_numpy(), theirs.to_numpy(), equal_nan=True)
            and ours.attrs["dropped"] == dropped)
    print(f"{len(ours)} rows x {ours.shape[1] - 1} features, {dropped} dropped; "
          f"same as pandas: {same}")
    t_ours = best_of(lambda: factorsearch.window_features(data1, codes, window=WINDOW,
                                                         price1=price1), 5)
    tracemalloc.start()
    theirs, _ = fs_reference.window_frame(data1, codes, WINDOW, price1=price1)
    base_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del theirs
    t_base = best_of(lambda: fs_reference.window_frame(data1, codes, WINDOW, price1=price1), 3,
                     warmup=0)
    report(f"window_features {len(codes)}x{len(data1)} w={WINDOW}", t_ours, t_base)
    c_ours = best_cpu(lambda: factorsearch.window_features(data1, codes, window=WINDOW,
                                                           price1=price1), 5)
    c_base = best_cpu(lambda: fs_reference.window_frame(data1, codes, WINDOW, price1=price1), 3)
    report("  the same in CPU seconds", c_ours, c_base)
    size = frame_bytes(ours)
    traced, _ = peak_in_child("tracemalloc")
    rss, _ = peak_in_child("rss")
    mib = 2.0 ** 20
    print(f"output frame {size / mib:.1f} MiB; peak during the call: tracemalloc "
          f"{traced / mib:.1f} MiB ({traced / size:.2f}x), resident set +{rss / mib:.1f} MiB "
          f"({rss / size:.2f}x); pandas construction: tracemalloc {base_peak / mib:.1f} MiB "
          f"({base_peak / size:.2f}x)")
    if not same:
        raise SystemExit("window_features differs from the pandas construction")


if __name__ == "__main__":
    main()
