"""ADD construction (settings, printing, seeding, optimiser) and the loss terms."""
import pytest
import torch

import dualstream as ds

SMALL = dict(d_feat=6, hidden_size=4, num_layers=1)
LOSS_KEYS = ["pre_excess_loss", "pre_market_loss", "pre_loss", "adv_excess_loss",
             "adv_market_loss", "adv_loss", "rec_loss", "loss"]


def quiet(**kw):
    return ds.ADD(**{**SMALL, **kw})


# ---- construction

def test_defaults_print_banner_block_and_model(capture_stdout):
    add = ds.ADD()
    out = "\n".join(capture_stdout())
    block = ("ADD pytorch version...\nADD parameters setting:\nd_feat : 6\nhidden_size : 64\n"
             "num_layers : 2\ndropout : 0.0\ndec_dropout : 0.0\nn_epochs : 200\nlr : 0.001\n"
             "metric : mse\nbatch_size : 5000\nearly_stop : 20\noptimizer : adam\n"
             "base_model : GRU\nmodel_path : None\ngamma : 0.1\ngamma_clip : 0.4\nmu : 0.05\n"
             "device : cpu\nuse_GPU : False\nseed : None\nmodel:\nADDModel(\n")
    assert out.startswith(block)
    assert out.endswith(str(add.ADD_model))
    assert list(vars(add)) == [
        "print", "verbose", "d_feat", "hidden_size", "num_layers", "dropout", "dec_dropout", "n_epochs", "lr",
        "metric", "batch_size", "early_stop", "optimizer", "base_model", "model_path", "device",
        "seed", "gamma", "gamma_clip", "mu", "ADD_model", "train_optimizer", "fitted", "history",
        "_settings"]
    assert add.fitted is False and add.use_gpu is False
    assert add.ADD_model.enc_excess.num_layers == 2 and add.ADD_model.dec.rnn.dropout == 0.0


def test_values_stored_unchanged_and_extra_kwargs_ignored():
    with pytest.warns(UserWarning, match="n_jobs, whatever"):
        add = quiet(lr=1, metric="ic", mu=0, GPU=-1, n_jobs=10, whatever="x")
    assert (add.lr, add.metric, add.mu) == (1, "ic", 0) and type(add.lr) is int
    assert not hasattr(add, "n_jobs") and not hasattr(add, "GPU")
    assert str(add.device) == "cpu"


def test_class_surface():
    names = [k for k in vars(ds.ADD) if not k.startswith("_")]
    assert names == ["use_gpu", "loss_pre_excess", "loss_pre_market", "loss_pre",
                     "loss_adv_excess", "loss_adv_market", "loss_adv", "loss_fn", "loss_rec",
                     "get_daily_inter", "cal_ic_metrics", "test_epoch", "train_epoch",
                     "log_metrics", "bootstrap_fit", "gen_market_label", "fit_thresh", "fit",
                     "predict", "features", "save", "load"]
    doc = ds.ADD.__doc__
    assert doc.startswith("ADD Model")
    for text in ("lr", "learning rate", "input dimensions for each time step",
                 "the evaluation metric used in early stop", "optimizer name",
                 "the GPU ID used for training"):
        assert text in doc
    with pytest.raises(TypeError):
        ds.ADD(*range(20))  # 19 positional parameters at most


@pytest.mark.parametrize("name, stored, cls", [("adam", "adam", torch.optim.Adam),
                                               ("ADAM", "adam", torch.optim.Adam),
                                               ("Gd", "gd", torch.optim.SGD)])
def test_optimiser_choice(name, stored, cls):
    add = quiet(optimizer=name, lr=0.01)
    assert add.optimizer == stored and type(add.train_optimizer) is cls
    group = add.train_optimizer.param_groups[0]
    assert group["lr"] == 0.01 and group["weight_decay"] == 0
    assert len(group["params"]) == len(list(add.ADD_model.parameters()))


@pytest.mark.parametrize("name", ["sgd", "RMSprop"])
def test_unsupported_optimiser_named_as_written(name, capture_stdout):
    with pytest.raises(NotImplementedError, match=f"^optimizer {name} is not supported!$"):
        quiet(optimizer=name)
    assert any(line.startswith("model:") for line in capture_stdout())


def test_unknown_base_model_after_block(capture_stdout):
    with pytest.raises(ValueError, match="^unknown base model name `gru`$"):
        quiet(base_model="gru")
    assert "base_model : gru" in capture_stdout()


@pytest.mark.parametrize("seed", [0, 7])
def test_same_seed_same_weights(seed):
    a, b = quiet(seed=seed), quiet(seed=seed)
    other = quiet(seed=seed + 1)
    sa, sb, so = (m.ADD_model.state_dict() for m in (a, b, other))
    assert all(torch.equal(sa[k], sb[k]) for k in sa)
    assert not all(torch.equal(sa[k], so[k]) for k in sa)


# ---- losses

def batch(n=10, seed=0, nan_rows=()):
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(n, 24, generator=g)
    y = torch.randn(n, generator=g)
    y[list(nan_rows)] = float("nan")
    m = torch.randint(0, 3, (n,), generator=g)
    return x, y, m


@pytest.fixture
def add():
    a = quiet(seed=1)
    a.ADD_model.eval()
    return a


