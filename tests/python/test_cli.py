"""The tovrin command: summaries, saved results and plots, and its errors."""
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import LIQUID, SCRIPTS, TINY, record_movie

PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def tovrin(tmp_path):
    """tovrin(*args) -> completed `python -m tovrin args`, run in a scratch folder."""

    def run(*args):
        return subprocess.run([sys.executable, "-m", "tovrin", *map(str, args)], cwd=tmp_path,
                              capture_output=True, text=True, timeout=300)

    return run


def _failed(completed, message, status=1):
    assert completed.returncode == status, completed.stdout + completed.stderr
    assert message in completed.stderr
    assert "Traceback" not in completed.stderr


def test_run_summarises_saves_and_plots(tovrin, write_parameters, tmp_path, fresh_runs):
    paramfile = write_parameters(LIQUID, nrsteps="30")
    completed = tovrin("run", paramfile, "--plot", "energies.png", "--save", "result.npz")
    assert completed.returncode == 0, completed.stderr

    assert "warning" not in completed.stderr
    summary = completed.stdout.splitlines()
    assert summary[1].split() == ["particles", "108"] and summary[2].split() == ["steps", "30"]
    assert summary[3].split()[:2] == ["wall", "time"] and summary[4].split()[0] == "atom-steps/s"
    rows = {" ".join(line.split()[:-3]): [float(x) for x in line.split()[-3:]] for line in summary[6:9]}
    expected = fresh_runs(paramfile)[0]
    ekin = np.array(expected["ekin"])
    assert rows["kinetic energy"] == pytest.approx([ekin.mean(), ekin[-1], ekin[-1] / 108], rel=1e-9)
    assert rows["potential energy"][1] == pytest.approx(expected["epot"][-1], rel=1e-9)
    assert summary[9].split()[0] == "temperature"
    assert float(summary[9].split()[2]) == pytest.approx(2 * ekin[-1] / (3 * 107), rel=1e-9)
    # tovrin-md's energies file gives the same state's pressure: both are fresh processes.
    subprocess.run([str(SCRIPTS / "tovrin-md"), paramfile, "--quiet", "--energies", tmp_path / "energies.txt"],
                   check=True, timeout=60)
    assert summary[10].split()[0] == "pressure"
    assert float(summary[10].split()[1]) == pytest.approx(np.loadtxt(tmp_path / "energies.txt")[-1, 4], rel=1e-9)

    with np.load(tmp_path / "result.npz") as saved:
        assert set(saved.files) == set(expected) | {"cell_length"}
        for key, value in expected.items():
            assert np.array_equal(saved[key], value), key
        assert saved["cell_length"] == float(LIQUID["cell_length"])
    assert (tmp_path / "energies.png").read_bytes().startswith(PNG)


