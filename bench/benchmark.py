"""tovrin against LAMMPS on the Lennard-Jones liquid, and tovrin's scaling with N.

    python bench/benchmark.py [--rounds R] [--steps S] [--no-scaling] [--no-lammps] [--no-stepwise]
                              [--kernels generic|avx2|avx512|highway] [--mixed] [--long [STEPS]]
                              [--phases] [--large] [--waiting] [--particles N]

Workload "LJ liquid": 32,000 particles at density 0.8442, rcut 2.5 (shifted),
skin 0.3, sigma = epsilon = mass = 1, kT 0.72 with a Berendsen thermostat
(tau 0.1), stepsize 0.005, 500 steps, two threads (OMP_NUM_THREADS=2).

tovrin runs through Tovrin().simulate, the way a user runs it, in a fresh
Python process each time (so that its peak resident memory is its own) and is
timed around the call. LAMMPS runs the same physics from tovrin's own initial
positions and drift-free velocities in every two-core configuration it offers
here (two MPI ranks, two OpenMP threads, the OPT styles); the fastest is the
peer figure. Both engines run in alternating rounds and each keeps its best
round, so a slow spell of a shared machine hits them alike. The potential
energy of tovrin's final configuration, recomputed by LAMMPS (run 0), must
equal tovrin's last epot to 1e-10 relative.

--mixed times both engines from a mixed liquid as well: tovrin runs the liquid
2,000 steps from its lattice, then its labels are dealt out at random, as a long
run's diffusion leaves them (neighbours in space are then far apart in memory), and
both engines start from that same configuration, positions and velocities: tovrin
through Simulation(paramfile, positions=..., velocities=...) in a fresh process,
LAMMPS from a data file of it. Each round runs them beside the lattice start, and
the table gives, for each engine, the mixed start's time per atom-step beside the
lattice start's and the ratios tovrin / LAMMPS of both. Here tovrin is timed around
Simulation.run from either start, as LAMMPS's loop time leaves out its setup; a
second tovrin row runs with sort_every = 0, the label order, which shows what the
spatial order of the storage gains from that start. LAMMPS recomputes the final
potential energy of tovrin's runs from both. With --large, 256,000 particles too
(mixed by 1,000 steps, a fifth of the steps timed). It is an option because it
doubles the time of the comparison and more (every LAMMPS configuration runs from
both starts, and the mixing run comes first).

--long [STEPS] runs tovrin alone from the lattice for 20,000 steps (or STEPS),
long enough for the liquid to mix, timed in twenty windows through Simulation.run:
once with the spatial order of the particles' storage the engine chooses, once
with sort_every = 0 (the label order of the lattice), the two alternating window by
window in one process, from the same seed, so that they run the same trajectory.
It prints each window's time per atom-step, and the first window's, the last
one's and their ratio for each storage: whether the speed holds as the liquid mixes.

--particles N replaces the liquid's 32,000 particles in the comparison with LAMMPS,
the mixed and long runs and the step-wise table (a few thousand check the script
quickly); the box keeps the density.

The step-wise table runs the same liquid through tovrin.Simulation (construction,
run(nrsteps), results()) against simulate, in alternating rounds: the step-wise
path must cost no more per step, and end on the same bits.

The scaling table runs tovrin alone at N = 4,000 .. 1,000,000 (fewer steps for
the large systems) and reports time per atom-step and peak resident memory per
particle, the latter for the whole process (interpreter and NumPy included)
and for what simulate added to it.

--kernels runs tovrin with the named kernel set (the environment variable
TOVRIN_KERNELS) instead of the widest the processor offers, so that one machine
gives the figures of narrower processors too. --phases builds tovrin-phases
(bench/phases.cpp) and times the neighbour-list build alone, the forces alone
and whole steps, at one and two threads, for the liquid as it starts (lattice
order) and after 2,000 steps have mixed it; --large adds 256,000 particles.
Each case runs twice: with the particles in the order of their lattice sites and
with their labels shuffled, as a long run's diffusion leaves a liquid (neighbours
in space are then far apart in memory); the last column gives the shuffled
step's time over the ordered one's.

--waiting times how idle threads wait between the engine's parallel loops: one
thread, and two threads with the engine's choice (spin while the machine has a
processor for each thread, sleep at once while it has not), with libomp's default
(spin 200 ms) and with no spin, on an idle machine and while a second program keeps
one processor busy, for 500, 4,000 and 32,000 particles.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, Optional

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lammps_peer  # noqa: E402

DENSITY = 0.8442
LIQUID_N = 32000
LARGE_N = 256000
LIQUID_LENGTH = 33.59192382765014  # (32000 / 0.8442) ** (1 / 3)
THREADS = "2"
SCALING = [(4000, 500), (32000, 500), (256000, 100), (1000000, 50)]
KERNEL_SETS = ("generic", "avx2", "avx512")  # x86-64 sets, narrowest first
PORTABLE_KERNEL_SET = "highway"  # runs on every processor, at its widest target
KERNEL_SOURCES = {"generic": "plain C++", "avx2": "Highway's AVX2 target", "avx512": "hand-written",
                  PORTABLE_KERNEL_SET: "Highway's widest target"}
# Phase timings: (particles, steps run before timing, steps timed, repeats); each
# case runs with the particles in their lattice order and with their labels shuffled.
PHASE_CASES = [(32000, 0, 16, 3), (32000, 2000, 16, 3)]
LARGE_PHASE_CASES = [(256000, 1000, 8, 3)]
# Waiting of idle threads: (particles, steps), and the choices (name, threads, KMP_BLOCKTIME).
WAITING_CASES = [(500, 1000), (4000, 300), (32000, 100)]
WAITING_CHOICES = [("one thread", "1", None), ("2 threads, tovrin's choice", "2", None),
                   ("2 threads, spin 200 ms (libomp default)", "2", "200"),
                   ("2 threads, no spin", "2", "0")]
# The mixed liquid: steps from the lattice before its labels are shuffled (the large
# one as in tovrin-phases), and the seed of the shuffle.
MIX_STEPS = 2000
LARGE_MIX_STEPS = 1000
LARGE_STEPS_DIVISOR = 5  # the large liquid runs a fifth of the steps
SHUFFLE_SEED = 12345
# The long run: its steps, the windows it is timed in, and the seed both storages share.
LONG_STEPS = 20000
LONG_WINDOWS = 20
LONG_SEED = 1
REPO = Path(__file__).resolve().parent.parent
ENERGY_TOLERANCE = 1e-10

PARAMETERS = """\
nr_particles = {n}
cell_length = {length!r}
kT = {kT!r}
mass = 1.0
sigma = 1.0
epsilon = 1.0
rcut = {rcut!r}
shell = {shell!r}
tau = {tau!r}
stepsize = {dt!r}
nrsteps = {steps}
"""

# Runs one simulation in this fresh process and reports on standard output.
CHILD = r"""
import json, resource, sys, time
import numpy as np
from tovrin.tovrin import Tovrin
parameter_file, arrays_file = sys.argv[1], sys.argv[2]
baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
result = Tovrin().simulate(parameter_file)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
if arrays_file != "-":
    np.savez(arrays_file, positions=result["positions"], velocities=result["velocities"],
             positions_initial=result["positions_initial"],
             velocities_initial=result["velocities_initial"])
