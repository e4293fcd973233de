"""tovrin against LAMMPS on the Lennard-Jones liquid, and tovrin's scaling with N.

    python bench/benchmark.py [--rounds R] [--steps S] [--no-scaling] [--no-lammps] [--no-stepwise]
                              [--kernels generic|avx2|avx512|highway] [--phases] [--large] [--waiting]

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
import json
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lammps_peer  # noqa: E402

DENSITY = 0.8442
LIQUID_N = 32000
LIQUID_LENGTH = 33.59192382765014  # (32000 / 0.8442) ** (1 / 3)
THREADS = "2"
SCALING = [(4000, 500), (32000, 500), (256000, 100), (1000000, 50)]
KERNEL_SETS = ("generic", "avx2", "avx512")  # x86-64 sets, narrowest first
PORTABLE_KERNEL_SET = "highway"  # runs on every processor, at its widest target
# Phase timings: (particles, steps run before timing, steps timed, repeats); each
# case runs with the particles in their lattice order and with their labels shuffled.
PHASE_CASES = [(32000, 0, 16, 3), (32000, 2000, 16, 3)]
LARGE_PHASE_CASES = [(256000, 1000, 8, 3)]
# Waiting of idle threads: (particles, steps), and the choices (name, threads, KMP_BLOCKTIME).
WAITING_CASES = [(500, 1000), (4000, 300), (32000, 100)]
WAITING_CHOICES = [("one thread", "1", None), ("2 threads, tovrin's choice", "2", None),
                   ("2 threads, spin 200 ms (libomp default)", "2", "200"),
                   ("2 threads, no spin", "2", "0")]
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


def parameter_file(directory: Path, n: int, steps: int) -> Path:
    path = directory / ("liquid-%d-%d.txt" % (n, steps))
    length = LIQUID_LENGTH if n == LIQUID_N else (n / DENSITY) ** (1 / 3)
    path.write_text(PARAMETERS.format(n=n, length=length, kT=lammps_peer.KT, rcut=lammps_peer.RCUT,
                                      shell=lammps_peer.SKIN, tau=lammps_peer.TDAMP, dt=lammps_peer.DT,
                                      steps=steps))
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


def run_tovrin(parameters: Path, arrays: str = "-", child: str = CHILD, environment: dict = None) -> dict:
    environment = environment or tovrin_environment()
    done = subprocess.run([sys.executable, "-c", child, str(parameters), arrays], env=environment,
                          cwd=parameters.parent, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError("tovrin run failed:\n" + done.stderr)
    return json.loads(done.stdout.splitlines()[-1])


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
    """The kernel set tovrin runs: the one chosen, else the widest (tovrin-phases
    prints the name the engine itself reports)."""
    return KERNELS or widest_kernel_set(flags)


def machine() -> str:
    model, flags = processor()
    vector_flags = sorted(f for f in flags if f.startswith(("sse4", "avx", "fma", "asimd", "sve")))
    chosen = "chosen by --kernels" if KERNELS else "the widest"
    return "%s, %d logical cores, %s kernels (%s), %s, Python %s\nprocessor vector flags: %s" % (
        model, os.cpu_count() or 0, kernel_set(flags), chosen, platform.platform(), platform.python_version(),
        " ".join(vector_flags) or "none")


def compare_with_lammps(work: Path, steps: int, rounds: int) -> None:
    builds = lammps_peer.setup()
    configs = [name for name in lammps_peer.available_configurations(builds)
               if name.endswith("2")]  # the two-core configurations
    parameters = parameter_file(work, LIQUID_N, steps)

    arrays = work / "tovrin-liquid.npz"
    first = run_tovrin(parameters, str(arrays))
    state = np.load(arrays)
    data = lammps_peer.write_data_file(work / "liquid.data", state["positions_initial"],
                                       drift_free(state["velocities_initial"]), LIQUID_LENGTH)

    tovrin_best = first
    lammps_best = {}
    for _ in range(rounds):
        if _ > 0:
            run = run_tovrin(parameters)
            tovrin_best = min(tovrin_best, run, key=lambda r: r["seconds"])
        for config in configs:
            try:
                run = lammps_peer.run_lammps(data, steps, config, work, builds=builds)
            except (RuntimeError, subprocess.SubprocessError, OSError) as error:
                print("LAMMPS %s failed: %s" % (config, error), file=sys.stderr)
                continue
            if config not in lammps_best or run.loop_seconds < lammps_best[config].loop_seconds:
                lammps_best[config] = run
    if not lammps_best:
        raise RuntimeError("no LAMMPS configuration ran")

    atom_steps = LIQUID_N * steps
    tovrin_us = tovrin_best["seconds"] / atom_steps * 1e6
    peer = min(lammps_best.values(), key=lambda r: r.us_per_atom_step)
    print("\nLJ liquid: N = %d, density %g, %d steps, 2 threads/ranks, best of %d rounds\n"
          % (LIQUID_N, DENSITY, steps, rounds))
    print("| engine | µs per atom-step | peak resident memory | bytes per atom | tovrin / engine |")
    print("|---|---|---|---|---|")
    print("| tovrin (simulate) | %.4f | %.1f MiB | %.0f | 1.00 |"
          % (tovrin_us, tovrin_best["peak"] / 2**20, tovrin_best["peak"] / LIQUID_N))
    for config, run in sorted(lammps_best.items(), key=lambda item: item[1].us_per_atom_step):
        print("| LAMMPS %s | %.4f | %.1f MiB | %.0f | %.2f |"
              % (run.config, run.us_per_atom_step, run.peak_rss_bytes / 2**20, run.bytes_per_atom,
                 tovrin_us / run.us_per_atom_step))
    print("\ntovrin / best LAMMPS (%s): %.3f" % (peer.config, tovrin_us / peer.us_per_atom_step))

    final = np.load(arrays)
    recomputed = lammps_peer.recompute_epot((final["positions"], final["velocities"]), LIQUID_LENGTH,
                                            work, builds=builds)
    relative = abs(recomputed - first["epot"]) / abs(first["epot"])
    verdict = "agree" if relative <= ENERGY_TOLERANCE else "DISAGREE"
    print("final epot: tovrin %.17g, LAMMPS run 0 %.17g, relative difference %.1e: %s (tolerance %g)"
          % (first["epot"], recomputed, relative, verdict, ENERGY_TOLERANCE))
    if relative > ENERGY_TOLERANCE:
        raise SystemExit("the engines disagree on the potential energy")


def scaling(work: Path) -> None:
    print("\ntovrin alone, 2 threads\n")
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


def stepwise(work: Path, steps: int, rounds: int) -> None:
    """Simulation.run against simulate on the LJ liquid, in alternating rounds."""
    parameters = parameter_file(work, LIQUID_N, steps)
    best = {"simulate": float("inf"), "Simulation.run": float("inf")}
    energies = set()
    for _ in range(rounds):
        for name, child in (("simulate", CHILD), ("Simulation.run", STEPWISE_CHILD)):
            run = run_tovrin(parameters, child=child)
            best[name] = min(best[name], run["seconds"])
            energies.add(run["epot"])
    print("\nsimulate against Simulation.run: N = %d, %d steps, 2 threads, best of %d rounds\n"
          % (LIQUID_N, steps, rounds))
    print("| entry | µs per atom-step | relative to simulate |")
    print("|---|---|---|")
    for name, seconds in best.items():
        print("| %s | %.4f | %.3f |" % (name, seconds / (LIQUID_N * steps) * 1e6, seconds / best["simulate"]))
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
    parser.add_argument("--large", action="store_true", help="with --phases: 256,000 particles too (slow)")
    parser.add_argument("--no-stepwise", action="store_true", help="skip Simulation.run against simulate")
    parser.add_argument("--waiting", action="store_true", help="time the ways idle threads wait, idle and loaded")
    arguments = parser.parse_args()
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
            compare_with_lammps(work, arguments.steps, max(1, arguments.rounds))
        if arguments.phases:
            phases(PHASE_CASES + (LARGE_PHASE_CASES if arguments.large else []))
        if arguments.waiting:
            waiting(work, max(1, arguments.rounds))
        if not arguments.no_stepwise:
            stepwise(work, arguments.steps, max(1, arguments.rounds))
        if not arguments.no_scaling:
            scaling(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
