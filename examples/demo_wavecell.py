"""SFM (state-frequency memory) forecaster on 20-day windows: train 2013-2019, validate 2020-2021,
predict 2022-.

A small network (16 hidden units, 8 frequencies) for a few epochs, early stopping on the
validation score (minus the mean squared error of the next-day return).
"""
import os
import tempfile

import numpy as np
import torch

import wavecell
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
    model = wavecell.SFM(d_feat=6, hidden_size=16, output_dim=8, freq_dim=8, n_epochs=4,
                         early_stop=2, batch_size=512, lr=2e-3, seed=0, GPU=0)
    lines = []
    model.print = lines.append  # the settings block was printed above; keep the epoch report
    workdir = tempfile.mkdtemp(prefix="alphaloom-demo-")
    cwd = os.getcwd()
    threads = torch.get_num_threads()
    # a network this small gains nothing from a second intra-op thread, and on a busy machine
    # the threads' synchronisation costs more than the arithmetic
    torch.set_num_threads(1)
    os.chdir(workdir)
    try:
        model.fit((frame, (f".iloc[:{n_train}]", f".iloc[{n_train}:{n_valid}]")))
        pred = model.predict(test.drop(columns="label"))
    finally:
        os.chdir(cwd)
        torch.set_num_threads(threads)
    epoch = ""
    for line in lines:
        if line.startswith("Epoch"):
            epoch = line
        elif line.startswith("train "):
            print(f"{epoch} score (minus mse) {line}")
        elif line.startswith(("early stop", "best score")):
            print(line)
    ic = daily_rank_ic(pred, test["label"]).dropna()
    print(f"saved best weights to {os.path.join(workdir, 'sfm.pth')}")
    print(f"test period {test.index[0][0].date()} .. {test.index[-1][0].date()}: "
          f"mean daily rank IC {ic.mean():+.4f} over {len(ic)} days (IC>0 on {np.mean(ic > 0):.0%})")
