import numpy as np
import pandas as pd
import pytest
import torch

import wavecell

pytestmark = pytest.mark.filterwarnings("ignore:The given NumPy array is not writable")

SMALL = dict(d_feat=6, hidden_size=6, output_dim=4, freq_dim=5, GPU=-1, seed=0)


def make(lines, **kw):
    model = wavecell.SFM(**{**SMALL, **kw})
    model.print = lines
    return model


def frame(n=256, width=60, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, width)).astype(np.float32)
    df = pd.DataFrame(x, columns=[f"c{i}" for i in range(width)],
                      index=pd.RangeIndex(500, 500 + n, name="row"))
    df["label"] = 0.3 * x[:, 9] + 0.1 * rng.standard_normal(n)
    return df


DEFAULT_BLOCK = [
    "SFM pytorch version...", "SFM parameters setting:", "d_feat : 6", "hidden_size : 64",
    "output_size : 32", "frequency_dimension : 25", "dropout_W: 0.5", "dropout_U: 0.5",
    "n_epochs : 20", "lr : 0.001", "metric : ", "batch_size : 1600", "early_stop : 20",
    "eval_steps : 5", "optimizer : adam", "loss_type : mse", "device : cpu", "use_GPU : False",
    "seed : None", "model:", "SFM_Model("]


def test_defaults_print_the_settings_block_and_model(capture_stdout):
    m = wavecell.SFM(GPU=-1, unknown_option=3)
    out = capture_stdout()
    assert out[:len(DEFAULT_BLOCK)] == DEFAULT_BLOCK
    assert "(fc_out): Linear(in_features=32, out_features=1, bias=True)" in "\n".join(out)
    assert list(vars(m)) == ["print", "d_feat", "hidden_size", "output_dim", "freq_dim",
                             "dropout_W", "dropout_U", "n_epochs", "lr", "metric", "batch_size",
                             "early_stop", "eval_steps", "optimizer", "loss", "device", "seed",
                             "sfm_model", "train_optimizer", "fitted"]
    assert m.device == torch.device("cpu") and m.use_gpu is False and m.fitted is False
    net = m.sfm_model
    assert isinstance(net, wavecell.SFM_Model) and net.device == m.device
    assert (net.input_dim, net.hidden_dim, net.output_dim, net.freq_dim) == (6, 64, 32, 25)
    assert (net.dropout_W, net.dropout_U) == (0.5, 0.5)
    assert wavecell.SFM.__doc__.startswith("SFM Model\n\n    Parameters\n")


@pytest.mark.parametrize("name,cls", [("adam", torch.optim.Adam), ("Adam", torch.optim.Adam),
                                      ("ADAM", torch.optim.Adam), ("gd", torch.optim.SGD),
                                      ("Gd", torch.optim.SGD)])
def test_optimizer_choice(lines, name, cls):
    m = make(lines, optimizer=name, lr=0.01)
    assert type(m.train_optimizer) is cls and m.optimizer == name.lower()
    group = m.train_optimizer.param_groups[0]
    assert group["lr"] == 0.01 and group["weight_decay"] == 0
    assert len(group["params"]) == 21
    if cls is torch.optim.SGD:
        assert group["momentum"] == 0


def test_unknown_optimizer_after_the_summary(capture_stdout):
    with pytest.raises(NotImplementedError, match=r"^optimizer Sgd is not supported!$"):
        wavecell.SFM(GPU=-1, optimizer="Sgd")
    out = capture_stdout()
    assert out[0] == "SFM pytorch version..." and "model:" in out and "optimizer : sgd" in out


def test_seed_reproduces_weights_and_training(in_tmp, lines):
    df = frame(n=128)
    runs = []
    for _ in range(2):
        m = make(lines, seed=3, batch_size=32, n_epochs=2)
        first = {k: v.clone() for k, v in m.sfm_model.state_dict().items()}
        m.fit((df, (".iloc[:96]", ".iloc[96:]")))
        runs.append((first, m.sfm_model.state_dict()))
    for k in runs[0][0]:
        assert torch.equal(runs[0][0][k], runs[1][0][k])
        assert torch.equal(runs[0][1][k], runs[1][1][k])


