"""What the three trainers do when things go wrong: weight files are replaced atomically, bad
input is refused before anything is printed or changed, a run that ends without a usable score
puts the weights back, and predict refuses a width other than the fitted one."""
import os

import numpy as np
import pandas as pd
import pytest
import torch

import attnencoder
import dualstream
import wavecell

pytestmark = pytest.mark.filterwarnings("ignore:enable_nested_tensor",
                                        "ignore:The given NumPy array is not writable",
                                        "ignore:overflow encountered in cast")

TRAINERS = {
    "transformer": (attnencoder.TransformerModel,
                    dict(d_feat=6, d_model=8, nhead=2, num_layers=1, batch_size=32),
                    "model", "transformer.pth"),
    "sfm": (wavecell.SFM, dict(d_feat=6, hidden_size=4, output_dim=3, freq_dim=3, batch_size=32),
            "sfm_model", "sfm.pth"),
    "add": (dualstream.ADD, dict(d_feat=6, hidden_size=4, num_layers=1, batch_size=32),
            "ADD_model", "ADD.pth"),
}
SPLIT = (".iloc[:96]", ".iloc[96:]")  # 12 days of 8 stocks, then 4 days


def frame(steps=2, seed=0):
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2021-01-04", periods=16)
    index = pd.MultiIndex.from_product([days, [f"S{i}" for i in range(8)]],
                                       names=["datetime", "instrument"])
    x = rng.standard_normal((len(index), 6 * steps)).astype(np.float32)
    df = pd.DataFrame(x, index=index, columns=[f"c{i}" for i in range(6 * steps)])
    df["label"] = 0.4 * x[:, steps - 1] + 0.3 * rng.standard_normal(len(index))
    return df


@pytest.fixture(params=sorted(TRAINERS))
def kind(request):
    return request.param


@pytest.fixture
def make(kind, lines):
    cls, small, net_attr, weight_file = TRAINERS[kind]

    def build(**kw):
        m = cls(**{**small, "GPU": -1, "seed": 0, "n_epochs": 2, **kw})
        m.print = lines
        lines.clear()
        return m
    build.net_attr, build.weight_file = net_attr, weight_file
    return build


def state(m, attr):
    return {k: v.clone() for k, v in getattr(m, attr).state_dict().items()}


def same(a, b):
    return a.keys() == b.keys() and all(torch.equal(a[k], b[k]) for k in a)


@pytest.mark.parametrize("failure", ["save raises part-way", "reader during the save"])
def test_weight_file_is_replaced_atomically(in_tmp, make, monkeypatch, failure):
    m = make()
    m.fit((frame(), SPLIT))
    path = in_tmp / make.weight_file
    old_bytes = path.read_bytes()
    old_state = torch.load(path)
    real_save, seen = torch.save, []

    def partial_save(obj, f):
        with (open(f, "wb") if isinstance(f, (str, os.PathLike)) else f) as out:
            out.write(b"PK\x03\x04 half a file")
            raise OSError(28, "No space left on device")

    def watched_save(obj, f):
        real_save(obj, f)
        seen.append(torch.load(path))  # what another process sees meanwhile

    monkeypatch.setattr(torch, "save", partial_save if failure.startswith("save") else watched_save)
    m2 = make(seed=1)
    if failure.startswith("save"):
        with pytest.raises(OSError, match="No space left"):
            m2.fit((frame(seed=1), SPLIT))
        assert path.read_bytes() == old_bytes
    else:
        m2.fit((frame(seed=1), SPLIT))
        assert len(seen) == 1 and same(seen[0], old_state)
        assert same(torch.load(path), state(m2, make.net_attr))
    assert sorted(os.listdir(in_tmp)) == [make.weight_file]  # no temporary file left


def _nan_cell(df):
    df.iloc[3, 4] = np.nan
    df.iloc[50, 4] = np.inf
    df.iloc[5, 7] = np.nan
    return df


BAD_INPUT = {
    "nan": (_nan_cell, ValueError, r"3 non-finite.*'c4', with 2"),
    "too large for float32": (lambda df: df.assign(c1=df["c1"].astype("float64") * 1e300),
                              ValueError, r"non-finite.*'c1'"),
    "infinite label": (lambda df: df.assign(label=df["label"].where(df.index != df.index[7], np.inf)),
                       ValueError, "1 infinite label"),
    "datetime column": (lambda df: df.assign(c2=pd.Timestamp("2021-01-01")), TypeError,
                        r"'c2'.*datetime64"),
    "text column": (lambda df: df.assign(c3="x"), TypeError, r"'c3'.*dtype (str|object)"),
    "object column": (lambda df: df.assign(c5=df["c5"].astype(object)), TypeError, r"'c5'.*object"),
    "directory gone": ("gone", FileNotFoundError, "cannot write the weight file"),
    "directory in the way": ("dir", IsADirectoryError, "directory of that name is in the way"),
}


@pytest.mark.parametrize("bad", sorted(BAD_INPUT))
def test_bad_input_is_refused_before_anything_changes(in_tmp, make, lines, bad):
    spoil, error, message = BAD_INPUT[bad]
    m = make()
    before = state(m, make.net_attr)
    df = frame()
    if spoil == "gone":
        os.chdir(in_tmp.parent)
        work = in_tmp / "work"
        work.mkdir()
        os.chdir(work)
        work.rmdir()
    elif spoil == "dir":
        (in_tmp / make.weight_file).mkdir()
    else:
        df = spoil(df)
    with pytest.raises(error, match=message):
        m.fit((df, SPLIT))
    assert lines == [] and m.fitted is False and same(state(m, make.net_attr), before)
    assert not hasattr(m, "lo")  # ADD: not even the regime thresholds were set


def test_fit_without_a_finite_score_restores_weights_and_optimiser(in_tmp, make, lines):
    m = make()
    m.fit((frame(), SPLIT))
    net = getattr(m, make.net_attr)
    before, opt_before = state(m, make.net_attr), m.train_optimizer.state_dict()
    opt_before = {k: {n: t.clone() for n, t in v.items()} for k, v in opt_before["state"].items()}

    def poisoned_step(*args, **kwargs):  # a step that wrecks the weights, as NaN input would
        with torch.no_grad():
            for p in net.parameters():
                p.fill_(float("nan"))
                m.train_optimizer.state.setdefault(p, {})["exp_avg"] = torch.full_like(p, np.nan)

    m.train_optimizer.step = poisoned_step
    with pytest.raises(RuntimeError, match="restored to what they were before fit"):
        m.fit((frame(seed=2), SPLIT))
    assert same(state(m, make.net_attr), before)
    opt_after = m.train_optimizer.state_dict()["state"]
    assert opt_after.keys() == opt_before.keys()
    assert all(same(opt_after[k], opt_before[k]) for k in opt_before)
    features = frame().drop(columns="label")
    assert np.isfinite(np.asarray(m.predict(features), dtype=float)).all()


def test_predict_refuses_a_width_other_than_the_fitted_one(in_tmp, make):
    m = make()
    wide = frame(steps=3).drop(columns="label")
    m.predict(wide)  # an unfitted model scores any multiple of d_feat
    m.fit((frame(steps=2), SPLIT))
    with pytest.raises(ValueError, match="has 18 feature columns, but the model was fitted on 12"):
        m.predict(wide)
    assert len(m.predict(frame(steps=2).drop(columns="label"))) == 128
