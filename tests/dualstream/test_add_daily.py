"""Day ranges, per-day IC metrics, the batched evaluation pass and its report line."""
import warnings

import numpy as np
import pandas as pd
import pytest
import torch

KEYS = ["pre_excess_loss", "pre_market_loss", "pre_loss", "adv_excess_loss", "adv_market_loss",
        "adv_loss", "rec_loss", "loss", "mse", "ic", "ric"]


# ---------------------------------------------------------------------------------------------
# get_daily_inter

@pytest.mark.parametrize("sizes,index,count", [
    ([3, 1, 2], [0, 3, 4], [3, 1, 2]),
    ([7], [0], [7]),
    ([1, 1, 1, 1], [0, 1, 2, 3], [1, 1, 1, 1]),
])
def test_day_ranges(make_add, day_frame, sizes, index, count):
    x, _, _ = day_frame(sizes)
    daily_index, daily_count = make_add().get_daily_inter(x)
    assert isinstance(daily_index, np.ndarray) and isinstance(daily_count, np.ndarray)
    assert daily_index.tolist() == index and daily_count.tolist() == count


def test_day_ranges_follow_day_order_not_level_codes(make_add):
    # level values deliberately listed out of order: the day order decides, as in groupby
    index = pd.MultiIndex(levels=[pd.to_datetime(["2021-01-06", "2021-01-04"]), ["a", "b"]],
                          codes=[[1, 1, 0], [0, 1, 0]], names=["datetime", "instrument"])
    daily_index, daily_count = make_add().get_daily_inter(pd.DataFrame({"v": [1, 2, 3]}, index=index))
    assert daily_index.tolist() == [0, 2] and daily_count.tolist() == [2, 1]


def test_shuffled_pairs_stay_together(make_add, day_frame):
    x, _, _ = day_frame([3, 1, 2, 5, 4])
    model = make_add()
    np.random.seed(5)
    starts, counts = model.get_daily_inter(x, shuffle=True)
    assert isinstance(starts, tuple) and isinstance(counts, tuple)
    plain = dict(zip(*(a.tolist() for a in model.get_daily_inter(x))))
    assert sorted(starts) == sorted(plain) and all(plain[s] == c for s, c in zip(starts, counts))
    np.random.seed(5)
    assert model.get_daily_inter(x, shuffle=True) == (starts, counts)


@pytest.mark.parametrize("order,where", [([3, 4, 0, 1, 2, 5], "row 2"),   # days descending
                                         ([0, 3, 1, 2, 4, 5], "row 2")])  # a day split in two
def test_rows_not_ordered_by_day_are_rejected(make_add, day_frame, order, where):
    x, y, m = day_frame([3, 1, 2])
    shuffled = x.iloc[order]
    model = make_add()
    with pytest.raises(ValueError, match=f"not ordered by day: {where}"):
        model.get_daily_inter(shuffled)
    with pytest.raises(ValueError, match="not ordered by day"):
        model.test_epoch(shuffled, y.iloc[order], m.iloc[order])


def test_empty_frame_is_rejected(make_add, day_frame):
    x, _, _ = day_frame([2])
    with pytest.raises(ValueError, match="has no rows"):
        make_add().get_daily_inter(x.iloc[:0])


# ---------------------------------------------------------------------------------------------
# cal_ic_metrics

def pandas_corr(a, b, method):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pd.Series(a, dtype=float).corr(pd.Series(b, dtype=float), method=method)


def test_perfect_pair(make_add):
    pred = torch.tensor([0.1, 0.4, 0.2, 0.9])
    label = torch.tensor([1.0, 4.0, 2.0, 9.0])
    got = make_add().cal_ic_metrics(pred, label)
    assert list(got) == ["mse", "loss", "ic", "ric"]
    expected_mse = -float(torch.mean((pred.double() - label.double()) ** 2))
    assert got["mse"] == pytest.approx(expected_mse) and got["loss"] == got["mse"]
    assert got["ic"] == pytest.approx(1.0) and got["ric"] == pytest.approx(1.0)


@pytest.mark.parametrize("case", ["ties", "nan_labels", "nan_preds", "constant_pred",
                                  "constant_label", "one_pair", "two_pairs", "inf"])
