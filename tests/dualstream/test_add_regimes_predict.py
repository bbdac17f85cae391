"""Market-regime thresholds and classes, and day-batched prediction."""
import numpy as np
import pandas as pd
import pytest
import torch


def labels_with_means(means, day_index, per_day=3, seed=0):
    """A label Series whose day i has mean means[i] (NaN days have only NaN labels)."""
    rng = np.random.default_rng(seed)
    index = day_index([per_day] * len(means))
    noise = rng.standard_normal((len(means), per_day))
    noise -= noise.mean(axis=1, keepdims=True)
    values = (np.asarray(means, dtype=float)[:, None] + noise).reshape(-1)
    return pd.Series(values, index=index, name="label")


def test_thresholds_and_classes_of_six_days(make_add, day_index):
    model = make_add()
    label = labels_with_means([1, 2, 3, 4, 5, 6], day_index)
    model.fit_thresh(label)
    assert model.lo == pytest.approx(2.6666666666666665, abs=1e-12)
    assert model.hi == pytest.approx(4.333333333333333, abs=1e-12)
    frame = pd.DataFrame({"f": np.arange(len(label), dtype=float)}, index=label.index)
    out = model.gen_market_label(frame, label)
    assert list(out.columns) == ["f", "market_return"] and out.index.equals(frame.index)
    per_day = out.groupby(level="datetime")["market_return"]
    assert (per_day.nunique() == 1).all()  # every row carries its day's class
    assert per_day.first().tolist() == [0, 0, 1, 1, 2, 2]
    assert out["market_return"].dtype == np.int64


@pytest.mark.parametrize("seed", range(4))
def test_thresholds_equal_pandas_quantiles(make_add, day_index, seed):
    rng = np.random.default_rng(seed)
    means = rng.standard_normal(37) * 0.01
    means[[3, 20]] = np.nan
    label = labels_with_means(means, day_index, per_day=2, seed=seed)
    model = make_add()
    model.fit_thresh(label)
    lo, hi = label.groupby("datetime").mean().quantile([1 / 3, 2 / 3]).tolist()
    assert (model.lo, model.hi) == (lo, hi)


def test_boundaries_and_outer_bins(make_add, day_index):
    model = make_add()
    model.lo, model.hi = 0.5, 1.5
    label = labels_with_means([0.5, 1.5, 0.5000001, 1.5000001, -100.0, 100.0, np.nan], day_index)
    frame = pd.DataFrame({"f": 0.0}, index=label.index)
    out = model.gen_market_label(frame, label)
    classes = out.groupby(level="datetime")["market_return"].first()
    assert classes.iloc[:6].tolist() == [0, 1, 1, 2, 0, 2]
    assert np.isnan(classes.iloc[6])  # a day without a known label has no class


def test_equal_thresholds_are_a_clear_error(make_add, day_index):
    model = make_add()
    model.fit_thresh(labels_with_means([0.0] * 6 + [1.0], day_index))
    assert model.lo == model.hi == 0.0
    label = labels_with_means([0.0, 1.0], day_index)
    with pytest.raises(ValueError, match="do not separate three regimes"):
        model.gen_market_label(pd.DataFrame({"f": 0.0}, index=label.index), label)


def test_thresholds_need_a_known_label(make_add, day_index):
    model = make_add()
    with pytest.raises(ValueError, match="no day of the training labels has a known label"):
        model.fit_thresh(labels_with_means([np.nan, np.nan], day_index))
    assert not hasattr(model, "lo")


def test_single_training_day_gives_equal_thresholds(make_add, day_index):
    model = make_add()
    model.fit_thresh(labels_with_means([0.25], day_index))
    assert model.lo == model.hi == pytest.approx(0.25)


# ---------------------------------------------------------------------------------------------
# predict

def test_predict_two_days(make_add, day_frame):
    x, y, m = day_frame([3, 2])
    model = make_add()
    model.train_epoch(x.to_numpy(), y.to_numpy(), m.to_numpy())  # batch norm in training mode
    before = {k: v.clone() for k, v in model.ADD_model.state_dict().items()}
    reordered = x.iloc[[0, 1, 2, 4, 3]]  # index order is kept as given
    pred = model.predict(reordered)
    assert isinstance(pred, pd.Series) and pred.name is None and pred.dtype == np.float32
    assert pred.index.equals(reordered.index)
    net = model.ADD_model
    assert not net.training
    with torch.no_grad():
        first = net(torch.tensor(reordered.to_numpy()[:3]))["excess"].numpy()
        second = net(torch.tensor(reordered.to_numpy()[3:]))["excess"].numpy()
    np.testing.assert_allclose(pred.to_numpy(), np.concatenate([first, second]), atol=1e-6)
    after = model.ADD_model.state_dict()
    assert all(torch.equal(before[k], after[k]) for k in before)


@pytest.mark.parametrize("eval_rows", [None, 5])
def test_predict_uneven_days_equals_per_day(make_add, day_frame, eval_rows):
    x, _, _ = day_frame([1, 2, 17, 300], seed=4)
    model = make_add()
    model.eval_rows = eval_rows
    pred = model.predict(x)
    net = model.ADD_model
    parts = []
    with torch.no_grad():
        for start, count in zip(*model.get_daily_inter(x)):
            rows = torch.tensor(x.to_numpy()[start:start + count])
            parts.append(net(rows)["excess"].reshape(-1).numpy())
    np.testing.assert_allclose(pred.to_numpy(), np.concatenate(parts), atol=1e-5)


@pytest.mark.parametrize("mutate,error,match", [
    (lambda x: x.iloc[:0], ValueError, "has no rows"),
    (lambda x: x.assign(label=0.0), ValueError, "\"label\" column"),
    (lambda x: x.iloc[:, :9], ValueError, "not a multiple of d_feat=2"),
    (lambda x: x.to_numpy(), TypeError, "must be a pandas DataFrame"),
])
def test_predict_rejects_bad_tables(make_add, day_frame, mutate, error, match):
    x, _, _ = day_frame([3, 2])
    with pytest.raises(error, match=match):
        make_add().predict(mutate(x))
