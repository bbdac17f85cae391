import copy
import math
import pickle

import numpy as np
import pytest
import torch

import wavecell

KEYS = ["W_i", "U_i", "b_i", "W_ste", "U_ste", "b_ste", "W_fre", "U_fre", "b_fre", "W_c", "U_c",
        "b_c", "W_o", "U_o", "b_o", "U_a", "b_a", "W_p", "b_p", "fc_out.weight", "fc_out.bias"]


def step_by_step(net, inp):
    """The recurrence written out op by op from the same parameters: the formulation the fused
    network must reproduce."""
    D, H, F = net.input_dim, net.hidden_dim, net.freq_dim
    n = inp.shape[0]
    x = inp.reshape(n, D, -1).permute(0, 2, 1)
    sig, tanh = torch.nn.functional.hardsigmoid, torch.tanh
    h = torch.zeros(H)
    s_re, s_im = torch.zeros(1, H, F), torch.zeros(1, H, F)
    frequency = torch.tensor(np.array([float(k) / F for k in range(F)]))
    p = None
    for t in range(x.shape[1]):
        xt = x[:, t, :]
        i = sig(xt @ net.W_i + net.b_i + h @ net.U_i)
        ste = sig(xt @ net.W_ste + net.b_ste + h @ net.U_ste)
        fre = sig(xt @ net.W_fre + net.b_fre + h @ net.U_fre)
        f = ste.reshape(-1, H, 1) * fre.reshape(-1, 1, F)
        c = (i * tanh(xt @ net.W_c + net.b_c + h @ net.U_c)).reshape(-1, H, 1)
        omega = torch.tensor(2 * np.pi) * torch.tensor(t + 1) * frequency
        s_re = f * s_re + c * torch.cos(omega)
        s_im = f * s_im + c * torch.sin(omega)
        amp = (torch.square(s_re) + torch.square(s_im)).reshape(-1, F).float()
        a = tanh((amp @ net.U_a).reshape(-1, H) + net.b_a)
        h = sig(xt @ net.W_o + net.b_o + h @ net.U_o) * a
        p = h @ net.W_p + net.b_p
    return net.fc_out(p).squeeze(1)


def small_net(seed=0, d=3, h=5, f=4, o=2, **kw):
    torch.manual_seed(seed)
    return wavecell.SFM_Model(d_feat=d, output_dim=o, freq_dim=f, hidden_size=h, **kw)


def test_parameters_registered_in_order_with_shapes_and_initial_values():
    net = wavecell.SFM_Model(d_feat=6, output_dim=32, freq_dim=25, hidden_size=64)
    sd = net.state_dict()
    assert list(sd) == KEYS and len(list(net.buffers())) == 0
    D, H, F, O = 6, 64, 25, 32
    shapes = {"W_i": (D, H), "U_i": (H, H), "W_ste": (D, H), "U_ste": (H, H), "W_fre": (D, F),
              "U_fre": (H, F), "b_fre": (F,), "W_c": (D, H), "U_c": (H, H), "W_o": (D, H),
              "U_o": (H, H), "U_a": (F, 1), "W_p": (H, O), "b_p": (O,),
              "fc_out.weight": (1, O), "fc_out.bias": (1,)}
    for k, v in sd.items():
        assert v.dtype == torch.float32
        assert tuple(v.shape) == shapes.get(k, (H,)), k
    for k in ["b_ste", "b_fre"]:
        assert torch.all(sd[k] == 1)
    for k in ["b_i", "b_c", "b_o", "b_a", "b_p"]:
        assert torch.all(sd[k] == 0)
    for k in ["U_i", "U_ste", "U_c", "U_o"]:
        assert torch.allclose(sd[k] @ sd[k].T, torch.eye(H), atol=1e-4)
    assert torch.allclose(sd["U_a"].T @ sd["U_a"], torch.ones(1, 1), atol=1e-5)
    bound = math.sqrt(6 / (D + H))
    assert sd["W_i"].abs().max() <= bound and sd["W_i"].std() > bound / 4
    assert (net.input_dim, net.hidden_dim, net.freq_dim, net.output_dim) == (D, H, F, O)
    assert net.states == [] and net.device == "cpu"
    assert [type(m).__name__ for m in net.children()] == ["Tanh", "Hardsigmoid", "Linear"]


