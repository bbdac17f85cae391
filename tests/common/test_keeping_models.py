"""A researcher's day with the three forecasters: save and load (in a fresh process), quiet runs
and their history, device forms, ignored keywords, fit with frames, the feed-forward width."""
import json
import os
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
import torch

import attnencoder
import dualstream
import factorsearch
import wavecell

NETS = {
    "TransformerModel": (attnencoder.TransformerModel,
                         dict(d_model=8, nhead=2, num_layers=1, dim_feedforward=16)),
    "SFM": (wavecell.SFM, dict(hidden_size=6, output_dim=4, freq_dim=4)),
    "ADD": (dualstream.ADD, dict(hidden_size=4, num_layers=1)),
}


def make(name, **kw):
    cls, small = NETS[name]
    return cls(**{"d_feat": 5, "n_epochs": 2, "batch_size": 128, "GPU": -1, "seed": 0,
                  "verbose": False, **small, **kw})


def scores(pred):
    return (pred[0] if isinstance(pred, pd.DataFrame) else pred).to_numpy()


@pytest.fixture(scope="module")
def frames(market):
    data1, price1, codes = market
    out = {}
    for label in ("rank", "raw"):  # ADD's regimes need the raw label's daily mean
        frame = factorsearch.window_features(data1, codes[:10], window=5, price1=price1,
                                             label=label)
        days = frame.index.get_level_values(0).unique()
        out[label] = (frame, frame.loc[: days[120]], frame.loc[days[123]: days[180]],
                      frame.loc[days[183]:].drop(columns="label"))
    return out


def data_for(name, frames):
    return frames["raw" if name == "ADD" else "rank"]


@pytest.mark.parametrize("name", NETS)
def test_quiet_run_prints_nothing_and_records_history(name, frames, in_tmp, capsys):
    frame, train, valid, test = data_for(name, frames)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = make(name)
        model.fit((frame, (train, valid)))
        model.predict(test)
        model.save("m.pt")
        type(model).load("m.pt").predict(test)
    assert capsys.readouterr().out == ""
    assert [str(w.message) for w in caught] == []
    assert [h["epoch"] for h in model.history] == [0, 1]
    for h in model.history:
        assert h["seconds"] > 0 and np.isfinite(h["valid_score"]) and "train_score" in h
    if name != "ADD":
        assert model.history[-1]["valid_score"] == model._shared_evals_result["valid"][-1]
    else:
        assert {"train_ic", "valid_ic", "valid_loss"} <= set(model.history[0])


