"""From market data to a scored forecast on the S&P 500 cross-section: window features of the
stocks priced every day, a chronological split (train / valid / test, purged by the label
horizon), TransformerModel, SFM and ADD trained briefly, each kept in a file and loaded back (as
next week's session would) before it predicts, and their test-period predictions scored on the
back-test's own rules next to two baselines on the same days: a 5-day reversal factor (also fed to
the networks as an extra feature) and ordinary least squares on the same features."""
import os
import tempfile
import time

import numpy as np
import pandas as pd

import attnencoder
import dualstream
import factorsearch
import wavecell
from demo_common import scratch_run
from demo_factorsearch import load  # the same universe: the stocks with a price on every day

WINDOW, LEG = 5, 50
# Every 4th training row (every 2nd validation row) keeps the three fits within a few minutes on
# two cores; the test period is predicted whole.
TRAIN_EVERY, VALID_EVERY = 4, 2
FIELDS = ("open", "high", "low", "close", "volume")
REVERSAL = "np.negative(np.divide(delta_5(close), close))"


def networks():
    d = len(FIELDS) + 1  # the fields and the reversal factor
    # verbose=False: no banners or epoch lines, the table is the point; `history` keeps the epochs.
    small = dict(n_epochs=2, early_stop=1, batch_size=1024, lr=2e-3, seed=0, GPU="cpu",
                 verbose=False)
    return {
        "TransformerModel": attnencoder.TransformerModel(
            d_feat=d, d_model=16, nhead=2, num_layers=1, metric="rank_ic", **small),
        "SFM": wavecell.SFM(d_feat=d, hidden_size=16, output_dim=8, freq_dim=4,
                            metric="rank_ic", **small),
        # ADD's market regimes come from each day's mean label: it trains on the raw return.
        "ADD": dualstream.ADD(d_feat=d, hidden_size=16, num_layers=1, metric="ic", **small),
    }


def score(pred, price1):
    """Test-period figures of one prediction on (datetime, instrument): report scores exactly
    the predicted days: IC, rank IC, ICIR, long-short Sharpe, turnover and the net value."""
    rep = factorsearch.report(pred, price1, l=LEG)
    s = rep.summary
    return {"IC": s["ic_mean"], "rank IC": s["rank_ic_mean"], "ICIR": s["icir"],
            "Sharpe": s["sharpe"], "turnover": s["turnover"], "net": rep.daily["net_value"]}


def run(data1, price1, codes):
    price1 = price1[codes]
    # A mined formula as a feature: its panel's last WINDOW days beside the fields.
    miner = factorsearch.FactorSearch([["np.negative", 1], ["np.divide", 2], ["delta_5", 1]])
    reversal_panel = miner.factor(REVERSAL, data1, codes)
    t0 = time.perf_counter()
    extra = {"rev": reversal_panel}
    frame = factorsearch.window_features(data1, codes, window=WINDOW, fields=FIELDS,
                                         price1=price1, extra=extra)
    raw = factorsearch.window_features(data1, codes, window=WINDOW, fields=FIELDS,
                                       price1=price1, label="raw", extra=extra)
    days = frame.index.get_level_values(0).unique()
    train, valid, test = factorsearch.split_dates(frame, days[int(len(days) * 0.55)],
                                                  days[int(len(days) * 0.75)])
    test_frame = eval("frame" + test)  # the selector as fit reads it
    test_days = test_frame.index.get_level_values(0).unique()
    print(f"window features: {len(frame)} rows x {frame.shape[1] - 1} columns ({len(FIELDS)} "
          f"fields and the reversal factor x {WINDOW} days, {frame.attrs['dropped']} rows "
          f"dropped) in "
          f"{time.perf_counter() - t0:.2f}s; splits {train} {valid} {test} "
          f"({len(test_days)} test days)")

    preds = {}
    with scratch_run(threads=2) as where:
        for name, model in networks().items():
            t = time.perf_counter()
            model.fit(((raw if name == "ADD" else frame),
                       (f"{train}.iloc[::{TRAIN_EVERY}]", f"{valid}.iloc[::{VALID_EVERY}]")))
            best = max(model.history, key=lambda h: h["valid_score"])
            # Kept in one file and read back as next week's session would: the same scores.
            path = os.path.join(where, f"{name}.pt")
            model.save(path)
            kept = type(model).load(path)
            preds[name] = kept.predict(test_frame.drop(columns="label"))
            same = preds[name].equals(model.predict(test_frame.drop(columns="label")))
            print(f"{name}: trained in {time.perf_counter() - t:.1f}s (best valid score "
                  f"{best['valid_score']:.4f} at epoch {best['epoch']}, "
                  f"{sum(h['seconds'] for h in model.history):.1f}s in epochs); saved, loaded "
                  f"back: {'the same' if same else 'DIFFERENT'} scores")

    reversal = reversal_panel.stack(future_stack=True)
    preds["5-day reversal"] = reversal.reindex(test_frame.index)
    x = eval("frame" + train).dropna(subset=["label"])
    design = np.column_stack([np.ones(len(x)), x.drop(columns="label").to_numpy(np.float64)])
    beta = np.linalg.lstsq(design, x["label"].to_numpy(), rcond=None)[0]
    test_x = test_frame.drop(columns="label").to_numpy(np.float64)
    preds["OLS"] = pd.Series(beta[0] + test_x @ beta[1:], index=test_frame.index)

    print(f"\ntest period {test_days[0].date()} .. {test_days[-1].date()}, long-short {LEG} "
          f"stocks per leg, scored by factorsearch.report on the same days:")
    print(f"  {'model':<18}{'IC':>9}{'rank IC':>9}{'ICIR':>8}{'Sharpe':>8}{'turnover':>10}")
    scores = {name: score(p, price1) for name, p in preds.items()}
    for name, s in scores.items():
        print(f"  {name:<18}{s['IC']:>+9.4f}{s['rank IC']:>+9.4f}{s['ICIR']:>+8.3f}"
              f"{s['Sharpe']:>+8.2f}{s['turnover']:>10.3f}")
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("no plot: matplotlib is an optional extra (pip install 'alphaloom[plot]')")
        return
    fig = Figure(figsize=(9, 5), layout="constrained")
    ax = fig.subplots()
    for name, s in scores.items():
        ax.plot(s["net"].index, s["net"].to_numpy(), label=name)
    ax.axhline(1.0, color="grey", linewidth=0.8)
    ax.set_title(f"Test-period net value, long-short {LEG} stocks per leg")
    ax.legend()
    path = os.path.join(tempfile.mkdtemp(prefix="alphaloom-demo-"), "forecast.png")
    fig.savefig(path, dpi=100)
    print(f"net value plot written to {path}")
