"""Every mistake a user can make in a parameter file, and what tovrin does with it.

One table: the file, then either the exception it raises (its exact class and
message) or, where the input is usable after all, a run that ends in a sound result
(the right number of finite energies, finite arrays, positions inside the box).

How a file is read decides most rows. Only lines "key = value" whose value is made
of digits and full stops are assignments; every other line is skipped without a
word, so a value with a sign, an exponent, a unit or a comment leaves its key
missing. The first assignment of a key wins. Keys are looked up when they are
needed: stepsize, nrsteps and nr_particles by simulate itself; cell_length,
nr_particles, kT, mass, rcut, shell, sigma and epsilon while the cell is built; tau
in the first step. The first missing key in that order is the one reported. (That a
missing tau matters only once a step runs is checked in test_simulate.py.)
"""
import dataclasses
import math
import os
import pickle
import re

import numpy as np
import pytest

from conftest import LIQUID
from tovrin.tovrin import Tovrin

BAD_CAST = "bad lexical cast: source type value could not be interpreted as target"
LENGTH = LIQUID["cell_length"]
# The order in which a run looks its keys up.
LOOKUP_ORDER = ["stepsize", "nrsteps", "nr_particles", "cell_length", "kT", "mass",
                "rcut", "shell", "sigma", "epsilon", "tau"]
assert sorted(LOOKUP_ORDER) == sorted(LIQUID)

# Decimal texts of extreme numbers: the file format has no exponents.
HUGE = "1" + "0" * 400          # beyond the largest double
TINY = "0." + "0" * 400 + "1"   # rounds to zero
E300 = "1" + "0" * 300
E308 = "1" + "0" * 308
E_MINUS_300 = "0." + "0" * 299 + "1"
E26 = "1" + "0" * 26

# Address space for the rows that ask for more memory than a test may take. Under
# AddressSanitizer (scripts/sanitize preloads it) the cap leaves no room for its
# shadow memory, so those rows are skipped there.
MEMORY_CAP = 4 << 30
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


# --- how a row writes its file -------------------------------------------------------

def text(base=LIQUID, **changes):
    """The lines "key = value" of base with changes; a change to None drops the key."""
    values = dict(base, **changes)
    return "".join(f"{key} = {value}\n" for key, value in values.items() if value is not None)


def file_with(contents):
    """Writer of a parameter file holding `contents` (text is written as UTF-8)."""
    def write(directory):
        path = directory / "run.txt"
        path.write_bytes(contents if isinstance(contents, bytes) else contents.encode())
        return str(path)
    return write


def lines(**changes):
    return file_with(text(**changes))


def no_file(directory):
    return str(directory / "absent.txt")


def the_directory(directory):
    return str(directory)


def a_fifo(directory):
    path = directory / "run.txt"
    os.mkfifo(path)
    return str(path)


def a_device(directory):
    return "/dev/zero"


def unreadable(directory):
    path = file_with(text())(directory)
    os.chmod(path, 0)
    return path


def dangling_link(directory):
    path = directory / "run.txt"
    os.symlink(directory / "removed.txt", path)
    return str(path)


# --- what a row expects --------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Raises:
    """The exception, exactly this class, with exactly this message ("{path}" stands
    for the file's path), or a message matching it as a regular expression when the
    text holds values of the random initial velocities."""
    kind: type
    message: str
    pattern: bool = False


def lost_particle(step, length):
    """A particle the periodic wrap could not bring back into the box."""
    return Raises(ArithmeticError,
                  step + r": particle \d+ is at [xyz] = \S+ after the periodic wrap, outside the box of "
                  + re.escape(length) + r"; the run has become unstable \(check stepsize, sigma and epsilon\)",
                  pattern=True)


@dataclasses.dataclass(frozen=True)
class Runs:
    """A usable input: the run ends with a sound result."""
    steps: int = int(LIQUID["nrsteps"])
    particles: int = int(LIQUID["nr_particles"])
    length: float = float(LENGTH)


def missing(key):
    return Raises(RuntimeError, "Could not find parameter: " + key)


def refused(message):
    return Raises(ValueError, message)


