"""ADD (dual-stream) forecaster on 20-day windows: train 2013-2019, validate 2020-2021, predict 2022-.

A few epochs of a small network, early stopping on the validation days' mean information
coefficient; every metric is computed per trading day and averaged over days.
"""
import dualstream
from demo_common import periods, report_test_ic, scratch_run


def run(data1, price1, codes):
    frame, train, valid, test = periods(data1, codes)
    model = dualstream.ADD(d_feat=6, hidden_size=16, num_layers=1, n_epochs=4, early_stop=2,
                           batch_size=512, lr=2e-3, metric="ic", seed=0, GPU=0)
    lines = []
    model.print = lines.append  # keep the per-epoch report; show the lines that matter below
    with scratch_run() as workdir:
        model.fit((frame, (train, valid)))
        pred = model.predict(test.drop(columns="label"))
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
    report_test_ic(pred, test, workdir, "ADD.pth")
