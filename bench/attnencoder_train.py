"""TransformerModel: one training epoch, one fit epoch and one predict over 20,000 rows x 360
columns, against the same torch work written as a plain Python loop (DataFrame converted on
every call, per-batch numpy fancy indexing and tensor creation); then a training epoch with
dim_feedforward=128 beside the default 2048.

The rows are read as 36 features x 10 steps: with 60 steps the encoder's 2048-wide feed-forward
layer makes every case a memory-bound minute of identical arithmetic on both sides, which hides
the data path this measures and leaves single runs too noisy to compare."""
import copy
import os
import tempfile

import numpy as np
import pandas as pd
import torch

from harness import best_of, quiet, report, section

import attnencoder  # noqa: E402

N, WIDTH, BATCH = 20_000, 360, 2048
CFG = dict(d_feat=36, d_model=8, nhead=2, num_layers=1, batch_size=BATCH, GPU=-1, seed=0)


def data():
    rng = np.random.default_rng(0)
    x = rng.standard_normal((N, WIDTH)).astype(np.float32)
    df = pd.DataFrame(x, columns=[f"c{i}" for i in range(WIDTH)])
    df["label"] = 0.1 * x[:, 59] + rng.standard_normal(N) * 0.1
    return df


class Plain:
    """The straightforward Python trainer loop over the same network object."""

    def __init__(self, model, opt):
        self.model, self.opt = model, opt

    def loss(self, pred, label):
        mask = ~torch.isnan(label)
        return torch.mean((pred[mask].float() - label[mask].float()) ** 2)

    def train_epoch(self, x_train, y_train):
        x, y = x_train.values, np.squeeze(y_train.values)
        self.model.train()
        idx = np.arange(len(x))
        np.random.shuffle(idx)
        for i in range(len(idx))[::BATCH]:
            if len(idx) - i < BATCH:
                break
            feature = torch.from_numpy(x[idx[i:i + BATCH]]).float()
            label = torch.from_numpy(y[idx[i:i + BATCH]]).float()
            loss = self.loss(self.model(feature), label)
            self.opt.zero_grad()
            loss.backward()
            torch.nn.utils.clip_grad_value_(self.model.parameters(), 3.0)
            self.opt.step()

    def test_epoch(self, data_x, data_y):
        # every row, short last batch included, weighted by rows: the same work as ours
        x, y = data_x.values, np.squeeze(data_y.values)
        self.model.eval()
        total = 0.0
        for i in range(len(x))[::BATCH]:
            feature = torch.from_numpy(x[i:i + BATCH]).float()
            label = torch.from_numpy(y[i:i + BATCH]).float()
            with torch.no_grad():
                total += len(feature) * -self.loss(self.model(feature), label).item()
        return total / len(x)

    def fit_epoch(self, df, feature):
        train, valid = df.iloc[:16000], df.iloc[16000:]
        self.train_epoch(train[feature], train["label"])
        self.test_epoch(train[feature], train["label"])
        best = copy.deepcopy(self.model.state_dict()), self.test_epoch(valid[feature], valid["label"])
        self.model.load_state_dict(best[0])
        torch.save(best[0], "transformer.pth")

    def predict(self, x_test):
        x = x_test.values
        self.model.eval()
        preds = []
        for begin in range(len(x))[::BATCH]:
            end = min(len(x), begin + BATCH)
            with torch.no_grad():
                preds.append(self.model(torch.tensor(x[begin:end]).float()).numpy())
        return pd.DataFrame(np.concatenate(preds), index=x_test.index)


def main():
    torch.set_num_threads(2)
    df = data()
    feature = [c for c in df.columns if c != "label"]
    x, y = df[feature], df["label"]
    with quiet():  # the constructor prints its settings
        ours = attnencoder.TransformerModel(**CFG)
    ours.print = lambda *a, **k: None
    plain_model = attnencoder.Transformer(36, 8, 2, 1, 0.0, None)
    plain_model.load_state_dict(ours.model.state_dict())
    plain = Plain(plain_model, torch.optim.Adam(plain_model.parameters(), lr=1e-4, weight_decay=1e-3))

    # same weights, same shuffles -> the same trained weights (checked on a slice, to save time)
    xs, ys = x.iloc[:3 * BATCH], y.iloc[:3 * BATCH]
    np.random.seed(1)
    ours.train_epoch(xs, ys)
    np.random.seed(1)
    plain.train_epoch(xs, ys)
    same = all(torch.allclose(a, b, atol=1e-6) for a, b in
               zip(ours.model.state_dict().values(), plain_model.state_dict().values()))
    p_ours, p_plain = ours.predict(xs), plain.predict(xs)
    same = same and np.allclose(p_ours[0], p_plain[0], atol=1e-6)
    print(f"same weights after one epoch and same predictions: {same}")

    section("TransformerModel data path",
            "the same torch work as a plain Python loop (below), same weights")
    report("attnencoder train_epoch 20000x360", best_of(lambda: ours.train_epoch(x, y), 3),
           best_of(lambda: plain.train_epoch(x, y), 3))
    os.chdir(tempfile.mkdtemp())
    ours.n_epochs = 1
    report("attnencoder fit, one epoch", best_of(lambda: ours.fit((df, (".iloc[:16000]", ".iloc[16000:]"))), 3),
           best_of(lambda: plain.fit_epoch(df, feature), 3))
    report("attnencoder predict 20000x360", best_of(lambda: ours.predict(x), 3),
           best_of(lambda: plain.predict(x), 3))
    feed_forward_width(x, y)
    if not same:
        raise SystemExit("outputs differ from the plain loop")


def feed_forward_width(x, y):
    """One training epoch at d_model=32 with the default feed-forward width (2048, torch's) and
    with dim_feedforward=128: the wide layer is most of a step's arithmetic."""
    section("TransformerModel feed-forward width",
            "the same model with the default dim_feedforward=2048, same rows")
    rows = 4 * BATCH
    xs, ys = x.iloc[:rows], y.iloc[:rows]
    times = {}
    for width in (2048, 128):
        model = attnencoder.TransformerModel(**{**CFG, "d_model": 32}, dim_feedforward=width,
                                             verbose=False)
        times[width] = best_of(lambda: model.train_epoch(xs, ys), 3)
    report(f"attnencoder train_epoch d_model=32 dim_feedforward=128 {rows}x360", times[128],
           times[2048])


if __name__ == "__main__":
    main()