def test_initialisation_draws_in_registration_order():
    torch.manual_seed(11)
    net = wavecell.SFM_Model(d_feat=2, output_dim=3, freq_dim=4, hidden_size=5)
    torch.manual_seed(11)
    init = torch.nn.init
    expect = []
    for name, shape in [("W_i", (2, 5)), ("U_i", (5, 5)), ("W_ste", (2, 5)), ("U_ste", (5, 5)),
                        ("W_fre", (2, 4)), ("U_fre", (5, 4)), ("W_c", (2, 5)), ("U_c", (5, 5)),
                        ("W_o", (2, 5)), ("U_o", (5, 5)), ("U_a", (4, 1)), ("W_p", (5, 3))]:
        t = torch.empty(*shape)
        (init.xavier_uniform_ if name.startswith("W") else init.orthogonal_)(t)
        expect.append((name, t))
    fc = torch.nn.Linear(3, 1)
    for name, t in expect:
        assert torch.equal(getattr(net, name), t), name
    assert torch.equal(net.fc_out.weight, fc.weight) and torch.equal(net.fc_out.bias, fc.bias)


@pytest.mark.parametrize("kernel", [True, False], ids=["fused", "tensor-ops"])
@pytest.mark.parametrize("n,steps", [(1, 1), (7, 2), (3, 9), (5, 10), (2, 17)])
def test_outputs_and_gradients_equal_step_by_step(monkeypatch, kernel, n, steps):
    monkeypatch.setattr(wavecell, "_cpu_kernel", kernel)
    net = small_net(seed=n * 100 + steps)
    ref = copy.deepcopy(net)
    gen = torch.Generator().manual_seed(steps)
    x = (2 * torch.randn(n, 3 * steps, generator=gen)).requires_grad_()
    x_ref = x.detach().clone().requires_grad_()
    w = torch.randn(n, generator=gen)
    out = net(x)
    expect = step_by_step(ref, x_ref)
    assert out.shape == (n,) and out.dtype == torch.float32
    torch.testing.assert_close(out, expect, rtol=1e-5, atol=1e-5)
    (out * w).sum().backward()
    (expect * w).sum().backward()
    torch.testing.assert_close(x.grad, x_ref.grad, rtol=1e-5, atol=1e-5)
    for (name, p), q in zip(net.named_parameters(), ref.parameters()):
        assert p.grad is not None, name
        torch.testing.assert_close(p.grad, q.grad, rtol=1e-5, atol=1e-5, msg=name)
    with torch.no_grad():
        torch.testing.assert_close(net(x), out.detach(), rtol=0, atol=0)


def test_large_batch_split_over_threads_matches():
    # enough rows for the fused step to use more than one thread (conftest sets two)
    net = small_net(seed=3, h=16, f=16)
    ref = copy.deepcopy(net)
    x = torch.randn(4000, 3 * 5, generator=torch.Generator().manual_seed(0))
    out, expect = net(x), step_by_step(ref, x)
    torch.testing.assert_close(out, expect, rtol=1e-5, atol=1e-5)
    out.sum().backward()
    expect.sum().backward()
    for (name, p), q in zip(net.named_parameters(), ref.parameters()):
        torch.testing.assert_close(p.grad, q.grad, rtol=1e-5, atol=1e-5, msg=name)


def test_frozen_parameters_get_no_gradient():
    net = small_net(seed=4)
    ref = copy.deepcopy(net)
    for m in (net, ref):
        m.U_a.requires_grad_(False)
        m.b_a.requires_grad_(False)
        m.W_i.requires_grad_(False)
    x = torch.randn(4, 3 * 6)
    net(x).sum().backward()
    step_by_step(ref, x).sum().backward()
    assert net.U_a.grad is None and net.b_a.grad is None
    torch.testing.assert_close(net.U_i.grad, ref.U_i.grad, rtol=1e-5, atol=1e-5)


