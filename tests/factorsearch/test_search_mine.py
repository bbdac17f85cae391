import multiprocessing
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import Future, ProcessPoolExecutor

import numpy as np
import pandas as pd
import pytest

import factorsearch
from factorsearch import FactorSearch

# math.sqrt fails on a Series, so every attempt that draws it is a miss: the runs below mix
# successes and misses, which is what ordering by attempt has to get right.
OPS = [["np.add", 2], ["np.subtract", 2], ["np.log", 1], ["abs", 1], ["math.sqrt", 1]]
SEED, CT, L = 5, 6, 2


def slow(x):
    time.sleep(0.004)
    return x


def killer(x):
    os._exit(3)


def picky(x):
    """Ends its process only on some inputs: a raw volume, not a price or a logarithm."""
    if np.nanmax(np.asarray(x, dtype=float)) > 1e5:
        os._exit(3)
    return x


def tame(x):
    """picky's twin that survives every input."""
    return x


@pytest.fixture(autouse=True)
def named_operators(monkeypatch):
    """Operators set on the module by name, as a user would (forked workers see them too)."""
    for fn in (slow, killer, picky, tame):
        monkeypatch.setattr(factorsearch, fn.__name__, fn, raising=False)


def npy_files():
    """The result files under factors/ (each has its .csv table beside it)."""
    names = os.listdir("factors")
    assert {n[:-4] for n in names if n.endswith(".csv")} == {n[:-4] for n in names if n.endswith(".npy")}
    return [n for n in names if n.endswith(".npy")]


def disperses(panel):
    """The miner's dispersion rule: at least two distinct eligible values (present, not 0 or 1)
    on at least half of the back-test days."""
    days = panel.iloc[150:len(panel) - 2]
    eligible = days.where(days.notna() & (days != 0) & (days != 1))
    return (eligible.nunique(axis=1) >= 2).mean() >= 0.5


def saved(frame):
    return np.load(frame.attrs["path"])


def attempt_seed(seed, i):
    state = np.random.SeedSequence(seed, spawn_key=(i,)).generate_state(4)
    return int.from_bytes(state.tobytes(), "little")


def no_children():
    """No child process left but the workers of the module's Dask cluster."""
    def left():
        return [p for p in multiprocessing.active_children() if not p.name.startswith("Dask")]
    deadline = time.time() + 5
    while left() and time.time() < deadline:
        time.sleep(0.05)
    return left() == []


def local_dask_client():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


dask_client = pytest.fixture(scope="module")(local_dask_client)
# A cluster of the test's own, for tests that kill its workers over and over.
own_dask_client = pytest.fixture(local_dask_client)


@pytest.fixture(scope="module")
def reference(market, tmp_path_factory):
    here = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("reference"))
    try:
        data1, price1, codes = market
        frame = FactorSearch(OPS).mine(data1, price1, codes, CT, L, seed=SEED, progress=False)
        return frame, saved(frame)
    finally:
        os.chdir(here)


@pytest.mark.parametrize("long_only", [False, True])
def test_attempt_i_is_f_drawing_from_its_own_generator(market, in_tmp, capture_stdout, long_only):
    data1, price1, codes = market
    fs = FactorSearch(OPS)
    frame = fs.mine(data1, price1, codes, 4, L, long_only=long_only, seed=SEED, progress=False)
    printed = capture_stdout()
    assert list(frame.columns) == ["formula", "net_value", "sharpe", "maxdown", "attempt",
                                   "deflated_sharpe", "duplicate_of", "coverage",
                                   "tradeable_days"]
    assert frame.attrs["seed"] == SEED and frame["attempt"].is_monotonic_increasing
    assert len(printed) == 4 and saved(frame).shape == (4, 4)
    # Misses are skipped: every attempt before the last row either failed, lacks dispersion or
    # is a row.
    expected = []
    for i in range(frame["attempt"].iloc[-1] + 1):
        random.seed(attempt_seed(SEED, i))
        row = (fs.f1 if long_only else fs.f)(data1, price1, codes, L)
        if row is not None and disperses(fs.factor(row[0], data1, codes)):
            expected.append([i] + row)
    capture_stdout()
    got = [[a, t, n, s, m] for t, n, s, m, a, *_ in frame.itertuples(index=False)]
    assert [r[:2] for r in got] == [r[:2] for r in expected]
    np.testing.assert_array_equal(np.array([r[2:] for r in got], float),
                                  np.array([r[2:] for r in expected], float))
    assert printed == [str(r[1:]) for r in expected]
    assert [list(r) for r in saved(frame)] == [[str(v) for v in r[1:]] for r in expected]


