"""SFM (state-frequency memory) forecaster on 20-day windows: train 2013-2019, validate 2020-2021,
predict 2022-.

A small network (16 hidden units, 8 frequencies) for a few epochs, early stopping on the
validation score (minus the mean squared error of the next-day return).
"""
import wavecell
from demo_common import periods, report_test_ic, scratch_run


def run(data1, price1, codes):
    frame, train, valid, test = periods(data1, codes)
    model = wavecell.SFM(d_feat=6, hidden_size=16, output_dim=8, freq_dim=8, n_epochs=4,
                         early_stop=2, batch_size=512, lr=2e-3, seed=0, GPU=0)
    lines = []
    model.print = lines.append  # the settings block was printed above; keep the epoch report
    with scratch_run() as workdir:
        model.fit((frame, (train, valid)))
        pred = model.predict(test.drop(columns="label"))
    epoch = ""
    for line in lines:
        if line.startswith("Epoch"):
            epoch = line
        elif line.startswith("train "):
            print(f"{epoch} score (minus mse) {line}")
        elif line.startswith(("early stop", "best score")):
            print(line)
    report_test_ic(pred, test, workdir, "sfm.pth")
