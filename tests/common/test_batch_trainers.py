"""The batch trainer shared by TransformerModel and SFM, run against both: masked loss and
metric, full shuffled training batches, row-weighted evaluation, early stopping with the best
weights restored and saved, the selector names, input checks, batched prediction."""
from dataclasses import dataclass

import numpy as np
import pandas as pd
import pytest
import torch

import attnencoder
import wavecell

pytestmark = [pytest.mark.filterwarnings("ignore:enable_nested_tensor"),
              pytest.mark.filterwarnings("ignore:The given NumPy array is not writable"),
              # the shared settings include TransformerModel's reg, which SFM does not know
              pytest.mark.filterwarnings("ignore:SFM ignores keyword arguments")]


@dataclass(frozen=True)
class Kind:
    cls: type
    small: dict
    net: str           # attribute holding the network
    weight_file: str
    frame_output: bool  # predict returns a one-column DataFrame (else a Series)
    batch_size: int     # the default
    n_params: int | None = None

    def make(self, lines, **kw):
        model = self.cls(**{**self.small, **kw})
        model.print = lines
        return model

    def scores(self, out):
        if self.frame_output:
            assert list(out.columns) == [0]
            return out[0]
        assert isinstance(out, pd.Series)
        return out


KINDS = {
    "TransformerModel": Kind(attnencoder.TransformerModel,
                             dict(d_feat=6, d_model=8, nhead=2, num_layers=1, GPU=-1, seed=0),
                             "model", "transformer.pth", True, 2048),
    "SFM": Kind(wavecell.SFM, dict(d_feat=6, hidden_size=6, output_dim=4, freq_dim=5, GPU=-1, seed=0),
                "sfm_model", "sfm.pth", False, 1600, n_params=21),
}


@pytest.fixture(params=list(KINDS))
def kind(request):
    return KINDS[request.param]


def frame(n=256, width=60, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, width)).astype(np.float32)
    df = pd.DataFrame(x, columns=[f"c{i}" for i in range(width)],
                      index=pd.RangeIndex(500, 500 + n, name="row"))
    df["label"] = 0.3 * x[:, 9] + 0.1 * rng.standard_normal(n)
    return df


def state_copy(net):
    return {k: v.clone() for k, v in net.state_dict().items()}


@pytest.mark.parametrize("name,cls", [("adam", torch.optim.Adam), ("Adam", torch.optim.Adam),
                                      ("ADAM", torch.optim.Adam), ("gd", torch.optim.SGD),
                                      ("Gd", torch.optim.SGD), ("GD", torch.optim.SGD)])
def test_optimizer_choice(lines, kind, name, cls):
    m = kind.make(lines, optimizer=name, lr=0.01, reg=0.002)  # SFM ignores reg
    assert type(m.train_optimizer) is cls and m.optimizer == name.lower()
    group = m.train_optimizer.param_groups[0]
    assert group["lr"] == 0.01
    assert group["weight_decay"] == (0.002 if kind.cls is attnencoder.TransformerModel else 0)
    if kind.n_params is not None:
        assert len(group["params"]) == kind.n_params
    if cls is torch.optim.SGD:
        assert group["momentum"] == 0


def test_seed_reproduces_weights_and_training(in_tmp, lines, kind):
    df = frame(n=128)
    runs = []
    for _ in range(2):
        m = kind.make(lines, seed=3, batch_size=32, n_epochs=2)
        first = state_copy(getattr(m, kind.net))
        m.fit((df, (".iloc[:96]", ".iloc[96:]")))
        runs.append((first, getattr(m, kind.net).state_dict()))
    for k in runs[0][0]:
        assert torch.equal(runs[0][0][k], runs[1][0][k])
        assert torch.equal(runs[0][1][k], runs[1][1][k])


def test_losses_metrics_and_masks(lines, kind):
    m = kind.make(lines)
    pred = torch.tensor([1.0, 2.0, 3.0, 4.0])
    label = torch.tensor([1.0, float("nan"), 5.0, float("inf")])
    assert m.loss_fn(pred, label).item() == float("inf")  # an infinite label stays in the loss
    assert m.metric_fn(pred, label).item() == pytest.approx(-2.0)  # (0 + 4) / 2, negated
    m.metric = "loss"
    assert m.metric_fn(pred, label).item() == pytest.approx(-2.0)
    m.metric = "ic"  # over the finite pairs (1, 1) and (3, 5)
    assert m.metric_fn(pred, label).item() == pytest.approx(1.0)
    m.metric = "sharpe"
    with pytest.raises(ValueError, match="unknown metric `sharpe`"):
        m.metric_fn(pred, label)
    m.loss = "mae"
    with pytest.raises(ValueError, match="unknown loss `mae`"):
        m.loss_fn(pred, label)


