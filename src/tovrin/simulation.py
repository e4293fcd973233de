"""tovrin.Simulation: a run advanced step by step from Python.

    from tovrin import Simulation

    sim = Simulation("run.par")          # the cell that Tovrin().simulate builds
    sim.run(1000)                          # 1000 steps; Ctrl-C stops between two
    print(sim.step, sim.etot)
    for state in sim.iterate(5000, every=100):
        analyse(state.positions)           # every 100 steps; `break` stops the run
    sim.save("run.ckpt")                   # exact checkpoint
    sim = Simulation.load("run.ckpt")      # continues bit for bit

A Simulation is built from its parameter file exactly as `Tovrin().simulate` builds
its cell: the same keys in the same order, the same errors, the same random stream
(or the run's own stream, when the file gives a `seed`). The thermostat and the
start are choices of the run, not of the file:

    Simulation("run.par", thermostat="bussi")          # canonical (NVT) at kT
    Simulation("run.par", thermostat="none")           # constant energy (NVE)
    Simulation("run.par", positions=x, velocities=v)   # from a configuration Any split of the steps into
`run` calls gives the energies and states of one `simulate` call bit for bit. Steps
run with the interpreter lock released: other Python threads, and other runs, go on
meanwhile. The arrays it hands out are copies.
"""
from __future__ import annotations

import operator
import os
from typing import Dict, Iterator, Union

import numpy as np

from . import _simulation

PathLike = Union[str, "os.PathLike[str]"]


def _steps(steps, name: str = "steps") -> int:
    if isinstance(steps, bool):
        raise TypeError(f"{name} must be a whole number, not a bool")
    steps = operator.index(steps)
    if steps < 0:
        raise ValueError(f"{name} = {steps}: the number of steps cannot be negative")
    return steps


THERMOSTATS = ("berendsen", "bussi", "none")


def _particle_array(name: str, values) -> np.ndarray:
    """`values` as a C-ordered float64 array of shape (N, 3) of finite numbers."""
    array = np.asarray(values)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"{name} must have shape (N, 3), one row per particle, not {array.shape}")
    array = np.ascontiguousarray(array, dtype=np.float64)
    finite = np.isfinite(array).all(axis=1)
    if not finite.all():
        raise ValueError(f"{name}: row {int(np.argmin(finite))} holds a number that is not finite")
    return array


