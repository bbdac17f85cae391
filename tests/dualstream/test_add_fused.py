"""The fused CPU recurrences of ADDModel against the plain torch network: values, gradients,
dropout draws, every vector path, the fall-backs, and interrupts."""
import _thread
import threading
import time

import pytest
import torch

import dualstream as ds
from alphaloom._testing.plain_add import twin_of


@pytest.fixture(params=ds._kernel_isas)
def isa(request, monkeypatch):
    monkeypatch.setattr(ds, "_kernel_isa", request.param)
    return request.param


@pytest.fixture(params=["keep", "recompute"])
def keep(request, monkeypatch):
    """Training passes either keep every step for the backward pass or recompute them there."""
    if request.param == "recompute":
        monkeypatch.setattr(ds, "_kernel_keep_bytes", 0)
    return request.param


def build(base_model="GRU", num_layers=2, hidden=8, dropout=0.0, dec_dropout=0.0, seed=11):
    torch.manual_seed(seed)
    kw = dict(d_feat=6, hidden_size=hidden, num_layers=num_layers, dropout=dropout,
              dec_dropout=dec_dropout, base_model=base_model)
    ours = ds.ADDModel(**kw)
    for _ in range(3):
        ours.before_adv_excess.step_alpha(), ours.before_adv_market.step_alpha()
    return ours, twin_of(ours, **kw)


def run(net, x, seed=5):
    torch.manual_seed(seed)  # the same dropout draws on both sides
    out = net(x)
    sum(v.square().mean() for v in out.values()).backward()
    return out


def assert_same(ours, twin, a, b):
    for k in b:
        torch.testing.assert_close(a[k], b[k], rtol=0, atol=1e-5)
    grads = dict(twin.named_parameters())
    for name, p in ours.named_parameters():
        torch.testing.assert_close(p.grad, grads[name].grad, rtol=1e-4, atol=1e-5, msg=name)


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
@pytest.mark.parametrize("num_layers, dropout", [(1, 0.0), (2, 0.0), (2, 0.4), (3, 0.25)])
@pytest.mark.parametrize("mode, rows, hidden, steps", [
    ("train", 61, 8, 9),    # more rows than one block, the last one partial
    ("train", 7, 5, 1),     # odd widths, a single step
    ("eval", 1, 17, 4),     # one row
    ("eval", 50, 64, 3)])   # the trainer's width
def test_fused_equals_plain_torch(isa, keep, base_model, num_layers, dropout, mode, rows, hidden, steps):
    ours, twin = build(base_model, num_layers, hidden, dropout, dropout)
    getattr(ours, mode)(), getattr(twin, mode)()
    x = torch.randn(rows, 6 * steps)
    a = run(ours, x)
    after_ours = torch.rand(3)  # both sides must consume the generator alike
    b = run(twin, x)
    assert torch.equal(after_ours, torch.rand(3))
    assert type(a["reconstructed_feature"].grad_fn).__name__ == "_FusedStackBackward"
    assert_same(ours, twin, a, b)


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
def test_dropout_of_one_draws_nothing(base_model):
    ours, twin = build(base_model, num_layers=2, hidden=5, dropout=1.0, dec_dropout=1.0)
    x = torch.randn(6, 18)
    a = run(ours, x)
    after_ours = torch.rand(3)
    b = run(twin, x)
    assert torch.equal(after_ours, torch.rand(3))
    assert_same(ours, twin, a, b)


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
def test_two_graphs_alive_and_a_retained_graph(base_model, keep):
    # Each pass owns its kept steps until its backward pass, and a retained graph can be
    # differentiated again after its buffers went back to the pool.
    ours, twin = build(base_model, hidden=7)
    x1, x2 = torch.randn(10, 24), torch.randn(13, 24)
    for net in (ours, twin):
        first = sum(v.square().mean() for v in net(x1).values())
        second = sum(v.square().mean() for v in net(x2).values())
        first.backward(retain_graph=True)
        second.backward()
        first.backward()
    assert_same(ours, twin, {}, {})


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
def test_input_gradient_and_repeated_calls(base_model):
    ours, twin = build(base_model, hidden=6)
    x = torch.randn(9, 30)
    xa, xb = x.clone().requires_grad_(), x.clone().requires_grad_()
    run(ours, xa), run(twin, xb)
    torch.testing.assert_close(xa.grad, xb.grad, rtol=1e-4, atol=1e-6)
    # a second pass accumulates onto the first, as the modules do
    a, b = run(ours, x), run(twin, x)
    assert_same(ours, twin, a, b)


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
def test_a_nan_feature_stays_nan_as_in_the_modules(isa, base_model):
    ours, twin = build(base_model, hidden=6)
    x = torch.randn(9, 30)
    x[2, 7] = float("nan")
    ours.eval(), twin.eval()
    with torch.no_grad():
        a, b = ours(x), twin(x)
    for k in b:
        assert a[k][2].isnan().all(), k
        torch.testing.assert_close(a[k], b[k], rtol=0, atol=1e-5, equal_nan=True)


