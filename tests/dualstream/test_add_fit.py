"""Training epochs, early stopping, fit end to end, pretrained encoders and the mended faults."""
import math
import os

import numpy as np
import pytest
import torch

import dualstream

SPLIT = (".iloc[:240]", ".iloc[240:]")  # 24 days of 10 rows, then 12 days


def state_equal(a, b):
    return list(a) == list(b) and all(torch.equal(a[k].cpu(), b[k].cpu()) for k in a)


def steps_taken(model):
    net = model.ADD_model
    return net.before_adv_excess._p, net.before_adv_market._p


# ---------------------------------------------------------------------------------------------
# train_epoch

@pytest.mark.parametrize("n,batch_size,steps", [(50, 16, 3), (48, 16, 3), (10, 16, 0)])
def test_train_epoch_uses_full_shuffled_batches(make_add, day_frame, n, batch_size, steps):
    x, y, m = day_frame([n])
    model = make_add(batch_size=batch_size)
    seen = []
    real_loss = model.loss_fn

    def counting_loss(feature, preds, label_excess, label_market):
        seen.append(feature.clone())
        assert label_market.dtype == torch.int64 and label_excess.dtype == torch.float32
        return real_loss(feature, preds, label_excess, label_market)

    model.loss_fn = counting_loss
    before = {k: v.clone() for k, v in model.ADD_model.state_dict().items()}
    model.train_epoch(x.to_numpy(), y.to_numpy(), m.to_numpy())
    assert len(seen) == steps and all(len(f) == batch_size for f in seen)
    rows = {tuple(r.tolist()) for f in seen for r in f}
    assert len(rows) == steps * batch_size  # no row twice within an epoch
    changed = not state_equal(before, model.ADD_model.state_dict())
    assert changed == (steps > 0)
    assert model.ADD_model.training


# ---------------------------------------------------------------------------------------------
# bootstrap_fit with scripted validation scores

def scripted(model, scores, key="mse"):
    """Replace the evaluation by scripted validation scores; remember the weights per epoch."""
    calls = []
    snapshots = []

    def fake_test_epoch(data_x, data_y, data_m):
        calls.append(len(data_x))
        if len(calls) % 2 == 1:  # the training split
            return {key: 0.0}
        snapshots.append({k: v.clone() for k, v in model.ADD_model.state_dict().items()})
        return {key: scores[len(snapshots) - 1]}

    model.test_epoch = fake_test_epoch
    return snapshots


@pytest.mark.parametrize("scores,early_stop,best,best_epoch,epochs_run,stepped", [
    ([0.5, 0.5, 0.4, 0.9], 2, 0.5, 0, 3, 2),            # ties never improve
    ([0.1, 0.3, 0.2, 0.25], 1, 0.3, 1, 3, 2),
    ([0.1, 0.3, 0.2, 0.25], 0, 0.3, 1, 3, 2),           # 0 stops like 1
    ([0.1, 0.2, 0.3], 5, 0.3, 2, 3, 3),                 # full run: one step per epoch
    ([math.nan, 0.2, math.nan, 0.1], 3, 0.2, 1, 4, 4),  # NaN never improves
])
def test_early_stopping(make_add, day_frame, lines, scores, early_stop, best, best_epoch,
                        epochs_run, stepped):
    stopped = stepped < epochs_run
    x, y, m = day_frame([20] * 3)
    model = make_add(n_epochs=len(scores), early_stop=early_stop, batch_size=16)
    snapshots = scripted(model, scores)
    result = model.bootstrap_fit(x, y, m, x, y, m)
    assert result == best and len(snapshots) == epochs_run
    assert steps_taken(model) == (stepped, stepped)
    assert state_equal(snapshots[best_epoch], model.ADD_model.state_dict())
    assert lines[-1] == f"bootstrap_fit best score: {best:.6f} @ {best_epoch}"
    assert ("early stop" in lines) == stopped
    assert model.fitted is True


