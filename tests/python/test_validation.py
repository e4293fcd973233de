"""Physics validation: long runs of Lennard-Jones liquids against what physics demands.

Marked `validate`: the default test run leaves them out, `pytest -m validate` runs
them (scripts/test does, once). They take about three minutes on two cores, the
ensembles of the thermostats (section e) about one of them.

Each simulation runs in a process of its own with one OpenMP thread, two processes at
a time. A fresh process draws the first velocities of the random stream, so runs of
one particle count start from the same state, and every run repeats bit for bit.
Every run starts from a simple cubic lattice (the one without a thermostat from a
liquid brought to kT first); the first EQUILIBRATION time units (melting and
settling take about two) are left out of every average.

Statistical errors come from block averages. Successive steps are strongly
correlated, so the error of a mean is not std / sqrt(steps). The series is cut into
blocks much longer than its correlation time; the block means are then nearly
independent, and the error of the mean is std(block means) / sqrt(blocks). The
statistical inefficiency s = block length * var(block means) / var(samples) says how
many steps make one independent sample. Blocks of 5 and of 20 time units are tried
and the larger error is used: where the two agree the blocks are long enough.

Time steps. Velocity Verlet gives two kinetic energies per step: the thermostat
rescales the velocities after the first half kick and targets their kinetic energy,
while the reported one is that after the second half kick. The two differ on average
by dt**2 <|F|**2> / (8 m), which makes the reported mean lie below 1.5 (N - 1) kT by
0.3 % at stepsize 0.005 in these liquids. For a harmonic mode, holding the half-kick
velocities at temperature T makes the positions sample the Boltzmann distribution at
T exactly, while the full-step velocities come out cooler by a factor 1 - (w dt / 2)**2.
The tests therefore run every thermostatted liquid at two time steps.
"""
import concurrent.futures
import dataclasses
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

pytestmark = pytest.mark.validate

EQUILIBRATION = 10.0  # time units left out at the start of every run
BLOCK_TIMES = (5.0, 20.0)  # block lengths tried for the error of a mean, in time units

# The mean potential energy per particle of the Lennard-Jones liquid at kT = 1.4 and
# density 0.9, potential cut at 2.5 sigma and shifted to zero there, as published.
PUBLISHED_EPOT = -4.6622
PUBLISHED_ERROR = 0.0006


@dataclasses.dataclass(frozen=True)
class Run:
    particles: int
    density: float
    kT: float
    stepsize: float
    duration: float  # time units
    tau: float
    thermostat: str = "berendsen"

    @property
    def steps(self):
        return round(self.duration / self.stepsize)

    @property
    def skipped(self):
        return round(EQUILIBRATION / self.stepsize)

    def parameter_text(self):
        values = {
            "nr_particles": self.particles,
            "cell_length": (self.particles / self.density) ** (1 / 3),
            "kT": self.kT, "mass": 1.0, "sigma": 1.0, "epsilon": 1.0, "rcut": 2.5, "shell": 0.3,
            "tau": self.tau, "stepsize": self.stepsize, "nrsteps": self.steps,
        }
        texts = {key: repr(value) for key, value in values.items()}
        assert not any("e" in text for text in texts.values()), texts  # the file format has no exponents
        return "".join(f"{key} = {text}\n" for key, text in texts.items())


# Thermostat off: tau far beyond the run, so the factor sqrt(1 + (dt / tau) r) is 1.
UNTHERMOSTATTED = [Run(500, 0.8442, 0.72, stepsize, 60.0, 1e9) for stepsize in (0.005, 0.0025)]
# The published liquid, at two time steps over the same time.
LIQUID = [Run(500, 0.9, 1.4, stepsize, 1000.0, 0.1) for stepsize in (0.005, 0.0025)]

RUNNER = """
import pickle, sys
from tovrin.tovrin import Tovrin
result = Tovrin().simulate(sys.argv[1])
with open(sys.argv[2], "wb") as f:
    pickle.dump({key: result[key] for key in ("nrparticles", "ekin", "epot", "etot")}, f)
"""


