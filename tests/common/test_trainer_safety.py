"""The three trainers when things go wrong: atomic weight files, bad input refused before any
change, weights put back after a run without a finite score, predict held to the fitted width."""
import os

import numpy as np
import pandas as pd
import pytest
import torch

import attnencoder
import dualstream
import wavecell

pytestmark = pytest.mark.filterwarnings("ignore:enable_nested_tensor", "ignore:overflow",
                                        "ignore:The given NumPy array is not writable")

TRAINERS = {  # class, small settings, network attribute, weight file
    "transformer": (attnencoder.TransformerModel, dict(d_model=8, nhead=2, num_layers=1), "model",
                    "transformer.pth"),
    "sfm": (wavecell.SFM, dict(hidden_size=4, output_dim=3, freq_dim=3), "sfm_model", "sfm.pth"),
    "add": (dualstream.ADD, dict(hidden_size=4, num_layers=1), "ADD_model", "ADD.pth"),
}
SPLIT = (".iloc[:96]", ".iloc[96:]")  # 12 days of 8 stocks, then 4 days


def frame(steps=2, seed=0):
    rng = np.random.default_rng(seed)
    index = pd.MultiIndex.from_product([pd.bdate_range("2021-01-04", periods=16), range(8)],
                                       names=["datetime", "instrument"])
    x = rng.standard_normal((128, 6 * steps)).astype(np.float32)
    df = pd.DataFrame(x, index=index, columns=[f"c{i}" for i in range(6 * steps)])
    return df.assign(label=0.4 * x[:, steps - 1] + 0.3 * rng.standard_normal(128))


@pytest.fixture(params=sorted(TRAINERS))
def make(request, lines):
    cls, small, net, weight_file = TRAINERS[request.param]

    def build(**kw):
        m = cls(**small, d_feat=6, batch_size=32, n_epochs=2, GPU=-1, **{"seed": 0, **kw})
        m.print = lines
        lines.clear()
        return m
    build.net, build.weight_file = net, weight_file
    return build


def weights(m, net):
    return {k: v.clone() for k, v in getattr(m, net).state_dict().items()}


def same(a, b):
    return a.keys() == b.keys() and all(torch.equal(a[k], b[k]) for k in a)


@pytest.mark.parametrize("fails", [True, False])
def test_weight_file_is_replaced_atomically(in_tmp, make, monkeypatch, fails):
    make().fit((frame(), SPLIT))
    path = in_tmp / make.weight_file
    old_bytes, old_state, real_save, seen = path.read_bytes(), torch.load(path), torch.save, []

    def partial_save(obj, f):  # disk full half-way through
        with (open(f, "wb") if isinstance(f, (str, os.PathLike)) else f) as out:
            out.write(b"PK\x03\x04 half a file")
            raise OSError(28, "No space left on device")

    def watched_save(obj, f):
        real_save(obj, f)
        seen.append(torch.load(path))  # what another process reads meanwhile

    monkeypatch.setattr(torch, "save", partial_save if fails else watched_save)
    m = make(seed=1)
    if fails:
        with pytest.raises(OSError, match="No space left"):
            m.fit((frame(seed=1), SPLIT))
        assert path.read_bytes() == old_bytes
    else:
        m.fit((frame(seed=1), SPLIT))
        assert len(seen) == 1 and same(seen[0], old_state)
        assert same(torch.load(path), weights(m, make.net))
    assert os.listdir(in_tmp) == [make.weight_file]  # no temporary file left


def _spoil_cells(df):
    df.iloc[[3, 50], 4] = [np.nan, np.inf]
    df.iloc[5, 7] = np.nan
    return df


BAD_INPUT = {
    "nan": (_spoil_cells, ValueError, r"3 non-finite.*'c4', with 2"),
    "too large for float32": (lambda df: df.assign(c1=df["c1"] * 1e300), ValueError, "'c1'"),
    "infinite label": (lambda df: df.assign(label=df["label"].where(df.index != df.index[7], np.inf)),
                       ValueError, "1 infinite label"),
    "infinite validation label": (
        lambda df: df.assign(label=df["label"].where(df.index != df.index[100], -np.inf)),
        ValueError, "the validation split has 1 infinite label"),
    "duplicate feature names": (lambda df: df.rename(columns={"c1": "c0", "c3": "c2"}), ValueError,
                                r"duplicate feature column name\(s\) \['c0', 'c2'\]"),
    "datetime column": (lambda df: df.assign(c2=pd.Timestamp("2021-01-01")), TypeError,
                        r"'c2'.*datetime64"),
    "text column": (lambda df: df.assign(c3="x"), TypeError, r"'c3'.*dtype (str|object)"),
    "object column": (lambda df: df.assign(c5=df["c5"].astype(object)), TypeError, "'c5'.*object"),
    "directory gone": ("gone", FileNotFoundError, "cannot write the weight file"),
    "directory in the way": ("dir", IsADirectoryError, "directory of that name is in the way"),
}


