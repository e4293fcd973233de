"""tovrin.lammps.export: LAMMPS, given the exported deck, starts from tovrin's state
and computes tovrin's energies.

LAMMPS (Debian's `lammps`, /usr/bin/lmp) is part of the test set-up: without it these
tests fail rather than skip.
"""
import os
import pathlib
import re
import shutil
import subprocess

import numpy as np
import pytest

from conftest import LIQUID, TOVRIN_MD
from tovrin.lammps import export
from tovrin.tovrin import Tovrin

# Every physical setting away from 1 and from the liquid's, so that a setting written
# into the wrong place changes the energies.
ODD = dict(LIQUID, nr_particles="500", cell_length="9.25", sigma="1.1", epsilon="0.8", mass="2.5",
           rcut="3.1", shell="0.45", kT="1.3", tau="0.2", stepsize="0.004", nrsteps="10")

# Reach beyond LAMMPS's default room of 2000 neighbours per particle.
LONG_REACH = dict(LIQUID, nr_particles="8000", cell_length="20.0", rcut="9.7", nrsteps="0")

THERMO_COLUMNS = ["Step", "Temp", "PotEng", "KinEng", "TotEng", "Press"]


def lammps(folder, *arguments):
    """Runs the deck in `folder` from there, as its header says; returns the thermo
    rows {step: (temp, pe, ke, etotal, press)} and standard output."""
    program = shutil.which("lmp")
    if program is None:
        pytest.fail("LAMMPS is not installed (no `lmp` on the PATH): install Debian's `lammps` package, "
                    "e.g. with scripts/install-system-packages")
    done = subprocess.run([program, *arguments, "-in", "in.tovrin", "-log", "none", "-nocite"], cwd=folder,
                          env=dict(os.environ, OMP_NUM_THREADS="1"), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr
    lines = done.stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split() == THERMO_COLUMNS)
    rows = {}
    for line in lines[start + 1:]:
        if line.startswith("Loop time"):
            break
        step, *values = line.split()
        rows[int(step)] = tuple(float(value) for value in values)
    return rows, done.stdout