def run_all(directory, runs, runner):
    """Run -> what `runner` pickled for it: every run in a fresh process with one
    thread, two processes at a time, the longest first."""
    environment = dict(os.environ, OMP_NUM_THREADS="1")

    def simulate(index, run):
        paramfile = directory / f"run{index}.txt"
        out = directory / f"run{index}.pickle"
        paramfile.write_text(run.parameter_text())
        subprocess.run([sys.executable, "-c", runner, str(paramfile), str(out), run.thermostat], cwd=directory,
                       env=environment, check=True, timeout=1800)
        with open(out, "rb") as f:
            return pickle.load(f)

    runs = sorted(runs, key=lambda run: -run.steps * run.particles)
    workers = min(2, len(os.sched_getaffinity(0)))
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        futures = {run: pool.submit(simulate, index, run) for index, run in enumerate(runs)}
        return {run: future.result() for run, future in futures.items()}


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """Run -> energy series per step of every run."""
    done = run_all(tmp_path_factory.mktemp("validation"), UNTHERMOSTATTED + LIQUID, RUNNER)
    for run, result in done.items():
        assert result["nrparticles"] == run.particles and len(result["etot"]) == run.steps
    return done


def equilibrated(run, result, key):
    return np.asarray(result[key][run.skipped:])


@dataclasses.dataclass
class Mean:
    value: float
    error: float
    inefficiency: float  # steps per independent sample

    def __str__(self):
        return f"{self.value:.6g} +- {self.error:.2g} (s = {self.inefficiency:.2g} steps)"


def block_average(series, stepsize):
    """The mean of `series` with its error from block averages (see the module text)."""
    estimates = []
    for block_time in BLOCK_TIMES:
        block = round(block_time / stepsize)
        blocks = len(series) // block
        means = series[: blocks * block].reshape(blocks, block).mean(axis=1)
        estimates.append((means.std(ddof=1) / np.sqrt(blocks), block * means.var(ddof=1) / series.var()))
    error, inefficiency = max(estimates)
    return Mean(series.mean(), error, inefficiency)


def combined(means):
    """Inverse-variance weighted mean of independent estimates."""
    weights = np.array([1 / m.error**2 for m in means])
    value = np.dot(weights, [m.value for m in means]) / weights.sum()
    return Mean(value, 1 / np.sqrt(weights.sum()), np.nan)


# --- a) energy conservation ----------------------------------------------------------

def fluctuation(etot, stepsize, window=1.0):
    """RMS deviation of the total energy from its mean within windows of `window` time
    units. The potential is shifted, but its force jumps at rcut: each pair crossing
    the cut-off leaves an energy error of order dt that does not reverse, so the total
    energy also wanders slowly. Short windows keep that wander out and measure the
    fast oscillation of velocity Verlet, which scales with dt**2."""
    size = round(window / stepsize)
    windows = len(etot) // size
    return np.sqrt(etot[: windows * size].reshape(windows, size).var(axis=1).mean())


def test_total_energy_is_conserved_and_its_fluctuation_scales_with_dt_squared(results):
    measured = {}
    for run in UNTHERMOSTATTED:
        etot = equilibrated(run, results[run], "etot") / run.particles
        ekin = equilibrated(run, results[run], "ekin") / run.particles
        time = np.arange(len(etot)) * run.stepsize
        drift = np.polyfit(time, etot, 1)[0] * (time[-1] - time[0])
        measured[run.stepsize] = fluctuation(etot, run.stepsize)
        print(f"dt {run.stepsize}: total energy per particle {etot.mean():.5f}, fluctuation "
              f"{measured[run.stepsize]:.3g}, drift {drift:.2g} over {time[-1]:.0f} time units; "
              f"kinetic energy per particle {ekin.mean():.4f} +- {ekin.std():.3g}")
        # Conservation: kinetic and potential energy each swing by some 0.03 per
        # particle; their sum must stay put to within a few hundredths of that.
        assert measured[run.stepsize] < 0.02 * ekin.std()
        assert abs(drift) < 0.02 * ekin.std()
    ratio = measured[0.005] / measured[0.0025]
    print(f"fluctuation ratio for halving dt: {ratio:.2f}")
    assert 2.5 < ratio < 6.0