def test_the_console_script_runs_a_run_without_steps(write_parameters):
    program = SCRIPTS / "tovrin"
    completed = subprocess.run([str(program), "run", write_parameters(LIQUID, nrsteps="0")],
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert "no steps were run" in completed.stdout


@pytest.mark.parametrize("program", ["tovrin run", "tovrin-md"])
@pytest.mark.parametrize("changes, message, diagnosis", [
    ({"stepsize": None}, "Could not find parameter: stepsize", "no line of {} assigns stepsize"),
    ({"stepsize": None, "stepsiz": "0.005"}, "Could not find parameter: stepsize",
     "{} does not assign stepsize: line 11: 'stepsiz = 0.005': the engine reads no key 'stepsiz': did you mean stepsize?"),
    ({"nrsteps": "1.5"}, "bad lexical cast: source type value could not be interpreted as target",
     "{} assigns nrsteps a value that does not convert: line 11: 'nrsteps = 1.5': nrsteps = 1.5 is not a whole number"),
    ({"mass": "0"}, "mass = 0: mass must be positive", None),
])
def test_engine_errors_end_the_run_with_the_engines_message(tovrin, write_parameters, tmp_path, program, changes,
                                                            message, diagnosis):
    path = write_parameters(LIQUID, **changes)
    if program == "tovrin-md":
        completed = subprocess.run([str(SCRIPTS / "tovrin-md"), path, "--quiet"], cwd=tmp_path, capture_output=True,
                                   text=True, timeout=60)
    else:
        completed = tovrin("run", path)
    # The engine's own message, then the parameter file's diagnosis on the next line.
    prefix = "tovrin run: error: " if program == "tovrin run" else "tovrin-md: "
    _failed(completed, prefix + message + (f"\n  {diagnosis.format(path)}" if diagnosis else "\n"))


def test_outputs_that_cannot_be_written_are_refused_before_the_run(tovrin, write_parameters, tmp_path):
    # Two million steps would take minutes: these must fail at once.
    paramfile = write_parameters(LIQUID, nrsteps="2000000")
    # A command line that cannot work: status 2, as for any malformed command line.
    _failed(tovrin("run", paramfile, "--save", tmp_path / "missing" / "r.npz"), "does not exist", status=2)
    _failed(tovrin("run", paramfile, "--plot", "energies.nonsense"), "must name an image format", status=2)
    _failed(tovrin("run", paramfile, "--plot", tmp_path), "must name an image format", status=2)
    (tmp_path / "folder.png").mkdir()
    _failed(tovrin("run", paramfile, "--plot", tmp_path / "folder.png"), "a folder of that name exists", status=2)
    _failed(tovrin("run", "missing.txt"), "Cannot open file: missing.txt")


def test_a_malformed_command_line_exits_with_status_2(tovrin):
    bare = tovrin()
    assert bare.returncode == 2 and bare.stderr.startswith("usage: tovrin") and "export-lammps" in bare.stderr
    assert tovrin("run").returncode == 2
    assert tovrin("rdf", "x.movie", "--bins", "0").returncode == 2
    assert tovrin("launch", "x").returncode == 2


@pytest.fixture
def liquid_movie(write_parameters, tmp_path):
    return record_movie(write_parameters(LIQUID, nrsteps="200"), tmp_path / "liquid.movie", every=50)


def test_movie_describes_the_frames_and_converts_them(tovrin, liquid_movie, tmp_path):
    from tovrin import movie

    completed = tovrin("movie", liquid_movie, "--xyz", "liquid.xyz", "--gsd", "liquid.gsd", "--mass", "2",
                       "--every", "50")
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0] == f"{liquid_movie}: 108 particles, 5 frames"
    assert lines[1] == "box  " + " x ".join([repr(float(LIQUID["cell_length"]))] * 3)
    frames = movie.read(liquid_movie)
    speeds = [float(line.split()[-1]) for line in lines[3:8]]
    assert speeds == pytest.approx(np.mean(frames.speeds, axis=1), rel=1e-11)
    assert (tmp_path / "liquid.xyz").read_text().count("Properties=species:S:1:pos:R:3:velo:R:3:masses") == 5
    import ase.io
    import gsd.hoomd

    assert np.all(ase.io.read(tmp_path / "liquid.xyz", index=-1).get_masses() == 2.0)
    with gsd.hoomd.open(tmp_path / "liquid.gsd") as trajectory:
        assert [frame.configuration.step for frame in trajectory] == [0, 50, 100, 150, 200]
        assert np.all(trajectory[-1].particles.mass == 2.0)

    # A run cut short: its whole frames, with a warning, unless --strict.
    (tmp_path / "cut.movie").write_bytes(liquid_movie.read_bytes()[:-1])
    cut = tovrin("movie", "cut.movie")
    assert cut.returncode == 0, cut.stderr
    assert cut.stdout.startswith("cut.movie: 108 particles, 4 frames\n")
    assert cut.stderr.startswith("tovrin movie: warning: cut.movie: ignored the last 6071 bytes, an incomplete frame")
    _failed(tovrin("movie", "cut.movie", "--strict"), "the last 6071 bytes are an incomplete frame")
    _failed(tovrin("movie", "nothing.movie"), "nothing.movie: No such file or directory")


def test_rdf_of_a_movie_and_of_a_saved_result(tovrin, liquid_movie, write_parameters, tmp_path):
    completed = tovrin("rdf", liquid_movie, "--skip", "1", "--bins", "50", "--plot", "g.png")
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.startswith(f"# g(r) of {liquid_movie}: 4 frames, 108 particles; highest peak g = ")
    table = np.loadtxt(completed.stdout.splitlines())
    assert table.shape == (50, 2)
    assert 1.0 < table[np.argmax(table[:, 1]), 0] < 1.2
    assert (tmp_path / "g.png").read_bytes().startswith(PNG)

    assert tovrin("run", write_parameters(LIQUID, nrsteps="10"), "--save", "r.npz").returncode == 0
    completed = tovrin("rdf", "r.npz", "--bins", "50")
    assert completed.returncode == 0, completed.stderr
    assert ": 1 frame, 108 particles" in completed.stdout.splitlines()[0]

    np.savez(tmp_path / "bare.npz", positions=np.zeros((4, 3)))
    _failed(tovrin("rdf", "bare.npz"), "holds no 'cell_length': give the box edge with --box")
    assert tovrin("rdf", "bare.npz", "--box", "4").returncode == 0
    _failed(tovrin("rdf", liquid_movie, "--skip", "5"), "--skip 5 leaves none of the 5 frames")


