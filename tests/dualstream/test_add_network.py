"""ADD networks: layout, shapes, agreement with a plain-torch twin, gradient reversal."""
import copy
import math

import pytest
import torch
from torch import nn

import dualstream as ds
from alphaloom._testing.plain_add import PlainADD


def pair(base_model="GRU", num_layers=2, dec_dropout=0.0, hidden=8):
    torch.manual_seed(11)
    ours = ds.ADDModel(d_feat=6, hidden_size=hidden, num_layers=num_layers, dropout=0.0,
                       dec_dropout=dec_dropout, base_model=base_model)
    twin = PlainADD(6, hidden, num_layers, 0.0, dec_dropout, base_model)
    twin.load_state_dict(ours.state_dict())  # strict: same keys, same shapes
    return ours, twin


HEADS = ["pred_excess", "adv_excess", "adv_market", "pred_market"]


def test_state_dict_layout_matches_plain_torch():
    ours, twin = pair(num_layers=1)
    keys = list(ours.state_dict())
    assert keys == list(twin.state_dict())
    prefixes = list(dict.fromkeys(k.split(".")[0] for k in keys))
    assert prefixes == ["enc_excess", "enc_market", "dec"] + HEADS
    assert [n for n, _ in ours.named_children()] == (
        ["enc_excess", "enc_market", "dec"] + HEADS + ["before_adv_market", "before_adv_excess"])
    assert {k.split(".")[1] for k in keys if k.startswith("pred_market.")} == {"0", "1", "3"}
    assert "pred_excess.1.running_mean" in keys
    assert [k for k in keys if k.startswith("dec.")][-2:] == ["dec.fc.weight", "dec.fc.bias"]


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
@pytest.mark.parametrize("num_layers", [1, 2])
def test_output_shapes_and_widths(base_model, num_layers):
    hidden = 8
    net = ds.ADDModel(d_feat=6, hidden_size=hidden, num_layers=num_layers, dropout=0.0,
                      dec_dropout=0.0, base_model=base_model)
    out = net(torch.randn(32, 60))
    assert list(out) == ["excess", "market", "adv_market", "adv_excess", "reconstructed_feature"]
    shapes = {k: tuple(v.shape) for k, v in out.items()}
    assert shapes == {"excess": (32,), "market": (32, 3), "adv_market": (32, 3),
                      "adv_excess": (32, 1), "reconstructed_feature": (32, 10, 6)}
    assert net.pred_excess[0].in_features == hidden * num_layers
    assert net.dec.rnn.hidden_size == 2 * hidden and net.dec.rnn.num_layers == num_layers
    expected = nn.GRU if base_model == "GRU" else nn.LSTM
    assert type(net.enc_excess) is expected and type(net.dec.rnn) is expected


@pytest.mark.parametrize("base_model", ["GRU", "LSTM"])
@pytest.mark.parametrize("mode", ["train", "eval"])
def test_forward_and_gradients_equal_plain_torch(base_model, mode):
    # Decoder dropout on, so training mode also checks that the random draws line up.
    ours, twin = pair(base_model, num_layers=2, dec_dropout=0.3)
    getattr(ours, mode)(), getattr(twin, mode)()
    for _ in range(3):
        for net in (ours, twin):
            net.before_adv_excess.step_alpha(), net.before_adv_market.step_alpha()
    x = torch.randn(12, 48)
    torch.manual_seed(5)
    a = ours(x)
    torch.manual_seed(5)
    b = twin(x)
    for k in b:
        torch.testing.assert_close(a[k], b[k], rtol=0, atol=1e-6)
    sum(v.square().mean() for v in a.values()).backward()
    sum(v.square().mean() for v in b.values()).backward()
    grads = dict(twin.named_parameters())
    for name, p in ours.named_parameters():
        torch.testing.assert_close(p.grad, grads[name].grad, rtol=1e-4, atol=1e-5)


def test_hooks_on_decoder_parts_fire_every_step():
    net = ds.ADDModel(d_feat=6, hidden_size=4, num_layers=1, dec_dropout=0.0)
    calls = {"rnn": 0, "fc": 0, "dec": 0}
    for name, module in [("rnn", net.dec.rnn), ("fc", net.dec.fc), ("dec", net.dec)]:
        module.register_forward_hook(lambda *_, n=name: calls.__setitem__(n, calls[n] + 1))
    net(torch.randn(5, 42))
    assert calls == {"rnn": 7, "fc": 7, "dec": 7}