# --- b) the thermostat ---------------------------------------------------------------

def test_thermostat_holds_the_kinetic_energy_at_its_target(results):
    particles, kT = LIQUID[0].particles, LIQUID[0].kT
    target = 1.5 * (particles - 1) * kT
    offsets = []
    for run in LIQUID:
        ekin = block_average(equilibrated(run, results[run], "ekin"), run.stepsize)
        offsets.append(Mean((ekin.value - target) / target, ekin.error / target, ekin.inefficiency))
        print(f"dt {run.stepsize}: mean kinetic energy {ekin}, relative to 1.5 (N - 1) kT: {offsets[-1]}")
    # (The inefficiency comes out below one step: each rescaling adds energy in
    # proportion to the deviation from the target, and the total energy stays bounded,
    # so the deviations of successive steps cancel and the mean converges faster than
    # it would from independent samples. The block error is then an upper bound.)
    coarse, fine = offsets
    # The reported energy lies below the target by an amount of order dt**2 (module
    # text): halving dt must divide the offset by about four.
    assert 3.0 < coarse.value / fine.value < 5.0
    # Extrapolated to dt -> 0 (Richardson: the dt**2 terms cancel), it is the target.
    value = (4 * fine.value - coarse.value) / 3
    error = np.sqrt(16 * fine.error**2 + coarse.error**2) / 3
    print(f"extrapolated to dt -> 0: {value:.2g} +- {error:.2g} relative to the target")
    assert abs(value) < 3 * error
    # The runs are long enough to tell 3 (N - 1) degrees of freedom from 3 N: the
    # target would be 1 / (N - 1) higher, 0.2 %, with N.
    assert 6 * error < 1 / (particles - 1)


# --- c) the potential energy of the liquid -------------------------------------------

def liquid_epot(results):
    means = []
    for run in LIQUID:
        means.append(block_average(equilibrated(run, results[run], "epot") / run.particles, run.stepsize))
        print(f"dt {run.stepsize}: potential energy per particle {means[-1]}")
    return means


def test_potential_energy_does_not_depend_on_the_time_step(results):
    # The thermostat holds the half-kick kinetic energy, which leaves the sampled
    # configurations at kT whatever the time step (module text): halving the step must
    # not move the mean potential energy by more than the runs can resolve.
    coarse, fine = liquid_epot(results)
    assert abs(coarse.value - fine.value) < 3 * np.hypot(coarse.error, fine.error)
    # Long enough for a comparison at the published value's precision.
    assert combined([coarse, fine]).error < 0.001


@pytest.mark.xfail(strict=True, reason=(
    "these runs give -4.6663 +- 0.0006 per particle, and runs with N = 1000 and 2000 and with tau 0.01 "
    "and 1 agree (all together -4.6660 +- 0.0003): 0.0038 below the published -4.6622 +- 0.0006, five to "
    "six errors. That is the shift a 0.29 % higher temperature gives (dU/dT = 1.0 here), the amount by "
    "which the full-step kinetic energy lies below the half-kick one at stepsize 0.005: the published "
    "value may come from runs whose thermostat held the full-step energy"))
def test_potential_energy_agrees_with_the_published_value(results):
    # Error of the comparison: the runs' block-average error and the published one,
    # independent, added in quadrature; three of them allowed. The runs are 990 time
    # units each after equilibration (s is some 100 steps), about 2e8 particle steps
    # together, which gives an error near 0.0005 per particle, close to the published one.
    epot = combined(liquid_epot(results))
    error = np.hypot(epot.error, PUBLISHED_ERROR)
    print(f"potential energy per particle {epot.value:.5f} +- {epot.error:.5f}; published "
          f"{PUBLISHED_EPOT} +- {PUBLISHED_ERROR}; difference {(epot.value - PUBLISHED_EPOT) / error:.1f} errors")
    assert abs(epot.value - PUBLISHED_EPOT) < 3 * error


# --- d) pressure against the equation of state -----------------------------------------