@pytest.mark.parametrize("command", [["rdf"], ["msd", "--dt", "0.25"]], ids=["rdf", "msd"])
def test_a_movie_cut_short_gets_a_one_line_warning(tovrin, liquid_movie, tmp_path, command):
    # Five whole frames and all but one byte of a sixth.
    (tmp_path / "cut.movie").write_bytes(liquid_movie.read_bytes() + liquid_movie.read_bytes()[-6071:])
    completed = tovrin(command[0], "cut.movie", *command[1:])
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == (f"tovrin {command[0]}: warning: cut.movie: ignored the last 6071 bytes, an "
                                f"incomplete frame of 108 particles (6072 bytes a frame; a run cut short, or not a "
                                f"movie file), and read the 5 whole frames before them\n")


def test_msd_of_a_movie_needs_the_time_between_frames(tovrin, liquid_movie, tmp_path):
    completed = tovrin("msd", liquid_movie, "--stepsize", "0.005", "--every", "50", "--plot", "msd.png")
    assert completed.returncode == 0, completed.stderr
    header = completed.stdout.splitlines()[0]
    assert header.startswith(f"# MSD of {liquid_movie}: 5 frames 0.25 τ apart, 108 particles; D = ")
    table = np.loadtxt(completed.stdout.splitlines())
    assert np.array_equal(table[:, 0], 0.25 * np.arange(5)) and table[0, 1] == 0 and np.all(table[1:, 1] > 0)
    assert (tmp_path / "msd.png").read_bytes().startswith(PNG)
    assert tovrin("msd", liquid_movie, "--dt", "0.25").stdout.splitlines() == completed.stdout.splitlines()[:-1]
    _failed(tovrin("msd", liquid_movie, "--stepsize", "0.005"), "give --dt (stepsize x every), or --stepsize and --every")


def test_check_lists_skipped_lines_and_fails_without_a_needed_key(tovrin, write_parameters):
    completed = tovrin("check", write_parameters(LIQUID, seed="7"))
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.endswith("all 11 needed keys are assigned\n")
    completed = tovrin("check", write_parameters(LIQUID, stepsize=None, stepsiz="0.005"))
    assert completed.returncode == 1
    assert completed.stdout.splitlines() == ["line 11: 'stepsiz = 0.005': the engine reads no key 'stepsiz': "
                                             "did you mean stepsize?", "missing: stepsize"]


def test_export_lammps_writes_the_deck_or_says_why_not(tovrin, write_parameters, tmp_path):
    completed = tovrin("export-lammps", write_parameters(LIQUID), "deck", "--thermostat", "bussi")
    assert completed.returncode == 0, completed.stderr
    assert (tmp_path / "deck" / "tovrin.data").is_file()
    assert " temp/csvr " in (tmp_path / "deck" / "in.tovrin").read_text()
    assert "lmp -in in.tovrin" in completed.stdout
    _failed(tovrin("export-lammps", write_parameters(TINY, name="tiny.txt", rcut="2.6"), "tiny"),
            "is shorter than twice rcut")
    _failed(tovrin("export-lammps", write_parameters(LIQUID, name="no-sigma.txt", sigma=None), "x"),
            "Could not find parameter: sigma")


@pytest.mark.parametrize("command, status", [(["-m", "tovrin", "run", "--strict"], 3), (["-m", "tovrin", "run"], 0),
                                             ("tovrin-md", 0)], ids=["run-strict", "run", "tovrin-md"])
@pytest.mark.parametrize("changes, warned", [
    ({"stepsize": "0.1", "nrsteps": "30"}, True),  # some 1e16 kT after 30 steps
    # A cold lattice melts and heats far above kT from its own potential energy, while
    # the thermostat takes energy out: physics, not an unstable integration.
    ({"kT": "0.01", "nrsteps": "300"}, False),
], ids=["blown-up", "cold-start"])
def test_a_blown_up_run_is_reported(command, status, changes, warned, write_parameters, tmp_path):
    paramfile = write_parameters(LIQUID, **changes)
    argv = [str(SCRIPTS / "tovrin-md"), paramfile, "--quiet"] if command == "tovrin-md" else [sys.executable,
                                                                                              *command, paramfile]
    completed = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    if not warned:
        assert completed.returncode == 0 and "warning" not in completed.stderr, completed.stderr
        return
    assert completed.returncode == status, completed.stderr
    assert "warning: the run looks unstable: the temperature reached" in completed.stderr
    assert "the total energy per particle rose by" in completed.stderr and "a smaller stepsize" in completed.stderr