class Simulation:
    """A molecular-dynamics run of a parameter file, advanced by `run` or `iterate`."""

    def __init__(self, paramfile: PathLike, *, thermostat: str = "berendsen", positions=None, velocities=None):
        """The run of `paramfile` with `thermostat`: "berendsen" (rescales towards kT with
        coupling time tau; the default and `simulate`'s), "bussi" (stochastic velocity
        rescaling with coupling time tau: the canonical ensemble) or "none" (constant
        energy).

        With `positions` ((N, 3), N = nr_particles) the particles start there, wrapped
        into the box, instead of on the lattice; with `velocities` too they move off with
        those, as given (a drift they hold stays), and nothing is drawn from the random
        stream; without, velocities are drawn for kT as for the lattice. Positions that
        put two particles closer than sigma / 2 are refused (ValueError)."""
        if not isinstance(thermostat, str) or thermostat not in THERMOSTATS:
            raise ValueError(f"unknown thermostat {thermostat!r}: choose {', '.join(THERMOSTATS)}")
        if velocities is not None and positions is None:
            raise ValueError("velocities need positions: give both, or positions alone to draw the velocities")
        if positions is not None:
            positions = _particle_array("positions", positions)
        if velocities is not None:
            velocities = _particle_array("velocities", velocities)
        path = os.fspath(paramfile)
        if not os.path.exists(path):
            raise Exception("Cannot open file: " + os.fsdecode(path))
        self._run = _simulation.Run(path.encode("utf-8") if isinstance(path, str) else path, thermostat,
                                    positions, velocities)

    @classmethod
    def load(cls, path: PathLike) -> "Simulation":
        """The run saved in checkpoint `path`, ready to continue where it stopped.

        A file that is no tovrin checkpoint, of another format version, truncated,
        corrupted or inconsistent raises ValueError saying which; one that cannot be
        read raises OSError."""
        simulation = cls.__new__(cls)
        simulation._run = _simulation.Run.load(os.fsencode(path))
        return simulation

    def save(self, path: PathLike) -> None:
        """Writes an exact checkpoint of the run to `path`.

        The file is written under a temporary name and renamed over `path` only once
        complete, so an earlier checkpoint of that name survives a failed save."""
        self._run.save(os.fsencode(path))

    def run(self, steps: int) -> None:
        """Advances the run by `steps` steps.

        Ctrl-C raises KeyboardInterrupt between two steps; the simulation then holds
        the state after its last whole step, and can be saved or run on."""
        self._run.run(_steps(steps))

    def iterate(self, steps: int, every: int = 1) -> Iterator["Simulation"]:
        """Runs `steps` steps, yielding the simulation itself after every `every`
        steps (and after the last one). Leaving the loop stops the run there."""
        steps, every = _steps(steps), _steps(every, "every")
        if every == 0:
            raise ValueError("every = 0: the steps between yields must be at least 1")
        end = self.step + steps
        while self.step < end:
            self._run.run(min(every, end - self.step))
            yield self

    def write_movie(self, path: PathLike, create: bool = False) -> None:
        """Appends the current state as a frame to the movie file `path` (tovrin-md's
        format), or starts the file with it when `create` is set or it does not exist."""
        self._run.write_movie(os.fsencode(path), bool(create))

    @property
    def step(self) -> int:
        """Steps done since the cell was built."""
        return self._run.step

    @property
    def ekin(self) -> float:
        return self._run.ekin

    @property
    def epot(self) -> float:
        return self._run.epot

    @property
    def etot(self) -> float:
        return self._run.etot

    @property
    def pressure(self) -> float:
        """The virial pressure (2 Ekin + sum over pairs within rcut of r . f) / (3 V) of
        the current positions and velocities, in ε / σ³, computed when read."""
        return self._run.pressure

    @property
    def positions(self) -> np.ndarray:
        """Current positions, shape (N, 3): a copy."""
        return self._run.positions

    @property
    def velocities(self) -> np.ndarray:
        return self._run.velocities

    @property
    def positions_initial(self) -> np.ndarray:
        """The lattice positions, or the starting positions given (wrapped into the box)."""
        return self._run.positions_initial

    @property
    def velocities_initial(self) -> np.ndarray:
        """The starting velocities given, or the drawn ones before the drift was removed
        (`velocities` at step 0 are those without the drift)."""
        return self._run.velocities_initial

    @property
    def box(self) -> np.ndarray:
        """The box edges (x, y, z)."""
        return self._run.box

    @property
    def energies(self) -> Dict[str, np.ndarray]:
        """"ekin", "epot" and "etot" after each step done, as arrays."""
        return self._run.energies

    @property
    def thermostat(self) -> str:
        """The run's thermostat: "berendsen", "bussi" or "none"."""
        return self._run.thermostat

    @property
    def parameters(self) -> Dict[str, str]:
        """The run's parameter table: each key with its value text."""
        return self._run.parameters

    @property
    def stepsize(self) -> float:
        return self._run.stepsize

    @property
    def nrsteps(self) -> int:
        """The parameter file's `nrsteps`: what `simulate` would run."""
        return self._run.nrsteps

    @property
    def nr_particles(self) -> int:
        return self._run.nr_particles

    def results(self) -> dict:
        """The steps done as `Tovrin().simulate` reports a run: its nine-entry dictionary."""
        energies = self.energies
        return {
            "ekin": energies["ekin"].tolist(),
            "epot": energies["epot"].tolist(),
            "etot": energies["etot"].tolist(),
            "nrsteps": self.step,
            "nrparticles": self.nr_particles,
            "positions": self.positions,
            "velocities": self.velocities,
            "positions_initial": self.positions_initial,
            "velocities_initial": self.velocities_initial,
        }

    def __repr__(self) -> str:
        return f"<tovrin.Simulation: {self.nr_particles} particles, step {self.step}>"
