import pytest
import torch

import wavecell

pytestmark = pytest.mark.filterwarnings("ignore:The given NumPy array is not writable")

DEFAULT_BLOCK = [
    "SFM pytorch version...", "SFM parameters setting:", "d_feat : 6", "hidden_size : 64",
    "output_size : 32", "frequency_dimension : 25", "dropout_W: 0.5", "dropout_U: 0.5",
    "n_epochs : 20", "lr : 0.001", "metric : ", "batch_size : 1600", "early_stop : 20",
    "eval_steps : 5", "optimizer : adam", "loss_type : mse", "device : cpu", "use_GPU : False",
    "seed : None", "model:", "SFM_Model("]


def test_defaults_print_the_settings_block_and_model(capture_stdout):
    with pytest.warns(UserWarning, match="unknown_option"):
        m = wavecell.SFM(GPU=-1, unknown_option=3)
    out = capture_stdout()
    assert out[:len(DEFAULT_BLOCK)] == DEFAULT_BLOCK
    assert "(fc_out): Linear(in_features=32, out_features=1, bias=True)" in "\n".join(out)
    assert list(vars(m)) == ["print", "verbose", "d_feat", "hidden_size", "output_dim",
                             "freq_dim", "dropout_W", "dropout_U", "n_epochs", "lr", "metric",
                             "batch_size", "early_stop", "eval_steps", "optimizer", "loss",
                             "device", "seed", "sfm_model", "train_optimizer", "fitted",
                             "history", "_settings"]
    assert m.device == torch.device("cpu") and m.use_gpu is False and m.fitted is False
    net = m.sfm_model
    assert isinstance(net, wavecell.SFM_Model) and net.device == m.device
    assert (net.input_dim, net.hidden_dim, net.output_dim, net.freq_dim) == (6, 64, 32, 25)
    assert (net.dropout_W, net.dropout_U) == (0.5, 0.5)
    assert wavecell.SFM.__doc__.startswith("SFM Model\n\n    Parameters\n")


def test_unknown_optimizer_after_the_summary(capture_stdout):
    with pytest.raises(NotImplementedError, match=r"^optimizer Sgd is not supported!$"):
        wavecell.SFM(GPU=-1, optimizer="Sgd")
    out = capture_stdout()
    assert out[0] == "SFM pytorch version..." and "model:" in out and "optimizer : sgd" in out


def test_average_meter():
    meter = wavecell.AverageMeter()
    assert (meter.val, meter.avg, meter.sum, meter.count) == (0, 0, 0, 0)
    meter.update(2.0, 3)
    meter.update(4.0)
    assert (meter.val, meter.sum, meter.count, meter.avg) == (4.0, 10.0, 4, 2.5)
    meter.reset()
    assert (meter.val, meter.avg, meter.sum, meter.count) == (0, 0, 0, 0)
    assert wavecell.AverageMeter.__doc__ == "Computes and stores the average and current value"


def test_mse_keeps_the_dtype_it_is_given():
    m = wavecell.SFM(GPU=-1, hidden_size=4, output_dim=4, freq_dim=3)
    pred = torch.tensor([1.0, 2.0], dtype=torch.float64)
    out = m.mse(pred, pred + 2)
    assert out.dtype == torch.float64 and out.item() == 4.0