def test_a_long_run_writes_every_frame_and_checkpoint_to_its_end(tovrin, write_parameters, tmp_path):
    # Thousands of frames and checkpoints: every stretch between outputs is cut short.
    paramfile = write_parameters(TINY, nrsteps="2500")
    completed = tovrin("run", paramfile, "--movie", "run.movie", "--every", "1", "--checkpoint", "run.ckpt",
                       "--checkpoint-every", "2", "--save", "result.npz")
    assert completed.returncode == 0, completed.stderr
    assert (tmp_path / "run.movie").read_bytes() == record_movie(paramfile, tmp_path / "md.movie", 1).read_bytes()
    from tovrin import Simulation

    assert Simulation.load(tmp_path / "run.ckpt").step == 2500
    with np.load(tmp_path / "result.npz") as saved:
        assert len(saved["etot"]) == 2500


@pytest.mark.parametrize("command", [
    ["run", "p.par", "--movie", "p.par"],
    ["run", "p.par", "--checkpoint", "./p.par"],
    ["run", "p.par", "--save", "link.npz"],
    ["run", "p.par", "--movie", "x", "--checkpoint", "sub/../x"],
    ["run", "p.par", "--movie", "x.npz", "--save", "x"],
    ["run", "p.par", "--restart", "run.ckpt", "--movie", "run.ckpt"],
    ["movie", "m.movie", "--xyz", "m.movie"],
    ["movie", "m.movie", "--gsd", "hard.movie"],
    ["movie", "m.movie", "--xyz", "out.xyz", "--gsd", "./out.xyz"],
    ["msd", "m.png", "--dt", "1", "--plot", "m.png"],
    ["run", "p.par", "--every", "3"],
    ["run", "p.par", "--checkpoint-every", "3"],
    ["rdf", "m.movie", "--box", "1"],
])
def test_a_command_line_that_would_overwrite_an_input_or_mislead_is_refused(tovrin, write_parameters, tmp_path,
                                                                           command):
    paramfile = write_parameters(TINY, name="p.par")
    record_movie(paramfile, tmp_path / "m.movie", every=1)
    (tmp_path / "m.png").write_bytes((tmp_path / "m.movie").read_bytes())
    (tmp_path / "link.npz").symlink_to("p.par")
    (tmp_path / "hard.movie").hardlink_to(tmp_path / "m.movie")
    (tmp_path / "sub").mkdir()
    tovrin("run", "p.par", "--checkpoint", "run.ckpt")
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()}
    completed = tovrin(*command)
    assert completed.returncode == 2, completed.stderr
    assert "tovrin" in completed.stderr and "Traceback" not in completed.stderr
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()} == before


@pytest.mark.parametrize("content, message", [
    (None, "is a tovrin checkpoint"),
    (b"nr_particles = 8\n\0\1\2" * 2000, "a binary file (a NUL byte at offset 17)"),
])
def test_check_and_run_say_what_a_file_that_is_no_parameter_file_is(tovrin, write_parameters, tmp_path, content,
                                                                     message):
    path = tmp_path / "not.par"
    if content is None:
        from tovrin import Simulation

        Simulation(write_parameters(TINY)).save(path)
    else:
        path.write_bytes(content)
    checked = tovrin("check", path)
    assert checked.returncode == 1 and message in checked.stdout and len(checked.stdout) < 300
    if content is None:
        _failed(tovrin("run", path), "is a tovrin checkpoint, not a parameter file")


def test_file_names_that_are_not_utf8_work_throughout(write_parameters, tmp_path):
    name = os.fsdecode(b"run\xff.par")
    path = tmp_path / name
    path.write_text((tmp_path / write_parameters(TINY)).read_text())
    for command in (["check", name], ["run", name, "--save", name + ".npz"]):
        completed = subprocess.run([sys.executable, "-m", "tovrin", *command], cwd=tmp_path, capture_output=True,
                                   timeout=120)
        assert completed.returncode == 0, completed.stderr
        assert rb"run\xff.par" in completed.stdout  # the byte that is not UTF-8 shown escaped
    assert (tmp_path / (name + ".npz")).is_file()


