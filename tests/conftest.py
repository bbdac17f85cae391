"""Shared fixtures: a temporary working directory, printed-line capture, synthetic data."""
import os
import pathlib
import signal
import sys

import numpy as np
import pandas as pd
import pytest
import torch

# Deterministic markets and the reference implementations the tests (and the benchmarks)
# compare against.
from alphaloom._testing import synthetic  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]

torch.set_num_threads(2)


@pytest.fixture(autouse=True, scope="session")
def ctrl_c_raises():
    """Ctrl-C (and _thread.interrupt_main) raise KeyboardInterrupt in the tests even when the run
    was started with SIGINT ignored, as a background job of a non-interactive shell is: the
    interrupt tests would otherwise wait for work that never stops."""
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, old)


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Run the test in an empty working directory (weight files, factors/ land there)."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


class Lines(list):
    """Collects what an object prints through its `print` attribute, one entry per call."""

    def __call__(self, *args, sep=" ", end="\n", **_):
        self.append(sep.join(str(a) for a in args))

    def text(self):
        return "\n".join(self)


@pytest.fixture
def lines():
    return Lines()


@pytest.fixture
def capture_stdout(capsys):
    """Printed text since the last call, split into lines."""
    def read():
        return capsys.readouterr().out.splitlines()
    return read


class ScriptedScores:
    """metric_fn replacement for a batch trainer: the valid score of each epoch comes from a
    script, the train score is 0. With one batch per split the calls alternate train, valid.
    Snapshots the network's weights at each valid call."""

    def __init__(self, trainer, net_attr, valid_scores):
        self.net = getattr(trainer, net_attr)
        self.valid_scores, self.calls, self.snapshots = valid_scores, 0, []

    def __call__(self, pred, label):
        epoch, is_valid = divmod(self.calls, 2)
        self.calls += 1
        if not is_valid:
            return torch.tensor(0.0)
        self.snapshots.append({k: v.clone() for k, v in self.net.state_dict().items()})
        return torch.tensor(self.valid_scores[epoch])


@pytest.fixture
def scripted_scores():
    return ScriptedScores


@pytest.fixture(scope="session")
def market():
    """A small synthetic market: 24 stocks x 260 days."""
    return synthetic.make_market(n_stocks=24, n_days=260, seed=7)


@pytest.fixture(scope="session")
def small_frame():
    """Labelled (day, stock) frame with 6 features x 10 steps = 60 columns, 400 rows."""
    rng = np.random.default_rng(3)
    n, width = 400, 60
    x = rng.standard_normal((n, width)).astype(np.float32)
    y = 0.5 * x[:, 9] - 0.3 * x[:, 19] + 0.1 * rng.standard_normal(n)
    days = pd.bdate_range("2020-01-01", periods=40)
    index = pd.MultiIndex.from_product([days, [f"S{i}" for i in range(10)]],
                                       names=["datetime", "instrument"])
    frame = pd.DataFrame(x, index=index, columns=[f"c{i}" for i in range(width)])
    frame["label"] = y
    return frame