@pytest.mark.parametrize("where", ["n_jobs=2", "ProcessPoolExecutor", "dask"])
def test_same_seed_gives_the_same_frame_and_file_on_every_executor(market, reference, in_tmp,
                                                                   request, where):
    data1, price1, codes = market
    fs = FactorSearch(OPS)
    run = lambda **kw: fs.mine(data1, price1, codes, CT, L, seed=SEED, progress=False, **kw)
    if where == "n_jobs=2":
        frame = run(n_jobs=2)
    elif where == "ProcessPoolExecutor":
        with ProcessPoolExecutor(2) as pool:
            frame = run(executor=pool)
    else:
        frame = run(executor=request.getfixturevalue("dask_client"))
        assert frame.attrs["data_sent"] == 2  # once per worker
    expected, file = reference
    pd.testing.assert_frame_equal(frame, expected)
    np.testing.assert_array_equal(saved(frame), file)
    assert frame.attrs["attempts"] == expected.attrs["attempts"]
    assert no_children()


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_ctrl_c_leaves_a_complete_file_and_no_workers(market, in_tmp, capture_stdout, n_jobs):
    data1, price1, codes = market
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            FactorSearch([["np.add", 2], ["slow", 1]]).mine(
                data1, price1, codes, 10_000, L, seed=1, n_jobs=n_jobs, progress=False)
    finally:
        timer.cancel()
    (name,) = npy_files()
    rows = np.load(os.path.join("factors", name))
    assert rows.shape[1] == 4
    in_file = [str([str(r[0]), float(r[1]), float(r[2]), float(r[3])]) for r in rows]
    printed = capture_stdout()
    # Rows are saved before they are printed: Ctrl-C between the two leaves them in the file only.
    assert in_file[:len(printed)] == printed
    assert no_children()


def test_a_worker_that_dies_names_its_attempt(market, in_tmp, capture_stdout, monkeypatch):
    data1, price1, codes = market
    with pytest.raises(RuntimeError, match=r"died during attempt \d+ \(") as err:
        FactorSearch([["np.add", 2], ["np.log", 1], ["killer", 1]]).mine(
            data1, price1, codes, 50, L, seed=2, n_jobs=2, progress=False)
    culprit = int(re.search(r"attempt (\d+)", str(err.value)).group(1))
    assert no_children()
    (name,) = npy_files()
    assert np.load(os.path.join("factors", name)).shape[0] <= culprit
    # The same draws with a harmless operator in its place: the named attempt is the first one
    # that calls it.
    monkeypatch.setattr(factorsearch, "harmless", lambda x: x, raising=False)
    twin = FactorSearch([["np.add", 2], ["np.log", 1], ["harmless", 1]]).mine(
        data1, price1, codes, culprit + 1, L, seed=2, progress=False)
    calls = ["harmless(" in f for f in twin["formula"]]
    assert calls.index(True) == culprit == twin["attempt"].iloc[-1]
    assert twin["formula"].iloc[-1].replace("harmless", "killer") in str(err.value)


