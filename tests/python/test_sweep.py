"""tovrin sweep: a grid of runs on Dask gives each run's bits wherever it runs, after an
interrupted sweep, after a worker is killed mid-run, and alone in Simulation; bad input
is refused before any run starts."""
import json
import os
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import LIQUID
from tovrin import sweep as sweeping
from tovrin.paramfile import read as read_parameters
from tovrin.cli import main

# Four runs of the 108-particle liquid with the stochastic thermostat, whose random
# stream a resumed run must continue too; long enough (half a second each on an idle
# machine) that a run is caught between its checkpoints, which come every 30 ms.
VALUES = {"kT": ["0.8", "1.0"]}
SETTINGS = dict(replicas=2, equilibrate=500, steps=10000, every=100, seed=11, checkpoint_minutes=0.0005,
                thermostat="bussi")
GRID = ["--set", "kT=" + ",".join(VALUES["kT"]), *(item for key, value in SETTINGS.items()
                                                   for item in ("--" + key.replace("_", "-"), str(value)))]
SETTLE = 120  # seconds any one sweep or wait may take before the test fails
# Sweeps run in this process too: pytest-timeout ends a test that hangs in one.
pytestmark = [pytest.mark.timeout(3 * SETTLE), pytest.mark.once]


def samples(out):
    folder = os.path.join(out, sweeping.TASKS)
    return {name: np.load(os.path.join(folder, name, sweeping.SAMPLES)) for name in sorted(os.listdir(folder))}


def assert_same_samples(first, second):
    assert first.keys() == second.keys()
    for name in first:
        assert np.array_equal(first[name], second[name]), name


def wait_for(condition, what):
    deadline = time.monotonic() + SETTLE
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(0.05)
    pytest.fail(f"no {what} within {SETTLE} s")


def running_task(out):
    """A task between two checkpoints: a checkpoint and no samples yet."""
    folder = os.path.join(out, sweeping.TASKS)
    if not os.path.isdir(folder):
        return None
    for name in sorted(os.listdir(folder)):
        task = os.path.join(folder, name)
        if os.path.exists(os.path.join(task, sweeping.CHECKPOINT)) and \
                not os.path.exists(os.path.join(task, sweeping.SAMPLES)):
            return name
    return None


def start_sweep(paramfile, out, *options):
    """`tovrin sweep` of the grid in a session of its own, whose processes (the sweep's
    and its local cluster's) a test can kill together."""
    return subprocess.Popen([sys.executable, "-m", "tovrin", "sweep", paramfile, *GRID, "--out", out, *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)


def finish(process):
    """The exit status, output and errors of a sweep started by start_sweep."""
    try:
        stdout, stderr = process.communicate(timeout=SETTLE)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    return process.returncode, stdout, stderr


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """The grid swept by `tovrin sweep` on its own local cluster: the parameter file,
    the output folder and the samples of every run."""
    folder = tmp_path_factory.mktemp("reference")
    paramfile = folder / "liquid.par"
    paramfile.write_text("".join(f"{key} = {value}\n" for key, value in LIQUID.items()))
    out = str(folder / "out")
    assert main(["sweep", str(paramfile), *GRID, "--out", out]) == 0
    return str(paramfile), out, samples(out)


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """The address of a Dask scheduler on 127.0.0.1 with two worker processes, each
    under a nanny that replaces it when it dies."""
    folder = tmp_path_factory.mktemp("cluster")
    address_file = str(folder / "scheduler.json")
    # Dask's command through this interpreter: a virtual environment that sees the
    # system's packages has no `dask` script of its own.
    dask = [sys.executable, "-m", "dask"]
    local = ["--host", "127.0.0.1", "--no-dashboard", "--dashboard-address", "127.0.0.1:0"]
    # Each in a session of its own, so that the worker a nanny starts ends with it.
    start = dict(stderr=subprocess.DEVNULL, start_new_session=True)
    processes = [subprocess.Popen([*dask, "scheduler", *local, "--port", "0", "--scheduler-file", address_file],
                                  **start)]
    try:
        wait_for(lambda: os.path.exists(address_file), "scheduler")
        for _ in range(2):
            processes.append(subprocess.Popen([*dask, "worker", *local, "--scheduler-file", address_file,
                                               "--nthreads", "1"], **start))
        with open(address_file) as stream:
            address = json.load(stream)["address"]
        from distributed import Client

        with Client(address, timeout=SETTLE) as client:
            client.wait_for_workers(2, timeout=SETTLE)
        yield address
    finally:
        for process in processes:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=SETTLE)


