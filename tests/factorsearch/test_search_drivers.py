import os
import random
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import factorsearch
from factorsearch import FactorSearch

from alphaloom._testing import fs_reference

OPS = [["np.add", 2], ["np.subtract", 2], ["np.log", 1], ["abs", 1]]


def printed_rows(lines):
    return [eval(line, {"nan": np.nan, "inf": np.inf}) for line in lines]


def first_run_number(seed):
    random.seed(seed)
    return random.randint(0, 999)


@pytest.mark.parametrize("driver,hedged", [("hedge", True), ("long", False)])
def test_k_factors_make_a_file_of_k_rows(market, in_tmp, capture_stdout, driver, hedged):
    data1, price1, codes = market
    fs = FactorSearch(OPS)
    run = first_run_number(21)
    random.seed(21)
    assert getattr(fs, driver)(data1, price1, codes, 3, 2) is None
    rows = printed_rows(capture_stdout())
    assert len(rows) == 3
    saved = np.load(in_tmp / "factors" / f"{run}.npy")
    assert saved.shape == (3, 4)
    for row, line in zip(rows, saved):
        assert line[0] == row[0] and [float(v) for v in line[1:]] == row[1:]
    assert sorted(os.listdir(in_tmp / "factors")) == [f"{run}.npy"]  # no temporary files left

    random.seed(21)
    random.randint(0, 999)
    expected = [fs_reference.attempt(vars(factorsearch), fs.fuc, data1, price1, codes, 2, hedged)
                for _ in range(3)]
    assert all(fs_reference.same_row(a, b) for a, b in zip(rows, expected)), (rows, expected)


def test_no_factor_wanted_writes_nothing(market, in_tmp, capture_stdout):
    data1, price1, codes = market
    random.seed(4)
    FactorSearch(OPS).hedge(data1, price1, codes, 0, 2)
    after = random.random()
    first_run_number(4)
    assert after == random.random()  # only the run number was drawn
    assert os.listdir(in_tmp) == [] and capture_stdout() == []


def test_misses_are_retried_until_enough_factors(market, in_tmp, capture_stdout, monkeypatch):
    calls = []

    def flaky(x):
        calls.append(1)
        if len(calls) in (5, 10):  # the first two attempts fail part-way
            raise ValueError("no luck")
        return x * 1.5

    monkeypatch.setattr(factorsearch, "flaky", flaky, raising=False)
    data1, price1, codes = market
    FactorSearch([["flaky", 1]]).long(data1, price1, codes, 2, 2)
    assert len(capture_stdout()) == 2
    assert np.load(next((in_tmp / "factors").iterdir())).shape == (2, 4)
    assert len(calls) == 10 + 2 * 3 * len(codes)


def test_a_taken_run_number_is_not_overwritten(market, in_tmp, capture_stdout):
    data1, price1, codes = market
    taken = first_run_number(9)
    os.makedirs("factors")
    np.save(f"factors/{taken}.npy", np.array([["earlier run", "1.0", "0.5", "0.1"]]))
    random.seed(9)
    FactorSearch(OPS).hedge(data1, price1, codes, 1, 2)
    files = sorted(os.listdir("factors"))
    assert len(files) == 2 and f"{taken}.npy" in files
    assert np.load(f"factors/{taken}.npy")[0, 0] == "earlier run"
    other = next(f for f in files if f != f"{taken}.npy")
    assert np.load(f"factors/{other}").shape == (1, 4)


def test_every_run_number_taken_is_an_error(market, in_tmp):
    data1, price1, codes = market
    os.makedirs("factors")
    for run in range(1000):
        open(f"factors/{run}.npy", "wb").close()
    with pytest.raises(FileExistsError):
        FactorSearch(OPS).hedge(data1, price1, codes, 1, 2)


def test_an_interrupted_save_keeps_the_previous_complete_file(market, in_tmp, capture_stdout,
                                                               monkeypatch):
    real_save = np.save

    def failing_save(file, arr, *args, **kwargs):
        if len(arr) == 2:
            file.write(b"\x93NUMPY partial")
            raise OSError("disk full")
        return real_save(file, arr, *args, **kwargs)

    monkeypatch.setattr(np, "save", failing_save)
    data1, price1, codes = market
    with pytest.raises(OSError, match="disk full"):
        FactorSearch(OPS).hedge(data1, price1, codes, 3, 2)
    files = os.listdir("factors")
    assert len(files) == 1
    saved = np.load(os.path.join("factors", files[0]))
    assert saved.shape == (1, 4) and saved[0, 0] == printed_rows(capture_stdout())[0][0]


