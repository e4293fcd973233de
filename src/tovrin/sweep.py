"""Parameter sweeps and replicas of a parameter file on Dask's distributed scheduler.

    from tovrin.sweep import sweep

    table = sweep("liquid.par", {"kT": ["0.7", "0.85"], "density": ["0.75", "0.8442"]},
                  replicas=4, equilibrate=2000, steps=10000, every=10, out="eos")

runs every state point of the grid (every combination of the values) ``replicas``
times, each run a task of its own: a ``tovrin.Simulation`` of a parameter file that the
sweep writes into OUT/tasks/NAME/run.par, with the swept values, ``nrsteps`` and a seed
of the task's own. After ``equilibrate`` steps the task measures every ``every`` steps
the temperature 2 Ekin / (3 (N - 1)), the potential energy per particle, the virial
pressure and the total energy per particle. A task is therefore re-run alone, to the
same bits, with ``Simulation(OUT/tasks/NAME/run.par)`` at the task's thread count.

Nothing is lost: a task checkpoints every ``checkpoint_minutes`` of work, writes its
samples atomically when done, and a sweep run again over the same OUT skips finished
tasks and continues the others from their checkpoints bit for bit. OUT/manifest.json
records the grid and the options, and a sweep that differs from it is refused.

The tables: OUT/results.csv, one row per task (means with standard errors that take
the samples' correlation in time into account, from pymbar's statistical
inefficiency), OUT/states.csv, one row per state point (over the replicas), and the
equation-of-state plot OUT/eos.png.
"""
from __future__ import annotations

import dataclasses
import hashlib
import itertools
import json
import math
import os
import re
import secrets
import sys
import tempfile
import threading
import time
import warnings
from typing import Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import paramfile

PathLike = Union[str, "os.PathLike[str]"]

MANIFEST = "manifest.json"
RESULTS = "results.csv"
STATES = "states.csv"
PLOT = "eos.png"
TASKS = "tasks"
# In each task's folder: its parameter file, its checkpoint with the samples taken up
# to it, and its samples once done (which mark the task finished).
TASK_PARAMETERS = "run.par"
CHECKPOINT = "checkpoint"
PARTIAL_SAMPLES = "samples.partial.npy"
SAMPLES = "samples.npy"

# The columns of a task's samples, one row per measurement.
SAMPLE_COLUMNS = ("step", "temperature", "epot", "pressure", "etot")
MEASURED = ("temperature", "epot", "pressure")
CANONICAL = "bussi"  # the thermostat whose total-energy fluctuation is the heat capacity's

# Keys the sweep sets itself; `density` stands for cell_length = (nr_particles / density)^(1/3).
OWN_KEYS = ("seed", "nrsteps")
WHOLE_KEYS = ("nr_particles",)
_NUMBER = re.compile(r"[0-9]*\.?[0-9]*")
_PROGRESS_TOPIC = "tovrin-sweep-progress"
_MANIFEST_VERSION = 1


class SweepError(ValueError):
    """A sweep that cannot start as asked: bad grid, options, output folder or scheduler."""


@dataclasses.dataclass(frozen=True)
class Task:
    """One run of the sweep: what a worker needs to run it or to continue it."""

    name: str
    folder: str
    thermostat: str
    threads: int
    equilibrate: int
    steps: int
    every: int
    checkpoint_seconds: float

    @property
    def paramfile(self) -> str:
        return os.path.join(self.folder, TASK_PARAMETERS)


# ---------------------------------------------------------------- the grid


def parse_values(text: str) -> List[str]:
    """The values of a --set list, "0.7,0.85,1.0", as parameter-file number texts."""
    return [value.strip() for value in text.split(",")]


def _is_number(value: str) -> bool:
    return bool(value) and _NUMBER.fullmatch(value) is not None and any(c.isdigit() for c in value)


