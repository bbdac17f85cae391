"""Helpers for the ADD day-wise tests: tiny trainers and (day, instrument) frames of chosen day
sizes."""
import numpy as np
import pandas as pd
import pytest
import torch

import dualstream

# two features x five steps: small enough for a whole fit in a fraction of a second
TINY = dict(d_feat=2, hidden_size=4, num_layers=1, GPU=-1, seed=0)


@pytest.fixture
def make_add(lines):
    """ADD factory whose progress lines land in the `lines` fixture."""
    def make(**kw):
        lines.clear()
        model = dualstream.ADD(**{**TINY, **kw})
        model.print = lines
        lines.clear()
        return model
    return make


def day_index(sizes, start="2021-01-04"):
    days = pd.bdate_range(start, periods=len(sizes))
    tuples = [(d, f"S{i:03d}") for d, s in zip(days, sizes) for i in range(s)]
    return pd.MultiIndex.from_tuples(tuples, names=["datetime", "instrument"])


def day_frame(sizes, width=10, seed=0):
    """Features, labels and regime classes for days of the given sizes. The label leans on the
    last step of the first feature, so a little training finds some signal."""
    rng = np.random.default_rng(seed)
    index = day_index(sizes)
    n = len(index)
    x = rng.standard_normal((n, width)).astype(np.float32)
    t = width // 2
    y = 0.5 * x[:, t - 1] + 0.2 * rng.standard_normal(n)
    frame = pd.DataFrame(x, index=index, columns=[f"f{k}" for k in range(width)])
    label = pd.Series(y, index=index, name="label")
    market = pd.Series(rng.integers(0, 3, n), index=index, name="market_return")
    return frame, label, market


def labelled(sizes, width=10, seed=0):
    """One labelled frame (features + "label"), as `fit` takes it."""
    x, y, _ = day_frame(sizes, width, seed)
    out = x.copy()
    out["label"] = y
    return out


@pytest.fixture(name="day_frame")
def day_frame_fixture():
    return day_frame


@pytest.fixture(name="labelled")
def labelled_fixture():
    return labelled


@pytest.fixture(name="day_index")
def day_index_fixture():
    return day_index


@pytest.fixture(autouse=True)
def one_intra_op_thread():
    """The networks here are tiny: a second intra-op thread only adds synchronisation, which on
    a busy machine costs far more than the arithmetic."""
    before = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(before)
