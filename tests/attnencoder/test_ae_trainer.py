import numpy as np
import pandas as pd
import pytest
import torch

import attnencoder

pytestmark = pytest.mark.filterwarnings("ignore:enable_nested_tensor")

SMALL = dict(d_feat=6, d_model=8, nhead=2, num_layers=1, GPU=-1, seed=0)


def make(lines, **kw):
    params = {**SMALL, **kw}
    model = attnencoder.TransformerModel(**params)
    model.print = lines
    return model


def frame(n=256, width=60, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, width)).astype(np.float32)
    df = pd.DataFrame(x, columns=[f"c{i}" for i in range(width)],
                      index=pd.RangeIndex(1000, 1000 + n, name="row"))
    df["label"] = 0.3 * x[:, 9] + 0.1 * rng.standard_normal(n)
    return df


def test_constructor_prints_header_and_stores_settings(capture_stdout):
    m = attnencoder.TransformerModel(GPU=-1)
    assert capture_stdout() == ["Naive Transformer:", "batch_size : 2048", "device : cpu"]
    assert list(vars(m)) == ["print", "d_model", "dropout", "n_epochs", "lr", "reg", "metric",
                             "batch_size", "early_stop", "optimizer", "loss", "n_jobs", "device",
                             "seed", "model", "train_optimizer", "fitted"]
    assert m.dropout == 0.0 and type(m.dropout) is float and m.fitted is False
    assert m.device == torch.device("cpu") and m.use_gpu is False
    assert m.model.d_feat == 6 and isinstance(m.model, attnencoder.Transformer)
    attnencoder.TransformerModel(GPU=-1, some_unknown_option=1)  # extra keywords are ignored


@pytest.mark.parametrize("name,value,got", [
    ("d_feat", 6.0, "float"), ("d_model", True, "bool"), ("batch_size", None, "NoneType"),
    ("nhead", "2", "str"), ("num_layers", np.int64(2), "int64")])
def test_non_integer_arguments_are_rejected_before_printing(capture_stdout, name, value, got):
    with pytest.raises(TypeError) as err:
        attnencoder.TransformerModel(GPU=-1, **{name: value})
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"
    assert capture_stdout() == []


def test_dropout_must_convert_to_float():
    with pytest.raises(TypeError):
        attnencoder.TransformerModel(GPU=-1, dropout="0.5")
    assert attnencoder.TransformerModel(GPU=-1, dropout=1).dropout == 1.0


@pytest.mark.parametrize("name,cls", [("adam", torch.optim.Adam), ("Adam", torch.optim.Adam),
                                      ("ADAM", torch.optim.Adam), ("gd", torch.optim.SGD),
                                      ("GD", torch.optim.SGD)])
def test_optimizer_choice(name, cls):
    m = attnencoder.TransformerModel(GPU=-1, optimizer=name, lr=0.01, reg=0.002)
    assert type(m.train_optimizer) is cls and m.optimizer == name.lower()
    group = m.train_optimizer.param_groups[0]
    assert group["lr"] == 0.01 and group["weight_decay"] == 0.002
    if cls is torch.optim.SGD:
        assert group["momentum"] == 0


def test_unknown_optimizer_after_header(capture_stdout):
    with pytest.raises(NotImplementedError, match=r"^optimizer Sgd is not supported!$"):
        attnencoder.TransformerModel(GPU=-1, optimizer="Sgd")
    assert capture_stdout()[0] == "Naive Transformer:"


def test_seed_reproduces_initial_weights():
    a = attnencoder.TransformerModel(GPU=-1, seed=5).model.state_dict()
    b = attnencoder.TransformerModel(GPU=-1, seed=5).model.state_dict()
    assert all(torch.equal(a[k], b[k]) for k in a)


def test_metric_and_loss_masks(lines):
    m = make(lines)
    pred = torch.tensor([1.0, 2.0, 3.0, 4.0])
    label = torch.tensor([1.0, float("nan"), 5.0, float("inf")])
    assert m.loss_fn(pred, label).item() == float("inf")  # inf label kept by the loss
    assert m.metric_fn(pred, label).item() == pytest.approx(-2.0)  # (0 + 4) / 2, negated
    m.metric = "loss"
    assert m.metric_fn(pred, label).item() == pytest.approx(-2.0)
    m.metric = "ic"
    with pytest.raises(ValueError, match="unknown metric `ic`"):
        m.metric_fn(pred, label)
    m.loss = "mae"
    with pytest.raises(ValueError, match="unknown loss `mae`"):
        m.loss_fn(pred, label)


def test_test_epoch_scores_every_row_weighted(lines):
    df = frame(n=150)
    m = make(lines, batch_size=64)
    x, y = df.drop(columns="label"), df["label"]
    y.iloc[::7] = np.nan
    loss, score = m.test_epoch(x, y)
    with torch.no_grad():
        pred = m.model(torch.tensor(x.to_numpy()))
    lab = torch.tensor(y.to_numpy(), dtype=torch.float32)
    batches = [slice(0, 64), slice(64, 128), slice(128, 150)]
    expected = sum((sl.stop - sl.start) * m.metric_fn(pred[sl], lab[sl]).item() for sl in batches) / 150
    assert score == pytest.approx(expected, rel=1e-5)
    assert loss == pytest.approx(-score, rel=1e-5)
    small_loss, small_score = m.test_epoch(x.iloc[:10], y.iloc[:10])  # fewer rows than a batch
    assert np.isfinite(small_score)