# The Lennard-Jones fluid truncated and shifted at 2.5 sigma, by the PeTS equation of
# state (M. Heier, S. Stephan, J. Liu, W. G. Chapman, H. Hasse and K. Langenbach, Mol.
# Phys. 116, 2083 (2018)), evaluated with its implementation in the feos package
# (0.10.5): (kT, density) -> pressure, in reduced units. Two liquid states between the
# triple point and the critical point, where the equation of state is at its best. It
# is a fit, not exact: elsewhere in the liquid it strays by more than 1 % from these
# runs (0.9 and 1.0 at density 0.85: 2 % above; 0.7 at 0.9: 5 % below), so those
# states make no test of the engine. The engine's virial itself is checked exactly
# against LAMMPS (test_lammps_export.py).
PETS_PRESSURE = {(0.8, 0.85): 1.5029641805551843, (0.8, 0.875): 2.046923561770074}
PRESSURE_RUNS = {state: Run(864, state[1], state[0], 0.004, 150.0, 0.5) for state in PETS_PRESSURE}
PRESSURE_EVERY = 10  # steps between pressure samples

PRESSURE_RUNNER = """
import pickle, sys
from tovrin import Simulation
sim = Simulation(sys.argv[1])
samples = [state.pressure for state in sim.iterate(sim.nrsteps, every=%d)]
with open(sys.argv[2], "wb") as f:
    pickle.dump(samples, f)
""" % PRESSURE_EVERY


@pytest.fixture(scope="module")
def pressures(tmp_path_factory):
    """(kT, density) -> the virial pressure every PRESSURE_EVERY steps of its run."""
    samples = run_all(tmp_path_factory.mktemp("pressure"), list(PRESSURE_RUNS.values()), PRESSURE_RUNNER)
    return {state: np.array(samples[run]) for state, run in PRESSURE_RUNS.items()}