def test_a_remote_sweep_with_a_worker_killed_mid_run_gives_the_local_bits(reference, scheduler, tmp_path):
    paramfile, _, expected = reference
    out = str(tmp_path / "out")
    process = start_sweep(paramfile, out, "--scheduler", scheduler)
    try:
        from distributed import Client

        with Client(scheduler, timeout=SETTLE) as client:
            pids = client.run(os.getpid)

            def running_worker():
                """A run between two checkpoints, and the worker running it."""
                victim = running_task(out)
                return next(((victim, address) for address, keys in client.processing().items()
                             if victim and any(str(key).endswith("-" + victim) for key in keys)), None)

            victim, worker = wait_for(running_worker, "run with a checkpoint on a worker")
            os.kill(pids[worker], signal.SIGKILL)
    finally:
        status, _, stderr = finish(process)
    assert status == 0, stderr
    assert f"task {victim} done" in stderr and "continued from its checkpoint" in stderr, stderr
    assert_same_samples(samples(out), expected)


def test_a_sweep_killed_whole_and_run_again_continues_to_the_same_bits(reference, tmp_path, capsys):
    # The sweep's process and its local cluster's workers die at once, as in a power cut.
    paramfile, _, expected = reference
    out = str(tmp_path / "out")
    process = start_sweep(paramfile, out)
    try:
        wait_for(lambda: running_task(out), "run with a checkpoint")
    finally:
        os.killpg(process.pid, signal.SIGKILL)
        finish(process)
    assert running_task(out), "the interrupted sweep left no checkpoint"
    assert main(["sweep", paramfile, *GRID, "--out", out]) == 0
    assert "continued from its checkpoint" in capsys.readouterr().err
    assert_same_samples(samples(out), expected)


ALONE = """
import sys, numpy as np
from tovrin import Simulation
paramfile, equilibrate, steps, every, out = sys.argv[1], *map(int, sys.argv[2:5]), sys.argv[5]
sim = Simulation(paramfile, thermostat=sys.argv[6])
n = sim.nr_particles
sim.run(equilibrate)
rows = [(state.step, 2 * state.ekin / (3 * (n - 1)), state.epot / n, state.pressure, state.etot / n)
        for state in sim.iterate(steps, every=every)]
np.save(out, np.array(rows, dtype=np.float64))
"""


def test_a_run_alone_in_simulation_gives_its_sweep_bits_and_the_tables_hold_them(reference, fresh_python,
                                                                                   tmp_path):
    paramfile, out, expected = reference
    import pandas as pd

    results = pd.read_csv(os.path.join(out, sweeping.RESULTS))
    row = results.iloc[-1]
    fresh_python(ALONE, threads=int(row["threads"]), args=(row["paramfile"], SETTINGS["equilibrate"],
                                                           SETTINGS["steps"], SETTINGS["every"], tmp_path / "a.npy",
                                                           row["thermostat"]))
    assert np.array_equal(np.load(tmp_path / "a.npy"), expected[row["task"]])
    assert len(set(results["seed"])) == len(results)
    states = pd.read_csv(os.path.join(out, sweeping.STATES))
    for quantity in sweeping.MEASURED:
        means = results.groupby("point")[quantity].mean().to_numpy()
        assert np.allclose(states[quantity], means, rtol=1e-12)
        assert (states[quantity + "_err"] > 0).all()
    assert np.allclose(states["temperature"], states["kT"], rtol=0.05)
    assert (states["heat_capacity"] > 0).all() and (states["etot_variance_err"] > 0).all()
    # Run again, the finished sweep gives its table without running anything; another
    # grid in its folder is refused.
    again = sweeping.sweep(paramfile, VALUES, out=out, **SETTINGS, scheduler="tcp://127.0.0.1:1", connect_timeout=1)
    pd.testing.assert_frame_equal(again, results)
    with pytest.raises(sweeping.SweepError, match="differs from this one in every"):
        sweeping.sweep(paramfile, VALUES, out=out, **dict(SETTINGS, every=500))