def test_record_has_eight_keys_in_order_matching_returns(add):
    x, y, m = batch()
    preds = add.ADD_model(x)
    record = {"loss": -1.0, "other": 3}
    loss = add.loss_fn(x, preds, y, m, record)
    assert list(record) == ["loss", "other"] + LOSS_KEYS[:-1]  # "loss" overwritten in place
    assert record["loss"] == pytest.approx(loss.item()) and loss.requires_grad
    assert record["pre_loss"] == pytest.approx(record["pre_excess_loss"] + record["pre_market_loss"])
    assert record["adv_loss"] == pytest.approx(record["adv_excess_loss"] + record["adv_market_loss"])
    assert record["loss"] == pytest.approx(record["pre_loss"] + record["adv_loss"]
                                           + 0.05 * record["rec_loss"], rel=1e-6)
    fresh = {}
    add.loss_fn(x, preds, y, m, fresh)
    assert list(fresh) == LOSS_KEYS
    assert add.loss_fn(x, preds, y, m).item() == pytest.approx(loss.item())


def test_terms_against_direct_formulas(add):
    x, y, m = batch()
    p = add.ADD_model(x)
    f = torch.nn.functional
    window = x.reshape(10, 6, -1).permute(0, 2, 1)
    cases = [(add.loss_pre_excess(p["excess"], y), f.mse_loss(p["excess"], y)),
             (add.loss_pre_market(p["market"], m), f.cross_entropy(p["market"], m)),
             (add.loss_adv_excess(p["adv_excess"], y), f.mse_loss(p["adv_excess"][:, 0], y)),
             (add.loss_adv_market(p["adv_market"], m), f.cross_entropy(p["adv_market"], m)),
             (add.loss_rec(x, p["reconstructed_feature"]),
              f.mse_loss(window, p["reconstructed_feature"]))]
    for got, want in cases:
        torch.testing.assert_close(got, want)


def test_nan_labels_only_leave_the_excess_terms(add):
    x, y, m = batch(nan_rows=(1, 4))
    p = add.ADD_model(x)
    keep = ~torch.isnan(y)
    full, part = {}, {}
    add.loss_fn(x, p, y, m, full)
    add.loss_pre_excess(p["excess"][keep], y[keep], part)
    add.loss_adv_excess(p["adv_excess"][keep], y[keep], part)
    assert full["pre_excess_loss"] == pytest.approx(part["pre_excess_loss"])
    assert full["adv_excess_loss"] == pytest.approx(part["adv_excess_loss"])
    market = add.loss_pre_market(p["market"][keep], m[keep]).item()
    assert full["pre_market_loss"] != pytest.approx(market)  # NaN-label rows still count here
    assert all(v == v for v in full.values())


def test_all_nan_labels_make_the_loss_nan(add):
    x, y, m = batch(nan_rows=range(10))
    record = {}
    add.loss_fn(x, add.ADD_model(x), y, m, record)
    assert record["pre_excess_loss"] != record["pre_excess_loss"]
    assert record["loss"] != record["loss"]
    assert record["pre_market_loss"] == record["pre_market_loss"]


def test_mu_read_at_call_time(add):
    x, y, m = batch()
    p = add.ADD_model(x)
    base = {}
    add.loss_fn(x, p, y, m, base)
    add.mu = 0
    zero = {}
    add.loss_fn(x, p, y, m, zero)
    assert zero["rec_loss"] == pytest.approx(base["rec_loss"]) and zero["rec_loss"] > 0
    assert zero["loss"] == pytest.approx(zero["pre_loss"] + zero["adv_loss"])
    add.mu = 2.0
    assert add.loss_fn(x, p, y, m).item() == pytest.approx(
        zero["pre_loss"] + zero["adv_loss"] + 2.0 * zero["rec_loss"], rel=1e-6)


@pytest.mark.parametrize("n", [1, 5])
@pytest.mark.parametrize("shape", ["column", "flat", "extra"])
def test_adversarial_excess_shapes_including_single_row(add, n, shape):
    adv = torch.randn(n, 1)
    y = torch.randn(n)
    given = {"column": adv, "flat": adv[:, 0], "extra": adv[:, :, None]}[shape]
    got = add.loss_adv_excess(given, y)
    torch.testing.assert_close(got, ((adv[:, 0] - y) ** 2).mean())


def test_single_row_day_through_the_network(add):
    x, y, m = batch(n=1)
    preds = add.ADD_model(x)
    record = {}
    add.loss_fn(x, preds, y, m, record)
    assert list(record) == LOSS_KEYS
    assert record["adv_excess_loss"] == pytest.approx(
        (preds["adv_excess"].item() - y.item()) ** 2, rel=1e-5)


def test_subclass_override_reaches_the_total():
    class Heavier(ds.ADD):
        def loss_rec(self, x, rec_x, record=None):
            return super().loss_rec(x, rec_x, record) * 0 + 100.0

    add = Heavier(**SMALL, mu=1.0)
    x, y, m = batch()
    record = {}
    add.loss_fn(x, add.ADD_model(x), y, m, record)
    assert record["loss"] == pytest.approx(record["pre_loss"] + record["adv_loss"] + 100.0)