@pytest.mark.parametrize("state", list(PETS_PRESSURE), ids=lambda state: f"kT{state[0]}-rho{state[1]}")
def test_pressure_agrees_with_the_equation_of_state(state, pressures):
    run = PRESSURE_RUNS[state]
    series = pressures[state][run.skipped // PRESSURE_EVERY:]
    pressure = block_average(series, run.stepsize * PRESSURE_EVERY)
    published = PETS_PRESSURE[state]
    print(f"kT {state[0]}, density {state[1]}: pressure {pressure}; PeTS {published:.5f}")
    assert pressure.error < 0.005 * published  # the runs resolve a 1 % difference
    assert abs(pressure.value - published) < 0.01 * published


# --- e) the ensembles of the thermostats -----------------------------------------------

# The isochoric heat capacity per particle, in k, of the fluid truncated and shifted at
# 2.5 sigma by PeTS at the first liquid state above: 1.5 (ideal) + 0.992780401424933
# (residual), from the same feos 0.10.5 evaluation that gives its pressure.
PETS_HEAT_CAPACITY = {(0.8, 0.85): 2.492780401424933}
ENSEMBLE_STATE = (0.8, 0.85)
# Bussi's run is the long one: the variances of the kinetic and of the total energy
# need many independent samples. The run without a thermostat starts from a liquid
# that Bussi's thermostat has brought to kT over EQUILIBRATION: from the lattice it
# would heat up far beyond kT as the lattice's potential energy turns into heat.
ENSEMBLE_RUNS = {
    "bussi": Run(256, ENSEMBLE_STATE[1], ENSEMBLE_STATE[0], 0.002, 400.0, 0.1, "bussi"),
    "berendsen": Run(256, ENSEMBLE_STATE[1], ENSEMBLE_STATE[0], 0.004, 100.0, 0.1, "berendsen"),
    "none": Run(256, ENSEMBLE_STATE[1], ENSEMBLE_STATE[0], 0.005, 300.0, 0.1, "none"),
}

ENSEMBLE_RUNNER = """
import pickle, sys
from tovrin import Simulation
paramfile, out, thermostat = sys.argv[1:4]
if thermostat == "none":
    liquid = Simulation(paramfile, thermostat="bussi")
    liquid.run(round(%r / liquid.stepsize))
    sim = Simulation(paramfile, thermostat="none", positions=liquid.positions, velocities=liquid.velocities)
else:
    sim = Simulation(paramfile, thermostat=thermostat)
sim.run(sim.nrsteps)
with open(out, "wb") as f:
    pickle.dump(sim.energies, f)
""" % EQUILIBRATION


@pytest.fixture(scope="module")
def ensembles(tmp_path_factory):
    """Thermostat -> energy series per step of its run."""
    done = run_all(tmp_path_factory.mktemp("ensembles"), list(ENSEMBLE_RUNS.values()), ENSEMBLE_RUNNER)
    return {name: done[run] for name, run in ENSEMBLE_RUNS.items()}


def variance(series, stepsize):
    """The variance of `series` with its error, as the block-averaged mean of the
    squared deviations."""
    return block_average((series - series.mean()) ** 2, stepsize)


def test_bussi_samples_the_canonical_kinetic_energy_and_berendsen_does_not(ensembles):
    # With 3N - 3 degrees of freedom at kT the canonical kinetic energy is a gamma
    # variate: mean (3N - 3) kT / 2, variance (3N - 3) kT**2 / 2.
    kT = ENSEMBLE_STATE[0]
    dof = 3 * (ENSEMBLE_RUNS["bussi"].particles - 1)
    mean, spread = 0.5 * dof * kT, 0.5 * dof * kT**2
    measured = {}
    for name in ("bussi", "berendsen"):
        run = ENSEMBLE_RUNS[name]
        ekin = equilibrated(run, ensembles[name], "ekin")
        measured[name] = block_average(ekin, run.stepsize), variance(ekin, run.stepsize)
        print(f"{name}: kinetic energy mean {measured[name][0]}, variance {measured[name][1]}; "
              f"canonical {mean:.6g} and {spread:.6g}")
    ekin, ekin_variance = measured["bussi"]
    assert abs(ekin.value - mean) < 3 * ekin.error
    assert abs(ekin_variance.value - spread) < 3 * ekin_variance.error
    assert ekin_variance.error < 0.05 * spread  # the run resolves a 15 % difference
    # Berendsen holds the mean but suppresses the fluctuations far below canonical ones.
    suppressed = measured["berendsen"][1]
    assert suppressed.value + 3 * suppressed.error < 0.5 * spread


def test_bussi_heat_capacity_from_energy_fluctuations_agrees_with_the_equation_of_state(ensembles):
    # Canonical fluctuations of the total energy: Cv = var(E) / kT**2, per particle.
    # (The removed drift takes 1.5 k from N particles: 0.06 % of Cv at N = 256.)
    run, kT = ENSEMBLE_RUNS["bussi"], ENSEMBLE_STATE[0]
    etot = equilibrated(run, ensembles["bussi"], "etot")
    fluctuation = variance(etot, run.stepsize)
    scale = 1 / (run.particles * kT**2)
    heat_capacity = Mean(fluctuation.value * scale, fluctuation.error * scale, fluctuation.inefficiency)
    published = PETS_HEAT_CAPACITY[ENSEMBLE_STATE]
    print(f"isochoric heat capacity per particle {heat_capacity}; PeTS {published:.5f}; difference "
          f"{(heat_capacity.value - published) / heat_capacity.error:.1f} errors")
    assert heat_capacity.error < 0.05 * published
    assert abs(heat_capacity.value - published) < 3 * heat_capacity.error


def test_without_a_thermostat_the_energy_drift_is_bounded(ensembles):
    run = ENSEMBLE_RUNS["none"]
    etot = equilibrated(run, ensembles["none"], "etot") / run.particles
    ekin = equilibrated(run, ensembles["none"], "ekin") / run.particles
    time = np.arange(len(etot)) * run.stepsize
    slope = np.polyfit(time, etot, 1)[0]
    drift = slope * (time[-1] - time[0])
    print(f"constant energy, stepsize {run.stepsize}: total energy per particle {etot.mean():.5f}, drift "
          f"{drift:.2g} over {time[-1]:.0f} time units ({slope:.2g} per time unit); kinetic energy per particle "
          f"swings by {ekin.std():.3g}")
    assert abs(drift) < 0.02 * ekin.std()