@pytest.mark.parametrize("kind", ["gsd", "xyz", "movie"])
def test_run_starts_from_a_frame_of_a_file_with_the_thermostat_asked_for(tovrin, liquid_movie, write_parameters,
                                                                         tmp_path, kind):
    from tovrin import movie

    frames = movie.read(liquid_movie)
    path = tmp_path / f"start.{kind}"
    if kind == "gsd":
        movie.write_gsd(path, frames.positions, frames.velocities, frames.box)
    elif kind == "xyz":
        movie.write_extxyz(path, frames.positions, frames.velocities, frames.box)
    else:
        path = liquid_movie
    paramfile = write_parameters(LIQUID, nrsteps="5")
    completed = tovrin("run", paramfile, "--start", path, "--frame", "3", "--thermostat", "bussi",
                       "--save", "result.npz")
    assert completed.returncode == 0, completed.stderr
    assert "  thermostat     bussi" in completed.stdout.splitlines()
    # GSD holds single precision, the others every bit.
    tolerance = 1e-6 if kind == "gsd" else 0.0
    with np.load(tmp_path / "result.npz") as saved:
        assert np.allclose(saved["positions_initial"], frames.positions[3], rtol=0, atol=tolerance)
        assert np.allclose(saved["velocities_initial"], frames.velocities[3], rtol=0, atol=tolerance)

    last = tovrin("run", paramfile, "--start", path, "--save", "last.npz")
    assert last.returncode == 0, last.stderr
    assert "  thermostat     berendsen" in last.stdout.splitlines()
    with np.load(tmp_path / "last.npz") as saved:
        assert np.allclose(saved["positions_initial"], frames.positions[-1], rtol=0, atol=tolerance)

    _failed(tovrin("run", paramfile, "--start", path, "--frame", "5"),
            f"frame 5 is out of range: {path} holds 5 frames, 0 to 4")
    _failed(tovrin("run", write_parameters(LIQUID, cell_length="5.1", name="wide.par"), "--start", path),
            "does not match cell_length = 5.1")
    _failed(tovrin("run", write_parameters(LIQUID, nr_particles="100", name="fewer.par"), "--start", path),
            "108 particles, but nr_particles = 100")


def test_run_refuses_starts_it_cannot_use(tovrin, write_parameters, tmp_path):
    paramfile = write_parameters(TINY)
    (tmp_path / "notes.txt").write_text("no particles here\n")
    _failed(tovrin("run", paramfile, "--start", "notes.txt"),
            "notes.txt is neither a GSD file, an extended-XYZ file nor a tovrin movie")
    _failed(tovrin("run", paramfile, "--frame", "1"), "--frame chooses a frame of the --start file")
    assert tovrin("run", paramfile, "--checkpoint", "run.ckpt", "--thermostat", "none").returncode == 0
    _failed(tovrin("run", paramfile, "--restart", "run.ckpt", "--thermostat", "bussi"),
            "the checkpoint run.ckpt is a run with the none thermostat")
    _failed(tovrin("run", paramfile, "--restart", "run.ckpt", "--start", "notes.txt"),
            "--start and --restart exclude each other")
    completed = tovrin("run", paramfile, "--thermostat", "nose-hoover")
    assert completed.returncode == 2 and "invalid choice: 'nose-hoover'" in completed.stderr


def test_tovrin_md_runs_the_thermostat_asked_for_as_simulation_does(write_parameters, tmp_path, fresh_python):
    paramfile = write_parameters(LIQUID, nrsteps="20")
    tovrin_md = str(SCRIPTS / "tovrin-md")
    subprocess.run([tovrin_md, paramfile, "--quiet", "--thermostat", "bussi", "--energies", tmp_path / "md.txt"],
                   check=True, timeout=60)
    etot = fresh_python("""
        import sys
        from tovrin import Simulation
        sim = Simulation(sys.argv[1], thermostat="bussi")
        sim.run(20)
        print(" ".join(repr(float(value)) for value in sim.energies["etot"]))
        """, args=(paramfile,)).split()
    assert np.array_equal(np.loadtxt(tmp_path / "md.txt")[1:, 3], np.array(etot, dtype=np.float64))
    wrong = subprocess.run([tovrin_md, paramfile, "--thermostat", "andersen"], capture_output=True, text=True,
                           timeout=60)
    assert wrong.returncode == 2
    assert "--thermostat: unknown thermostat 'andersen': choose berendsen, bussi or none" in wrong.stderr
