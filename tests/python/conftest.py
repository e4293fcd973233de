"""Shared fixtures of the Python tests.

The tests run against the installed package (`pip install .`). Code that depends on
the process-wide random stream or on import state runs in a fresh interpreter.
"""
import os
import pathlib
import pickle
import subprocess
import sys
import sysconfig
import textwrap

import pytest

# A small liquid: 108 particles at the density of the shipped example. Two threads
# split it into two blocks of 54.
LIQUID = {
    "nr_particles": "108",
    "cell_length": "5.039684199579493",
    "kT": "0.72",
    "mass": "1.0",
    "sigma": "1.0",
    "epsilon": "1.0",
    "rcut": "2.5",
    "shell": "0.3",
    "tau": "0.1",
    "stepsize": "0.005",
    "nrsteps": "4",
}

# Eight particles in the smallest box the cut-off allows (twice rcut): for the many calls.
TINY = dict(LIQUID, nr_particles="8", cell_length="5.0", nrsteps="2")

# The installed programs, beside the interpreter's own scripts.
SCRIPTS = pathlib.Path(sysconfig.get_path("scripts"))
TOVRIN_MD = SCRIPTS / "tovrin-md"


def record_movie(paramfile, path, every):
    """Runs `paramfile` through tovrin-md, recording frame 0 and one every `every` steps."""
    subprocess.run([str(TOVRIN_MD), str(paramfile), "--movie", str(path), "--every", str(every), "--quiet"],
                   check=True, timeout=120)
    return path


def pytest_configure(config):
    try:
        import tovrin.tovrin  # noqa: F401
    except ImportError as error:
        pytest.exit(f"tovrin.tovrin is not importable ({error}); run `pip install .` first", returncode=2)


@pytest.fixture
def write_parameters(tmp_path):
    """write_parameters(base, name="run.txt", **changes) -> path of a parameter file.

    A change to None leaves the key out."""

    def write(base=LIQUID, name="run.txt", **changes):
        values = dict(base, **changes)
        path = tmp_path / name
        path.write_text("".join(f"{key} = {value}\n" for key, value in values.items() if value is not None))
        return str(path)

    return write


@pytest.fixture
def fresh_python(tmp_path):
    """fresh_python(code, threads=None, args=()) -> stdout of `python -c code` in a new process."""

    def run(code, threads=None, args=(), flags=()):
        env = dict(os.environ)
        if threads is not None:
            env["OMP_NUM_THREADS"] = str(threads)
        completed = subprocess.run(
            [sys.executable, *flags, "-c", textwrap.dedent(code), *map(str, args)],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120,
        )
        assert completed.returncode == 0, completed.stderr
        return completed.stdout

    return run


@pytest.fixture
def fresh_runs(tmp_path, fresh_python):
    """fresh_runs(paramfile, calls=1, threads=None) -> result dictionaries of `calls`
    successive simulate calls in one new process."""
    counter = iter(range(1_000_000))

    def run(paramfile, calls=1, threads=None):
        out = tmp_path / f"results-{next(counter)}.pickle"
        fresh_python(
            """
            import pickle, sys
            from tovrin.tovrin import Tovrin
            paramfile, calls, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
            results = [Tovrin().simulate(paramfile) for _ in range(calls)]
            with open(out, "wb") as f:
                pickle.dump(results, f)
            """,
            threads=threads, args=(paramfile, calls, out),
        )
        with open(out, "rb") as f:
            return pickle.load(f)

    return run
