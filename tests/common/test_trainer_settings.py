"""Settings no run can work with are refused by all three trainers, at once and before anything
is printed; values the documented behaviour gives a meaning stay accepted."""
import inspect
import math
import threading

import pytest

import attnencoder
import dualstream
import wavecell

pytestmark = pytest.mark.filterwarnings("ignore:enable_nested_tensor")

TRAINERS = {
    "ADD": (dualstream.ADD, dict(d_feat=6, hidden_size=4, num_layers=1, GPU=-1, seed=0)),
    "SFM": (wavecell.SFM, dict(d_feat=6, hidden_size=4, output_dim=4, freq_dim=3, GPU=-1, seed=0)),
    "TransformerModel": (attnencoder.TransformerModel,
                         dict(d_feat=6, d_model=8, nhead=2, num_layers=1, GPU=-1, seed=0)),
}

COMMON_BAD = [("batch_size", 0), ("batch_size", -5), ("n_epochs", -1), ("lr", -0.001),
              ("lr", math.nan), ("lr", math.inf), ("d_feat", 0)]
OWN_BAD = {
    "ADD": [("hidden_size", 0), ("num_layers", 0), ("dropout", 1.5), ("dec_dropout", -0.1)],
    "SFM": [("hidden_size", 0), ("dropout_W", 1.01), ("dropout_U", -1)],
    "TransformerModel": [("d_model", 0), ("nhead", 0), ("num_layers", -2), ("dropout", 2)],
}
BAD = [(t, name, value) for t in TRAINERS for name, value in COMMON_BAD + OWN_BAD[t]]


def build(trainer, **kw):
    cls, small = TRAINERS[trainer]
    return cls(**{**small, **kw})


def quiet(trainer, lines, **kw):
    model = build(trainer, **kw)
    model.print = lines
    lines.clear()
    return model


def finishes(fn, seconds=60):
    """Runs fn on a daemon thread; returns what it raised. A hang fails the test, not the run."""
    box = {}

    def target():
        try:
            fn()
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            box["error"] = exc

    worker = threading.Thread(target=target, daemon=True)
    worker.start()
    worker.join(seconds)
    assert not worker.is_alive(), "did not return"
    return box.get("error")


@pytest.mark.parametrize("trainer,name,value", BAD)
def test_unusable_settings_refused_before_printing(capture_stdout, trainer, name, value):
    with pytest.raises(ValueError) as err:
        build(trainer, **{name: value})
    assert str(err.value).startswith(f"Invalid {name}: {value} (expected ")
    assert capture_stdout() == []


@pytest.mark.filterwarnings("ignore:.*ignores keyword arguments it does not know")
@pytest.mark.parametrize("trainer", TRAINERS)
@pytest.mark.parametrize("kw", [dict(early_stop=0), dict(early_stop=-3), dict(lr=0),
                                dict(n_epochs=0), dict(dropout_or_any=7),
                                dict(batch_size=1, n_epochs=1, lr=0.5)])
def test_meaningful_values_are_accepted_and_stored_as_given(capture_stdout, trainer, kw):
    m = build(trainer, **kw)
    assert capture_stdout()  # the settings were printed
    for name, value in kw.items():
        if name in vars(m):
            assert getattr(m, name) == value and type(getattr(m, name)) is type(value)


@pytest.mark.parametrize("trainer", TRAINERS)
@pytest.mark.parametrize("name,value,error", [
    ("batch_size", 0, ValueError), ("n_epochs", -1, ValueError),
    # beyond 64 bits or not a number: named, not the converter's "Unable to cast ..."/"int() ..."
    ("batch_size", 10**30, ValueError), ("n_epochs", 2**63, ValueError),
    ("early_stop", 10**30, ValueError), ("early_stop", None, TypeError),
    ("early_stop", math.nan, ValueError), ("d_feat", 10**30, ValueError)])
def test_fit_rechecks_changed_settings_before_anything(in_tmp, lines, small_frame, trainer,
                                                       name, value, error):
    if name == "d_feat" and trainer == "TransformerModel":
        pytest.skip("the Transformer's d_feat is its network's")
    m = quiet(trainer, lines, n_epochs=1, batch_size=64)
    setattr(m, name, value)
    err = finishes(lambda: m.fit((small_frame, (".iloc[:300]", ".iloc[300:]"))))
    assert isinstance(err, error) and str(err).startswith(f"Invalid {name}: {value!r} (")
    assert lines == [] and m.fitted is False and not list(in_tmp.iterdir())


@pytest.mark.parametrize("trainer", TRAINERS)
def test_every_batch_loop_refuses_a_zero_batch(lines, small_frame, trainer):
    m = quiet(trainer, lines)
    m.batch_size = 0
    x, y = small_frame.drop(columns="label"), small_frame["label"]
    if trainer == "ADD":  # ADD evaluates and predicts by day, not by batch
        calls = [lambda: m.train_epoch(x.to_numpy(), y.to_numpy(), (y > 0).to_numpy())]
    else:
        calls = [lambda: m.train_epoch(x, y), lambda: m.test_epoch(x, y), lambda: m.predict(x)]
    for call in calls:
        err = finishes(call)
        assert isinstance(err, ValueError) and "Invalid batch_size: 0" in str(err)


@pytest.mark.parametrize("trainer", TRAINERS)
@pytest.mark.parametrize("call", ["one positional too many", "d_feat given twice"])
def test_binding_errors_list_the_documented_signature(capture_stdout, trainer, call):
    """The constructors are bound from their settings tables; pybind11's own argument errors
    still list exactly the parameters and defaults the documented signature shows."""
    cls = TRAINERS[trainer][0]
    params = list(inspect.signature(cls.__init__).parameters.values())[1:-1]  # no self, **kwargs
    listed = ", ".join(["self: object"] + [f"{p.name}: object = {p.default!r}" for p in params]
                       + ["**kwargs"])
    args, kw = ((0,) * (len(params) + 1), {}) if call.startswith("one") else ((6,), {"d_feat": 6})
    with pytest.raises(TypeError) as err:
        cls(*args, **kw)
    assert str(err.value).startswith(
        "init(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. ({listed}) -> None\n\nInvoked with: ")
    assert capture_stdout() == []


def test_argument_types_are_checked_before_values(capture_stdout):
    with pytest.raises(TypeError, match=r"^Argument 'd_model' has incorrect type \(expected int"):
        attnencoder.TransformerModel(d_feat=0, d_model=True, GPU=-1)
    with pytest.raises(TypeError):  # dropout is converted with float() before any rule
        attnencoder.TransformerModel(d_feat=0, dropout="0.5", GPU=-1)
    with pytest.raises(TypeError, match=r"^Argument 'dropout' has incorrect type \(expected float, "
                                        r"got NoneType\)$"):
        attnencoder.TransformerModel(dropout=None, GPU=-1)
    assert capture_stdout() == []


@pytest.mark.parametrize("trainer", TRAINERS)
def test_a_gpu_that_is_no_device_form_is_named(capture_stdout, trainer):
    with pytest.raises(ValueError, match=r"^Invalid GPU: \[0\] \(expected an integer GPU number"):
        build(trainer, GPU=[0])


@pytest.mark.parametrize("trainer", TRAINERS)
def test_settings_without_a_rule_are_stored_without_being_read(capture_stdout, trainer):
    class Counted:
        reads = 0

        def __float__(self):
            Counted.reads += 1
            return 1.0

    value = Counted()
    assert build(trainer, early_stop=value).early_stop is value and Counted.reads == 0