def _checked_grid(grid: Mapping[str, Sequence[object]]) -> List[Tuple[str, List[str]]]:
    """The grid as (key, value texts) pairs in the given order, each value checked."""
    if not grid:
        raise SweepError("nothing to sweep: give at least one key and its values")
    known = set(paramfile.KNOWN_KEYS) - set(OWN_KEYS) | {"density"}
    checked = []
    for key, values in grid.items():
        if key not in known:
            why = " (the sweep sets it itself)" if key in OWN_KEYS else ""
            raise SweepError(f"cannot sweep {key!r}{why}: the keys are {', '.join(sorted(known))}")
        texts = [str(value).strip() for value in values]
        if not texts or texts == [""]:
            raise SweepError(f"{key}: the list of values is empty")
        for text in texts:
            if not _is_number(text):
                raise SweepError(f"{key} = {text!r} is not a number of the parameter file "
                                 f"(digits and at most one full stop, no sign or exponent)")
            if key in WHOLE_KEYS and not text.isdigit():
                raise SweepError(f"{key} = {text} is not a whole number")
        if len(set(map(float, texts))) != len(texts):
            raise SweepError(f"{key}: a value is given twice in {','.join(texts)}")
        checked.append((key, texts))
    if "density" in grid and "cell_length" in grid:
        raise SweepError("sweep density or cell_length, not both: density sets cell_length")
    return checked


def _format(value: float) -> str:
    """A float in the parameter file's number syntax, read back to the same double."""
    return np.format_float_positional(value, unique=True, trim="0")


def _assignments(base: paramfile.ParameterFile, point: Mapping[str, str]) -> Dict[str, str]:
    """The keys a state point sets in its runs' parameter files."""
    assignments = {key: value for key, value in point.items() if key != "density"}
    if "density" in point:
        particles = int(assignments.get("nr_particles", base.text.get("nr_particles", "0")))
        density = float(point["density"])
        if density <= 0:
            raise SweepError(f"density = {point['density']}: must be positive")
        assignments["cell_length"] = _format((particles / density) ** (1.0 / 3.0))
    return assignments


def _check_point(base: paramfile.ParameterFile, assignments: Mapping[str, str], point: Mapping[str, str]) -> None:
    values = paramfile.ParameterFile(base.path, dict(base.text, **assignments))
    where = ", ".join(f"{key} = {value}" for key, value in point.items())
    try:
        particles, cell, rcut = values.whole("nr_particles"), values.real("cell_length"), values.real("rcut")
    except paramfile.ParameterError as error:
        raise SweepError(f"at {where}: {error}") from None
    if particles < 2:
        raise SweepError(f"at {where}: nr_particles = {particles}; a temperature needs at least 2 particles")
    if cell < 2 * rcut:
        raise SweepError(f"at {where}: the box edge cell_length = {cell:.6g} is shorter than twice "
                         f"rcut = {rcut:g}: lower the density or rcut")


# ---------------------------------------------------------------- the output folder


def _writable_folder(out: str) -> None:
    if os.path.exists(out) and not os.path.isdir(out):
        raise SweepError(f"the output folder {out} is a file")
    try:
        os.makedirs(out, exist_ok=True)
        with tempfile.TemporaryFile(dir=out):
            pass
    except OSError as error:
        raise SweepError(f"cannot write to the output folder {out}: {error.strerror or error}") from None


def _atomic_write(path: str, write) -> None:
    """Calls write(stream) on a temporary file beside `path`, then renames it over `path`,
    so that `path` is always either its old content or the whole new one."""
    handle, temporary = tempfile.mkstemp(dir=os.path.dirname(path), prefix=os.path.basename(path) + ".")
    try:
        with os.fdopen(handle, "wb") as stream:
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _manifest_differences(old: Mapping, new: Mapping) -> List[str]:
    return sorted(key for key in set(old) | set(new) if old.get(key) != new.get(key))