def test_module_behaviour_deepcopy_and_save(in_tmp):
    net = ds.ADDModel(d_feat=6, hidden_size=4, num_layers=1, dec_dropout=0.0).eval()
    x = torch.randn(4, 30)
    clone = copy.deepcopy(net)
    torch.save(net, "whole.pt")
    loaded = torch.load("whole.pt", weights_only=False)
    for other in (clone, loaded):
        assert type(other) is ds.ADDModel
        for k, v in net(x).items():
            torch.testing.assert_close(other(x)[k], v)


@pytest.mark.parametrize("cls", [ds.ADDModel, ds.Decoder])
def test_unknown_base_model_rejected(cls):
    with pytest.raises(ValueError, match="^unknown base model name `gru`$"):
        cls(base_model="gru")


# ---- gradient reversal

EXPECTED = [0.049958, 0.099668, 0.148885, 0.197375, 0.244919, 0.291313, 0.336376, 0.379949, 0.4]


def test_schedule_values_and_clip():
    layer = ds.RevGrad()
    assert layer._p == 0 and layer._alpha.item() == 0 and not layer._alpha.is_floating_point()
    seen = []
    for _ in range(20):
        layer.step_alpha()
        seen.append(layer._alpha.item())
    assert seen[:9] == pytest.approx(EXPECTED, abs=1e-6)
    assert layer._p == 20 and all(v == pytest.approx(0.4) for v in seen[8:])
    assert layer._alpha is layer.gamma_clip  # clipped: the clip tensor itself
    assert layer._alpha.dtype == torch.float32 and not layer._alpha.requires_grad
    assert layer.state_dict() == {} and list(layer.parameters()) == []


def test_schedule_follows_gamma():
    layer = ds.RevGrad(gamma=0.5, gamma_clip=0.99)
    for _ in range(3):
        layer.step_alpha()
    assert layer._alpha.item() == pytest.approx(math.tanh(0.5 * 3 / 2), abs=1e-6)


def test_revgradfunc_scales_gradient():
    x = torch.randn(5, requires_grad=True)
    y = ds.RevGradFunc.apply(x, torch.tensor(0.25))
    assert torch.equal(y.detach(), x.detach())
    (y * torch.arange(5.0)).sum().backward()
    torch.testing.assert_close(x.grad, -0.25 * torch.arange(5.0))


def encoder_grads(net, x, labels):
    net.zero_grad(set_to_none=True)
    out = net(x)
    adv = (nn.functional.cross_entropy(out["adv_market"], labels)
           + out["adv_excess"].square().mean())
    adv.backward()
    return torch.cat([p.grad.flatten() for p in
                      list(net.enc_excess.parameters()) + list(net.enc_market.parameters())])


def test_adversarial_gradient_reaches_encoders_reversed():
    torch.manual_seed(2)
    net = ds.ADDModel(d_feat=6, hidden_size=4, num_layers=1, dec_dropout=0.0)
    x, labels = torch.randn(8, 24), torch.randint(0, 3, (8,))
    assert torch.count_nonzero(encoder_grads(net, x, labels)) == 0
    assert net.adv_market[0].weight.grad.abs().sum() > 0  # the heads still learn
    for layer in (net.before_adv_excess, net.before_adv_market):
        layer._alpha = torch.tensor(-1.0)  # plain pass-through, as a reference
    plain = encoder_grads(net, x, labels)
    for layer in (net.before_adv_excess, net.before_adv_market):
        layer._alpha = torch.tensor(0)
        layer.step_alpha()
    reversed_ = encoder_grads(net, x, labels)
    assert plain.abs().sum() > 0
    torch.testing.assert_close(reversed_, -EXPECTED[0] * plain, rtol=1e-4, atol=1e-7)


def test_loaded_weights_restart_the_schedule():
    net = ds.ADDModel(hidden_size=4, dec_dropout=0.0)
    net.before_adv_excess.step_alpha()
    fresh = ds.ADDModel(hidden_size=4, dec_dropout=0.0)
    fresh.load_state_dict(net.state_dict())
    assert fresh.before_adv_excess._p == 0 and fresh.before_adv_excess._alpha.item() == 0


# ---- plain regressors

@pytest.mark.parametrize("cls, rnn", [(ds.LSTMModel, nn.LSTM), (ds.GRUModel, nn.GRU)])
@pytest.mark.parametrize("rows", [1, 7])
def test_plain_regressors(cls, rnn, rows):
    net = cls()
    assert type(net.rnn) is rnn and net.rnn.num_layers == 2 and net.rnn.hidden_size == 64
    assert list(net.state_dict())[-2:] == ["fc_out.weight", "fc_out.bias"]
    assert net(torch.randn(rows, 360)).shape == (rows,)
