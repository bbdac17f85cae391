"""Transformer forecaster on 20-day windows: train 2017-2019, validate 2020-2021, predict 2022-."""
import os
import tempfile

import numpy as np

import attnencoder
from synthetic import daily_rank_ic, make_windows


def run(data1, price1, codes):
    frame = make_windows(data1, codes, window=20)
    frame = frame[frame.index.get_level_values(0) >= np.datetime64("2017-01-01")]
    days = frame.index.get_level_values(0)
    train_end, valid_end = np.datetime64("2020-01-01"), np.datetime64("2022-01-01")
    n_train = int((days < train_end).sum())
    n_valid = int((days < valid_end).sum())
    test = frame[days >= valid_end]
    print(f"labelled frame: {len(frame)} rows x {frame.shape[1] - 1} feature columns "
          f"(6 features x 20 days); train {n_train}, valid {n_valid - n_train}, test {len(test)}")
    model = attnencoder.TransformerModel(d_feat=6, d_model=16, nhead=2, num_layers=1,
                                         batch_size=512, n_epochs=3, early_stop=2, lr=1e-3,
                                         seed=0, GPU=0)
    workdir = tempfile.mkdtemp(prefix="alphaloom-demo-")
    cwd = os.getcwd()
    os.chdir(workdir)
    try:
        model.fit((frame, (f".iloc[:{n_train}]", f".iloc[{n_train}:{n_valid}]")))
    finally:
        os.chdir(cwd)
    pred = model.predict(test.drop(columns="label"))
    ic = daily_rank_ic(pred[0], test["label"]).dropna()
    print(f"saved best weights to {os.path.join(workdir, 'transformer.pth')}")
    print(f"test period {test.index[0][0].date()} .. {test.index[-1][0].date()}: "
          f"mean daily rank IC {ic.mean():+.4f} over {len(ic)} days (IC>0 on {np.mean(ic > 0):.0%})")