def test_losses_metrics_and_masks(lines):
    m = make(lines)
    pred = torch.tensor([1.0, 2.0, 3.0, 4.0])
    label = torch.tensor([1.0, float("nan"), 5.0, float("inf")])
    assert m.loss_fn(pred, label).item() == float("inf")  # an infinite label stays in the loss
    assert m.metric_fn(pred, label).item() == pytest.approx(-2.0)  # (0 + 4) / 2, negated
    m.metric = "loss"
    assert m.metric_fn(pred, label).item() == pytest.approx(-2.0)
    assert m.mse(pred.double(), pred.double() + 2).dtype == torch.float64
    m.metric = "ic"
    with pytest.raises(ValueError, match="unknown metric `ic`"):
        m.metric_fn(pred, label)
    m.loss = "mae"
    with pytest.raises(ValueError, match="unknown loss `mae`"):
        m.loss_fn(pred, label)


def test_nan_labels_do_not_count_but_keep_their_places(lines):
    df = frame(n=96)
    m = make(lines, batch_size=32)
    x, y = df.drop(columns="label"), df["label"].copy()
    y.iloc[::5] = np.nan
    loss, score = m.test_epoch(x, y)
    with torch.no_grad():
        pred = m.sfm_model(torch.tensor(x.to_numpy()))
    keep = ~np.isnan(y.to_numpy())
    expect = np.mean([np.mean((pred.numpy()[sl][keep[sl]] - y.to_numpy()[sl][keep[sl]]) ** 2)
                      for sl in (slice(0, 32), slice(32, 64), slice(64, 96))])
    assert loss == pytest.approx(expect, rel=1e-5) and score == pytest.approx(-expect, rel=1e-5)


def test_test_epoch_scores_the_short_last_batch(lines):
    df = frame(n=70)
    m = make(lines, batch_size=32)
    x, y = df.drop(columns="label"), df["label"]
    loss, score = m.test_epoch(x, y)
    with torch.no_grad():
        pred = m.sfm_model(torch.tensor(x.to_numpy())).numpy()
    err = (pred - y.to_numpy(dtype=np.float32)) ** 2
    expect = (32 * err[:32].mean() + 32 * err[32:64].mean() + 6 * err[64:].mean()) / 70
    assert loss == pytest.approx(expect, rel=1e-5)
    assert np.isfinite(m.test_epoch(x.iloc[:10], y.iloc[:10])[1])  # fewer rows than a batch


def test_train_epoch_uses_full_shuffled_batches(lines):
    df = frame(n=100)
    m = make(lines, batch_size=32)
    sizes = []
    m.sfm_model.register_forward_pre_hook(lambda mod, args: sizes.append(len(args[0])))
    before = m.sfm_model.W_i.detach().clone()
    m.train_epoch(df.drop(columns="label"), df["label"])
    assert sizes == [32, 32, 32] and m.sfm_model.training
    assert not torch.equal(before, m.sfm_model.W_i)


def test_early_stopping_restores_and_saves_the_best_epoch(in_tmp, lines, scripted_scores):
    df = frame(n=128)
    m = make(lines, batch_size=64, n_epochs=100, early_stop=20, lr=0.01)
    scores = [0.1, 0.2, 0.3, 0.35, 0.5] + [0.5, 0.4] * 10 + [0.9] * 80
    script = scripted_scores(m, "sfm_model", scores)
    m.metric_fn = script
    evals = {"other": 1}
    m.fit((df, (".iloc[:64]", ".iloc[64:]")), evals)
    assert lines[:5] == ["training...", "Epoch0:", "training...", "evaluating...",
                         "train 0.000000, valid 0.100000"]
    assert "Epoch24:" in lines and "Epoch25:" not in lines  # ties are no improvement
    assert lines[-2:] == ["early stop", "best score: 0.500000 @ 4"]
    assert evals["valid"] == pytest.approx(scores[:25]) and evals["train"] == [0.0] * 25
    assert evals["other"] == 1 and m.fitted is True
    best = script.snapshots[4]
    saved = torch.load("sfm.pth")
    assert list(saved) == list(best) == list(m.sfm_model.state_dict())
    for k in best:
        assert torch.equal(saved[k], best[k]) and torch.equal(m.sfm_model.state_dict()[k], best[k])