def _agreed_manifest(out: str, manifest: Dict) -> Dict:
    """The manifest to run under: `manifest`, with the seed of the folder's own when none
    was given; refuses a folder that holds another sweep or other files."""
    path = os.path.join(out, MANIFEST)
    if not os.path.exists(path):
        if os.listdir(out):
            raise SweepError(f"the output folder {out} holds other files and no sweep: give an empty or new folder")
        if manifest["seed"] is None:
            manifest = dict(manifest, seed=secrets.randbits(63))
        return manifest
    try:
        with open(path, encoding="utf-8") as stream:
            old = json.load(stream)
    except (OSError, ValueError) as error:
        raise SweepError(f"cannot read {path}: {error}") from None
    if manifest["seed"] is None:
        manifest = dict(manifest, seed=old.get("seed"))
    differing = _manifest_differences(old, manifest)
    if differing:
        raise SweepError(f"{out} holds another sweep, which differs from this one in {', '.join(differing)}: "
                         f"give another output folder")
    return manifest


# ---------------------------------------------------------------- one task


def task_seed(seed: int, point: int, replica: int) -> int:
    """The seed of the run at state point `point`, replica `replica`: a whole number from
    0 to 2^32 - 1 drawn from the sweep's seed and the run's place in the grid."""
    return int(np.random.SeedSequence(seed, spawn_key=(point, replica)).generate_state(1, dtype=np.uint32)[0])


def _measure(simulation, particles: int) -> Tuple[float, ...]:
    ekin, epot, etot = simulation.ekin, simulation.epot, simulation.etot
    return (float(simulation.step), 2.0 * ekin / (3.0 * (particles - 1)), epot / particles, simulation.pressure,
            etot / particles)


def _start(task: Task, Simulation):
    """The task's simulation and samples: from its checkpoint when it has one whose
    samples are all there, otherwise from the parameter file."""
    checkpoint = os.path.join(task.folder, CHECKPOINT)
    partial = os.path.join(task.folder, PARTIAL_SAMPLES)
    if os.path.exists(checkpoint) and os.path.exists(partial):
        simulation = Simulation.load(checkpoint)
        samples = np.load(partial)
        # The samples are saved before the checkpoint: keep those up to its step.
        samples = samples[samples[:, 0] <= simulation.step]
        if len(samples) == max(0, simulation.step - task.equilibrate) // task.every:
            return simulation, [tuple(row) for row in samples]
    return Simulation(task.paramfile, thermostat=task.thermostat), []


def _next_stop(step: int, task: Task) -> int:
    """The step the run goes to next: the next measurement, or a stretch of the
    equilibration no longer than the steps between measurements."""
    if step < task.equilibrate:
        return min(task.equilibrate, step + task.every)
    return step + task.every - (step - task.equilibrate) % task.every


def _report(name: str, step: int) -> None:
    try:
        from distributed import get_worker

        get_worker().log_event(_PROGRESS_TOPIC, {"task": name, "step": step})
    except ValueError:  # not on a worker: nobody to report to
        pass


def _save_checkpoint(task: Task, simulation, samples: List[Tuple[float, ...]]) -> None:
    rows = np.array(samples, dtype=np.float64).reshape(-1, len(SAMPLE_COLUMNS))
    _atomic_write(os.path.join(task.folder, PARTIAL_SAMPLES), lambda stream: np.save(stream, rows))
    simulation.save(os.path.join(task.folder, CHECKPOINT))