def test_early_stopping_restores_and_saves_the_peak(in_tmp, lines, scripted_scores):
    df = frame(n=128)
    m = make(lines, batch_size=64, n_epochs=100, early_stop=3, lr=0.01)
    script = scripted_scores(m, "model", [0.1, 0.2, 0.3, 0.4, 0.5, 0.45, 0.5, 0.2] + [0.0] * 100)
    m.metric_fn = script
    evals = {"old": 1}
    m.fit((df, (".iloc[:64]", ".iloc[64:]")), evals)
    text = lines.text()
    assert lines[:4] == ["training...", "Epoch0:", "training...", "evaluating..."]
    assert lines[4] == "train 0.000000, valid 0.100000"
    assert "Epoch7:" in text and "Epoch8:" not in text  # 3 epochs without improvement after 4
    assert lines[-2:] == ["early stop", "best score: 0.500000 @ 4"]
    assert evals["valid"] == pytest.approx([0.1, 0.2, 0.3, 0.4, 0.5, 0.45, 0.5, 0.2])
    assert evals["train"] == [0.0] * 8 and evals["old"] == 1 and m.fitted is True
    peak = script.snapshots[4]
    saved = torch.load("transformer.pth")
    assert list(saved) == list(peak)
    for k in peak:
        assert torch.equal(saved[k], peak[k]) and torch.equal(m.model.state_dict()[k], peak[k])


def test_selectors_see_documented_names_and_default_dict_is_shared(in_tmp, lines):
    df = frame(n=96)
    sel_train = ".iloc[:64] if setattr(self, 'seen', (evals_result, feature, dataset1)) is None else None"
    sel_valid = ".iloc[64:] if len(df_train) == 64 else None"
    a, b = make(lines, batch_size=32, n_epochs=1), make(lines, batch_size=32, n_epochs=1)
    a.fit((df, (sel_train, sel_valid)))
    b.fit((df, (sel_train, sel_valid)))
    assert a.seen[0] is b.seen[0] and len(a.seen[0]["valid"]) == 1
    assert a.seen[1] == [f"c{i}" for i in range(60)]


def test_no_finite_validation_score_raises_and_saves_nothing(in_tmp, lines):
    df = frame(n=128)
    df.loc[df.index[64:], "label"] = np.nan
    m = make(lines, batch_size=32, n_epochs=2)
    before = {k: v.clone() for k, v in m.model.state_dict().items()}
    with pytest.raises(RuntimeError, match="no epoch produced a finite validation score"):
        m.fit((df, (".iloc[:64]", ".iloc[64:]")))
    assert lines[-1] == "best score: -inf @ 0"
    assert not (in_tmp / "transformer.pth").exists()
    changed = any(not torch.equal(before[k], v) for k, v in m.model.state_dict().items())
    assert changed  # it trained, and keeps its last weights
    with pytest.raises(RuntimeError):
        make(lines, n_epochs=0).fit((df, (".iloc[:64]", ".iloc[:64]")))


def test_validation_smaller_than_a_batch_still_scores(in_tmp, lines):
    df = frame(n=300)
    m = make(lines, batch_size=256, n_epochs=2)
    evals = {}
    m.fit((df, (".iloc[:280]", ".iloc[280:]")), evals)
    assert len(evals["valid"]) == 2 and all(np.isfinite(v) for v in evals["valid"])
    assert (in_tmp / "transformer.pth").exists()
    assert "valid nan" not in lines.text()


@pytest.mark.parametrize("dataset1,exc,msg", [
    ((pd.DataFrame({"a": [1.0] * 6}), (".iloc[:3]", ".iloc[3:]")), ValueError, "label"),
    ((frame(32), (".iloc[:16]['label']", ".iloc[16:]")), TypeError, "DataFrame"),
    ((frame(32), (".iloc[:16, :5]", ".iloc[16:]")), ValueError, "columns"),
    ((frame(32), (".iloc[:0]", ".iloc[16:]")), ValueError, "empty"),
    ((frame(32, width=61), (".iloc[:16]", ".iloc[16:]")), ValueError, "multiple of d_feat"),
    (([1, 2], (".iloc[:16]", ".iloc[16:]")), TypeError, "DataFrame"),
])
def test_bad_input_is_rejected_before_anything_changes(in_tmp, lines, dataset1, exc, msg):
    m = make(lines, batch_size=8, n_epochs=1)
    evals = {"keep": 1}
    with pytest.raises(exc, match=msg):
        m.fit(dataset1, evals)
    assert lines == [] and evals == {"keep": 1} and m.fitted is False
    assert not (in_tmp / "transformer.pth").exists()


def test_predict_batches_index_and_dtype(lines):
    df = frame(n=5000, width=12)
    m = make(lines)
    sizes = []
    m.model.register_forward_pre_hook(lambda mod, args: sizes.append(len(args[0])))
    x = df.drop(columns="label")
    out = m.predict(x)
    assert sizes == [2048, 2048, 904]
    assert list(out.columns) == [0] and out.dtypes[0] == np.float32
    assert out.index.equals(x.index)
    m.model.eval()
    with torch.no_grad():
        direct = m.model(torch.tensor(x.to_numpy()[4096:]))
    assert np.allclose(out[0].to_numpy()[4096:], direct.numpy(), atol=1e-6)
    sizes.clear()
    m.predict(x.iloc[:2049])
    assert sizes == [2048, 1]


def test_predict_rejects_empty_and_misshapen_tables(lines):
    m = make(lines)
    x = frame(n=10).drop(columns="label")
    with pytest.raises(ValueError, match="no rows"):
        m.predict(x.iloc[:0])
    with pytest.raises(ValueError, match="multiple of d_feat"):
        m.predict(frame(n=10))  # still holds the label column