def test_default_evals_result_is_shared(in_tmp, lines):
    df = frame(n=64)
    a, b = make(lines, batch_size=32, n_epochs=1), make(lines, batch_size=32, n_epochs=2)
    sel = (".iloc[:32] if setattr(self, 'seen', evals_result) is None else None", ".iloc[32:]")
    a.fit((df, sel))
    b.fit((df, sel))
    assert a.seen is b.seen and len(a.seen["valid"]) == 2


def test_no_finite_validation_score_raises_and_saves_nothing(in_tmp, lines):
    df = frame(n=96)
    df.loc[df.index[64:], "label"] = np.nan
    m = make(lines, batch_size=32, n_epochs=2)
    with pytest.raises(RuntimeError, match="no epoch produced a finite validation score"):
        m.fit((df, (".iloc[:64]", ".iloc[64:]")))
    assert lines[-1] == "best score: -inf @ 0"
    assert not (in_tmp / "sfm.pth").exists()


def test_predict_batches_index_and_dtype(lines):
    df = frame(n=5000, width=12)
    m = make(lines)
    sizes = []
    m.sfm_model.register_forward_pre_hook(lambda mod, args: sizes.append(len(args[0])))
    x = df.drop(columns="label")
    out = m.predict(x)
    assert sizes == [1600, 1600, 1600, 200]
    assert isinstance(out, pd.Series) and out.dtype == np.float32 and out.index.equals(x.index)
    with torch.no_grad():
        direct = m.sfm_model(torch.tensor(x.to_numpy()[4800:]))
    np.testing.assert_allclose(out.to_numpy()[4800:], direct.numpy(), rtol=1e-6, atol=1e-6)
    sizes.clear()
    assert len(m.predict(x.iloc[:1601])) == 1601 and sizes == [1600, 1]


@pytest.mark.parametrize("table,msg", [
    (frame(n=10).drop(columns="label").iloc[:0], "no rows"),
    (frame(n=10), "multiple of d_feat"),  # the label column shifts the row layout
])
def test_predict_rejects_empty_and_misshapen_tables(lines, table, msg):
    with pytest.raises(ValueError, match=msg):
        make(lines).predict(table)


@pytest.mark.parametrize("dataset1,exc,msg", [
    ((pd.DataFrame({"a": [1.0] * 6}), (".iloc[:3]", ".iloc[3:]")), ValueError, "label"),
    ((frame(32), (".iloc[:0]", ".iloc[16:]")), ValueError, "empty"),
    ((frame(32), (".iloc[:16, :7]", ".iloc[16:]")), ValueError, "columns"),
])
def test_fit_rejects_bad_frames_before_anything_changes(in_tmp, lines, dataset1, exc, msg):
    m = make(lines, batch_size=8, n_epochs=1)
    with pytest.raises(exc, match=msg):
        m.fit(dataset1, {})
    assert lines == [] and m.fitted is False and not (in_tmp / "sfm.pth").exists()


def test_average_meter():
    meter = wavecell.AverageMeter()
    assert (meter.val, meter.avg, meter.sum, meter.count) == (0, 0, 0, 0)
    meter.update(2.0, 3)
    meter.update(4.0)
    assert (meter.val, meter.sum, meter.count, meter.avg) == (4.0, 10.0, 4, 2.5)
    meter.reset()
    assert (meter.val, meter.avg, meter.sum, meter.count) == (0, 0, 0, 0)
    assert wavecell.AverageMeter.__doc__ == "Computes and stores the average and current value"