@pytest.mark.parametrize("n,batch_size", [(150, 64), (96, 32), (70, 32)])
def test_test_epoch_scores_every_row_weighted_and_skips_nan_labels(lines, kind, n, batch_size):
    df = frame(n=n)
    m = kind.make(lines, batch_size=batch_size)
    x, y = df.drop(columns="label"), df["label"].copy()
    y.iloc[::5] = np.nan
    loss, score = m.test_epoch(x, y)
    net = getattr(m, kind.net)
    with torch.no_grad():
        pred = net(torch.tensor(x.to_numpy())).numpy()
    lab = y.to_numpy(dtype=np.float32)
    errors = []
    for b in range(0, n, batch_size):
        sl = slice(b, min(n, b + batch_size))
        keep = ~np.isnan(lab[sl])
        errors.append((sl.stop - sl.start) * np.mean((pred[sl][keep] - lab[sl][keep]) ** 2))
    expected = sum(errors) / n
    assert loss == pytest.approx(expected, rel=1e-5) and score == pytest.approx(-expected, rel=1e-5)
    assert not net.training
    assert np.isfinite(m.test_epoch(x.iloc[:10], y.iloc[:10])[1])  # fewer rows than a batch


def test_train_epoch_uses_full_shuffled_batches(lines, kind):
    df = frame(n=100)
    m = kind.make(lines, batch_size=32)
    net = getattr(m, kind.net)
    seen = []
    net.register_forward_pre_hook(lambda mod, args: seen.append(args[0].clone()))
    before = state_copy(net)
    m.train_epoch(df.drop(columns="label"), df["label"])
    assert [len(b) for b in seen] == [32, 32, 32] and net.training
    assert len({tuple(r.tolist()) for b in seen for r in b}) == 96  # no row twice in an epoch
    assert any(not torch.equal(before[k], v) for k, v in net.state_dict().items())


def test_early_stopping_restores_and_saves_the_best_epoch(in_tmp, lines, scripted_scores, kind):
    df = frame(n=128)
    m = kind.make(lines, batch_size=64, n_epochs=100, early_stop=3, lr=0.01)
    scores = [0.1, 0.2, 0.3, 0.4, 0.5, 0.45, 0.5, 0.2] + [0.9] * 100
    script = scripted_scores(m, kind.net, scores)
    m.metric_fn = script
    evals = {"old": 1}
    m.fit((df, (".iloc[:64]", ".iloc[64:]")), evals)
    assert lines[:5] == ["training...", "Epoch0:", "training...", "evaluating...",
                         "train 0.000000, valid 0.100000"]
    assert "Epoch7:" in lines and "Epoch8:" not in lines  # a tie is no improvement
    assert lines[-2:] == ["early stop", "best score: 0.500000 @ 4"]
    assert evals["valid"] == pytest.approx(scores[:8]) and evals["train"] == [0.0] * 8
    assert evals["old"] == 1 and m.fitted is True
    best = script.snapshots[4]
    saved = torch.load(kind.weight_file)
    net_state = getattr(m, kind.net).state_dict()
    assert list(saved) == list(best) == list(net_state)
    for k in best:
        assert torch.equal(saved[k], best[k]) and torch.equal(net_state[k], best[k])


def test_selectors_see_documented_names_and_default_dict_is_shared(in_tmp, lines, kind):
    df = frame(n=96)
    sel_train = ".iloc[:64] if setattr(self, 'seen', (evals_result, feature, dataset1)) is None else None"
    sel_valid = ".iloc[64:] if len(df_train) == 64 else None"
    a, b = kind.make(lines, batch_size=32, n_epochs=1), kind.make(lines, batch_size=32, n_epochs=2)
    a.fit((df, (sel_train, sel_valid)))
    b.fit((df, (sel_train, sel_valid)))
    assert a.seen[0] is b.seen[0] and len(a.seen[0]["valid"]) == 2
    assert a.seen[1] == [f"c{i}" for i in range(60)]