def test_epoch_lines(make_add, day_frame, lines):
    x, y, m = day_frame([20] * 3)
    model = make_add(n_epochs=2, batch_size=16, metric="ic")
    scripted(model, [0.1, 0.05], key="ic")
    model.log_metrics = lambda mode, metrics: lines(f"{mode} {metrics}")
    model.bootstrap_fit(x, y, m, x, y, m)
    assert lines == ["training...",
                     "Epoch0:", "training...", "evaluating...", "train {'ic': 0.0}",
                     "valid {'ic': 0.1}",
                     "Epoch1:", "training...", "evaluating...", "train {'ic': 0.0}",
                     "valid {'ic': 0.05}",
                     "bootstrap_fit best score: 0.100000 @ 0"]


def test_unknown_metric_is_refused_before_the_first_epoch(make_add, day_frame, lines):
    x, y, m = day_frame([20] * 3)
    model = make_add(n_epochs=3, batch_size=16, metric="sharpe")
    before = {k: v.clone() for k, v in model.ADD_model.state_dict().items()}
    with pytest.raises(ValueError, match="^unknown metric name `sharpe`$"):
        model.bootstrap_fit(x, y, m, x, y, m)
    assert lines == [] and model.fitted is False
    assert state_equal(before, model.ADD_model.state_dict())


@pytest.mark.parametrize("n_epochs,scores", [(0, []), (3, [math.nan] * 3)])
def test_no_improving_epoch_is_a_clear_error(make_add, day_frame, in_tmp, n_epochs, scores):
    x, y, m = day_frame([20] * 3)
    model = make_add(n_epochs=n_epochs, early_stop=5, batch_size=16)
    scripted(model, scores)
    frame = x.assign(label=y)
    with pytest.raises(RuntimeError, match="no epoch improved the validation score"):
        model.fit((frame, (".iloc[:40]", ".iloc[40:]")))
    assert not os.path.exists("ADD.pth")


# ---------------------------------------------------------------------------------------------
# fit end to end

def test_fit_end_to_end(make_add, labelled, lines, in_tmp):
    frame = labelled([10] * 36)
    model = make_add(n_epochs=3, early_stop=5, batch_size=64, metric="ic", lr=0.01)
    evals = {"train": [1], "valid": [2], "other": 3}
    assert model.fit((frame, SPLIT), evals) is None
    assert evals == {"train": [], "valid": [], "other": 3}
    assert lines[:3] == ["training...", "Epoch0:", "training..."]  # no pretrained file to load
    train_line, valid_line = lines[4], lines[5]
    assert train_line.startswith("pre_excess_loss/train: ")
    assert [p.split(":")[0] for p in valid_line.split(", ")] == [
        f"{k}/valid" for k in ["pre_excess_loss", "pre_market_loss", "pre_loss", "adv_excess_loss",
                               "adv_market_loss", "adv_loss", "rec_loss", "loss", "mse", "ic",
                               "ric"]]
    assert lines[-1].startswith("bootstrap_fit best score: ")
    saved = torch.load("ADD.pth")
    assert state_equal(saved, model.ADD_model.state_dict())
    assert steps_taken(model) == (3, 3) and not model.ADD_model.training
    lo, hi = frame["label"].iloc[:240].groupby("datetime").mean().quantile([1 / 3, 2 / 3])
    assert (model.lo, model.hi) == (lo, hi)
    pred = model.predict(frame.drop(columns="label").iloc[240:])
    assert len(pred) == 120 and np.isfinite(pred.to_numpy()).all()


def test_default_evals_result_is_shared(make_add, labelled, in_tmp):
    shared = dualstream.ADD._shared_evals_result
    shared["train"] = ["stale"]
    make_add(n_epochs=1, batch_size=64).fit((labelled([10] * 36), SPLIT))
    assert shared["train"] == [] and shared["valid"] == []


def test_selectors_see_the_documented_names(make_add, labelled, in_tmp):
    frame = labelled([10] * 36)
    model = make_add(n_epochs=1, batch_size=64)
    # the validation selector reads the training labels already selected
    model.fit((frame, (".iloc[:240] if self is not None and save_path is None else None",
                       ".iloc[len(label_train):]")))
    assert (model.lo, model.hi) == tuple(
        frame["label"].iloc[:240].groupby("datetime").mean().quantile([1 / 3, 2 / 3]))


