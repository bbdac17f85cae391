import numpy as np
import pytest
import torch

import attnencoder

pytestmark = pytest.mark.filterwarnings("ignore:enable_nested_tensor")


def test_constructor_prints_header_and_stores_settings(capture_stdout):
    m = attnencoder.TransformerModel(GPU=-1)
    assert capture_stdout() == ["Naive Transformer:", "batch_size : 2048", "device : cpu"]
    assert list(vars(m)) == ["print", "verbose", "d_model", "dropout", "n_epochs", "lr", "reg",
                             "metric", "batch_size", "early_stop", "optimizer", "loss", "n_jobs",
                             "device", "seed", "model", "train_optimizer", "fitted", "history",
                             "_settings"]
    assert m.dropout == 0.0 and type(m.dropout) is float and m.fitted is False
    assert m.device == torch.device("cpu") and m.use_gpu is False
    assert m.model.d_feat == 6 and isinstance(m.model, attnencoder.Transformer)
    with pytest.warns(UserWarning, match="some_unknown_option"):
        attnencoder.TransformerModel(GPU=-1, some_unknown_option=1)  # ignored, with a warning


@pytest.mark.parametrize("name,value,got", [
    ("d_feat", 6.0, "float"), ("d_model", True, "bool"), ("batch_size", None, "NoneType"),
    ("nhead", "2", "str"), ("num_layers", np.int64(2), "int64")])
def test_non_integer_arguments_are_rejected_before_printing(capture_stdout, name, value, got):
    with pytest.raises(TypeError) as err:
        attnencoder.TransformerModel(GPU=-1, **{name: value})
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"
    assert capture_stdout() == []


def test_dropout_must_convert_to_float():
    with pytest.raises(TypeError):
        attnencoder.TransformerModel(GPU=-1, dropout="0.5")
    assert attnencoder.TransformerModel(GPU=-1, dropout=1).dropout == 1.0


def test_unknown_optimizer_after_header(capture_stdout):
    with pytest.raises(NotImplementedError, match=r"^optimizer Sgd is not supported!$"):
        attnencoder.TransformerModel(GPU=-1, optimizer="Sgd")
    assert capture_stdout()[0] == "Naive Transformer:"

def test_mse_compares_in_float32():
    m = attnencoder.TransformerModel(GPU=-1, d_model=8, num_layers=1)
    pred = torch.tensor([1.0, 2.0], dtype=torch.float64)
    out = m.mse(pred, torch.tensor([3, 4]))
    assert out.dtype == torch.float32 and out.item() == 4.0
