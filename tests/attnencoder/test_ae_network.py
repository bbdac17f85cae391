import copy
import io
import math

import pytest
import torch

import attnencoder

pytestmark = pytest.mark.filterwarnings("ignore:enable_nested_tensor")


class PlainPositionalEncoding(torch.nn.Module):
    def __init__(self, d_model, max_len=1000):
        super().__init__()
        pe = torch.zeros(max_len, d_model)
        position = torch.arange(0, max_len, dtype=torch.float).unsqueeze(1)
        div_term = torch.exp(torch.arange(0, d_model, 2).float() * (-math.log(10000.0) / d_model))
        pe[:, 0::2] = torch.sin(position * div_term)
        pe[:, 1::2] = torch.cos(position * div_term)
        self.register_buffer("pe", pe.unsqueeze(0).transpose(0, 1))

    def forward(self, x):
        return x + self.pe[: x.size(0), :]


class PlainTransformer(torch.nn.Module):
    """The same network written directly in Python, to load our state dicts into."""

    def __init__(self, d_feat=6, d_model=8, nhead=4, num_layers=2, dropout=0.5, device=None):
        super().__init__()
        self.feature_layer = torch.nn.Linear(d_feat, d_model)
        self.pos_encoder = PlainPositionalEncoding(d_model)
        self.encoder_layer = torch.nn.TransformerEncoderLayer(d_model=d_model, nhead=nhead, dropout=dropout)
        self.transformer_encoder = torch.nn.TransformerEncoder(self.encoder_layer, num_layers=num_layers)
        self.decoder_layer = torch.nn.Linear(d_model, 1)
        self.d_feat = d_feat

    def forward(self, src):
        src = src.reshape(len(src), self.d_feat, -1).permute(0, 2, 1)
        src = self.feature_layer(src).transpose(1, 0)
        src = self.pos_encoder(src)
        out = self.transformer_encoder(src, None)
        return self.decoder_layer(out.transpose(1, 0)[:, -1, :]).squeeze(1)


def test_positional_encoding_rows():
    pe = attnencoder.PositionalEncoding(4)
    assert pe.pe.shape == (1000, 1, 4) and pe.pe.dtype == torch.float32
    assert torch.allclose(pe.pe[0, 0], torch.tensor([0.0, 1.0, 0.0, 1.0]))
    expected = torch.tensor([math.sin(1), math.cos(1), math.sin(0.01), math.cos(0.01)])
    assert torch.allclose(pe.pe[1, 0], expected, atol=1e-6)
    assert attnencoder.PositionalEncoding(6, max_len=7).pe.shape == (7, 1, 6)
    assert list(pe.state_dict()) == ["pe"] and not list(pe.parameters())
    x = torch.randn(3, 5, 4)
    assert torch.equal(pe(x), x + pe.pe[:3])


def test_state_dict_keys_and_plain_torch_round_trip():
    torch.manual_seed(0)
    net = attnencoder.Transformer(6, 8, 4, 2, 0.5, None)
    keys = list(net.state_dict())
    prefixes = [k.split(".")[0] for k in keys]
    # registration order: feature_layer, pos_encoder, encoder_layer, transformer_encoder, decoder_layer
    order = ["feature_layer", "pos_encoder", "encoder_layer", "transformer_encoder", "decoder_layer"]
    assert [p for i, p in enumerate(prefixes) if i == 0 or prefixes[i - 1] != p] == order
    assert keys[:3] == ["feature_layer.weight", "feature_layer.bias", "pos_encoder.pe"]
    assert {k.split(".")[2] for k in keys if k.startswith("transformer_encoder.")} == {"0", "1"}
    assert keys[-2:] == ["decoder_layer.weight", "decoder_layer.bias"]

    buf = io.BytesIO()
    torch.save(net.state_dict(), buf)
    buf.seek(0)
    plain = PlainTransformer(6, 8, 4, 2, 0.5)
    plain.load_state_dict(torch.load(buf))
    net.eval(), plain.eval()
    x = torch.randn(7, 60)
    assert torch.allclose(net(x), plain(x), atol=1e-6)


@pytest.mark.parametrize("n", [1, 2, 33])
def test_output_shape_and_eval_determinism(n):
    torch.manual_seed(1)
    net = attnencoder.Transformer(6, 8, 2, 1, 0.5, None)
    x = torch.randn(n, 6 * 12)
    net.eval()
    out = net(x)
    assert out.shape == (n,)
    assert torch.equal(out, net(x))


def test_dropout_changes_training_outputs_and_blocks_matter():
    torch.manual_seed(2)
    net = attnencoder.Transformer(6, 8, 2, 1, 0.5, None)
    x = torch.randn(16, 60)
    net.train()
    assert not torch.equal(net(x), net(x))
    net.eval()
    swapped = torch.cat([x[:, 10:20], x[:, :10], x[:, 20:]], dim=1)  # swap feature blocks 0 and 1
    assert not torch.allclose(net(x), net(swapped))


def test_module_behaves_like_a_python_module():
    torch.manual_seed(3)
    net = attnencoder.Transformer(6, 8, 2, 1, 0.0, None)
    assert isinstance(net, torch.nn.Module)
    clone = copy.deepcopy(net)
    buf = io.BytesIO()
    torch.save(net, buf)
    buf.seek(0)
    loaded = torch.load(buf, weights_only=False)
    x = torch.randn(4, 60)
    net.eval(), clone.eval(), loaded.eval()
    assert torch.equal(net(x), clone(x)) and torch.equal(net(x), loaded(x))
    seen = []
    net.decoder_layer.register_forward_hook(lambda m, i, o: seen.append(o.shape))
    net(x)
    assert seen == [torch.Size([4, 1])]


def test_shape_errors_come_from_torch():
    with pytest.raises(RuntimeError):
        attnencoder.PositionalEncoding(5)
    net = attnencoder.Transformer(6, 8, 2, 1, 0.0, None)
    with pytest.raises(RuntimeError):
        net(torch.randn(2, 61))