def test_nan_labels_in_validation_keep_default_metric_working(make_add, labelled, lines, in_tmp):
    frame = labelled([10] * 36)
    frame.iloc[[250, 251, 300], frame.columns.get_loc("label")] = np.nan
    model = make_add(n_epochs=2, batch_size=64)
    model.fit((frame, SPLIT))
    valid = [line for line in lines if "mse/valid" in line]
    assert valid and all("mse/valid: nan" not in line for line in valid)
    assert "bootstrap_fit best score: nan" not in lines[-1] and os.path.exists("ADD.pth")


def test_days_without_any_label_are_left_out(make_add, labelled, lines, in_tmp):
    frame = labelled([10] * 36)
    days = frame.index.get_level_values(0).unique()
    frame.loc[days[[3, 30, 31]], "label"] = np.nan
    model = make_add(n_epochs=1, batch_size=64)
    seen = {}
    real = model.bootstrap_fit

    def spy(x_train, y_train, m_train, x_valid, y_valid, m_valid):
        seen.update(x_train=x_train, m_train=m_train, x_valid=x_valid, m_valid=m_valid)
        return real(x_train, y_train, m_train, x_valid, y_valid, m_valid)

    model.bootstrap_fit = spy
    model.fit((frame, SPLIT))
    assert len(seen["x_train"]) == 230 and len(seen["x_valid"]) == 100
    assert seen["m_train"].dtype == np.int64 and set(seen["m_valid"].unique()) <= {0, 1, 2}
    assert "the training split: left out 1 day(s) without a known label" in lines
    assert "the validation split: left out 2 day(s) without a known label" in lines


@pytest.mark.parametrize("mangle,match", [
    (lambda f: f.iloc[::-1], "the training split is not ordered by day"),
    (lambda f: f.drop(columns="label"), "no \"label\" column"),
    (lambda f: f.iloc[:, 1:], "not a multiple of d_feat=2"),
])
def test_bad_frames_fail_before_training(make_add, labelled, lines, in_tmp, mangle, match):
    model = make_add(n_epochs=1, batch_size=64)
    with pytest.raises(ValueError, match=match):
        model.fit((mangle(labelled([10] * 36)), SPLIT))
    assert "training..." not in lines and model.fitted is False


@pytest.mark.parametrize("base_model,holder", [("GRU", "GRUModel"), ("LSTM", "LSTMModel")])
def test_pretrained_encoder_weights(make_add, labelled, lines, in_tmp, base_model, holder):
    torch.manual_seed(11)
    pretrained = getattr(dualstream, holder)()  # default sizes: 6 features, width 64, 2 layers
    torch.save(pretrained.state_dict(), "pre.pth")
    model = make_add(d_feat=6, hidden_size=64, num_layers=1, base_model=base_model,
                     model_path="pre.pth", n_epochs=1, batch_size=10_000)  # no optimiser step
    model.fit((labelled([10] * 36, width=12), SPLIT))
    assert lines[0] == "Loading pretrained model..." and lines[1] == "Loading pretrained model Done..."
    source = pretrained.rnn.state_dict()
    for enc in (model.ADD_model.enc_excess, model.ADD_model.enc_market):
        state = enc.state_dict()
        assert list(state) == [k for k in source if k.endswith("_l0")]  # one layer: layer 0 only
        assert all(torch.equal(state[k], source[k]) for k in state)


@pytest.mark.parametrize("n_epochs,scores", [(0, []), (2, [math.nan] * 2)])
def test_pretrained_weights_are_undone_when_no_epoch_improves(make_add, labelled, in_tmp,
                                                             n_epochs, scores):
    torch.save(dualstream.GRUModel().state_dict(), "pre.pth")
    model = make_add(d_feat=6, hidden_size=64, model_path="pre.pth", n_epochs=n_epochs)
    scripted(model, scores)
    before = {k: v.clone() for k, v in model.ADD_model.state_dict().items()}
    with pytest.raises(RuntimeError, match="restored to what they were before fit"):
        model.fit((labelled([10] * 36, width=12), SPLIT))
    assert state_equal(model.ADD_model.state_dict(), before)
    assert not os.path.exists("ADD.pth")