@pytest.mark.parametrize("runner", ["own pool", "executor", "dask"])
def test_a_dying_worker_loses_no_factor_found_before_it(market, in_tmp, capture_stdout, runner,
                                                        request):
    data1, price1, codes = market
    ops = [["np.add", 2], ["np.log", 1], ["abs", 1], ["picky", 1]]
    pool = ProcessPoolExecutor(2) if runner == "executor" else None
    where = {"own pool": {"n_jobs": 2}, "executor": {"executor": pool},
             "dask": {"executor": request.getfixturevalue("own_dask_client") if runner == "dask"
                      else None}}[runner]
    try:
        with pytest.raises(RuntimeError) as err:
            FactorSearch(ops).mine(data1, price1, codes, 500, L, seed=3, progress=False, **where)
    finally:
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
    found = re.fullmatch(r"a worker process died during attempt (\d+) \((.+)\); (\S+) holds the "
                         r"(\d+) factors found before it", str(err.value))
    assert found, str(err.value)
    culprit, formula, path, count = found.groups()
    culprit, count = int(culprit), int(count)
    # What one process finds before that attempt, with a twin operator that never dies.
    twin = FactorSearch([*ops[:3], ["tame", 1]]).mine(data1, price1, codes, 500, L, seed=3,
                                                      max_attempts=culprit + 1, progress=False)
    named = (twin["attempt"] == culprit).to_numpy()
    assert [f.replace("tame", "picky") for f in twin["formula"][named]] in ([], [formula])
    before = [f.replace("tame", "picky") for f in twin["formula"][~named]]
    assert count == len(before) >= 3
    assert [str(r[0]) for r in np.load(path)] == before
    assert no_children()


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return True  # no /proc: the signal check is all there is


WORKERS_OF_A_KILLED_CALLER = """
import multiprocessing, sys, threading, time
import factorsearch
from alphaloom._testing import synthetic

def slow(x):
    time.sleep(0.004)
    return x

def tell_workers():
    while len(multiprocessing.active_children()) < 2:
        time.sleep(0.05)
    print(*[p.pid for p in multiprocessing.active_children()], flush=True)

factorsearch.slow = slow
threading.Thread(target=tell_workers, daemon=True).start()
data1, price1, codes = synthetic.make_market(n_stocks=24, n_days=260, seed=7)
miner = factorsearch.FactorSearch([["np.add", 2], ["slow", 1]])
"""
LONG_CALLS = {
    "mine": "miner.mine(data1, price1, codes, 10_000, 2, seed=1, n_jobs=2, progress=False)",
    "evolve": "miner.evolve(data1, price1, codes, 2, generations=10_000, population=200, seed=1, "
              "n_jobs=2, progress=False)",
}


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("call", sorted(LONG_CALLS))
def test_the_workers_of_a_killed_caller_end_with_it(in_tmp, call):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    caller = subprocess.Popen([sys.executable, "-c", WORKERS_OF_A_KILLED_CALLER + LONG_CALLS[call]],
                              env=env, stdout=subprocess.PIPE, text=True)
    pids = []
    try:
        pids = [int(p) for p in caller.stdout.readline().split()]
        assert len(pids) == 2
        caller.kill()
        caller.wait()
        deadline = time.time() + 5
        while any(alive(p) for p in pids) and time.time() < deadline:
            time.sleep(0.05)
        assert not any(alive(p) for p in pids)
    finally:
        caller.kill()
        caller.wait()
        for p in pids:
            if alive(p):
                os.kill(p, signal.SIGKILL)


class CancellingExecutor:
    """An executor that gives up on every task, as Dask does on one a killed worker held."""

    _max_workers = 1

    def submit(self, fn, *args):
        future = Future()
        future.cancel()
        return future

    def shutdown(self, wait=True, cancel_futures=False):
        pass


def test_a_task_the_executor_cancels_is_replayed_to_name_a_death(market, in_tmp, capture_stdout):
    data1, price1, codes = market
    with pytest.raises(RuntimeError, match=r"worker process died during attempt 0 \("):
        FactorSearch([["np.add", 2], ["killer", 1]]).mine(
            data1, price1, codes, 5, L, seed=5, executor=CancellingExecutor(), progress=False)
    with pytest.raises(RuntimeError, match="failed in a worker: CancelledError"):
        FactorSearch([["np.add", 2], ["tame", 1]]).mine(
            data1, price1, codes, 5, L, seed=5, executor=CancellingExecutor(), progress=False)