def test_correlations_match_pandas(make_add, case):
    rng = np.random.default_rng(len(case))
    pred = rng.standard_normal(40)
    label = rng.standard_normal(40)
    if case == "ties":
        pred, label = np.round(pred, 0), np.round(label * 2) / 2
    elif case == "nan_labels":
        label[[0, 5, 6]] = np.nan
    elif case == "nan_preds":
        pred[[3, 9]] = np.nan
        label[[9, 11]] = np.nan
    elif case == "constant_pred":
        pred[:] = 0.25
    elif case == "constant_label":
        label[:] = -1.0
    elif case == "one_pair":
        label[1:] = np.nan
    elif case == "two_pairs":
        label[2:] = np.nan
    elif case == "inf":
        pred[4] = np.inf
    got = make_add().cal_ic_metrics(torch.tensor(pred, dtype=torch.float64),
                                    torch.tensor(label, dtype=torch.float64))
    for key, method in [("ic", "pearson"), ("ric", "spearman")]:
        want = pandas_corr(pred, label, method)
        if np.isnan(want):
            assert np.isnan(got[key]), (key, got[key])
        else:
            assert got[key] == pytest.approx(want, abs=1e-12), key


def test_mse_ignores_rows_without_label(make_add):
    pred = torch.tensor([1.0, 2.0, 3.0, 5.0])
    label = torch.tensor([1.5, float("nan"), 2.0, 5.0])
    got = make_add().cal_ic_metrics(pred, label)
    assert got["mse"] == pytest.approx(-(0.25 + 1.0 + 0.0) / 3)
    assert got["ic"] == pytest.approx(pandas_corr([1, 3, 5], [1.5, 2, 5], "pearson"))


# ---------------------------------------------------------------------------------------------
# log_metrics

@pytest.mark.parametrize("metrics,mode,line", [
    ({"ic": 0.05, "ric": 0.0612345678}, "valid", "ic/valid: 0.050000, ric/valid: 0.061235"),
    ({"loss": float("nan"), "mse": np.float32(-2.5)}, "train", "loss/train: nan, mse/train: -2.500000"),
    ({}, "train", ""),
])
def test_log_metrics(make_add, lines, metrics, mode, line):
    model = make_add()
    assert model.log_metrics(mode, metrics) is None
    assert lines == [line]


# ---------------------------------------------------------------------------------------------
# test_epoch: batched forward passes reduced per day == one forward per day

def per_day_reference(model, x, y, m):
    """The straightforward evaluation: one forward per day, the loss records of loss_fn and
    pandas correlations; "mse"/"loss" over the rows whose label is known."""
    net = model.ADD_model
    net.eval()
    xv, yv, mv = x.to_numpy(np.float32), y.to_numpy(np.float32), m.to_numpy().astype(int)
    records = []
    for start, count in zip(*model.get_daily_inter(x)):
        rows = slice(start, start + count)
        feature = torch.from_numpy(xv[rows].copy())
        label = torch.from_numpy(yv[rows].copy())
        record = {}
        preds = net(feature)
        model.loss_fn(feature, preds, label, torch.from_numpy(mv[rows].copy()), record)
        pred = preds["excess"].detach().numpy().astype(np.float64)
        lab = label.numpy().astype(np.float64)
        known = ~np.isnan(lab)
        record["mse"] = -float(np.mean((pred[known] - lab[known]) ** 2))
        record["loss"] = record["mse"]
        record["ic"] = pandas_corr(pred, lab, "pearson")
        record["ric"] = pandas_corr(pred, lab, "spearman")
        records.append(record)
    return {k: float(np.mean([r[k] for r in records])) for k in records[0]}, records


@pytest.mark.parametrize("sizes", [[1, 2, 17, 300], [17, 2, 300, 3]])
@pytest.mark.parametrize("eval_rows", [None, 7])
def test_batched_evaluation_equals_per_day(make_add, day_frame, sizes, eval_rows):
    x, y, m = day_frame(sizes, seed=1)
    y.iloc[[2, 30, 31]] = np.nan
    model = make_add()
    model.train_epoch(x.to_numpy(), y.to_numpy(), m.to_numpy())  # leave the initial weights
    model.eval_rows = eval_rows
    got = model.test_epoch(x, y, m)
    want, _ = per_day_reference(model, x, y, m)
    assert list(got) == KEYS == list(want)
    for key in KEYS:
        if np.isnan(want[key]):  # a one-row day has no correlation
            assert sizes[0] == 1 and key in ("ic", "ric") and np.isnan(got[key])
        else:
            assert got[key] == pytest.approx(want[key], abs=1e-5), key
    assert got["loss"] == got["mse"] == -got["pre_excess_loss"]
    assert not model.ADD_model.training


@pytest.mark.parametrize("bad,match", [
    (lambda m: m.astype(float).where(m.index.get_level_values(1) != "S001"), "market-regime classes"),
    (lambda m: m + 1, "market-regime classes"),
    (lambda m: m.iloc[:-1], "values for"),
])
def test_bad_regime_classes_are_rejected(make_add, day_frame, bad, match):
    x, y, m = day_frame([4, 4])
    with pytest.raises(ValueError, match=match):
        make_add().test_epoch(x, y, bad(m))
