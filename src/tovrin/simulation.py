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
    Simulation("run.par", positions=x, velocities=v)   # from a configuration

Any split of the steps into `run` calls gives the energies and states of one
`simulate` call bit for bit. Steps run with the interpreter lock released: other
Python threads, and other runs, go on meanwhile. The arrays it hands out are copies.

A Simulation keeps the energies of its latest `energy_log` steps (a million by
default, 24 bytes a step), so that neither its memory nor its checkpoints grow with
the length of a run; `energy_log=None` keeps every step.
"""
from __future__ import annotations

import operator
import os
from typing import Dict, Iterator, Optional, Union

import numpy as np

from . import _simulation, paramfile

PathLike = Union[str, "os.PathLike[str]"]

# Steps whose energies a Simulation keeps unless told otherwise: 24 MB.
DEFAULT_ENERGY_LOG = 1_000_000

# The engine counts steps in 64 bits.
_MOST_STEPS = 2**64 - 1


def _steps(steps, name: str = "steps") -> int:
    if isinstance(steps, bool):
        raise TypeError(f"{name} must be a whole number, not a bool")
    steps = operator.index(steps)
    if steps < 0:
        raise ValueError(f"{name} = {steps}: the number of steps cannot be negative")
    if steps > _MOST_STEPS:
        raise OverflowError(f"{name} = {steps}: at most {_MOST_STEPS} steps")
    return steps


def _log_capacity(energy_log) -> int:
    if energy_log is None:
        return _simulation.unbounded_log
    return _steps(energy_log, "energy_log")


def _refuse_checkpoint(path: bytes) -> None:
    """A checkpoint handed over as a parameter file would read as one without keys."""
    if paramfile.is_checkpoint(path):
        raise ValueError(f"{os.fsdecode(path)} is a tovrin checkpoint, not a parameter file: "
                         f"continue it with Simulation.load (tovrin run PARAMFILE --restart CHECKPOINT)")


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
    """A molecular-dynamics run of a parameter file, advanced by ``run`` or ``iterate``.

    Parameters
    ----------
    paramfile : str or os.PathLike
        The parameter file, read as ``Tovrin().simulate`` reads it.
    thermostat : {"berendsen", "bussi", "none"}, optional
        Berendsen's rescaling towards kT with coupling time tau (the default, and
        ``simulate``'s), Bussi's stochastic velocity rescaling with coupling time tau
        (the canonical ensemble), or none (constant energy).
    positions : array_like, optional
        Starting positions, shape (N, 3) with N = nr_particles, wrapped into the box;
        without them the particles start on the simple cubic lattice.
    velocities : array_like, optional
        Starting velocities, shape (N, 3), used as given (a drift they hold stays);
        only with ``positions``. Without them velocities are drawn for kT and the
        drift is removed.
    energy_log : int or None, optional
        How many of the latest steps' energies are kept (24 bytes a step); None keeps
        every step.

    Raises
    ------
    Exception
        The parameter file does not exist ("Cannot open file: NAME").
    RuntimeError, TypeError, ValueError, MemoryError, ArithmeticError
        As ``Tovrin().simulate`` raises them for the file; ValueError also for an
        unknown thermostat, a Bussi run of fewer than 2 particles, starting arrays
        of the wrong shape or with numbers that are not finite, two particles closer
        than sigma / 2, or a checkpoint given as the parameter file.

    Examples
    --------
    >>> from tovrin import Simulation
    >>> sim = Simulation("run.par", thermostat="bussi")
    >>> sim.run(20)
    >>> sim.step, sim.thermostat, sim.positions.shape
    (20, 'bussi', (500, 3))
    """

    def __init__(self, paramfile: PathLike, *, thermostat: str = "berendsen", positions=None, velocities=None,
                 energy_log: Optional[int] = DEFAULT_ENERGY_LOG):
        if not isinstance(thermostat, str) or thermostat not in THERMOSTATS:
            raise ValueError(f"unknown thermostat {thermostat!r}: choose {', '.join(THERMOSTATS)}")
        if velocities is not None and positions is None:
            raise ValueError("velocities need positions: give both, or positions alone to draw the velocities")
        if positions is not None:
            positions = _particle_array("positions", positions)
        if velocities is not None:
            velocities = _particle_array("velocities", velocities)
        capacity = _log_capacity(energy_log)
        path = os.fsencode(paramfile)
        if not os.path.exists(path):
            raise Exception("Cannot open file: " + os.fsdecode(path))
        _refuse_checkpoint(path)
        self._run = _simulation.Run(path, capacity, thermostat, positions, velocities)

    @classmethod
    def load(cls, path: PathLike) -> "Simulation":
        """The run saved in a checkpoint, ready to continue where it stopped.

        Parameters
        ----------
        path : str or os.PathLike
            A checkpoint written by ``save``.

        Returns
        -------
        Simulation
            The run, which continues bit for bit as the saved one would have.

        Raises
        ------
        ValueError
            The file is no tovrin checkpoint, or of another format version,
            truncated, corrupted or inconsistent; the message says which.
        OSError
            The file cannot be read.
        """
        simulation = cls.__new__(cls)
        simulation._run = _simulation.Run.load(os.fsencode(path))
        return simulation

    def save(self, path: PathLike) -> None:
        """Writes an exact checkpoint of the run.

        The file is written under a temporary name of its own and renamed over
        ``path`` only once complete and on disk, so an earlier checkpoint of that
        name survives a failed save, and saves from several threads leave one whole
        file.

        Parameters
        ----------
        path : str or os.PathLike
            The checkpoint to write.

        Raises
        ------
        OSError
            The file cannot be written; the message ends with the system's reason.

        Examples
        --------
        >>> from tovrin import Simulation
        >>> sim = Simulation("run.par")
        >>> sim.run(10)
        >>> sim.save("run.ckpt")
        >>> again = Simulation.load("run.ckpt")
        >>> again.run(5); sim.run(5)
        >>> bool(again.etot == sim.etot)
        True
        """
        self._run.save(os.fsencode(path))

    def run(self, steps: int) -> None:
        """Advances the run.

        Parameters
        ----------
        steps : int
            How many steps, from 0 to 2**64 - 1.

        Raises
        ------
        KeyboardInterrupt
            Ctrl-C, between two steps: the simulation holds the state after its last
            whole step, and can be saved or run on.
        ArithmeticError
            The run became unstable; ``failure`` says in which step.
        RuntimeError
            Another thread is running this simulation.
        """
        self._run.run(_steps(steps))

    def iterate(self, steps: int, every: int = 1) -> Iterator["Simulation"]:
        """Runs steps, handing back the simulation every so many.

        Parameters
        ----------
        steps : int
            How many steps to run.
        every : int, optional
            Steps between two yields (the last yield follows the last step).

        Yields
        ------
        Simulation
            This simulation itself; leaving the loop stops the run there.

        Raises
        ------
        ValueError
            ``every`` is 0, or a count is negative; checked at the call, before any
            iteration.

        Examples
        --------
        >>> from tovrin import Simulation
        >>> sim = Simulation("run.par")
        >>> [state.step for state in sim.iterate(10, every=4)]
        [4, 8, 10]
        """
        steps, every = _steps(steps), _steps(every, "every")
        if every == 0:
            raise ValueError("every = 0: the steps between yields must be at least 1")
        return self._iterate(self.step + steps, every)

    def _iterate(self, end: int, every: int) -> Iterator["Simulation"]:
        while self.step < end:
            self._run.run(min(every, end - self.step))
            yield self

    def write_movie(self, path: PathLike, create: bool = False) -> None:
        """Appends the current state to a movie file as a frame.

        Parameters
        ----------
        path : str or os.PathLike
            The movie, in tovrin-md's format.
        create : bool, optional
            Start the file with this frame (replacing it); a file that does not exist
            is started as well.

        Raises
        ------
        OSError
            The file cannot be written, or holds frames of another particle count.
        """
        self._run.write_movie(os.fsencode(path), bool(create))

    @property
    def step(self) -> int:
        """Steps done since the cell was built."""
        return self._run.step

    @property
    def failure(self) -> Optional[str]:
        """Why a step failed half-way, leaving no whole state to read, save or run on;
        None while the state is whole."""
        return self._run.failure

    @property
    def ekin(self) -> float:
        """The kinetic energy after the latest step (of the initial velocities before any)."""
        return self._run.ekin

    @property
    def epot(self) -> float:
        """The potential energy of the current positions."""
        return self._run.epot

    @property
    def etot(self) -> float:
        """ekin + epot after the latest step."""
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
        """Current velocities, shape (N, 3): a copy."""
        return self._run.velocities

    @property
    def positions_initial(self) -> np.ndarray:
        """The lattice positions, or the starting positions given, wrapped into the box."""
        return self._run.positions_initial

    @property
    def velocities_initial(self) -> np.ndarray:
        """The starting velocities given, or the drawn ones before the drift was removed
        (``velocities`` at step 0 are those without the drift)."""
        return self._run.velocities_initial

    @property
    def box(self) -> np.ndarray:
        """The box edges (x, y, z)."""
        return self._run.box

    @property
    def energies(self) -> Dict[str, np.ndarray]:
        """"ekin", "epot" and "etot" after each step the energy log keeps (every step
        done, up to ``energy_log`` of the latest), as arrays."""
        return self._run.energies()

    def energies_since(self, step: int) -> Dict[str, np.ndarray]:
        """The energies after each step since a given one.

        Parameters
        ----------
        step : int
            The step after which to start, at most ``self.step``.

        Returns
        -------
        dict of numpy.ndarray
            "ekin", "epot" and "etot" after each step from ``step + 1`` to
            ``self.step``.

        Raises
        ------
        IndexError
            The energy log no longer keeps them all.
        ValueError
            ``step`` lies beyond the steps done.
        """
        step = _steps(step, "step")
        if step > self.step:
            raise ValueError(f"step = {step}: only {self.step} steps are done")
        return self._run.energies(self.step - step)

    @property
    def energy_log(self) -> Optional[int]:
        """The latest steps whose energies are kept, or None for every step."""
        capacity = self._run.log_capacity
        return None if capacity == _simulation.unbounded_log else capacity

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
        """The parameter file's ``stepsize``."""
        return self._run.stepsize

    @property
    def nrsteps(self) -> int:
        """The parameter file's ``nrsteps``: what ``simulate`` would run."""
        return self._run.nrsteps

    @property
    def nr_particles(self) -> int:
        """The parameter file's ``nr_particles``."""
        return self._run.nr_particles

    def results(self) -> dict:
        """The steps done as ``Tovrin().simulate`` reports a run.

        Returns
        -------
        dict
            The nine entries of ``simulate``'s result: "ekin", "epot" and "etot"
            (lists, one value per step done), "nrsteps" (the steps done),
            "nrparticles", and "positions", "velocities", "positions_initial" and
            "velocities_initial" (arrays of shape (N, 3)).

        Raises
        ------
        RuntimeError
            The energy log no longer keeps every step done.
        """
        energies = self.energies
        if len(energies["ekin"]) != self.step:
            raise RuntimeError(f"results() needs the energies of all {self.step} steps done, and the energy log "
                               f"keeps the latest {len(energies['ekin'])} (energy_log = {self.energy_log}): build "
                               f"the Simulation with energy_log=None to keep them all")
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

    def _refuse_copy(self, *args):
        raise TypeError("a tovrin.Simulation cannot be copied or pickled: save() a checkpoint and "
                        "Simulation.load() it for an independent run that continues bit for bit")

    __copy__ = __deepcopy__ = __reduce_ex__ = __reduce__ = _refuse_copy

    def __repr__(self) -> str:
        return f"<tovrin.Simulation: {self.nr_particles} particles, step {self.step}>"