def tovrin_energies(paramfile, out):
    """tovrin-md's energies file of the run: rows of steps, ekin, epot, etot, pressure."""
    done = subprocess.run([str(TOVRIN_MD), paramfile, "--quiet", "--energies", str(out)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return np.loadtxt(out, ndmin=2)


def read_data_file(path):
    """The header entries and sections of a LAMMPS data file: ({"atoms": [N], "xlo xhi":
    [lo, hi], ...}, {"Atoms": rows, ...}), every number read as a float."""

    def number(word):
        try:
            return float(word)
        except ValueError:
            return None

    header, sections, section = {}, {}, None
    for line in pathlib.Path(path).read_text().split("\n")[1:]:  # the first line is a title
        words = line.split("#")[0].split()
        if not words:
            continue
        if words[0].isalpha():
            section = sections.setdefault(words[0], [])
        elif section is None:
            values = [number(w) for w in words]
            header[" ".join(w for w, v in zip(words, values) if v is None)] = [v for v in values if v is not None]
        else:
            section.append([float(w) for w in words])
    return header, sections


def script_commands(path):
    """The commands of a LAMMPS input script: name -> the argument lists of its uses."""
    commands = {}
    for line in pathlib.Path(path).read_text().splitlines():
        words = line.split("#")[0].split()
        if words:
            commands.setdefault(words[0], []).append(words[1:])
    return commands


@pytest.mark.parametrize("case", [LIQUID, ODD, LONG_REACH], ids=["liquid", "odd-settings", "long-reach"])
def test_lammps_starts_with_tovrins_energies(case, write_parameters, tmp_path):
    paramfile = write_parameters(case)
    deck = export(paramfile, tmp_path / "deck")
    assert deck.nr_particles == int(case["nr_particles"])
    steps, ekin, epot, _, pressure = tovrin_energies(paramfile, tmp_path / "energies.txt")[0]
    assert steps == 0

    rows, _ = lammps(tmp_path / "deck", "-var", "nrsteps", "0")
    assert list(rows) == [0]
    _, pe, ke, _, press = rows[0]
    # The potential energy tests the positions, the box and the pair settings; the
    # kinetic energy the velocities and the mass; LAMMPS's pressure, (2 Ekin + virial)
    # / (3 V) as well, tovrin's.
    assert abs(pe - epot) <= 1e-10 * abs(epot), (pe, epot)
    assert abs(ke - ekin) <= 1e-10 * ekin, (ke, ekin)
    assert abs(press - pressure) <= 1e-10 * abs(pressure), (press, pressure)


def test_data_file_holds_a_fresh_processs_initial_state(write_parameters, fresh_runs, tmp_path):
    paramfile = write_parameters(ODD)
    # This process's random stream moves on; the export must not start from it.
    Tovrin().simulate(paramfile)
    deck = export(paramfile, tmp_path / "deck")
    fresh = fresh_runs(write_parameters(ODD, name="no-steps.txt", nrsteps="0"))[0]

    header, sections = read_data_file(deck.data_file)
    n = int(ODD["nr_particles"])
    length = float(ODD["cell_length"])
    assert header["atoms"] == [n] and header["atom types"] == [1]
    assert header["xlo xhi"] == header["ylo yhi"] == header["zlo zhi"] == [0.0, length]
    assert sections["Masses"] == [[1, float(ODD["mass"])]]
    atoms = np.array(sections["Atoms"])
    velocities = np.array(sections["Velocities"])
    assert atoms[:, 0].tolist() == velocities[:, 0].tolist() == list(range(1, n + 1))
    assert set(atoms[:, 1]) == {1}
    # Bit for bit: the text reads back as the very doubles of the engine.
    assert atoms[:, 2:].tobytes() == np.ascontiguousarray(fresh["positions"]).tobytes()
    assert velocities[:, 1:].tobytes() == np.ascontiguousarray(fresh["velocities"]).tobytes()


@pytest.mark.parametrize("thermostat, fix_style", [("berendsen", "temp/berendsen"), ("bussi", "temp/csvr"),
                                                   ("none", None)])
def test_input_script_carries_the_parameter_files_settings(thermostat, fix_style, write_parameters, tmp_path):
    deck = export(write_parameters(ODD), tmp_path / "deck", thermostat=thermostat)
    commands = script_commands(deck.input_script)
    p = {key: float(value) for key, value in ODD.items()}
    assert commands["units"] == [["lj"]] and commands["atom_style"] == [["atomic"]]
    assert commands["boundary"] == [["p", "p", "p"]]
    # Relative, so that the folder can move.
    assert commands["read_data"] == [['"tovrin.data"']]
    (style,) = commands["pair_style"]
    assert style[0] == "lj/cut" and float(style[1]) == p["rcut"]
    (coefficients,) = commands["pair_coeff"]
    assert coefficients[:2] == ["1", "1"]
    assert [float(value) for value in coefficients[2:]] == [p["epsilon"], p["sigma"], p["rcut"]]
    assert commands["pair_modify"] == [["shift", "yes"]]
    (neighbor,) = commands["neighbor"]
    assert float(neighbor[0]) == p["shell"] and neighbor[1] == "bin"
    assert commands["neigh_modify"] == [["every", "1", "delay", "0", "check", "yes"]]
    nve, *thermostats = commands["fix"]
    assert nve == ["1", "all", "nve"]
    if fix_style is None:
        assert thermostats == []
    else:
        (fix,) = thermostats
        assert fix[:3] == ["2", "all", fix_style]
        assert [float(value) for value in fix[3:6]] == [p["kT"], p["kT"], p["tau"]]
        # LAMMPS's stochastic rescaling takes a positive whole seed, Berendsen's nothing more.
        assert len(fix) == (7 if thermostat == "bussi" else 6) and all(int(v) > 0 for v in fix[6:])
    assert [float(value) for value in commands["timestep"][0]] == [p["stepsize"]]
    assert commands["variable"] == [["nrsteps", "index", ODD["nrsteps"]]]
    assert commands["run"] == [["${nrsteps}"]]
    assert deck.nrsteps == int(ODD["nrsteps"])


# At constant energy the deck needs no tau, and LAMMPS runs it without a thermostat.
@pytest.mark.parametrize("thermostat, change", [("berendsen", {}), ("none", {"tau": None})])
def test_deck_runs_its_steps_from_a_moved_folder(thermostat, change, write_parameters, tmp_path):
    deck = export(write_parameters(ODD, **change), tmp_path / "deck", thermostat=thermostat)
    moved = tmp_path / "moved"
    (tmp_path / "deck").rename(moved)
    rows, output = lammps(moved)
    nrsteps = int(ODD["nrsteps"])
    assert f"for {nrsteps} steps with {deck.nr_particles} atoms" in output
    assert list(rows) == [0, nrsteps]
    assert np.isfinite(rows[nrsteps]).all()


@pytest.mark.parametrize("change, thermostat, error, message", [
    ({"sigma": None}, "berendsen", RuntimeError, "Could not find parameter: sigma"),
    ({"nr_particles": "1.5"}, "berendsen", TypeError, "lexical cast"),
    ({"cell_length": "2.0"}, "berendsen", ValueError, "is shorter than rcut + shell"),
    # Minimum image against every image: LAMMPS could not run the same physics.
    ({"rcut": "2.6"}, "berendsen", ValueError, "is shorter than twice rcut = 2 * 2.6"),
    ({}, "nose-hoover", ValueError, "thermostat 'nose-hoover': tovrin's thermostats are berendsen, bussi, none"),
], ids=["missing-key", "not-a-count", "box-too-short", "rcut-beyond-half-box", "unknown-thermostat"])
def test_refused_runs_raise_the_engines_error(change, thermostat, error, message, write_parameters, tmp_path):
    with pytest.raises(error, match=re.escape(message)) as raised:
        export(write_parameters(LIQUID, **change), tmp_path / "deck", thermostat=thermostat)
    assert "Traceback" not in str(raised.value)
    assert not (tmp_path / "deck").exists()
