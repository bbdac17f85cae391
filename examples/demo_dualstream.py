"""ADD (dual-stream) forecaster on 20-day windows: train 2013-2019, validate 2020-2021, predict 2022-.

A few epochs of a small network, early stopping on the validation days' mean information
coefficient; every metric is computed per trading day and averaged over days.
"""
import os
import tempfile

import numpy as np
import torch

import dualstream
from synthetic import daily_rank_ic, make_windows


def run(data1, price1, codes):
    frame = make_windows(data1, codes, window=20)
    days = frame.index.get_level_values(0)
    train_end, valid_end = np.datetime64("2020-01-01"), np.datetime64("2022-01-01")
    n_train = int((days < train_end).sum())
    n_valid = int((days < valid_end).sum())
    test = frame[days >= valid_end]
    print(f"labelled frame: {len(frame)} rows x {frame.shape[1] - 1} feature columns "
          f"(6 features x 20 days); train {n_train}, valid {n_valid - n_train}, test {len(test)}")
    model = dualstream.ADD(d_feat=6, hidden_size=16, num_layers=1, n_epochs=4, early_stop=2,
                           batch_size=512, lr=2e-3, metric="ic", seed=0, GPU=0)
    lines = []
    model.print = lines.append  # keep the per-epoch report; show the lines that matter below
    workdir = tempfile.mkdtemp(prefix="alphaloom-demo-")
    cwd = os.getcwd()
    threads = torch.get_num_threads()
    # a 16-wide network gains nothing from a second intra-op thread, and on a busy machine the
    # threads' synchronisation costs more than the arithmetic
    torch.set_num_threads(1)
    os.chdir(workdir)
    try:
        model.fit((frame, (f".iloc[:{n_train}]", f".iloc[{n_train}:{n_valid}]")))
        pred = model.predict(test.drop(columns="label"))
    finally:
        os.chdir(cwd)
        torch.set_num_threads(threads)
    for line in lines:
        if line.startswith("Epoch"):
            epoch = line
        elif line.startswith("pre_excess_loss/valid"):
            metrics = dict(part.split(": ") for part in line.split(", "))
            print(f"{epoch} validation: mean daily IC {float(metrics['ic/valid']):+.4f}, "
                  f"rank IC {float(metrics['ric/valid']):+.4f}, mse {float(metrics['mse/valid']):.6f}")
        elif line.startswith(("early stop", "bootstrap_fit")):
            print(line)
    print(f"regime thresholds (daily mean return): lo {model.lo:+.5f}, hi {model.hi:+.5f}")
    print(f"saved best weights to {os.path.join(workdir, 'ADD.pth')}")
    ic = daily_rank_ic(pred, test["label"]).dropna()
    print(f"test period {test.index[0][0].date()} .. {test.index[-1][0].date()}: "
          f"mean daily rank IC {ic.mean():+.4f} over {len(ic)} days (IC>0 on {np.mean(ic > 0):.0%})")