def test_row_layout_is_feature_major():
    """With the trainer's defaults a 360-column row is 60 steps of 6 features; a row laid out
    step-major instead gives other scores."""
    torch.manual_seed(0)
    net = wavecell.SFM_Model(d_feat=6, output_dim=32, freq_dim=25, hidden_size=16)
    steps = torch.randn(2, 60, 6)  # (N, T, D)
    feature_major = steps.permute(0, 2, 1).reshape(2, 360)
    with torch.no_grad():
        out = net(feature_major)
        torch.testing.assert_close(out, step_by_step(net, feature_major), rtol=1e-5, atol=1e-5)
        assert not torch.allclose(out, net(steps.reshape(2, 360)))


def test_calls_are_independent_and_rows_do_not_interact():
    net = small_net(seed=5)
    x = torch.randn(6, 3 * 5)
    with torch.no_grad():
        first = net(x)
        assert net.states == []
        assert torch.equal(net(x), first)
        singles = torch.cat([net(x[k:k + 1]) for k in range(6)])
    assert singles.shape == (6,)
    torch.testing.assert_close(singles, first, rtol=1e-6, atol=1e-6)
    assert net(x[:0]).shape == (0,)


def test_dropout_rates_have_no_effect():
    x = torch.randn(4, 3 * 5)
    a = small_net(seed=6, dropout_W=0.0, dropout_U=0.0)
    b = small_net(seed=6, dropout_W=0.9, dropout_U=0.5)
    b.train()
    assert b.dropout_W == 0.9 and b.dropout_U == 0.5
    assert torch.equal(a(x), b(x))


def test_init_states_and_constants():
    net = small_net(f=10, h=5)
    net.init_states(None)
    p, h, s_re, s_im, time, *rest = net.states
    assert rest == [None, None, None]
    assert p.shape == (2,) and h.shape == (5,) and s_re.shape == (1, 5, 10)
    assert s_im.shape == (1, 5, 10) and s_re is not s_im
    assert all(float(t.abs().sum()) == 0 for t in (p, h, s_re, s_im))
    assert time.dim() == 0 and time.dtype == torch.int64 and int(time) == 0
    net.get_constants(None)
    assert len(net.states) == 8 and net.states[1] is h
    b_u, b_w, freq = net.states[5:]
    assert len(b_u) == 6 and len(b_w) == 7 and all(float(t) == 1.0 for t in b_u + b_w)
    assert freq.dtype == torch.float64
    assert freq.tolist() == [k / 10 for k in range(10)]


class FailsAfterStart(wavecell.SFM_Model):
    def get_constants(self, x):
        raise RuntimeError("constants unavailable")


def test_failed_pass_leaves_no_state_behind():
    torch.manual_seed(7)
    net = FailsAfterStart(d_feat=3, output_dim=2, freq_dim=4, hidden_size=5)
    with pytest.raises(RuntimeError, match="constants unavailable"):
        net(torch.randn(2, 9))
    assert net.states == []


@pytest.mark.parametrize("width,exc,msg", [(0, ValueError, "at least one time step"),
                                           (10, RuntimeError, "shape")])
def test_bad_row_widths(width, exc, msg):
    net = small_net()
    with pytest.raises(exc, match=msg):
        net(torch.randn(2, width))
    assert net.states == []


def test_behaves_as_a_torch_module():
    net = small_net(seed=8)
    assert isinstance(net, torch.nn.Module)
    x = torch.randn(3, 12)
    clone = pickle.loads(pickle.dumps(net))
    twin = small_net(seed=99)
    twin.load_state_dict(net.state_dict())
    with torch.no_grad():
        out = net(x)
        assert torch.equal(clone(x), out) and torch.equal(twin(x), out)
        # float64 weights take the plain tensor-op path
        torch.testing.assert_close(net.double()(x.double()).float(), out, rtol=1e-5, atol=1e-5)