def run_task(task: Task) -> int:
    """Runs `task` to its end, or on from its checkpoint, and saves its samples; returns
    the step it started from (-1 for a task found finished, which is left as it is)."""
    if os.path.exists(os.path.join(task.folder, SAMPLES)):
        return -1
    from threadpoolctl import threadpool_limits

    from .simulation import Simulation  # loads the engine's OpenMP runtime, for the limit to find

    with threadpool_limits(task.threads, user_api="openmp"):
        simulation, samples = _start(task, Simulation)
        first, particles = simulation.step, simulation.nr_particles
        last = task.equilibrate + task.steps
        saved = reported = time.monotonic()
        while simulation.step < last:
            simulation.run(_next_stop(simulation.step, task) - simulation.step)
            if simulation.step > task.equilibrate and (simulation.step - task.equilibrate) % task.every == 0:
                sample = _measure(simulation, particles)
                if not all(map(math.isfinite, sample)):
                    raise FloatingPointError(f"task {task.name}: the run blew up by step {simulation.step} "
                                             f"(non-finite energies or pressure): lower the stepsize or density")
                samples.append(sample)
            now = time.monotonic()
            if now - saved >= task.checkpoint_seconds and simulation.step < last:
                _save_checkpoint(task, simulation, samples)
                saved = now
            if now - reported >= 0.5:
                _report(task.name, simulation.step)
                reported = now
    rows = np.array(samples, dtype=np.float64).reshape(-1, len(SAMPLE_COLUMNS))
    _atomic_write(os.path.join(task.folder, SAMPLES), lambda stream: np.save(stream, rows))
    for leftover in (CHECKPOINT, PARTIAL_SAMPLES):
        if os.path.exists(os.path.join(task.folder, leftover)):
            os.unlink(os.path.join(task.folder, leftover))
    _report(task.name, last)
    return first


# ---------------------------------------------------------------- statistics


def mean_and_error(series: np.ndarray) -> Tuple[float, float, float]:
    """The mean of a time series, its standard error and the statistical inefficiency g
    (samples per independent sample) that the error accounts for."""
    series = np.asarray(series, dtype=np.float64)
    mean = float(np.mean(series)) if len(series) else math.nan
    if len(series) < 2:
        return mean, math.nan, math.nan
    if np.ptp(series) == 0:
        return mean, 0.0, 1.0
    g = float(_timeseries().statistical_inefficiency(series))
    return mean, math.sqrt(np.var(series, ddof=1) * g / len(series)), g


def _timeseries():
    import logging

    # pymbar warns on import that JAX, which only its MBAR solvers use, is missing.
    logging.getLogger("pymbar").setLevel(logging.ERROR)
    from pymbar import timeseries

    return timeseries


def task_statistics(samples: np.ndarray, particles: int, kT: float, canonical: bool) -> Dict[str, float]:
    """Means, errors and statistical inefficiencies of a task's samples; with a canonical
    thermostat also the total energy's variance per particle var(Etot) / N (in ε²) and the
    heat capacity per particle var(Etot) / (N kT²)."""
    row = {"samples": len(samples)}
    for column in MEASURED:
        series = samples[:, SAMPLE_COLUMNS.index(column)]
        row[column], row[column + "_err"], row[column + "_g"] = mean_and_error(series)
    if canonical:
        etot = samples[:, SAMPLE_COLUMNS.index("etot")] * particles
        squares = (etot - etot.mean()) ** 2 / particles
        variance, error, g = mean_and_error(squares)
        row.update(etot_variance=variance, etot_variance_err=error, etot_variance_g=g,
                   heat_capacity=variance / kT ** 2, heat_capacity_err=error / kT ** 2)
    return row


# The columns of a task's row that are its own, not its state point's.
_TASK_COLUMNS = ("task", "replica", "seed", "paramfile", "samples")


def state_table(results):
    """The table of state points.

    Parameters
    ----------
    results : pandas.DataFrame
        The table of tasks that ``sweep`` returns.

    Returns
    -------
    pandas.DataFrame
        One row per state point: each quantity's mean over the replicas, its error
        from the replicas' own errors (columns ending in _err) and the standard
        error of the replicas' mean from their spread (ending in _spread; NaN with
        one replica).
    """
    import pandas as pd

    quantities = [column for column in results.columns if column + "_err" in results.columns]
    measured = {column + suffix for column in quantities for suffix in ("", "_err", "_g")}
    state = [column for column in results.columns if column not in measured and column not in _TASK_COLUMNS]
    rows = []
    for _, group in results.groupby("point", sort=True):
        row = dict(group.iloc[0][state], replicas=len(group))
        for quantity in quantities:
            values, errors = group[quantity].to_numpy(), group[quantity + "_err"].to_numpy()
            row[quantity] = float(values.mean())
            row[quantity + "_err"] = float(math.sqrt(np.sum(errors ** 2)) / len(values))
            row[quantity + "_spread"] = (float(values.std(ddof=1) / math.sqrt(len(values))) if len(values) > 1
                                         else math.nan)
        rows.append(row)
    return pd.DataFrame(rows)


