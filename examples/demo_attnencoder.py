"""Transformer forecaster on 20-day windows: train 2017-2019, validate 2020-2021, predict 2022-."""
import attnencoder
from demo_common import periods, report_test_ic, scratch_run


def run(data1, price1, codes):
    frame, train, valid, test = periods(data1, codes, start="2017-01-01")
    model = attnencoder.TransformerModel(d_feat=6, d_model=16, nhead=2, num_layers=1,
                                         batch_size=512, n_epochs=3, early_stop=2, lr=1e-3,
                                         seed=0, GPU=0)
    with scratch_run(threads=2) as workdir:
        model.fit((frame, (train, valid)))
    pred = model.predict(test.drop(columns="label"))
    report_test_ic(pred[0], test, workdir, "transformer.pth")