print(json.dumps({"seconds": seconds, "peak": peak, "baseline": baseline,
                  "epot": result["epot"][-1] if result["epot"] else None}))
"""


def liquid_length(n: int) -> float:
    """The box edge of n particles at the benchmark's density."""
    return LIQUID_LENGTH if n == LIQUID_N else (n / DENSITY) ** (1 / 3)


def parameter_file(directory: Path, n: int, steps: int, **extra: int) -> Path:
    """The liquid's parameter file; `extra` keys (seed, sort_every) are added to it."""
    tag = "".join("-%s%d" % (key, value) for key, value in sorted(extra.items()))
    path = directory / ("liquid-%d-%d%s.txt" % (n, steps, tag))
    text = PARAMETERS.format(n=n, length=liquid_length(n), kT=lammps_peer.KT, rcut=lammps_peer.RCUT,
                             shell=lammps_peer.SKIN, tau=lammps_peer.TDAMP, dt=lammps_peer.DT, steps=steps)
    path.write_text(text + "".join("%s = %d\n" % item for item in sorted(extra.items())))
    return path


def tovrin_environment(threads: str = THREADS) -> dict:
    """The environment of a tovrin run: its threads, and its kernel set if chosen."""
    environment = dict(os.environ, OMP_NUM_THREADS=threads)
    if KERNELS:
        environment["TOVRIN_KERNELS"] = KERNELS
    return environment


# The same run through tovrin.Simulation, timed around construction, the steps and
# the result dictionary, as the simulate call above is.
STEPWISE_CHILD = r"""
import json, sys, time
from tovrin import Simulation
parameter_file = sys.argv[1]
start = time.perf_counter()
sim = Simulation(parameter_file)
sim.run(sim.nrsteps)
result = sim.results()
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "epot": result["epot"][-1]}))
"""


