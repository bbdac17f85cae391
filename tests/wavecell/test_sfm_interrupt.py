"""Ctrl-C reaches a long fused recurrence within a fraction of a second and leaves the trainer
usable; the fused backward refuses a gradient graph instead of returning an incomplete one."""
import _thread
import math
import threading
import time

import numpy as np
import pandas as pd
import pytest
import torch

import wavecell

pytestmark = pytest.mark.filterwarnings("ignore:The given NumPy array is not writable")

# A wide memory (hidden x frequency) makes each row slow while the inputs stay small.
HEAVY = dict(d_feat=1, hidden_size=64, freq_dim=2048, output_dim=1, GPU=-1, seed=0)
STEPS = 400


def rows(n, seed=0):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(rng.standard_normal((n, STEPS)).astype(np.float32),
                      columns=[f"c{i}" for i in range(STEPS)])
    df["label"] = rng.standard_normal(n)
    return df


def test_ctrl_c_stops_the_fused_recurrence_during_fit(in_tmp, lines):
    if not wavecell._cpu_kernel:
        pytest.skip("the fused CPU kernel is switched off")
    probe = rows(2)
    m = wavecell.SFM(**HEAVY, batch_size=4096, n_epochs=1)
    m.print = lines
    started = time.perf_counter()
    m.predict(probe.drop(columns="label"))
    per_row = (time.perf_counter() - started) / 2
    # one training row (no optimiser step, a short evaluation), then a validation split that
    # would keep the kernel busy for ~8 s; the signal comes once the validation pass runs
    n = int(min(max(math.ceil(8.0 / per_row), 8), 256))
    df = pd.concat([probe.iloc[:1], rows(n, seed=1)], ignore_index=True)
    before = {k: v.clone() for k, v in m.sfm_model.state_dict().items()}
    delay = 0.3 + 3 * per_row
    timer = threading.Timer(delay, _thread.interrupt_main)
    timer.start()
    started = time.perf_counter()
    try:
        with pytest.raises(KeyboardInterrupt):
            m.fit((df, (".iloc[:1]", ".iloc[1:]")))
        waited = time.perf_counter() - started - delay
    finally:
        timer.cancel()  # never let the signal hit the test run itself
    assert waited < min(2.0, 0.5 * n * per_row), (waited, n * per_row)
    assert lines[-1] == "evaluating..." and m.sfm_model.states == []
    assert all(torch.equal(before[k], v) for k, v in m.sfm_model.state_dict().items())
    assert np.isfinite(m.predict(probe.drop(columns="label")).to_numpy()).all()


@pytest.mark.parametrize("kernel", [True, False])
def test_second_derivative_is_refused_not_dropped(monkeypatch, kernel):
    monkeypatch.setattr(wavecell, "_cpu_kernel", kernel)
    torch.manual_seed(0)
    net = wavecell.SFM_Model(d_feat=2, hidden_size=3, freq_dim=2, output_dim=2)
    params = list(net.parameters())
    x = torch.randn(4, 10)
    first = torch.autograd.grad(net(x).pow(2).sum(), params)  # first order: both paths
    assert all(torch.isfinite(g).all() for g in first)
    # The plain path fails in the tensor library (hard sigmoid has no second derivative); the
    # fused one used to hand back gradients without a graph, so the second derivative was None.
    with pytest.raises(RuntimeError, match="differentiable once only" if kernel else None):
        grads = torch.autograd.grad(net(x).pow(2).sum(), params, create_graph=True)
        sum(g.pow(2).sum() for g in grads).backward()