def out_of_memory(what, gigabytes):
    return Raises(MemoryError, re.escape(f"{what} needs about {gigabytes} GB of memory, more than the ")
                  + r"\d+\.\d GB available", pattern=True)


def cannot_read(reason):
    return Raises(OSError, "Cannot read parameter file {path}: " + reason)


def row(name, write, expect, capped=False, marks=()):
    return pytest.param(write, expect, capped, id=name, marks=marks)


TABLE = [
    # --- the file itself ---
    row("missing file", no_file, Raises(Exception, "Cannot open file: {path}")),
    row("dangling symbolic link", dangling_link, Raises(Exception, "Cannot open file: {path}")),
    row("directory instead of a file", the_directory, cannot_read("it is a directory")),
    # Opening a FIFO waits for a writer, and reading a device may never end.
    row("FIFO", a_fifo, cannot_read("it is a FIFO, not a regular file")),
    row("device", a_device, cannot_read("it is a device, not a regular file")),
    row("file without read permission", unreadable, cannot_read("Permission denied"),
        marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")),
    row("empty file", file_with(""), missing("stepsize")),
    row("binary file", file_with(bytes(range(256)) * 4), missing("stepsize")),
    row("UTF-16 file", file_with(text().encode("utf-16")), missing("stepsize")),
    # The byte-order mark makes the first line's key "\ufeffnr_particles".
    row("byte-order mark loses the first line", file_with("\ufeff" + text()), missing("nr_particles")),
    row("CRLF line ends", file_with(text().replace("\n", "\r\n")), Runs()),
    row("tabs and blanks around the parts", file_with(text().replace(" = ", " \t=\t  ").replace("\n", "  \n")),
        Runs()),
    row("comments and blank lines", file_with("# a liquid\n\n" + text() + "\n# end\n"), Runs()),

    # --- keys missing: each key together with every later one, so the order shows ---
    *[row(f"missing {key} and later keys", lines(**{later: None for later in LOOKUP_ORDER[index:]}),
          missing(key))
      for index, key in enumerate(LOOKUP_ORDER)],
    row("key in the wrong case", file_with(text().replace("kT =", "KT =")), missing("kT")),
    row("hyphen in a key", file_with(text().replace("nr_particles", "nr-particles")), missing("nr_particles")),
    row("colon instead of equals sign", file_with(text().replace("mass =", "mass:")), missing("mass")),

    # --- values that are not assignments, so their key is missing ---
    row("non-numeric value", lines(kT="warm"), missing("kT")),
    row("empty value", lines(rcut=""), missing("rcut")),
    row("negative value", lines(kT="-1.0"), missing("kT")),
    row("exponent notation", lines(stepsize="5e-3"), missing("stepsize")),
    row("decimal comma", lines(sigma="1,0"), missing("sigma")),
    row("value with a unit", lines(cell_length=LENGTH + " nm"), missing("cell_length")),
    row("value with a trailing comment", lines(shell="0.3 # skin"), missing("shell")),
    row("quoted value", lines(epsilon='"1.0"'), missing("epsilon")),

    # --- values that do not convert: bad cast, which does not name the key ---
    row("full stop alone", lines(cell_length="."), Raises(TypeError, BAD_CAST)),
    row("two full stops", lines(mass="1.2.3"), Raises(TypeError, BAD_CAST)),
    row("fraction for nrsteps", lines(nrsteps="1.5"), Raises(TypeError, BAD_CAST)),
    row("whole number with a full stop for nrsteps", lines(nrsteps="10."), Raises(TypeError, BAD_CAST)),
    row("whole number with a full stop for nr_particles", lines(nr_particles="108.0"), Raises(TypeError, BAD_CAST)),
    row("nrsteps beyond 4294967295", lines(nrsteps="4294967296"), Raises(TypeError, BAD_CAST)),
    row("nr_particles beyond 4294967295", lines(nr_particles="4294967296"), Raises(TypeError, BAD_CAST)),
    # Converts as unsigned for the result, then fails as int for the cell.
    row("nr_particles 3000000000", lines(nr_particles="3000000000"), Raises(TypeError, BAD_CAST)),
    row("nr_particles 2147483648", lines(nr_particles="2147483648"), Raises(TypeError, BAD_CAST)),
    row("value beyond the largest double", lines(kT=HUGE), Raises(TypeError, BAD_CAST)),
    row("cell_length beyond the largest double", lines(cell_length=HUGE), Raises(TypeError, BAD_CAST)),

    # --- values the engine refuses ---
    row("cell_length 0", lines(cell_length="0"),
        refused("cell_length = 0: the box edge must be a positive, finite length")),
    row("cell_length that rounds to 0", lines(cell_length=TINY),
        refused("cell_length = 0: the box edge must be a positive, finite length")),
    row("box shorter than rcut + shell", lines(cell_length="2.0"),
        refused("cell_length = 2 is shorter than rcut + shell = 2.5 + 0.3: "
                "the box must be at least as long as the neighbour-list radius")),
    row("rcut longer than the box", lines(rcut="5"),
        refused(f"cell_length = {LENGTH} is shorter than rcut + shell = 5 + 0.3: "
                "the box must be at least as long as the neighbour-list radius")),
    row("rcut and shell 0", lines(rcut="0", shell="0"),
        refused("rcut + shell = 0 + 0: the neighbour-list radius must be positive")),
    # Each pair counts through its nearest image only.
    row("rcut beyond half the box", lines(rcut="2.6"),
        refused(f"cell_length = {LENGTH} is shorter than twice rcut = 2 * 2.6: "
                "the box must be at least twice as long as the cut-off radius")),
    row("box of more than 4294967295 sub-cells", lines(cell_length="10000"),
        refused("cell_length = 10000 with rcut + shell = 2.5 + 0.3 needs more than 4294967295 "
                "neighbour-list sub-cells")),
    row("box of infinite volume", lines(cell_length=E300),
        refused("cell_length = 1e+300 gives a box volume of inf that cannot hold a lattice of "
                "nr_particles = 108")),
    row("mass 0", lines(mass="0"), refused("mass = 0: mass must be positive")),
    row("mass that rounds to 0", lines(mass=TINY), refused("mass = 0: mass must be positive")),
    row("first of two assignments wins", file_with("mass = 0\n" + text()), refused("mass = 0: mass must be positive")),
    row("tau 0", lines(tau="0"), refused("tau = 0: tau must be positive")),
    row("stepsize above tau", lines(stepsize="0.2", tau="0.1"),
        refused("stepsize = 0.2 is larger than tau = 0.1: the thermostat needs stepsize <= tau")),

    # --- values that make numbers non-finite ---
    # Pairs at the lattice spacing give an infinite term; the shift at rcut stays finite.
    row("huge sigma", lines(sigma=E26),
        Raises(ArithmeticError, "the initial configuration has a potential energy of inf: particles sit far "
                                "inside sigma of each other (check sigma, cell_length and nr_particles)")),
    row("huge kT with tiny mass", lines(kT=E300, mass=E_MINUS_300),
        Raises(ArithmeticError, "kT = 1e+300 and mass = 1e-300 give initial velocities too large to represent")),
    # Velocities of 1e+150 and more carry particles so far in one step that the wrap
    # cannot bring them back.
    row("tiny mass", lines(mass=E_MINUS_300), lost_particle("step 0", LENGTH)),
    row("huge epsilon", lines(epsilon=E300), lost_particle("step 0", LENGTH)),
    # The particles do not interact, so the energies stay finite; a displacement of
    # 1e308 per step overflows.
    row("non-interacting particles with a huge stepsize", lines(sigma="0", stepsize=E308, tau=E308),
        lost_particle("step 0", LENGTH)),
    # At density 91 the run blows up within a few steps; its energies grow by some
    # fifty orders of magnitude but stay finite, and the positions leave the box.
    row("far too many particles for the box", lines(nr_particles="2000", cell_length="2.8", rcut="1.4"),
        lost_particle(r"step \d+", "2.8")),

    # --- more than memory allows (run with MEMORY_CAP of address space) ---
    # Refused before anything is allocated, with the estimate and what is available.
    row("nr_particles 2147483647", lines(nr_particles="2147483647"),
        out_of_memory("nr_particles = 2147483647", "515.4"), capped=True),
    # 70000 particles in one sub-cell: every particle lists every other, 4.9e9 entries,
    # beyond the list's 32-bit indices. The build would reserve 2**32 entries (17 GB).
    row("neighbour list beyond 32-bit indices",
        lines(nr_particles="70000", cell_length="2.8", rcut="1.4", shell="1.4", nrsteps="0"),
        out_of_memory("nr_particles = 70000", "17.2"), capped=True),
    # 1.2e9 sub-cells for 8 particles: only the occupied ones are kept.
    row("dilute gas in a large box", lines(nr_particles="8", cell_length="3000", nrsteps="2"),
        Runs(steps=2, particles=8, length=3000.0), capped=True),

    # --- unusual but usable values ---
    row("nrsteps 0", lines(nrsteps="0"), Runs(steps=0)),
    row("leading zeros", lines(nrsteps="007", nr_particles="0108"), Runs(steps=7)),
    row("one particle", lines(nr_particles="1"), Runs(particles=1)),
    row("stepsize 0", lines(stepsize="0"), Runs()),
    row("kT 0", lines(kT="0"), Runs()),
    row("sigma 0", lines(sigma="0"), Runs()),
    row("epsilon 0", lines(epsilon="0"), Runs()),
    row("rcut 0", lines(rcut="0"), Runs()),
    row("shell 0", lines(shell="0"), Runs()),
    row("tau equal to stepsize", lines(tau=LIQUID["stepsize"]), Runs()),
    row("thermostat off", lines(tau="1000000000"), Runs()),
]


# --- running a row -------------------------------------------------------------------

def outcome_here(path):
    try:
        return Tovrin().simulate(path)
    except Exception as error:  # noqa: BLE001 - the table says which one
        return error


def outcome_capped(path, directory, fresh_python):
    """The outcome in a fresh process whose address space is capped at MEMORY_CAP."""
    out = directory / "outcome.pickle"
    fresh_python(
        """
        import pickle, resource, sys
        cap, path, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        from tovrin.tovrin import Tovrin
        try:
            outcome = Tovrin().simulate(path)
        except Exception as error:
            outcome = error
        with open(out, "wb") as f:
            pickle.dump(outcome, f)
        """,
        args=(MEMORY_CAP, path, out),
    )
    with open(out, "rb") as f:
        return pickle.load(f)


def problems_of(result, expect):
    """What is wrong with a result that should be sound."""
    problems = []
    if result["nrsteps"] != expect.steps or result["nrparticles"] != expect.particles:
        problems.append(f"nrsteps {result['nrsteps']}, nrparticles {result['nrparticles']}")
    for key in ("ekin", "epot", "etot"):
        if len(result[key]) != expect.steps or not all(map(math.isfinite, result[key])):
            problems.append(f"{key}: {result[key]}")
    for key in ("positions", "velocities", "positions_initial", "velocities_initial"):
        array = result[key]
        if array.shape != (expect.particles, 3) or not np.isfinite(array).all():
            problems.append(f"{key}: shape {array.shape}, {np.count_nonzero(~np.isfinite(array))} non-finite")
    positions = result["positions"]
    if positions.size and not ((positions >= 0) & (positions <= expect.length)).all():
        problems.append(f"positions from {positions.min()} to {positions.max()}, box {expect.length}")
    return problems


@pytest.mark.parametrize("write, expect, capped", TABLE)
def test_parameter_file(tmp_path, fresh_python, write, expect, capped):
    if capped and UNDER_ASAN:
        pytest.skip("AddressSanitizer's shadow memory does not fit under the address-space cap")
    files = tmp_path / "files"
    files.mkdir()
    path = write(files)
    outcome = outcome_capped(path, tmp_path, fresh_python) if capped else outcome_here(path)

    if isinstance(expect, Runs):
        assert not isinstance(outcome, BaseException), f"{type(outcome).__name__}: {outcome}"
        problems = problems_of(outcome, expect)
        assert not problems, problems
    else:
        assert isinstance(outcome, BaseException), "ran without an error"
        assert type(outcome) is expect.kind, f"{type(outcome).__name__}: {outcome}"
        if expect.pattern:
            assert re.fullmatch(expect.message, str(outcome)), str(outcome)
        else:
            assert str(outcome) == expect.message.replace("{path}", path)