@pytest.mark.parametrize("name", NETS)
def test_saved_model_predicts_the_same_bits_in_a_fresh_process(name, frames, in_tmp):
    frame, train, valid, test = data_for(name, frames)
    model = make(name)
    model.fit((frame, (train, valid)))
    before = scores(model.predict(test))
    model.save(in_tmp / "kept.pt")
    test.to_pickle(in_tmp / "test.pkl")
    module = type(model).__module__
    code = (f"import sys, json, numpy as np, pandas as pd, {module}\n"
            f"m = {module}.{name}.load('kept.pt')\n"
            "p = m.predict(pd.read_pickle('test.pkl'))\n"
            "np.save('after.npy', (p[0] if isinstance(p, pd.DataFrame) else p).to_numpy())\n"
            "json.dump([m.fitted, m.verbose, m.seed, m.features], open('meta.json', 'w'))\n")
    run = subprocess.run([sys.executable, "-c", code], cwd=in_tmp, capture_output=True,
                         text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert run.returncode == 0, run.stderr
    assert run.stdout == ""  # no banner on the way back
    after = np.load(in_tmp / "after.npy")
    assert after.dtype == before.dtype and after.tobytes() == before.tobytes()
    fitted, verbose, seed, features = json.load(open(in_tmp / "meta.json"))
    assert (fitted, verbose, seed) == (True, False, 0)
    assert features == {"window": 5, "fields": ["open", "high", "low", "close", "volume"],
                        "label": "raw" if name == "ADD" else "rank", "extra": [],
                        "scaling": {"open": "close", "high": "close", "low": "close",
                                    "close": "close", "volume": "volume"}}


@pytest.mark.parametrize("name", NETS)
def test_load_refuses_other_widths_files_and_forecasters(name, frames, in_tmp):
    frame, train, valid, test = data_for(name, frames)
    model = make(name, n_epochs=1)
    model.fit((frame, (train, valid)))
    model.save("kept.pt")
    cls = type(model)
    back = cls.load("kept.pt", GPU="cpu")
    assert back.device == torch.device("cpu") and back.history == []
    narrow = test.iloc[:, :20]
    narrow.columns = [f"c{i}" for i in range(20)]
    with pytest.raises(ValueError, match="has 20 feature columns, but the model was fitted on 25"):
        back.predict(narrow)
    other = next(n for n in NETS if n != name)
    make(other).save("other.pt")
    with pytest.raises(ValueError, match=f"holds a saved .*{other}, not a .*{name}"):
        cls.load("other.pt")
    weights = {"TransformerModel": "transformer.pth", "SFM": "sfm.pth", "ADD": "ADD.pth"}[name]
    with pytest.raises(ValueError, match="holds a state dictionary of .* tensors"):
        cls.load(weights)
    (in_tmp / "notes.txt").write_text("not a model")
    with pytest.raises(ValueError, match="is not a model written by save"):
        cls.load("notes.txt")
    with pytest.raises(FileNotFoundError):
        cls.load("missing.pt")


def test_a_failed_save_leaves_the_old_file(in_tmp, monkeypatch):
    model = make("SFM")
    model.save("kept.pt")
    old = (in_tmp / "kept.pt").read_bytes()
    with pytest.raises(FileNotFoundError):
        model.save(in_tmp / "no_such_dir" / "kept.pt")

    def broken(obj, f):
        f.write(b"partial")
        raise OSError(28, "No space left on device")
    model.n_epochs = 7
    with monkeypatch.context() as patch, pytest.raises(OSError, match="No space left"):
        patch.setattr(torch, "save", broken)
        model.save("kept.pt")
    assert (in_tmp / "kept.pt").read_bytes() == old
    assert sorted(p.name for p in in_tmp.iterdir()) == ["kept.pt"]
    model.save("kept.pt")  # a changed setting is what gets kept
    assert wavecell.SFM.load("kept.pt").n_epochs == 7


def test_load_leaves_the_global_generators_alone(in_tmp):
    make("TransformerModel").save("kept.pt")
    torch.manual_seed(5)
    expected = torch.rand(3)
    torch.manual_seed(5)
    attnencoder.TransformerModel.load("kept.pt")
    assert torch.equal(torch.rand(3), expected)


@pytest.mark.parametrize("name", NETS)
@pytest.mark.parametrize("gpu", ["cpu", torch.device("cpu"), -1, None])
def test_device_forms_on_the_cpu(name, gpu):
    assert make(name, GPU=gpu).device == torch.device("cpu")


@pytest.mark.parametrize("name", NETS)
@pytest.mark.parametrize("gpu,message", [
    ("gpu0", "Invalid GPU: 'gpu0' (expected an integer GPU number, 'cpu', 'cuda', 'cuda:N'"),
    ("cuda:x", "Invalid GPU: 'cuda:x'"), ([0], "Invalid GPU: [0]"),
    pytest.param("cuda:1", "GPU='cuda:1' asks for a CUDA device, but torch.cuda.is_available() is False",
                 marks=pytest.mark.skipif(torch.cuda.is_available(), reason="CUDA present")),
    pytest.param("cuda", "GPU='cuda' asks for a CUDA device",
                 marks=pytest.mark.skipif(torch.cuda.is_available(), reason="CUDA present")),
])
def test_bad_device_forms_are_refused_before_printing(name, gpu, message, capsys):
    with pytest.raises(ValueError) as err:
        make(name, GPU=gpu, verbose=True)
    assert str(err.value).startswith(message)
    assert capsys.readouterr().out == ""


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_cuda_forms_with_cuda():
    assert make("SFM", GPU="cuda").device.type == "cuda"
    assert make("SFM", GPU=torch.device("cuda:0")).device == torch.device("cuda:0")
    with pytest.raises(ValueError, match="names CUDA device 99"):
        make("SFM", GPU="cuda:99")


@pytest.mark.parametrize("name", NETS)
def test_unknown_keywords_warn_once_with_the_closest_name(name, capsys):
    with pytest.warns(UserWarning) as caught:
        model = make(name, typo_param=3, erly_stop=5)
    assert len(caught) == 1
    assert str(caught[0].message) == (
        f"{name} ignores keyword arguments it does not know: typo_param, "
        "erly_stop (did you mean 'early_stop'?)")
    assert model.early_stop == 20 and capsys.readouterr().out == ""


def test_verbose_keeps_todays_output_and_the_switch_follows_the_attribute(capsys, frames,
                                                                          in_tmp, lines):
    model = make("SFM", verbose=True)
    assert capsys.readouterr().out.startswith("SFM pytorch version...\n")
    frame, train, valid, _ = frames["rank"]
    model.print = lines
    model.verbose = False
    model.fit((frame, (train, valid)))
    assert lines == []
    model.verbose = True
    model.fit((frame, (train, valid)))
    assert lines[:3] == ["training...", "Epoch0:", "training..."]


def test_a_bar_runs_inside_each_epoch_where_someone_watches(frames, in_tmp, monkeypatch, lines):
    class Terminal(list):
        def isatty(self):
            return True

        def write(self, text):
            self.append(text)

        def flush(self):
            pass
    frame, train, valid, _ = frames["rank"]
    for verbose, shows in [(True, True), (False, False)]:
        err = Terminal()
        with monkeypatch.context() as patch:
            patch.setattr(sys, "stderr", err)
            model = make("SFM", verbose=verbose)
            model.print = lines
            model.fit((frame, (train, valid)))
        assert ("Epoch1" in "".join(err)) is shows


@pytest.mark.parametrize("name", NETS)
def test_fit_takes_frames_or_index_selections(name, frames, in_tmp):
    frame, train, valid, test = data_for(name, frames)
    days = frame.index.get_level_values(0).unique()
    texts = (f".loc[:'{days[120].date()}']", f".loc['{days[123].date()}':'{days[180].date()}']")
    results = []
    for pair in [texts, (train, valid), (train.index, valid.index)]:
        model = make(name)
        model.fit((frame, pair))
        results.append(scores(model.predict(test)))
    assert results[0].tobytes() == results[1].tobytes() == results[2].tobytes()
    with pytest.raises(ValueError, match="does not have the frame's columns"):
        make(name).fit((frame, (train.drop(columns=train.columns[0]), valid)))


def test_feed_forward_width_is_a_setting():
    model = make("TransformerModel", dim_feedforward=128)
    assert model.model.encoder_layer.linear1.out_features == 128
    assert attnencoder.TransformerModel(GPU=-1, verbose=False).model.encoder_layer.linear1 \
        .out_features == 2048