# ---------------------------------------------------------------- the equation of state


def pets(kT: float, densities: np.ndarray, sigma: float = 1.0, epsilon: float = 1.0):
    """Pressure and potential energy per particle of the Lennard-Jones fluid truncated and
    shifted at 2.5 σ by the PeTS equation of state (through feos) at thermal energy kT,
    in the units of sigma and epsilon; None when feos is not installed."""
    try:
        import feos
        import si_units as si
    except ImportError:
        return None
    # Reduced units through a fluid with σ = 1 Å and ε / k = 1 K.
    record = feos.PureRecord(feos.Identifier(name="lj"), 1.0, sigma=1.0, epsilon_k=1.0)
    eos = feos.EquationOfState.pets(feos.Parameters.new_pure(record))
    pressures, energies = [], []
    for density in densities:
        state = feos.State(eos, temperature=kT / epsilon * si.KELVIN,
                           density=density * sigma ** 3 / (si.NAV * si.ANGSTROM ** 3))
        pressures.append(state.pressure() * si.ANGSTROM ** 3 / (si.KB * si.KELVIN) * epsilon / sigma ** 3)
        energies.append(state.molar_internal_energy(feos.Contributions.Residual)
                        / (si.NAV * si.KB * si.KELVIN) * epsilon)
    return np.array(pressures), np.array(energies)


def plot_equation_of_state(states, path: PathLike, base: paramfile.ParameterFile) -> bool:
    """Pressure and potential energy per particle against density, an isotherm per kT
    with error bars, and beside them the PeTS equation of state when feos is installed
    and the runs are of the fluid it describes (rcut = 2.5 sigma). Returns whether the
    PeTS curves are drawn."""
    from matplotlib.figure import Figure

    sigma, epsilon = base.real("sigma"), base.real("epsilon")
    figure = Figure(figsize=(7.5, 7.0), layout="constrained")
    pressure_axes, energy_axes = figure.subplots(2, 1, sharex=True)
    drawn = False
    for index, (kT, isotherm) in enumerate(states.sort_values("density").groupby("kT", sort=True)):
        colour = f"C{index % 10}"
        for axes, column in ((pressure_axes, "pressure"), (energy_axes, "epot")):
            axes.errorbar(isotherm["density"], isotherm[column], yerr=isotherm[column + "_err"], fmt="o",
                          color=colour, capsize=3, label=f"kT = {kT:g}")
        if set(isotherm["rcut"]) == {2.5 * sigma}:
            low, high = isotherm["density"].min(), isotherm["density"].max()
            densities = np.linspace(low * 0.95, high * 1.05, 60)
            try:
                curves = pets(kT, densities, sigma, epsilon)
            except Exception as error:  # feos's own failures: the points stand without the curve
                warnings.warn(f"no PeTS curve at kT = {kT:g}: {error}")
                curves = None
            if curves is not None:
                for axes, curve in zip((pressure_axes, energy_axes), curves):
                    axes.plot(densities, curve, color=colour, linewidth=1.0, linestyle="--")
                drawn = True
    pressure_axes.set_ylabel("pressure / (ε / σ³)")
    energy_axes.set_ylabel("potential energy per particle / ε")
    energy_axes.set_xlabel("density / σ⁻³")
    pressure_axes.legend(loc="best", title="dashed: PeTS" if drawn else None)
    figure.savefig(path, dpi=120)
    return drawn


# ---------------------------------------------------------------- the cluster