def test_dask_workers_that_die_end_the_call_with_an_error(market, in_tmp, capture_stdout,
                                                         dask_client):
    # Dask restarts dead workers; the data broadcast to them is gone with them.
    data1, price1, codes = market
    with pytest.raises(RuntimeError, match=r"worker process died during attempt 0 \("):
        FactorSearch([["np.add", 2], ["killer", 1]]).mine(
            data1, price1, codes, 5, L, seed=5, executor=dask_client, progress=False)
    (name,) = npy_files()
    assert np.load(os.path.join("factors", name)).shape == (0, 4)


def refused_inputs(market):
    data1, price1, codes = market
    shifted = price1.copy()
    shifted.index = shifted.index + pd.Timedelta(days=10_000)
    repeated = data1.index.insert(200, data1.index[199]).delete(201)
    return {
        "negative ct": ((data1, price1, codes, -1, L), {}, "ct must be"),
        "l of zero": ((data1, price1, codes, 1, 0), {}, "l must be"),
        "n_jobs of zero": ((data1, price1, codes, 1, L), {"n_jobs": 0}, "n_jobs must be"),
        "pool and executor": ((data1, price1, codes, 1, L),
                              {"n_jobs": 2, "executor": ProcessPoolExecutor(1)}, "not both"),
        "negative seed": ((data1, price1, codes, 1, L), {"seed": -1}, "seed must be"),
        "descending dates": ((data1.iloc[::-1], price1.iloc[::-1], codes, 1, L), {},
                             "strictly ascending"),
        "repeated date": ((data1.set_axis(repeated), price1.set_axis(repeated), codes, 1, L), {},
                          "strictly ascending"),
        "repeated code": ((data1, price1, codes + codes[:1], 1, L), {}, "more than once"),
        "prices on other dates": ((data1, shifted, codes, 1, L), {}, "shares no dates"),
    }


DATA_CASES = ["descending dates", "repeated date", "repeated code", "prices on other dates"]


@pytest.mark.parametrize("case,driver", [(c, "mine") for c in [
    "negative ct", "l of zero", "n_jobs of zero", "pool and executor", "negative seed"]] +
    [(c, d) for c in DATA_CASES for d in ["mine", "hedge", "long"]])
def test_bad_arguments_and_data_are_refused_before_any_work(market, in_tmp, capture_stdout, case,
                                                            driver):
    args, kwargs, message = refused_inputs(market)[case]
    with pytest.raises(ValueError, match=message):
        getattr(FactorSearch(OPS), driver)(*args, **kwargs)
    if "executor" in kwargs:
        kwargs["executor"].shutdown()
    assert os.listdir(in_tmp) == [] and capture_stdout() == []
    if case in DATA_CASES:  # a direct attempt stays lenient: at worst a silent miss
        FactorSearch(OPS).f(*args[:3], L)


@pytest.mark.parametrize("progress", [True, False, None])
def test_progress_bar_only_when_asked_or_interactive(market, in_tmp, capsys, progress):
    pytest.importorskip("tqdm")
    data1, price1, codes = market
    frame = FactorSearch(OPS).mine(data1, price1, codes, 2, L, seed=1, progress=progress)
    err = capsys.readouterr().err
    assert ("found 2/2" in err) == bool(progress)  # captured stderr is not a terminal
    assert len(frame) == 2


def test_no_factor_wanted_returns_an_empty_frame_and_no_file(market, in_tmp):
    data1, price1, codes = market
    frame = FactorSearch(OPS).mine(data1, price1, codes, 0, L, seed=9)
    assert frame.empty and list(frame.dtypes.astype(str)) == [
        "object", "float64", "float64", "float64", "int64", "float64", "Int64", "float64", "float64"]
    assert frame.attrs["path"] is None and os.listdir(in_tmp) == []