def test_a_search_that_finds_nothing_leaves_an_empty_table(market, in_tmp, monkeypatch):
    calls = []

    def never(x):  # every attempt fails, until the user presses Ctrl-C
        calls.append(1)
        raise KeyboardInterrupt if len(calls) == 50 else ZeroDivisionError

    monkeypatch.setattr(factorsearch, "never", never, raising=False)
    data1, price1, codes = market
    with pytest.raises(KeyboardInterrupt):
        FactorSearch([["never", 1]]).long(data1, price1, codes, 1, 2)
    files = os.listdir("factors")
    assert len(files) == 1 and np.load(os.path.join("factors", files[0])).shape == (0, 4)


def bad_inputs(market):
    data1, price1, codes = market
    return {
        "negative ct": ((data1, price1, codes, -1, 2), ValueError, "ct must be"),
        "l of zero": ((data1, price1, codes, 1, 0), ValueError, "l must be"),
        "fractional l": ((data1, price1, codes, 1, 2.5), ValueError, "l must be"),
        "unknown code": ((data1, price1, codes + ["NOPE"], 1, 2), KeyError, "NOPE"),
        "missing field": ((data1.drop(columns="volume", level=1), price1, codes, 1, 2), KeyError,
                          "volume"),
        "missing price": ((data1, price1.drop(columns=codes[3]), codes, 1, 2), KeyError, codes[3]),
        "one stock": ((data1, price1, codes[:1], 1, 2), ValueError, "two stocks"),
        "too few dates": ((data1.iloc[:152], price1.iloc[:152], codes, 1, 2), ValueError, "153"),
    }


@pytest.mark.parametrize("case", ["negative ct", "l of zero", "fractional l", "unknown code",
                                  "missing field", "missing price", "one stock", "too few dates"])
@pytest.mark.parametrize("driver", ["hedge", "long"])
def test_data_no_formula_can_use_is_refused_at_once(market, in_tmp, capture_stdout, case, driver):
    args, error, message = bad_inputs(market)[case]
    with pytest.raises(error, match=message):
        getattr(FactorSearch(OPS), driver)(*args)
    assert os.listdir(in_tmp) == [] and capture_stdout() == []


def test_counts_may_be_any_whole_number(market, in_tmp, capture_stdout):
    data1, price1, codes = market
    FactorSearch(OPS).hedge(data1, price1, codes, np.int64(1), 2.0)
    assert len(capture_stdout()) == 1


NOISY = "(lambda x: (warnings.warn('from an operator'), x * 2)[1])"


@pytest.mark.parametrize("call", ["f", "f1", "hedge", "long", "mine", "mine on threads", "factor"])
def test_warnings_are_silenced_inside_the_call_only(market, in_tmp, capture_stdout, call):
    data1, price1, codes = market
    fs = FactorSearch([[NOISY, 1]])
    with ThreadPoolExecutor(2) as pool:
        run = {
            "f": lambda: fs.f(data1, price1, codes, 2),
            "f1": lambda: fs.f1(data1, price1, codes, 2),
            "hedge": lambda: fs.hedge(data1, price1, codes, 2, 2),
            "long": lambda: fs.long(data1, price1, codes, 2, 2),
            # every attempt needed: no chunk is left running on the pool once mine returns
            "mine": lambda: fs.mine(data1, price1, codes, 4, 2, max_attempts=4, progress=False),
            "mine on threads": lambda: fs.mine(data1, price1, codes, 4, 2, max_attempts=4,
                                               executor=pool, progress=False),
            "factor": lambda: fs.factor(fs.fuctions(fs.build_program()), data1, codes),
        }[call]
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            before = list(warnings.filters)
            run()
            assert warnings.filters == before  # the caller's filters, untouched
            warnings.warn("the caller's own")
    assert [str(w.message) for w in seen] == ["the caller's own"]
