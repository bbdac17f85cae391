"""ADD day-wise evaluation: `test_epoch` over 250 days x 300 stocks (6 features x 60 days = 360
columns) against the straightforward loop of alphaloom/_testing/plain_add.py (one forward pass per day with autograd
on, the loss records of `loss_fn`, pandas `Series.corr` Pearson and Spearman per day), and one
full `fit` epoch against the same loop around a plain Python training pass.

The trainer's default network (hidden 64, two layers) costs about 27 MFLOP per row, so on a CPU
the recurrent arithmetic dominates both sides; it runs on 20 days to keep the script short. A
small network (hidden 16, one layer) shows the per-day overhead that batching removes.
"""
import copy
import os
import sys
import tempfile
import time
import warnings

import numpy as np
import torch

from harness import best_of, quiet, report, section

import dualstream  # noqa: E402
from alphaloom._testing.plain_add import per_day_test_epoch, plain_train_epoch  # noqa: E402
from alphaloom._testing.synthetic import make_market, make_windows  # noqa: E402

N_STOCKS, N_DAYS, WINDOW = 300, 250, 60
KEYS = ["pre_excess_loss", "pre_market_loss", "pre_loss", "adv_excess_loss", "adv_market_loss",
        "adv_loss", "rec_loss", "loss", "mse", "ic", "ric"]


def data():
    data1, _, codes = make_market(n_stocks=N_STOCKS, n_days=N_DAYS + WINDOW, seed=1)
    frame = make_windows(data1, codes, window=WINDOW)
    days = frame.index.get_level_values(0).unique()[:N_DAYS]  # the last day has no label
    return frame.loc[days]


def baseline_test_epoch(model, data_x, data_y, data_m):
    return per_day_test_epoch(model, model.ADD_model, data_x, data_y, data_m)


def baseline_train_epoch(model, x_values, y_values, m_values):
    plain_train_epoch(model, model.ADD_model, model.train_optimizer, x_values, y_values, m_values)


def baseline_fit_epoch(model, df, n_train):
    feature = [c for c in df.columns if c != "label"]
    train, valid = df.iloc[:n_train], df.iloc[n_train:]
    model.fit_thresh(train["label"])
    train = model.gen_market_label(train, train["label"])
    valid = model.gen_market_label(valid, valid["label"])
    splits = [(s[feature], s["label"], s["market_return"]) for s in (train, valid)]
    baseline_train_epoch(model, splits[0][0].values, np.squeeze(splits[0][1].values),
                         np.squeeze(splits[0][2].values.astype(int)))
    baseline_test_epoch(model, *splits[0])
    baseline_test_epoch(model, *splits[1])
    best = copy.deepcopy(model.ADD_model.state_dict())
    model.ADD_model.load_state_dict(best)
    torch.save(best, "ADD.pth")


def largest_difference(ours, theirs):
    assert list(ours) == KEYS and set(theirs) == set(KEYS)
    return max(abs(ours[k] - theirs[k]) for k in KEYS)


def main():
    # One intra-op thread by default: on a shared machine a second thread's synchronisation cost
    # swings with the load and hits the many small per-day passes far harder than the blocks,
    # which would flatter the ratio. BENCH_THREADS=2 measures that case.
    torch.set_num_threads(int(os.environ.get("BENCH_THREADS", "1")))
    warnings.filterwarnings("ignore", message="The given NumPy array is not writable")
    t0 = time.perf_counter()
    df = data()
    print(f"frame: {len(df)} rows, {df.index.get_level_values(0).nunique()} days x {N_STOCKS} "
          f"stocks, {df.shape[1] - 1} feature columns ({time.perf_counter() - t0:.1f}s to build); "
          f"torch threads {torch.get_num_threads()}")
    feature = [c for c in df.columns if c != "label"]
    worst = 0.0
    section("ADD evaluation: many days per forward pass",
            "one forward pass per day with autograd on (alphaloom/_testing/plain_add.py)")
    cases = [("small net, 250 days", dict(hidden_size=16, num_layers=1), N_DAYS),
             ("default net, 20 days", dict(), 20)]
    for name, cfg, n_days in cases:
        with quiet():
            model = dualstream.ADD(d_feat=6, GPU=0, seed=0, **cfg)
        model.print = lambda *a, **k: None
        part = df.iloc[:n_days * N_STOCKS]
        model.fit_thresh(part["label"])
        part = model.gen_market_label(part, part["label"])
        x, y, m = part[feature], part["label"], part["market_return"]
        model.train_epoch(x.values[:2000], y.values[:2000], m.values[:2000])  # non-trivial weights
        ours = model.test_epoch(x, y, m)
        theirs = baseline_test_epoch(model, x, y, m)
        worst = max(worst, largest_difference(ours, theirs))
        report(f"test_epoch {name}", best_of(lambda: model.test_epoch(x, y, m), warmup=0),
               best_of(lambda: baseline_test_epoch(model, x, y, m), warmup=0))

    os.chdir(tempfile.mkdtemp())
    n_train, n_valid = 100 * N_STOCKS, 150 * N_STOCKS
    df = df.iloc[:n_valid]
    with quiet():
        model = dualstream.ADD(d_feat=6, hidden_size=16, num_layers=1, n_epochs=1,
                               batch_size=2000, GPU=0, seed=0)
    model.print = lambda *a, **k: None
    report("fit one epoch, small net, 100+50 days",
           best_of(lambda: model.fit((df, (f".iloc[:{n_train}]", f".iloc[{n_train}:]"))), warmup=0),
           best_of(lambda: baseline_fit_epoch(model, df, n_train), warmup=0))
    print(f"largest metric difference, batched vs one forward per day: {worst:.2e}")
    if not worst <= 1e-5:
        sys.exit("batched metrics differ from the per-day loop")


if __name__ == "__main__":
    main()