# A run through Simulation from the lattice, or from the positions and velocities of
# a .npz file, in this fresh process, timed around the steps alone (as LAMMPS's loop
# time leaves out its setup); the final state goes to the arrays file when one is named.
START_CHILD = r"""
import json, resource, sys, time
import numpy as np
from tovrin import Simulation
parameter_file, arrays_file, steps, start_file = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
start = {}
if start_file != "-":
    with np.load(start_file) as saved:
        start = {"positions": saved["positions"], "velocities": saved["velocities"]}
sim = Simulation(parameter_file, **start)
del start
begin = time.perf_counter()
sim.run(steps)
seconds = time.perf_counter() - begin
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
if arrays_file != "-":
    np.savez(arrays_file, positions=sim.positions, velocities=sim.velocities,
             positions_initial=sim.positions_initial, velocities_initial=sim.velocities_initial)
print(json.dumps({"seconds": seconds, "peak": peak, "epot": sim.epot}))
"""

# Mixes the liquid: runs it from the lattice, then deals the labels out at random, as
# diffusion leaves them, and saves the positions and velocities in that order.
MIX_CHILD = r"""
import json, sys
import numpy as np
from tovrin import Simulation
parameter_file, mixed_file, steps, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
sim = Simulation(parameter_file)
sim.run(steps)
order = np.random.default_rng(seed).permutation(sim.nr_particles)
np.savez(mixed_file, positions=sim.positions[order], velocities=sim.velocities[order])
print(json.dumps({"epot": sim.epot}))
"""

# Runs several parameter files from the lattice through Simulation, window by window in
# turn, and reports each window's wall and processor time (all threads).
LONG_CHILD = r"""
import json, sys, time
from tovrin import Simulation
steps, window, parameter_files = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
runs = [Simulation(path) for path in parameter_files]
windows = [[] for _ in runs]
while runs[0].step < steps:
    count = min(window, steps - runs[0].step)
    for sim, times in zip(runs, windows):
        wall, processor = time.perf_counter(), time.process_time()
        sim.run(count)
        times.append([count, time.perf_counter() - wall, time.process_time() - processor])
same = all((sim.positions == runs[0].positions).all() and (sim.velocities == runs[0].velocities).all()
           for sim in runs)
print(json.dumps({"windows": windows, "same_trajectory": bool(same)}))
"""