def fallback_cases():
    def hook(net):
        calls = []
        net.dec.rnn.register_forward_hook(lambda *_: calls.append(1))
        return lambda: len(calls) == 4  # one call per step

    def double(net):
        net.double()
        return lambda: True

    def switched_off(net):
        ds._cpu_kernel = False
        return lambda: True

    def subclassed_decoder_rnn(net):
        class Custom(torch.nn.GRU):
            pass

        old = net.dec.rnn
        net.dec.rnn = Custom(old.input_size, old.hidden_size, old.num_layers, batch_first=True)
        net.dec.rnn.load_state_dict(old.state_dict())
        return lambda: True

    return [hook, double, switched_off, subclassed_decoder_rnn]


@pytest.mark.parametrize("change", fallback_cases(), ids=lambda f: f.__name__)
def test_fallbacks_call_the_modules(change, monkeypatch):
    monkeypatch.setattr(ds, "_cpu_kernel", True)
    ours, twin = build(hidden=6)
    check = change(ours)
    twin.to(next(ours.parameters()).dtype)
    x = torch.randn(8, 24, dtype=next(ours.parameters()).dtype)
    a, b = run(ours, x), run(twin, x)
    assert type(a["reconstructed_feature"].grad_fn).__name__ != "_FusedStackBackward"
    assert check()
    assert_same(ours, twin, a, b)


def test_cpu_autocast_takes_the_module_path(monkeypatch):
    ours, _ = build(hidden=6)
    x = torch.randn(8, 24)
    outs = []
    for kernel in (True, False):
        monkeypatch.setattr(ds, "_cpu_kernel", kernel)
        with torch.autocast("cpu", dtype=torch.bfloat16):
            outs.append(ours(x)["reconstructed_feature"])
    assert outs[0].dtype == torch.bfloat16
    torch.testing.assert_close(outs[0], outs[1], rtol=0, atol=0)


@pytest.mark.parametrize("kernel", [True, False])
def test_bad_row_width_fails_as_in_the_modules(kernel, monkeypatch):
    monkeypatch.setattr(ds, "_cpu_kernel", kernel)
    ours, _ = build(hidden=4)
    with pytest.raises(RuntimeError, match="shape .* is invalid for input of size 100"):
        ours(torch.randn(4, 25))


def test_second_derivative_is_refused():
    ours, _ = build(hidden=4)
    out = ours(torch.randn(4, 18))["reconstructed_feature"].square().sum()
    with pytest.raises(RuntimeError, match="no second derivative"):
        torch.autograd.grad(out, list(ours.parameters()), create_graph=True)


def test_interrupt_stops_a_long_pass_and_leaves_the_model_usable():
    net = ds.ADDModel(hidden_size=64, num_layers=2, dec_dropout=0.0).eval()
    small = torch.randn(4, 60)
    with torch.no_grad():
        expected = net(small)["excess"]
        timer = threading.Timer(0.3, _thread.interrupt_main)
        t0 = time.perf_counter()
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                net(torch.randn(60000, 360))  # about a minute of work
        finally:
            timer.cancel()
        assert time.perf_counter() - t0 < 15
        torch.testing.assert_close(net(small)["excess"], expected)


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
def test_rows_split_across_threads(base_model, keep):
    ours, twin = build(base_model, hidden=8)
    x = torch.randn(1500, 54)  # enough work for two threads
    before = torch.get_num_threads()
    torch.set_num_threads(2)
    try:
        a = run(ours, x)
    finally:
        torch.set_num_threads(before)
    assert_same(ours, twin, a, run(twin, x))
