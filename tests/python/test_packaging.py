"""What `pip install .` puts into the environment: tovrin-md, the example, and an
installed package that the repository's own folders never shadow."""
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import LIQUID, TOVRIN_MD

pytestmark = pytest.mark.once

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "liquid.py"


def test_tovrin_md_is_installed_with_the_interpreters_scripts():
    completed = subprocess.run([str(TOVRIN_MD), "--help"], capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert "usage: tovrin-md PARAMFILE" in completed.stdout + completed.stderr


def test_the_version_is_the_packages_metadata_everywhere():
    import importlib.metadata

    import tovrin

    version = importlib.metadata.version("tovrin")
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", version) and tovrin.__version__ == version
    completed = subprocess.run([sys.executable, "-m", "tovrin", "--version"], capture_output=True, text=True,
                               timeout=60)
    assert completed.stdout == f"tovrin {version}\n"
    completed = subprocess.run([str(TOVRIN_MD), "--version"], capture_output=True, text=True, timeout=60)
    assert completed.stdout == f"tovrin-md {version}\n"


def test_tovrin_md_runs_a_parameter_file(write_parameters):
    completed = subprocess.run([str(TOVRIN_MD), write_parameters(LIQUID), "--quiet"],
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr


def test_example_prints_its_table(write_parameters, tmp_path):
    path = write_parameters(LIQUID, nrsteps="25")
    completed = subprocess.run([sys.executable, str(EXAMPLE), path], cwd=tmp_path,
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0].startswith(f"{path}: 108 particles, 25 steps")
    assert lines[1].split() == ["steps", "T", "Ekin/N", "Epot/N", "Etot/N"]
    assert lines[-1].startswith("wall time ")
    rows = [[float(field) for field in line.split()] for line in lines[2:-1]]
    assert [int(row[0]) for row in rows] == [1, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 25]
    for steps, temperature, ekin, epot, etot in rows:
        assert abs(temperature - 2 * ekin * 108 / (3 * 107)) < 2e-5
        assert abs(etot - (ekin + epot)) < 2e-6


def test_readme_snippet_runs_from_the_repository_root():
    readme = (ROOT / "README.md").read_text()
    snippet = re.search(r"```python\n(from tovrin.tovrin import .*?)```", readme, re.S).group(1)
    check = snippet + "assert len(result['etot']) == result['nrsteps'] > 0\n"
    completed = subprocess.run([sys.executable, "-c", check], cwd=ROOT, capture_output=True, text=True,
                               timeout=120)
    assert completed.returncode == 0, completed.stderr