def test_no_finite_validation_score_raises_and_saves_nothing(in_tmp, lines, kind):
    df = frame(n=128)
    df.loc[df.index[64:], "label"] = np.nan
    m = kind.make(lines, batch_size=32, n_epochs=2)
    before = state_copy(getattr(m, kind.net))
    with pytest.raises(RuntimeError, match="no epoch produced a finite validation score"):
        m.fit((df, (".iloc[:64]", ".iloc[64:]")))
    assert lines[-1] == "best score: -inf @ 0"
    assert not (in_tmp / kind.weight_file).exists()
    after = getattr(m, kind.net).state_dict()
    assert all(torch.equal(before[k], v) for k, v in after.items())  # trained, then put back
    with pytest.raises(RuntimeError):
        kind.make(lines, n_epochs=0).fit((df, (".iloc[:64]", ".iloc[:64]")))


def test_validation_smaller_than_a_batch_still_scores(in_tmp, lines, kind):
    df = frame(n=300)
    m = kind.make(lines, batch_size=256, n_epochs=2)
    evals = {}
    m.fit((df, (".iloc[:280]", ".iloc[280:]")), evals)
    assert len(evals["valid"]) == 2 and all(np.isfinite(v) for v in evals["valid"])
    assert (in_tmp / kind.weight_file).exists()
    assert "valid nan" not in lines.text()


@pytest.mark.parametrize("batch_size", [16, 32])
def test_batches_without_labels_leave_the_validation_score_alone(in_tmp, lines, kind,
                                                                   batch_size):
    df = frame(n=160)
    df.loc[df.index[96:128], "label"] = np.nan  # whole validation batches without a label
    m = kind.make(lines, batch_size=batch_size, n_epochs=2)
    evals = {}
    m.fit((df, (".iloc[:96]", ".iloc[96:]")), evals)
    assert all(np.isfinite(v) for v in evals["valid"])
    valid, labelled = df.iloc[96:], df.iloc[128:]
    whole = m.test_epoch(valid.drop(columns="label"), valid["label"])
    part = m.test_epoch(labelled.drop(columns="label"), labelled["label"])
    assert whole == pytest.approx(part, rel=1e-6)


@pytest.mark.parametrize("dataset1,exc,msg", [
    ((pd.DataFrame({"a": [1.0] * 6}), (".iloc[:3]", ".iloc[3:]")), ValueError, "label"),
    ((frame(32), (".iloc[:16]['label']", ".iloc[16:]")), TypeError, "DataFrame"),
    ((frame(32), (".iloc[:16, :5]", ".iloc[16:]")), ValueError, "columns"),
    ((frame(32), (".iloc[:16, :7]", ".iloc[16:]")), ValueError, "columns"),
    ((frame(32), (".iloc[:0]", ".iloc[16:]")), ValueError, "empty"),
    ((frame(32, width=61), (".iloc[:16]", ".iloc[16:]")), ValueError, "multiple of d_feat"),
    (([1, 2], (".iloc[:16]", ".iloc[16:]")), TypeError, "DataFrame"),
])
def test_bad_input_is_rejected_before_anything_changes(in_tmp, lines, kind, dataset1, exc, msg):
    m = kind.make(lines, batch_size=8, n_epochs=1)
    evals = {"keep": 1}
    with pytest.raises(exc, match=msg):
        m.fit(dataset1, evals)
    assert lines == [] and evals == {"keep": 1} and m.fitted is False
    assert not (in_tmp / kind.weight_file).exists()


def test_predict_batches_index_and_dtype(lines, kind):
    df = frame(n=5000, width=12)
    m = kind.make(lines)
    net = getattr(m, kind.net)
    sizes = []
    net.register_forward_pre_hook(lambda mod, args: sizes.append(len(args[0])))
    x = df.drop(columns="label")
    out = kind.scores(m.predict(x))
    bs = kind.batch_size
    assert sizes == [bs] * (5000 // bs) + [5000 % bs]
    assert out.dtype == np.float32 and out.index.equals(x.index)
    net.eval()
    tail = (5000 // bs) * bs
    with torch.no_grad():
        direct = net(torch.tensor(x.to_numpy()[tail:]))
    np.testing.assert_allclose(out.to_numpy()[tail:], direct.numpy(), rtol=1e-6, atol=1e-6)
    sizes.clear()
    assert len(m.predict(x.iloc[:bs + 1])) == bs + 1 and sizes == [bs, 1]


@pytest.mark.parametrize("table,msg", [
    (frame(n=10).drop(columns="label").iloc[:0], "no rows"),
    (frame(n=10), "multiple of d_feat"),  # the label column shifts the row layout
])
def test_predict_rejects_empty_and_misshapen_tables(lines, kind, table, msg):
    with pytest.raises(ValueError, match=msg):
        kind.make(lines).predict(table)