def run_child(child: str, arguments: list, cwd: Path, environment: dict = None) -> dict:
    """Runs a child script in a fresh interpreter; returns the JSON of its last line."""
    environment = environment or tovrin_environment()
    done = subprocess.run([sys.executable, "-c", child, *arguments], env=environment,
                          cwd=cwd, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError("tovrin run failed:\n" + done.stderr)
    return json.loads(done.stdout.splitlines()[-1])


def run_tovrin(parameters: Path, arrays: str = "-", child: str = CHILD, environment: dict = None,
               extra: tuple = ()) -> dict:
    return run_child(child, [str(parameters), arrays, *extra], parameters.parent, environment)


def drift_free(velocities: np.ndarray) -> np.ndarray:
    """The velocities a run starts with: the drawn ones less their mean, the sum
    taken particle by particle in order and multiplied by 1/N, as the engine does."""
    total = np.cumsum(velocities, axis=0)[-1]
    return velocities - total * (1.0 / len(velocities))


def processor() -> tuple:
    """The processor's model name and its flags (from /proc/cpuinfo)."""
    model = platform.machine() or "unknown processor"
    flags: set = set()
    cpuinfo = Path("/proc/cpuinfo")
    for line in (cpuinfo.read_text().splitlines() if cpuinfo.exists() else []):
        if line.startswith("model name") and model == (platform.machine() or "unknown processor"):
            model = line.split(":", 1)[1].strip()
        if line.startswith(("flags", "Features")) and not flags:
            flags = set(line.split(":", 1)[1].split())
    return model, flags


def widest_kernel_set(flags: set) -> str:
    """The widest kernel set the flags allow (the engine's own rule)."""
    return ("avx512" if {"avx512f", "avx512vl", "avx512dq", "avx512bw"} <= flags
            else "avx2" if "avx2" in flags else PORTABLE_KERNEL_SET)


def kernel_set(flags: set) -> str:
    """The kernel set tovrin runs, where its code comes from and why it runs: the one
    chosen, else the widest (tovrin-phases prints the name the engine itself reports)."""
    name = KERNELS or widest_kernel_set(flags)
    return "%s kernels (%s; %s)" % (name, KERNEL_SOURCES[name], "chosen by --kernels" if KERNELS else "the widest")


def machine() -> str:
    model, flags = processor()
    vector_flags = sorted(f for f in flags if f.startswith(("sse4", "avx", "fma", "asimd", "sve")))
    return "%s, %d logical cores, %s, %s, Python %s\nprocessor vector flags: %s" % (
        model, os.cpu_count() or 0, kernel_set(flags), platform.platform(), platform.python_version(),
        " ".join(vector_flags) or "none")


def context(builds: dict = None) -> str:
    """The line under a table that names the processor, tovrin's kernel set and the
    LAMMPS builds, so that a table copied alone still says where it was measured."""
    model, flags = processor()
    line = "processor: %s; tovrin: %s" % (model, kernel_set(flags))
    if builds:
        line += "; LAMMPS builds: " + ", ".join("%s = LAMMPS %s (%s, %s)" % (b.name, b.version, b.mpi, b.lmp)
                                                 for b in builds.values())
    return line + "\n"


@dataclasses.dataclass
class Entry:
    """One way tovrin runs a start: its child script, and its best and first runs."""
    name: str  # "simulate" or "Simulation.run", and the storage when it is not the engine's choice
    child: str
    extra: tuple  # the child's arguments after the parameter file and the arrays file
    parameters: Optional[Path] = None  # a parameter file of its own instead of the start's
    best: Optional[dict] = None
    first: Optional[dict] = None  # the run whose final state LAMMPS checks
    final: Optional[Path] = None  # that final state (.npz)

    def us_per_atom_step(self, start: "Start") -> float:
        return self.best["seconds"] / (start.n * start.steps) * 1e6


@dataclasses.dataclass
class Start:
    """A configuration both engines run from: the lattice, or a mixed liquid."""
    label: str  # "lattice" or "mixed"
    n: int
    steps: int
    parameters: Path
    entries: List[Entry]
    data: Optional[Path] = None  # the same configuration as a LAMMPS data file
    lammps_best: Dict[str, lammps_peer.LammpsRun] = dataclasses.field(default_factory=dict)

    @property
    def length(self) -> float:
        return liquid_length(self.n)

    def entry(self, name: str) -> Entry:
        return next(entry for entry in self.entries if entry.name == name)


STEPWISE = "Simulation.run"
LABEL_ORDER = "Simulation.run, sort_every = 0"


def stepwise_entries(work: Path, n: int, steps: int, start_file: str = "-") -> List[Entry]:
    """Simulation.run with the storage the engine chooses, and with the label order
    (sort_every = 0), which shows what the spatial order is worth from that start."""
    arguments = (str(steps), start_file)
    return [Entry(STEPWISE, START_CHILD, arguments),
            Entry(LABEL_ORDER, START_CHILD, arguments, parameter_file(work, n, steps, sort_every=0))]


def lattice_start(work: Path, n: int, steps: int, entries: List[Entry]) -> Start:
    """The liquid on its lattice; the data file follows tovrin's first run, which
    reports the initial state."""
    return Start("lattice", n, steps, parameter_file(work, n, steps), entries)


def mixed_start(work: Path, n: int, steps: int, mix: int) -> Start:
    """The liquid after `mix` steps from its lattice, its labels shuffled."""
    parameters = parameter_file(work, n, steps)
    mixed = work / ("mixed-%d.npz" % n)
    run_tovrin(parameters, str(mixed), MIX_CHILD, extra=(str(mix), str(SHUFFLE_SEED)))
    with np.load(mixed) as state:
        data = lammps_peer.write_data_file(work / ("mixed-%d.data" % n), state["positions"], state["velocities"],
                                           liquid_length(n))
    return Start("mixed", n, steps, parameters, stepwise_entries(work, n, steps, str(mixed)), data)


def time_tovrin(work: Path, start: Start, entry: Entry) -> None:
    """One timed run; the first keeps its final state for the energy check."""
    final = None
    if entry.first is None:
        final = work / ("final-%s-%d-%d.npz" % (start.label, start.n, start.entries.index(entry)))
    run = run_tovrin(entry.parameters or start.parameters, str(final or "-"), entry.child, extra=entry.extra)
    if entry.first is None:
        entry.first, entry.final = run, final
    if entry.best is None or run["seconds"] < entry.best["seconds"]:
        entry.best = run


def lattice_data(work: Path, start: Start) -> Path:
    """LAMMPS's data file of tovrin's initial state: its lattice positions and its
    drift-free velocities."""
    state = np.load(start.entries[0].final)
    return lammps_peer.write_data_file(work / ("lattice-%d.data" % start.n), state["positions_initial"],
                                       drift_free(state["velocities_initial"]), start.length)


def time_lammps(work: Path, start: Start, config: str, builds: dict) -> None:
    try:
        run = lammps_peer.run_lammps(start.data, start.steps, config, work, builds=builds)
    except (RuntimeError, subprocess.SubprocessError, OSError) as error:
        print("LAMMPS %s failed (%s start, N = %d): %s" % (config, start.label, start.n, error), file=sys.stderr)
        return
    if config not in start.lammps_best or run.loop_seconds < start.lammps_best[config].loop_seconds:
        start.lammps_best[config] = run


def time_rounds(work: Path, starts: List[Start], configs: List[str], builds: dict, rounds: int) -> None:
    """Alternating rounds: in each, every start runs tovrin's entries, then every
    LAMMPS configuration, so that a slow spell of a shared machine hits both alike."""
    for _ in range(rounds):
        for start in starts:
            for entry in start.entries:
                time_tovrin(work, start, entry)
            start.data = start.data or lattice_data(work, start)
            for config in configs:
                time_lammps(work, start, config, builds)
    for start in starts:
        if not start.lammps_best:
            raise RuntimeError("no LAMMPS configuration ran from the %s start of N = %d" % (start.label, start.n))


def energies_agree(work: Path, start: Start, entry: Entry, builds: dict) -> bool:
    """Prints LAMMPS's potential energy (run 0) of tovrin's final configuration beside
    tovrin's own; True when they agree to the tolerance."""
    final = np.load(entry.final)
    recomputed = lammps_peer.recompute_epot((final["positions"], final["velocities"]), start.length, work,
                                            builds=builds)
    epot = entry.first["epot"]
    relative = abs(recomputed - epot) / abs(epot)
    verdict = "agree" if relative <= ENERGY_TOLERANCE else "DISAGREE"
    print("final epot, %s start, N = %d, %s: tovrin %.17g, LAMMPS run 0 %.17g, relative difference %.1e: %s "
          "(tolerance %g)" % (start.label, start.n, entry.name, epot, recomputed, relative, verdict, ENERGY_TOLERANCE))
    return relative <= ENERGY_TOLERANCE


def print_lattice_table(start: Start, rounds: int, builds: dict) -> None:
    tovrin_us = start.entry("simulate").us_per_atom_step(start)
    tovrin_peak = start.entry("simulate").best["peak"]
    peer = min(start.lammps_best.values(), key=lambda r: r.us_per_atom_step)
    print("\nLJ liquid: N = %d, density %g, %d steps, 2 threads/ranks, best of %d rounds\n"
          % (start.n, DENSITY, start.steps, rounds))
    print(context(builds))
    print("| engine | µs per atom-step | peak resident memory | bytes per atom | tovrin / engine |")
    print("|---|---|---|---|---|")
    print("| tovrin (simulate) | %.4f | %.1f MiB | %.0f | 1.00 |"
          % (tovrin_us, tovrin_peak / 2**20, tovrin_peak / start.n))
    for run in sorted(start.lammps_best.values(), key=lambda r: r.us_per_atom_step):
        print("| LAMMPS %s | %.4f | %.1f MiB | %.0f | %.2f |"
              % (run.config, run.us_per_atom_step, run.peak_rss_bytes / 2**20, run.bytes_per_atom,
                 tovrin_us / run.us_per_atom_step))
    print("\ntovrin / best LAMMPS (%s): %.3f" % (peer.config, tovrin_us / peer.us_per_atom_step))


def print_mixed_table(lattice: Start, mixed: Start, mix: int, rounds: int, builds: dict) -> None:
    """Each engine's time from the mixed liquid beside its time from the lattice."""
    tovrin_us = (lattice.entry(STEPWISE).us_per_atom_step(lattice), mixed.entry(STEPWISE).us_per_atom_step(mixed))
    print("\nMixed liquid against the lattice start: N = %d, density %g, %d steps, 2 threads/ranks, best of %d "
          "rounds; the mixed liquid ran %d steps from the lattice, then its labels were shuffled; tovrin timed "
          "around Simulation.run, LAMMPS its loop time\n" % (mixed.n, DENSITY, mixed.steps, rounds, mix))
    print(context(builds))
    print("| engine | lattice start: µs per atom-step | mixed: µs per atom-step | mixed / lattice "
          "| peak resident memory, lattice / mixed | bytes per atom, mixed | tovrin / engine, lattice "
          "| tovrin / engine, mixed |")
    print("|---|---|---|---|---|---|---|---|")
    for name in (STEPWISE, LABEL_ORDER):
        runs = (lattice.entry(name), mixed.entry(name))
        us = (runs[0].us_per_atom_step(lattice), runs[1].us_per_atom_step(mixed))
        print("| tovrin (%s) | %.4f | %.4f | %.3f | %.1f / %.1f MiB | %.0f | %.2f | %.2f |"
              % (name, us[0], us[1], us[1] / us[0], runs[0].best["peak"] / 2**20, runs[1].best["peak"] / 2**20,
                 runs[1].best["peak"] / mixed.n, tovrin_us[0] / us[0], tovrin_us[1] / us[1]))
    for config, run in sorted(mixed.lammps_best.items(), key=lambda item: item[1].us_per_atom_step):
        from_lattice = lattice.lammps_best.get(config)
        if from_lattice is None:  # it failed from the lattice in every round
            print("| LAMMPS %s | failed | %.4f | | | %.0f | | %.2f |"
                  % (config, run.us_per_atom_step, run.bytes_per_atom, tovrin_us[1] / run.us_per_atom_step))
            continue
        print("| LAMMPS %s | %.4f | %.4f | %.3f | %.1f / %.1f MiB | %.0f | %.2f | %.2f |"
              % (config, from_lattice.us_per_atom_step, run.us_per_atom_step,
                 run.us_per_atom_step / from_lattice.us_per_atom_step, from_lattice.peak_rss_bytes / 2**20,
                 run.peak_rss_bytes / 2**20, run.bytes_per_atom, tovrin_us[0] / from_lattice.us_per_atom_step,
                 tovrin_us[1] / run.us_per_atom_step))
    peers = [min(start.lammps_best.values(), key=lambda r: r.us_per_atom_step) for start in (lattice, mixed)]
    print("\ntovrin / best LAMMPS: lattice start %.3f (%s), mixed %.3f (%s)"
          % (tovrin_us[0] / peers[0].us_per_atom_step, peers[0].config,
             tovrin_us[1] / peers[1].us_per_atom_step, peers[1].config))


def mixed_cases(n: int, steps: int, large: bool) -> List[tuple]:
    """(particles, mixing steps, steps timed) of the mixed comparison."""
    cases = [(n, MIX_STEPS, steps)]
    if large and n != LARGE_N:
        cases.append((LARGE_N, LARGE_MIX_STEPS, max(1, steps // LARGE_STEPS_DIVISOR)))
    return cases


def compare_with_lammps(work: Path, n: int, steps: int, rounds: int, mixed: List[tuple]) -> None:
    """The lattice start through simulate against LAMMPS and, for each of the `mixed`
    cases, tovrin's and LAMMPS's times from a mixed liquid beside their lattice start's."""
    builds = lammps_peer.setup()
    configs = [name for name in lammps_peer.available_configurations(builds)
               if name.endswith("2")]  # the two-core configurations
    main = lattice_start(work, n, steps, [Entry("simulate", CHILD, ())])
    starts = [main]
    pairs = []
    for size, mix, size_steps in mixed:
        if (size, size_steps) == (n, steps):
            lattice = main  # the LAMMPS runs from the lattice serve both tables
            lattice.entries.extend(stepwise_entries(work, size, size_steps))
        else:
            lattice = lattice_start(work, size, size_steps, stepwise_entries(work, size, size_steps))
            starts.append(lattice)
        pairs.append((lattice, mixed_start(work, size, size_steps, mix), mix))
        starts.append(pairs[-1][1])
    time_rounds(work, starts, configs, builds, rounds)

    print_lattice_table(main, rounds, builds)
    agree = energies_agree(work, main, main.entry("simulate"), builds)
    for lattice, mixed_liquid, mix in pairs:
        print_mixed_table(lattice, mixed_liquid, mix, rounds, builds)
        for start in (lattice, mixed_liquid):
            for name in (STEPWISE, LABEL_ORDER):
                agree = energies_agree(work, start, start.entry(name), builds) and agree
    if not agree:
        raise SystemExit("the engines disagree on the potential energy")


def long_run(work: Path, n: int, steps: int) -> None:
    """tovrin from the lattice until the liquid has mixed, timed in windows, with the
    engine's spatial order and with the label order (sort_every = 0)."""
    window = max(1, steps // LONG_WINDOWS)
    storages = [("spatial order (the engine's choice)", parameter_file(work, n, steps, seed=LONG_SEED)),
                ("label order (sort_every = 0)", parameter_file(work, n, steps, seed=LONG_SEED, sort_every=0))]
    run = run_child(LONG_CHILD, [str(steps), str(window)] + [str(path) for _, path in storages], work)
    per_atom_step = [[(wall / (n * count) * 1e6, processor / (n * count) * 1e6) for count, wall, processor in windows]
                     for windows in run["windows"]]
    print("\nLong run from the lattice: N = %d, %d steps in windows of %d through Simulation.run, 2 threads; "
          "the two storages alternate window by window in one process; µs per atom-step, wall time and, in "
          "brackets, processor time of all threads\n" % (n, steps, window))
    print(context())
    print("| storage | first window | last window | last / first | whole run |")
    print("|---|---|---|---|---|")
    for (name, _), times, windows in zip(storages, per_atom_step, run["windows"]):
        whole = [sum(column) / (n * steps) * 1e6 for column in list(zip(*windows))[1:]]
        print("| %s | %.4f (%.4f) | %.4f (%.4f) | %.3f (%.3f) | %.4f (%.4f) |"
              % (name, *times[0], *times[-1], times[-1][0] / times[0][0], times[-1][1] / times[0][1], *whole))
    print("\n| steps done | spatial order | label order | label / spatial |")
    print("|---|---|---|---|")
    done = 0
    for (count, _, _), spatial, label in zip(run["windows"][0], *per_atom_step):
        done += count
        print("| %d | %.4f (%.4f) | %.4f (%.4f) | %.3f (%.3f) |"
              % (done, *spatial, *label, label[0] / spatial[0], label[1] / spatial[1]))
    print("same trajectory bit for bit: %s" % run["same_trajectory"], flush=True)


def scaling(work: Path) -> None:
    print("\ntovrin alone, 2 threads\n")
    print(context())
    print("| N | steps | µs per atom-step | peak bytes per atom (process) | added by simulate |")
    print("|---|---|---|---|---|")
    for n, steps in SCALING:
        run = run_tovrin(parameter_file(work, n, steps))
        print("| %d | %d | %.4f | %.0f | %.0f |"
              % (n, steps, run["seconds"] / (n * steps) * 1e6, run["peak"] / n,
                 (run["peak"] - run["baseline"]) / n), flush=True)


def build_phases() -> Path:
    """Builds tovrin-phases in build/bench of this checkout and returns its path."""
    build = REPO / "build" / "bench"
    for command in (["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"],
                    ["cmake", "--build", str(build), "--target", "tovrin-phases"]):
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise RuntimeError("building tovrin-phases failed:\n" + done.stdout + done.stderr)
    return build / "bench" / "tovrin-phases"


def phases(cases: list) -> None:
    program = build_phases()
    print("\ntovrin's phases (tovrin-phases): µs per atom for one list build and for one force "
          "computation, µs per atom-step for whole steps (list rebuilds included); best of the repeats, "
          "wall time and, in brackets, processor time of all threads (steadier on a shared machine)\n")
    print(context())
    print("| N | steps before | order | threads | kernels | list entries per atom | list build | forces | step "
          "| step shuffled / ordered |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for n, mix, steps, repeats in cases:
        for threads in ("1", THREADS):
            ordered_step = None
            for order in ("ordered", "shuffled"):
                command = [str(program), str(n), str(mix), str(steps), str(repeats)]
                done = subprocess.run(command + (["shuffled"] if order == "shuffled" else []),
                                      env=tovrin_environment(threads), capture_output=True, text=True, check=False)
                if done.returncode != 0:
                    raise RuntimeError("tovrin-phases failed:\n" + done.stderr)
                run = json.loads(done.stdout.splitlines()[-1])
                figures = " | ".join("%.4f (%.4f)" % (run[phase + "_us_per_atom"], run[phase + "_cpu_us_per_atom"])
                                     for phase in ("build", "forces", "step"))
                ordered_step = ordered_step or run["step_cpu_us_per_atom"]
                print("| %d | %d | %s | %d | %s | %.1f | %s | %.2f |"
                      % (run["n"], run["mix"], order, run["threads"], run["kernels"], run["list_entries"], figures,
                         run["step_cpu_us_per_atom"] / ordered_step), flush=True)


KERNELS = ""  # the kernel set chosen with --kernels, or empty for the widest


def stepwise(work: Path, n: int, steps: int, rounds: int) -> None:
    """Simulation.run against simulate on the LJ liquid, in alternating rounds."""
    parameters = parameter_file(work, n, steps)
    best = {"simulate": float("inf"), "Simulation.run": float("inf")}
    energies = set()
    for _ in range(rounds):
        for name, child in (("simulate", CHILD), ("Simulation.run", STEPWISE_CHILD)):
            run = run_tovrin(parameters, child=child)
            best[name] = min(best[name], run["seconds"])
            energies.add(run["epot"])
    print("\nsimulate against Simulation.run: N = %d, %d steps, 2 threads, best of %d rounds\n"
          % (n, steps, rounds))
    print(context())
    print("| entry | µs per atom-step | relative to simulate |")
    print("|---|---|---|")
    for name, seconds in best.items():
        print("| %s | %.4f | %.3f |" % (name, seconds / (n * steps) * 1e6, seconds / best["simulate"]))
    print("final epot equal bit for bit: %s" % (len(energies) == 1), flush=True)


@contextlib.contextmanager
def busy_processor():
    """A second program that keeps one processor busy while the block runs."""
    load = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        yield
    finally:
        load.kill()
        load.wait()


def waiting(work: Path, rounds: int) -> None:
    """Steps on one and two threads, with each way idle threads can wait, idle and loaded."""
    best = {}
    for _ in range(rounds):
        for load in ("idle", "one processor busy"):
            with busy_processor() if load != "idle" else contextlib.nullcontext():
                for n, steps in WAITING_CASES:
                    parameters = parameter_file(work, n, steps)
                    for name, threads, blocktime in WAITING_CHOICES:
                        environment = tovrin_environment(threads)
                        for variable in ("KMP_BLOCKTIME", "OMP_WAIT_POLICY"):
                            environment.pop(variable, None)
                        if blocktime is not None:
                            environment["KMP_BLOCKTIME"] = blocktime
                        seconds = run_tovrin(parameters, environment=environment)["seconds"]
                        key = (load, n, steps, name)
                        best[key] = min(best.get(key, float("inf")), seconds / (n * steps) * 1e6)
    print("\nWaiting of idle threads: µs per atom-step (wall time around simulate), best of %d rounds\n" % rounds)
    print(context())
    print("| machine | N | steps | " + " | ".join(name for name, _, _ in WAITING_CHOICES) + " |")
    print("|---|---|---|" + "---|" * len(WAITING_CHOICES))
    for load in ("idle", "one processor busy"):
        for n, steps in WAITING_CASES:
            print("| %s | %d | %d | %s |" % (load, n, steps, " | ".join(
                "%.4f" % best[(load, n, steps, name)] for name, _, _ in WAITING_CHOICES)), flush=True)


def main() -> int:
    global KERNELS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds of both engines")
    parser.add_argument("--steps", type=int, default=500)
    parser.add_argument("--no-scaling", action="store_true", help="skip the scaling table")
    parser.add_argument("--no-lammps", action="store_true", help="skip the comparison with LAMMPS")
    parser.add_argument("--kernels", choices=KERNEL_SETS + (PORTABLE_KERNEL_SET,),
                        help="tovrin's kernel set (default: the widest)")
    parser.add_argument("--phases", action="store_true", help="time the list build, forces and steps apart")
    parser.add_argument("--mixed", action="store_true",
                        help="time both engines from a mixed liquid too, beside the lattice start")
    parser.add_argument("--long", nargs="?", type=int, const=LONG_STEPS, metavar="STEPS",
                        help="time tovrin in windows of a long run from the lattice, with and without "
                             "sort_every = 0 (default %d steps)" % LONG_STEPS)
    parser.add_argument("--large", action="store_true",
                        help="with --phases or --mixed: 256,000 particles too (slow)")
    parser.add_argument("--particles", type=int, default=LIQUID_N,
                        help="the liquid's particles (default %d; fewer check the script quickly)" % LIQUID_N)
    parser.add_argument("--no-stepwise", action="store_true", help="skip Simulation.run against simulate")
    parser.add_argument("--waiting", action="store_true", help="time the ways idle threads wait, idle and loaded")
    arguments = parser.parse_args()
    if arguments.mixed and arguments.no_lammps:
        parser.error("--mixed compares with LAMMPS: leave out --no-lammps")
    if arguments.long is not None and arguments.long < LONG_WINDOWS:
        parser.error("--long %d: at least %d steps, one per window" % (arguments.long, LONG_WINDOWS))
    if arguments.particles < 1 or arguments.steps < 1:
        parser.error("--particles and --steps must be at least 1")
    KERNELS = arguments.kernels or ""
    widest = widest_kernel_set(processor()[1])
    up_to_widest = KERNEL_SETS[:KERNEL_SETS.index(widest) + 1] if widest in KERNEL_SETS else KERNEL_SETS[:1]
    runnable = up_to_widest + (PORTABLE_KERNEL_SET,)
    if KERNELS not in ("",) + runnable:
        raise SystemExit("--kernels %s: this processor runs only %s" % (KERNELS, ", ".join(runnable)))
    print(machine())
    with tempfile.TemporaryDirectory(prefix="tovrin-bench-") as directory:
        work = Path(directory)
        if not arguments.no_lammps:
            mixed = mixed_cases(arguments.particles, arguments.steps, arguments.large) if arguments.mixed else []
            compare_with_lammps(work, arguments.particles, arguments.steps, max(1, arguments.rounds), mixed)
        if arguments.long is not None:
            long_run(work, arguments.particles, arguments.long)
        if arguments.phases:
            phases(PHASE_CASES + (LARGE_PHASE_CASES if arguments.large else []))
        if arguments.waiting:
            waiting(work, max(1, arguments.rounds))
        if not arguments.no_stepwise:
            stepwise(work, arguments.particles, arguments.steps, max(1, arguments.rounds))
        if not arguments.no_scaling:
            scaling(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
