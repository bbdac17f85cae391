"""ADD training and evaluation epochs at the trainer's default network (GRU, hidden 64, two
layers; 6 features x 60 steps) on 12 days x 300 stocks, one thread: `ADD.train_epoch` (batches
of 1,000 rows) and `ADD.test_epoch` against the same network written as plain torch modules
driven by the straightforward loops there (alphaloom/_testing/plain_add.py): the same training pass, and
one forward pass per day for evaluation.

Before timing, both sides start from one state dict: their evaluation metrics must agree, and so
must the parameter gradients of one training batch. Times are CPU seconds of this
process (one thread, so they are the work done), best of --repeat interleaved runs: on a shared
machine wall time mostly measures the neighbours.
"""
import argparse
import sys
import time
import warnings

import numpy as np
import torch

from harness import quiet, report, section

import dualstream  # noqa: E402
from alphaloom._testing.plain_add import per_day_test_epoch, plain_train_epoch, twin_of  # noqa: E402
from alphaloom._testing.synthetic import make_market, make_windows  # noqa: E402

N_STOCKS, N_DAYS, WINDOW, BATCH = 300, 12, 60, 1000
NET = dict(d_feat=6, hidden_size=64, num_layers=2, dropout=0.0, dec_dropout=0.0,
           base_model="GRU")


def data():
    data1, _, codes = make_market(n_stocks=N_STOCKS, n_days=N_DAYS + WINDOW, seed=1)
    frame = make_windows(data1, codes, window=WINDOW)
    days = frame.index.get_level_values(0).unique()[:N_DAYS]
    return frame.loc[days]


def metric_difference(ours, theirs):
    """Largest metric difference; ric counts a tenth, as one swapped rank of two predictions
    1e-7 apart moves a day's rank correlation by about 1e-5."""
    assert set(ours) == set(theirs), (sorted(ours), sorted(theirs))
    return max(abs(ours[k] - theirs[k]) * (0.1 if k == "ric" else 1.0) for k in ours)


def gradient_difference(model, twin, x_values, y_values, m_values):
    """Largest difference of the parameter gradients of one training batch, in units of
    1e-5 + 1e-4 x the parameter's largest gradient (so 1.0 is the limit). The biases of the
    heads' first layers are left out: batch norm follows them, so their true gradient is zero and
    what either side computes is rounding noise of the batch mean."""
    feature = torch.from_numpy(x_values).float()
    label_excess = torch.from_numpy(y_values).float()
    label_market = torch.from_numpy(m_values).long()
    grads = []
    for net in (model.ADD_model, twin):
        net.train()
        net.zero_grad()
        model.loss_fn(feature, net(feature), label_excess, label_market).backward()
        grads.append({k: p.grad for k, p in net.named_parameters() if not k.endswith(".0.bias")})
    return max(((g - grads[1][k]).abs().max() / (1e-5 + 1e-4 * grads[1][k].abs().max())).item()
               for k, g in grads[0].items())


def cpu_time(fn):
    t0 = time.process_time()
    fn()
    return time.process_time() - t0


def interleaved(ours, theirs, repeat):
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        best[0] = min(best[0], cpu_time(ours))
        best[1] = min(best[1], cpu_time(theirs))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per side")
    parser.add_argument("--modules", action="store_true",
                        help="run ADDModel through the library's recurrent modules "
                             "(dualstream._cpu_kernel = False): the speed without the fused "
                             "kernels")
    args = parser.parse_args()
    dualstream._cpu_kernel = not args.modules
    torch.set_num_threads(1)
    warnings.filterwarnings("ignore", message="The given NumPy array is not writable")
    df = data()
    with quiet():  # the constructor prints its settings and the network
        model = dualstream.ADD(batch_size=BATCH, GPU=-1, seed=0, **{k: v for k, v in NET.items()})
    model.print = lambda *a, **k: None
    model.fit_thresh(df["label"])
    df = model.gen_market_label(df, df["label"])
    feature = [c for c in df.columns if c not in ("label", "market_return")]
    x, y, m = df[feature], df["label"], df["market_return"]
    xv, yv, mv = x.values, np.squeeze(y.values), np.squeeze(m.values.astype(int))
    print(f"frame: {len(df)} rows, {N_DAYS} days x {N_STOCKS} stocks, {len(feature)} feature "
          f"columns; batch {BATCH}; torch threads {torch.get_num_threads()}; "
          f"fused kernels {'off' if args.modules else 'on, ' + dualstream._kernel_isa}")

    twin = twin_of(model.ADD_model, **NET)
    optimizer = torch.optim.Adam(twin.parameters(), lr=model.lr)
    metrics = metric_difference(model.test_epoch(x, y, m), per_day_test_epoch(model, twin, x, y, m))
    grads = gradient_difference(model, twin, xv[:BATCH], yv[:BATCH], mv[:BATCH])
    print(f"from equal weights: largest metric difference {metrics:.2e} (limit 1e-5), largest "
          f"gradient difference of one training batch {grads:.2f} (limit 1)")
    if not (metrics <= 1e-5 and grads <= 1.0):
        sys.exit("the fused network and the plain torch network disagree")

    section("ADD epochs: fused kernels and batched days",
            "the same epochs as plain torch modules and loops (alphaloom/_testing/plain_add.py), "
            "CPU seconds")
    report("train_epoch default net 12x300 rows",
           *interleaved(lambda: model.train_epoch(xv, yv, mv),
                        lambda: plain_train_epoch(model, twin, optimizer, xv, yv, mv),
                        args.repeat))
    report("test_epoch default net 12 days x 300",
           *interleaved(lambda: model.test_epoch(x, y, m),
                        lambda: per_day_test_epoch(model, twin, x, y, m), args.repeat))


if __name__ == "__main__":
    sys.exit(main())
