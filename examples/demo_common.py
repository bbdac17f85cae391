"""Pieces the forecaster demo sections share: the period split, a scratch working directory for
weight files, and the test-period rank IC line."""
import contextlib
import os
import tempfile

import numpy as np
import torch

from alphaloom._testing.synthetic import daily_rank_ic, make_windows

VALID_START, TEST_START = np.datetime64("2020-01-01"), np.datetime64("2022-01-01")


def periods(data1, codes, window=20, start=None):
    """Labelled windows split by date: train before 2020, validate 2020-2021, test from 2022.
    Returns (frame, train selector, valid selector, test frame) and prints the sizes."""
    frame = make_windows(data1, codes, window=window)
    if start is not None:
        frame = frame[frame.index.get_level_values(0) >= np.datetime64(start)]
    days = frame.index.get_level_values(0)
    n_train = int((days < VALID_START).sum())
    n_valid = int((days < TEST_START).sum())
    test = frame[days >= TEST_START]
    print(f"labelled frame: {len(frame)} rows x {frame.shape[1] - 1} feature columns "
          f"(6 features x {window} days); train {n_train}, valid {n_valid - n_train}, "
          f"test {len(test)}")
    return frame, f".iloc[:{n_train}]", f".iloc[{n_train}:{n_valid}]", test


@contextlib.contextmanager
def scratch_run(threads=1):
    """Runs in a fresh temporary directory (fit writes its weight file there). Small networks gain
    nothing from a second intra-op thread, and on a busy machine the threads' synchronisation
    costs more than the arithmetic, so torch runs on `threads` threads inside."""
    workdir = tempfile.mkdtemp(prefix="alphaloom-demo-")
    cwd, saved = os.getcwd(), torch.get_num_threads()
    torch.set_num_threads(threads)
    os.chdir(workdir)
    try:
        yield workdir
    finally:
        os.chdir(cwd)
        torch.set_num_threads(saved)


def report_test_ic(scores, test, workdir, weight_file):
    ic = daily_rank_ic(scores, test["label"]).dropna()
    print(f"saved best weights to {os.path.join(workdir, weight_file)}")
    print(f"test period {test.index[0][0].date()} .. {test.index[-1][0].date()}: "
          f"mean daily rank IC {ic.mean():+.4f} over {len(ic)} days (IC>0 on {np.mean(ic > 0):.0%})")
