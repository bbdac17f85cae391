"""From market data to a scored forecast: a window_features frame trains and predicts in all three
forecasters; the correlation metrics of the batch trainers."""
import numpy as np
import pandas as pd
import pytest
import torch

import attnencoder
import dualstream
import factorsearch
import wavecell

pytestmark = [pytest.mark.filterwarnings("ignore:enable_nested_tensor"),
              pytest.mark.filterwarnings("ignore:The given NumPy array is not writable")]

NETS = {
    "TransformerModel": lambda d: attnencoder.TransformerModel(
        d_feat=d, d_model=8, nhead=2, num_layers=1, n_epochs=1, batch_size=256, GPU=-1, seed=0),
    "SFM": lambda d: wavecell.SFM(d_feat=d, hidden_size=6, output_dim=4, freq_dim=4, n_epochs=1,
                                  batch_size=256, GPU=-1, seed=0),
    "ADD": lambda d: dualstream.ADD(d_feat=d, hidden_size=4, num_layers=1, n_epochs=1,
                                    batch_size=256, GPU=-1, seed=0),
}


def window_frame(market, label="rank"):
    data1, price1, codes = market
    return factorsearch.window_features(data1, codes[:10], window=5, price1=price1, label=label)


@pytest.fixture(scope="module")
def windows(market):
    return window_frame(market)


@pytest.mark.parametrize("name", list(NETS))
def test_a_window_features_frame_trains_and_predicts(name, market, in_tmp, lines):
    # ADD's market regimes come from each day's mean label, which a per-day rank removes.
    windows = window_frame(market, "raw" if name == "ADD" else "rank")
    days = windows.index.get_level_values(0).unique()
    train, valid, test = days[:150], days[153:200], days[203:]
    model = NETS[name](5)
    model.print = lines
    model.fit((windows, (f".loc[:'{train[-1].date()}']",
                         f".loc['{valid[0].date()}':'{valid[-1].date()}']")))
    features = windows.loc[test[0]:].drop(columns="label")
    pred = model.predict(features)
    scores = pred[0] if isinstance(pred, pd.DataFrame) else pred
    assert scores.index.equals(features.index)
    assert np.isfinite(scores.to_numpy()).all()


def daily_corr(scores, labels, method):
    both = pd.DataFrame({"s": np.asarray(scores, float), "y": np.asarray(labels, float)},
                        index=labels.index).dropna()
    per_day = both.groupby(level=0).apply(lambda d: d["s"].corr(d["y"], method=method))
    return per_day.dropna().mean()


@pytest.mark.parametrize("name", ["TransformerModel", "SFM"])
@pytest.mark.parametrize("metric, method", [("ic", "pearson"), ("rank_ic", "spearman")])
def test_correlation_metrics_are_per_day_means(name, metric, method, windows, lines):
    model = NETS[name](5)
    model.print = lines
    model.metric = metric
    part = windows.iloc[:1500].copy()
    part.iloc[::7, -1] = np.nan  # unknown labels are left out
    x, y = part.drop(columns="label"), part["label"]
    loss, score = model.test_epoch(x, y)
    raw = model.model if name == "TransformerModel" else model.sfm_model
    with torch.no_grad():
        raw.eval()
        pred = raw(torch.tensor(x.to_numpy())).reshape(-1).numpy()
    assert score == pytest.approx(daily_corr(pred, y, method), rel=1e-5, abs=1e-7)
    # Without a day level: one correlation over the whole split.
    flat_x, flat_y = x.reset_index(drop=True), y.reset_index(drop=True)
    whole = pd.Series(pred).corr(flat_y, method=method)
    assert model.test_epoch(flat_x, flat_y)[1] == pytest.approx(whole, rel=1e-5, abs=1e-7)
    assert model.metric_fn(torch.tensor(pred), torch.tensor(flat_y.to_numpy(np.float32))).item() \
        == pytest.approx(whole, rel=1e-5, abs=1e-7)