def test_a_run_on_a_remote_worker_has_the_threads_asked_for(scheduler, write_parameters, fresh_python, tmp_path):
    # The workers' environment gives them one OpenMP thread each; two threads sum the
    # energies in two blocks, which changes their last bits.
    out = tmp_path / "out"
    table = sweeping.sweep(write_parameters(LIQUID, cell_length="9"), {"density": ["0.84375"]}, out=out,
                           equilibrate=0, steps=200, every=10, seed=3, threads_per_run=2, scheduler=scheduler)
    # LIQUID's box edge is (108 / 0.84375)^(1/3) = 128^(1/3).
    assert read_parameters(table["paramfile"][0]).real("cell_length") == pytest.approx(float(LIQUID["cell_length"]),
                                                                                        rel=1e-15)
    for threads in (1, 2):
        fresh_python(ALONE, threads=threads, args=(table["paramfile"][0], 0, 200, 10, tmp_path / f"{threads}.npy",
                                                   "berendsen"))
    swept = samples(out)["p000-r00"]
    assert np.array_equal(np.load(tmp_path / "2.npy"), swept)
    assert not np.array_equal(np.load(tmp_path / "1.npy"), swept)


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("grid, options, message", [
    ({"temperature": ["0.7"]}, {}, "cannot sweep 'temperature'"),
    ({"seed": ["1", "2"]}, {}, "sets it itself"),
    ({"kT": []}, {}, "kT: the list of values is empty"),
    ({"kT": ["0.7", "-1"]}, {}, "'-1' is not a number"),
    ({"kT": ["0.7", "1e3"]}, {}, "'1e3' is not a number"),
    ({"kT": ["0.7"], "density": ["0.5", "5"]}, {}, "shorter than twice"),
    ({"kT": ["0.7"]}, {"steps": 25}, "no multiple of every"),
    ({"kT": ["0.7"]}, {"out": "{tmp}/run.txt"}, "is a file"),
    ({"kT": ["0.7"]}, {"out": "{tmp}/run.txt/out"}, "cannot write to the output folder"),
    ({"kT": ["0.7"]}, {"scheduler": "tcp://127.0.0.1:{port}"}, "cannot reach the scheduler at tcp://127.0.0.1:"),
], ids=["unknown-key", "own-key", "empty", "sign", "exponent", "dense", "every", "out-file", "out-unwritable",
        "scheduler"])
def test_bad_input_is_refused_before_any_run_starts(write_parameters, tmp_path, grid, options, message):
    paramfile = write_parameters(LIQUID, rcut="1.5")
    options = {key: value.format(tmp=tmp_path, port=closed_port()) if isinstance(value, str) else value
               for key, value in options.items()}
    arguments = dict(out=str(tmp_path / "out"), equilibrate=0, steps=20, every=10, connect_timeout=2)
    with pytest.raises(sweeping.SweepError, match=message):
        sweeping.sweep(paramfile, grid, **dict(arguments, **options))
    assert not os.path.exists(tmp_path / "out" / sweeping.TASKS)


def test_the_error_of_a_correlated_series_counts_its_correlation():
    # A first-order autoregressive series x[k] = phi x[k - 1] + noise, whose statistical
    # inefficiency is (1 + phi) / (1 - phi) = 19 and whose mean's standard error is
    # sqrt(g var / n); the plain standard error is sqrt(19) times too small.
    phi, n = 0.9, 200_000
    noise = np.random.default_rng(7).normal(size=n)
    series = np.empty(n)
    series[0] = 0.0
    for k in range(1, n):
        series[k] = phi * series[k - 1] + noise[k]
    mean, error, g = sweeping.mean_and_error(series)
    assert abs(g - 19) < 3
    assert abs(error - np.sqrt(series.var() * 19 / n)) < 0.1 * error


def test_pets_gives_the_published_pressures():
    pytest.importorskip("feos")
    from test_validation import PETS_PRESSURE

    for (kT, density), pressure in PETS_PRESSURE.items():
        assert sweeping.pets(kT, np.array([density]))[0][0] == pytest.approx(pressure, rel=1e-12)


@pytest.mark.validate
def test_the_replicas_scatter_as_their_error_bars_say(write_parameters, tmp_path):
    # Independent replicas of one state: their means scatter by their standard errors
    # when these count the samples' correlation, so that sum((x_i - mean)² / err_i²)
    # over R replicas is chi-squared with R - 1 degrees of freedom, whose reduced value
    # lies in (0.1, 3.5) but once in a thousand; errors that took the correlated
    # samples for independent ones would put it near the statistical inefficiency.
    table = sweeping.sweep(write_parameters(LIQUID), {"kT": ["0.8"]}, out=tmp_path / "out", replicas=8,
                           equilibrate=2000, steps=40000, every=10, seed=5, thermostat="bussi")
    for quantity in ("pressure", "epot"):
        values, errors = table[quantity].to_numpy(), table[quantity + "_err"].to_numpy()
        chi2 = np.sum((values - values.mean()) ** 2 / errors ** 2) / (len(values) - 1)
        print(f"{quantity}: reduced chi-squared {chi2:.3f}, "
              f"statistical inefficiency {table[quantity + '_g'].mean():.1f}")
        assert table[quantity + "_g"].min() > 2  # correlated enough for the test to tell
        assert 0.1 < chi2 < 3.5