@pytest.mark.parametrize("bad", sorted(BAD_INPUT))
def test_bad_input_is_refused_before_anything_changes(in_tmp, make, lines, bad):
    spoil, error, message = BAD_INPUT[bad]
    m, df = make(), frame()
    before = weights(m, make.net)
    if spoil == "gone":
        (in_tmp / "work").mkdir()
        os.chdir(in_tmp / "work")
        os.rmdir(in_tmp / "work")
    elif spoil == "dir":
        (in_tmp / make.weight_file).mkdir()
    else:
        df = spoil(df)
    with pytest.raises(error, match=message):
        m.fit((df, SPLIT))
    assert lines == [] and m.fitted is False and same(weights(m, make.net), before)
    assert not hasattr(m, "lo")  # ADD: not even the regime thresholds were set


def test_predict_refuses_duplicate_feature_names(in_tmp, make):
    m = make()
    m.fit((frame(), SPLIT))
    x = frame().drop(columns="label").rename(columns={"c5": "c4"})
    with pytest.raises(ValueError, match=r"the feature table has duplicate .* \['c4'\]"):
        m.predict(x)


def test_fit_without_a_finite_score_restores_weights_and_optimiser(in_tmp, make):
    m = make()
    m.fit((frame(), SPLIT))
    net, before = getattr(m, make.net), weights(m, make.net)
    moments = {k: dict(v) for k, v in m.train_optimizer.state_dict()["state"].items()}

    def wrecking_step(*args, **kwargs):  # what one NaN input does to the weights and moments
        with torch.no_grad():
            for p in net.parameters():
                p.fill_(np.nan)
                m.train_optimizer.state[p]["exp_avg"] = torch.full_like(p, np.nan)

    m.train_optimizer.step = wrecking_step
    with pytest.raises(RuntimeError, match="restored to what they were before fit"):
        m.fit((frame(seed=2), SPLIT))
    assert same(weights(m, make.net), before)
    after = m.train_optimizer.state_dict()["state"]
    assert after.keys() == moments.keys() and all(same(after[k], moments[k]) for k in moments)
    assert np.isfinite(np.asarray(m.predict(frame().drop(columns="label")), dtype=float)).all()


def test_predict_refuses_a_width_other_than_the_fitted_one(in_tmp, make):
    m, wide = make(), frame(steps=3).drop(columns="label")
    m.predict(wide)  # an unfitted model scores any multiple of d_feat
    m.fit((frame(steps=2), SPLIT))
    with pytest.raises(ValueError, match="has 18 feature columns, but the model was fitted on 12"):
        m.predict(wide)
    assert len(m.predict(frame(steps=2).drop(columns="label"))) == 128


@pytest.mark.parametrize("setting,message", [
    (dict(metric="IC"), "unknown metric( name)? `IC`"),
    (dict(metric="spearman"), "unknown metric( name)? `spearman`"),
    (dict(loss="mae"), "unknown loss `mae`"),
])
def test_unknown_metric_or_loss_is_refused_before_training(in_tmp, make, lines, setting, message):
    m = make(**setting)
    if not hasattr(m, "loss") and "loss" in setting:
        pytest.skip("ADD has no loss setting")
    before = weights(m, make.net)
    with pytest.raises(ValueError, match=message):
        m.fit((frame(), SPLIT))
    assert lines == [] and m.fitted is False and same(weights(m, make.net), before)
    assert not os.path.exists(make.weight_file)


def test_a_replaced_metric_keeps_its_own_names(in_tmp, make):
    m = make(metric="hit_rate")
    if isinstance(m, dualstream.ADD):
        real = m.test_epoch
        m.test_epoch = lambda x, y, mk: {**real(x, y, mk), "hit_rate": 0.5}
    else:
        m.metric_fn = lambda pred, label: torch.tensor(0.5)
    m.fit((frame(), SPLIT))
    assert os.path.exists(make.weight_file)