class _Cluster:
    """A Dask client: of an in-process LocalCluster with one worker per run that fits the
    machine, or of a running scheduler at `address`; both closed on leaving."""

    def __init__(self, address: Optional[str], threads: int, connect_timeout: float):
        from distributed import Client, LocalCluster

        self.cluster = None
        if address:
            try:
                self.client = Client(address, timeout=connect_timeout)
            except (OSError, TimeoutError) as error:
                raise SweepError(f"cannot reach the scheduler at {address} within {connect_timeout:g} s: "
                                 f"{error}") from None
            return
        cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
        import logging

        # Everything on the loopback interface, the scheduler's web server on a free port.
        self.cluster = LocalCluster(n_workers=max(1, cores // threads), threads_per_worker=1, processes=True,
                                    host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                    scheduler_kwargs={"dashboard": False}, silence_logs=logging.CRITICAL,
                                    env={"OMP_NUM_THREADS": str(threads)})
        try:
            self.client = Client(self.cluster)
        except BaseException:
            self.cluster.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exception) -> None:
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


class _Progress:
    """Steps done over all tasks, and tasks done: a tqdm bar on a terminal, else a line
    per finished task (both on standard error)."""

    def __init__(self, total_steps: int, tasks: int, done: int, shown: bool):
        self.tasks, self.done, self.steps = tasks, done, {}
        self.lock = threading.Lock()  # the steps come in on the client's event-loop thread
        self.shown = shown
        self.bar = None
        if shown and sys.stderr.isatty():
            from tqdm import tqdm

            self.bar = tqdm(total=total_steps, desc=f"tasks {done}/{tasks}", unit="step", dynamic_ncols=True,
                            file=sys.stderr)

    def step(self, event) -> None:  # a task's progress event, on the client's own thread
        message = event[1]
        with self.lock:
            self.steps[message["task"]] = message["step"]

    def refresh(self, finished: Mapping[str, int]) -> None:
        """Counts the `finished` tasks, each given with the step it started from."""
        for name, first in finished.items():
            self.done += 1
            if self.shown and self.bar is None:
                resumed = f", continued from its checkpoint at step {first}" if first > 0 else ""
                print(f"tovrin sweep: task {name} done ({self.done}/{self.tasks}){resumed}", file=sys.stderr,
                      flush=True)
        if self.bar is not None:
            self.bar.set_description(f"tasks {self.done}/{self.tasks}", refresh=False)
            with self.lock:
                steps = sum(self.steps.values())
            self.bar.update(steps - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ---------------------------------------------------------------- the sweep


def _positive(name: str, value, allow_zero: bool = False) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < (0 if allow_zero else 1):
        raise SweepError(f"{name} = {value!r}: must be a whole number of at least {0 if allow_zero else 1}")
    return int(value)


def _thermostat(name: str) -> str:
    from .simulation import THERMOSTATS

    if name not in THERMOSTATS:
        raise SweepError(f"thermostat {name!r}: one of {', '.join(THERMOSTATS)}")
    return name


def sweep(paramfile_path: PathLike, grid: Mapping[str, Sequence[object]], *, out: PathLike, equilibrate: int,
          steps: int, every: int, replicas: int = 1, seed: Optional[int] = None,
          thermostat: str = "berendsen", threads_per_run: int = 1, scheduler: Optional[str] = None,
          checkpoint_minutes: float = 5.0, connect_timeout: float = 10.0, progress: bool = False):
    """Runs the sweep and returns its table, one row per task.

    Parameters
    ----------
    paramfile_path : str or os.PathLike
        The parameter file every task starts from.
    grid : mapping of str to sequence
        Parameter-file keys, or "density" (which sets cell_length from
        nr_particles), each with its values: texts of the parameter file's number
        syntax, or numbers. Every combination is a state point.
    out : str or os.PathLike
        The sweep's folder: its manifest, the tasks' files and checkpoints, and the
        tables. A cluster's workers must see it at the same path.
    equilibrate, steps, every : int
        Steps before the measurement, steps measured, and steps between samples.
    replicas : int, optional
        Runs of each state point, each with a seed of its own.
    seed : int, optional
        The sweep's seed, from which every task's is derived; without it one is
        drawn and recorded in the manifest (and taken from there when the sweep
        runs again).
    thermostat : {"berendsen", "bussi", "none"}, optional
        The thermostat of every run.
    threads_per_run : int, optional
        OpenMP threads of each run.
    scheduler : str, optional
        A running Dask scheduler ("tcp://HOST:PORT"); without it the tasks run on
        a LocalCluster of this machine, one worker per run that fits.
    checkpoint_minutes : float, optional
        Minutes of work between a task's checkpoints.
    connect_timeout : float, optional
        Seconds to wait for the scheduler.
    progress : bool, optional
        Show a progress bar of steps and tasks.

    Returns
    -------
    pandas.DataFrame
        One row per task: its state point, replica and seed, and each quantity's
        mean with a standard error that accounts for correlation in time.

    Raises
    ------
    SweepError
        Before any task starts, for bad input (an unknown key, an empty or
        non-numeric list, a box shorter than twice rcut, a folder that is a file,
        a scheduler that cannot be reached, a sweep that differs from the one the
        folder holds); after the tasks, when some failed (the others' results are
        kept).
    """
    import pandas as pd

    path = os.fspath(paramfile_path)
    out = os.path.abspath(os.fspath(out))
    equilibrate = _positive("equilibrate", equilibrate, allow_zero=True)
    steps, every = _positive("steps", steps), _positive("every", every)
    replicas, threads = _positive("replicas", replicas), _positive("threads_per_run", threads_per_run)
    if steps % every:
        raise SweepError(f"steps = {steps} is no multiple of every = {every}")
    if seed is not None:
        seed = _positive("seed", seed, allow_zero=True)
    if not checkpoint_minutes >= 0:
        raise SweepError(f"checkpoint_minutes = {checkpoint_minutes}: must be at least 0")
    thermostat = _thermostat(thermostat)
    checked = _checked_grid(grid)
    try:
        base = paramfile.read(path)
    except OSError as error:
        raise SweepError(f"cannot read the parameter file {path}: {error.strerror or error}") from None
    report = paramfile.check(path)
    if not report.runnable:
        raise SweepError(f"{path} cannot run: " + ", ".join(f"no usable {key}" for key in
                                                             report.missing + report.unconvertible))
    points = [dict(zip([key for key, _ in checked], values))
              for values in itertools.product(*(values for _, values in checked))]
    assignments = [_assignments(base, point) for point in points]
    for point, assigned in zip(points, assignments):
        _check_point(base, assigned, point)
    _writable_folder(out)
    manifest = _agreed_manifest(out, {
        "version": _MANIFEST_VERSION, "grid": [[key, values] for key, values in checked],
        "replicas": replicas, "equilibrate": equilibrate, "steps": steps, "every": every, "seed": seed,
        "thermostat": thermostat, "threads_per_run": threads,
        "parameters": {key: value for key, value in base.text.items() if key not in OWN_KEYS}})
    plan = [_planned(out, base, manifest, number, replica, point, assigned, checkpoint_minutes * 60.0)
            for number, (point, assigned) in enumerate(zip(points, assignments)) for replica in range(replicas)]
    tasks = [task for task, _, _ in plan]
    pending = [task for task in tasks if not os.path.exists(os.path.join(task.folder, SAMPLES))]
    failures = {}
    if pending:
        with _Cluster(scheduler, threads, connect_timeout) as cluster:
            _write_inputs(out, path, manifest, plan)
            token = hashlib.sha256(json.dumps([manifest, out], sort_keys=True).encode()).hexdigest()[:12]
            failures = _run_all(cluster.client, tasks, pending, token, progress)
    results = pd.DataFrame([dict(row, **task_statistics(np.load(os.path.join(task.folder, SAMPLES)),
                                                         row["nr_particles"], row["kT"],
                                                         thermostat == CANONICAL))
                            for task, row, _ in plan if task.name not in failures])
    _write_tables(out, results, base)
    if failures:
        raise SweepError(f"{len(failures)} of {len(tasks)} tasks failed (the others' results are in {out}):\n"
                         + "\n".join(f"  {name}: {why}" for name, why in sorted(failures.items())))
    return results


def _planned(out: str, base: paramfile.ParameterFile, manifest: Mapping, number: int, replica: int,
             point: Mapping[str, str], assigned: Mapping[str, str], checkpoint_seconds: float):
    """The task of state point `number`, replica `replica`; its row of the table (the
    state point, the seed and the parameter file); and the assignments its file adds."""
    name = f"p{number:03d}-r{replica:02d}"
    task = Task(name, os.path.join(out, TASKS, name), manifest["thermostat"], manifest["threads_per_run"],
                manifest["equilibrate"], manifest["steps"], manifest["every"], checkpoint_seconds)
    seed = task_seed(manifest["seed"], number, replica)
    values = paramfile.ParameterFile(task.paramfile, dict(base.text, **assigned))
    particles, cell = values.whole("nr_particles"), values.real("cell_length")
    # A swept density is the one given, not its round trip through cell_length.
    row = {"task": name, "point": number, "replica": replica, "nr_particles": particles,
           "density": particles / cell ** 3, "kT": values.real("kT"), "rcut": values.real("rcut"),
           **{key: float(value) for key, value in point.items()},
           "thermostat": manifest["thermostat"], "threads": manifest["threads_per_run"], "seed": seed,
           "paramfile": task.paramfile}
    return task, row, dict(assigned, seed=str(seed), nrsteps=str(manifest["equilibrate"] + manifest["steps"]))


def _write_inputs(out: str, path: str, manifest: Mapping, plan) -> None:
    """The manifest, and each task's parameter file: the sweep's file with the task's
    assignments first (the first assignment of a key counts)."""
    _atomic_write(os.path.join(out, MANIFEST),
                  lambda stream: stream.write(json.dumps(manifest, indent=1).encode() + b"\n"))
    with open(path, "rb") as stream:
        body = stream.read()
    for task, _, values in plan:
        os.makedirs(task.folder, exist_ok=True)
        head = "".join(f"{key} = {value}\n" for key, value in values.items()).encode()
        _atomic_write(task.paramfile, lambda stream: stream.write(head + body))


def _write_tables(out: str, results, base: paramfile.ParameterFile) -> None:
    results.to_csv(os.path.join(out, RESULTS), index=False)
    if len(results):
        states = state_table(results)
        states.to_csv(os.path.join(out, STATES), index=False)
        plot_equation_of_state(states, os.path.join(out, PLOT), base)


def _run_all(client, tasks: Sequence[Task], pending: Sequence[Task], token: str, shown: bool) -> Dict[str, str]:
    """Runs the pending tasks on the client's cluster; returns the failed ones' reasons."""
    from distributed import as_completed

    per_task = tasks[0].equilibrate + tasks[0].steps if tasks else 0
    progress = _Progress(per_task * len(pending), len(tasks), len(tasks) - len(pending), shown)
    client.subscribe_topic(_PROGRESS_TOPIC, progress.step)
    futures = {client.submit(run_task, task, key=f"tovrin-sweep-{token}-{task.name}", pure=False): task
               for task in pending}
    failures = {}
    try:
        completed = as_completed(futures)
        while True:
            finished = completed.next_batch(block=False)
            for future in finished:
                if future.status == "cancelled":
                    failures[futures[future].name] = "cancelled"
                elif future.status != "finished":
                    failures[futures[future].name] = _failure(future)
            progress.refresh({futures[future].name: future.result() for future in finished
                              if future.status == "finished"})
            if completed.is_empty():
                break
            time.sleep(0.2)
    finally:
        progress.close()
        client.unsubscribe_topic(_PROGRESS_TOPIC)
    return failures


def _failure(future) -> str:
    error = future.exception()
    return f"{type(error).__name__}: {error}"
