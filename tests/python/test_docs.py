"""The shell sessions on the documentation pages run as written.

The pages' Python examples run as doctests in scripts/docs; their `tovrin` and
`tovrin-md` command lines run here, page by page in the order written, on a smaller
copy of the examples so that an option renamed or a command dropped fails a test.
Commands that install, build, benchmark or start LAMMPS are left to their scripts.
"""
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

from conftest import TOVRIN_MD
from tovrin import paramfile

pytestmark = pytest.mark.once

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = sorted((ROOT / "docs").glob("*.md"))
PROGRAMS = {"tovrin": [sys.executable, "-m", "tovrin"], "tovrin-md": [str(TOVRIN_MD)]}


def shell_commands(page: pathlib.Path) -> list:
    """The `$ ` lines of the page's console blocks that run a tovrin program."""
    blocks = re.findall(r"```console\n(.*?)```", page.read_text(), re.S)
    lines = [line[2:] for block in blocks for line in block.splitlines() if line.startswith("$ ")]
    return [shlex.split(line) for line in lines if line.split()[0] in PROGRAMS and "&&" not in line]


PAGES_WITH_COMMANDS = [page for page in PAGES if shell_commands(page)]


def test_the_pages_show_commands_to_run():
    assert {page.name for page in PAGES_WITH_COMMANDS} >= {"analysis.md", "first-run.md", "steering.md",
                                                           "tovrin-md.md"}


@pytest.mark.parametrize("page", PAGES_WITH_COMMANDS, ids=lambda page: page.name)
def test_shell_session_runs(page, tmp_path):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    liquid = tmp_path / "examples" / "liquid.par"
    # 500 particles at the liquid's density, for the file's 2000 steps: `--skip 5` of 21
    # frames leaves enough for g(r) and a fit of the MSD.
    paramfile.write_with(ROOT / "examples" / "liquid.par", liquid, nr_particles=500,
                         cell_length="8.397980956912535")
    for command in shell_commands(page):
        completed = subprocess.run(PROGRAMS[command[0]] + command[1:], cwd=tmp_path, capture_output=True,
                                   text=True, timeout=120)
        assert completed.returncode == 0, f"{shlex.join(command)}:\n{completed.stderr}"
