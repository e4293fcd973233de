"""tovrin.movie: reading tovrin-md's movie files and converting them to extended XYZ;
the movie and energies files of runs that end early."""
import resource
import signal
import subprocess
import sys
import time

import ase.io as ase_io
import numpy as np
import pytest

from conftest import LIQUID, TINY, TOVRIN_MD, record_movie
from tovrin import Simulation, movie

@pytest.fixture
def recorded(write_parameters, tmp_path):
    """recorded(nrsteps, every) -> (movie path, parameter file) of a 108-particle liquid."""

    def record(nrsteps=20, every=5):
        paramfile = write_parameters(LIQUID, nrsteps=str(nrsteps))
        return record_movie(paramfile, tmp_path / "run.movie", every), paramfile

    return record


def test_frames_hold_the_run_as_the_engine_left_it(recorded, fresh_runs, write_parameters):
    path, paramfile = recorded(nrsteps=20, every=5)
    frames = movie.read(path)

    assert (frames.nr_particles, frames.nr_frames) == (108, 5)
    assert frames.positions.shape == frames.velocities.shape == (5, 108, 3)
    assert frames.speeds.shape == (5, 108)
    assert np.all(frames.box == float(LIQUID["cell_length"]))
    # tovrin-md and simulate start from the same fresh random stream: frame 0 is the
    # constructed cell, the last frame the state after the last step.
    constructed = fresh_runs(write_parameters(LIQUID, name="zero.txt", nrsteps="0"))[0]
    finished = fresh_runs(paramfile)[0]
    assert np.array_equal(frames.positions[0], constructed["positions"])
    assert np.array_equal(frames.velocities[0], constructed["velocities"])
    assert np.array_equal(frames.positions[-1], finished["positions"])
    assert np.array_equal(frames.velocities[-1], finished["velocities"])
    v = np.asarray(frames.velocities)
    assert np.array_equal(frames.speeds, np.sqrt(v[..., 0] ** 2 + (v[..., 1] ** 2 + v[..., 2] ** 2)))


def test_a_ten_gigabyte_movie_opens_mapped_and_read_only(tmp_path):
    path = tmp_path / "big.movie"
    with open(path, "wb") as stream:  # sparse: takes no room on disk
        stream.write((1000).to_bytes(4, "little"))
        stream.truncate(4 + movie.frame_bytes(1000) * 180_000)
    frames = movie.read(path)
    assert (frames.nr_particles, frames.nr_frames) == (1000, 180_000)
    assert isinstance(frames.positions, np.memmap)
    assert np.array_equal(frames.positions[-1, -1], [0.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="read-only"):
        frames.positions[0, 0, 0] = 1.0


@pytest.mark.parametrize("mass", [1.0, 2.0, 39.948])
def test_extended_xyz_reads_back_in_ase_with_the_runs_velocities_and_mass(recorded, tmp_path, mass):
    frames = movie.read(recorded(nrsteps=10, every=5)[0])
    out = tmp_path / "run.xyz"
    movie.write_extxyz(out, frames.positions, frames.velocities, frames.box, mass=mass)

    atoms = ase_io.read(out, index=":", format="extxyz")
    assert len(atoms) == frames.nr_frames == 3
    for k, frame in enumerate(atoms):
        assert np.array_equal(frame.positions, frames.positions[k])
        assert np.array_equal(frame.arrays["velo"], frames.velocities[k])
        assert np.all(frame.get_masses() == mass)
        # ASE divides the momenta by the masses: exact for a power of two.
        assert np.allclose(frame.get_velocities(), frames.velocities[k], rtol=0 if mass != 39.948 else 1e-15, atol=0)
        assert np.array_equal(frame.cell.lengths(), frames.box[k])
        assert frame.pbc.all()
        assert set(frame.get_chemical_symbols()) == {"Ar"}
    header = out.read_text().splitlines()[1]
    assert 'Properties=species:S:1:pos:R:3:velo:R:3:masses:R:1:momenta:R:3' in header and 'pbc="T T T"' in header


def test_gsd_holds_the_frames_in_a_centred_box_for_gsd_and_mdanalysis(recorded, tmp_path):
    import gsd.hoomd
    import MDAnalysis

    frames = movie.read(recorded(nrsteps=10, every=5)[0])
    out = tmp_path / "run.gsd"
    movie.write_gsd(out, frames.positions, frames.velocities, frames.box, mass=2.0, every=5)

    edge = frames.box[0, 0]
    with gsd.hoomd.open(out, "r") as trajectory:
        assert len(trajectory) == 3
        for k, frame in enumerate(trajectory):
            assert frame.configuration.step == 5 * k
            assert np.array_equal(frame.configuration.box, np.float32([edge, edge, edge, 0, 0, 0]))
            assert frame.particles.types == ["Ar"] and np.all(frame.particles.mass == 2.0)
            position = frame.particles.position.astype(np.float64)
            assert np.all(np.abs(position) <= 0.5 * np.float32(edge))
            assert np.allclose(np.mod(position + 0.5 * edge, edge), frames.positions[k], rtol=0, atol=1e-5)
            assert np.array_equal(frame.particles.velocity, frames.velocities[k].astype(np.float32))
    universe = MDAnalysis.Universe(str(out))
    assert len(universe.trajectory) == 3 and len(universe.atoms) == 108
    for k, timestep in enumerate(universe.trajectory):
        assert np.allclose(timestep.dimensions, [edge, edge, edge, 90, 90, 90])
        assert np.allclose(np.mod(timestep.positions + 0.5 * edge, edge), frames.positions[k], atol=1e-5)


def test_a_single_frame_with_one_box_writes_one_frame(tmp_path):
    positions = np.array([[0.5, 1.0, 1.5], [2.0, 2.5, 0.1]])
    movie.write_extxyz(tmp_path / "one.xyz", positions, -positions, 3.0)
    (frame,) = ase_io.read(tmp_path / "one.xyz", index=":", format="extxyz")
    assert np.array_equal(frame.positions, positions)
    assert np.array_equal(frame.cell.lengths(), [3.0, 3.0, 3.0])
    with pytest.raises(ValueError, match="same shape"):
        movie.write_extxyz(tmp_path / "bad.xyz", positions, positions[:1], 3.0)
    with pytest.raises(ValueError, match="mass = 0.0 must be positive"):
        movie.write_gsd(tmp_path / "bad.gsd", positions, positions, 3.0, mass=0.0)


@pytest.mark.parametrize("damage, whole_frames, message", [
    (lambda data: b"", None, "cannot hold the 4-byte particle count"),
    (lambda data: data[:3], None, "cannot hold the 4-byte particle count"),
    (lambda data: data[:-8], 1, "the last 6064 bytes are an incomplete frame"),
    (lambda data: data + b"\0", 2, "the last 1 bytes are an incomplete frame"),
    (lambda data: (109).to_bytes(4, "little") + data[4:], 1, "109 particles take 6128 bytes a frame"),
    (lambda data: b"nr_particles = 108\n", 0, "not a whole number of frames"),
    # Frames appended again, as by a restart from a checkpoint older than the movie.
    (lambda data: data + data[4:4 + movie.frame_bytes(108)], None, "frame 2 repeats frame 0 bit for bit"),
])
def test_damaged_files_are_refused_when_strict_and_read_to_the_last_whole_frame_otherwise(
        recorded, tmp_path, damage, whole_frames, message):
    path, _ = recorded(nrsteps=5, every=5)
    damaged = tmp_path / "damaged.movie"
    damaged.write_bytes(damage(path.read_bytes()))
    with pytest.raises(movie.MovieFormatError, match=message):
        movie.read(damaged, strict=True)
    if whole_frames is None:
        with pytest.raises(movie.MovieFormatError, match=message):
            movie.read(damaged)
        return
    count = int.from_bytes(damaged.read_bytes()[:4], "little")
    ignored = damaged.stat().st_size - 4 - whole_frames * movie.frame_bytes(count)
    with pytest.warns(movie.IncompleteFrameWarning,
                      match=f"ignored the last {ignored} bytes, .* read the {whole_frames} whole frames"):
        frames = movie.read(damaged)
    assert frames.nr_frames == whole_frames
    if count == 108:
        assert np.array_equal(frames.positions, movie.read(path).positions[:whole_frames])


def test_a_count_without_frames_is_an_empty_movie_and_a_missing_file_an_oserror(tmp_path):
    empty = tmp_path / "empty.movie"
    empty.write_bytes((7).to_bytes(4, "little"))
    frames = movie.read(empty)
    assert (frames.nr_particles, frames.nr_frames, frames.positions.shape) == (7, 0, (0, 7, 3))
    with pytest.raises(FileNotFoundError):
        movie.read(tmp_path / "missing.movie")


def _tovrin_md_every_step(paramfile, movie_path, energies_path):
    """tovrin-md's command line that writes a frame and an energies row every step."""
    command = [str(TOVRIN_MD), str(paramfile), "--every", "1", "--energies", str(energies_path), "--quiet"]
    return command + (["--movie", str(movie_path)] if movie_path else [])


def _tovrin_run_every_step(paramfile, tmp_path, *more):
    """tovrin run's command line that writes a frame every step and saves a checkpoint
    and the result on its way out."""
    return [sys.executable, "-m", "tovrin", "run", str(paramfile), "--movie", str(tmp_path / "run.movie"),
            "--every", "1", "--checkpoint", str(tmp_path / "run.ckpt"), "--save", str(tmp_path / "result.npz"),
            *map(str, more)]


def _saved_steps(tmp_path):
    """The steps held by tovrin run's checkpoint and by its saved result."""
    with np.load(tmp_path / "result.npz") as saved:
        return Simulation.load(tmp_path / "run.ckpt").step, len(saved["etot"])


@pytest.mark.parametrize("program", ["tovrin-md", "tovrin run"])
@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_stops_the_run_after_a_whole_frame_and_row(write_parameters, tmp_path, program, signal_number):
    movie_path, energies_path = tmp_path / "run.movie", tmp_path / "energies.txt"
    base = LIQUID if program == "tovrin-md" else TINY
    paramfile = write_parameters(base, nrsteps="1000000")
    command = (_tovrin_md_every_step(paramfile, movie_path, energies_path) if program == "tovrin-md"
               else _tovrin_run_every_step(paramfile, tmp_path))
    frame_size = movie.frame_bytes(int(base["nr_particles"]))
    with subprocess.Popen(command, stderr=subprocess.PIPE, text=True) as process:
        try:
            # The handlers are in place once frames appear; the deadline only guards against a hang.
            deadline = time.monotonic() + 120
            while not (movie_path.exists() and movie_path.stat().st_size > 4 + 5 * frame_size):
                assert process.poll() is None and time.monotonic() < deadline, "the run wrote no frames"
                time.sleep(0.01)
            process.send_signal(signal_number)
            _, stderr = process.communicate(timeout=120)
        finally:
            process.kill()
    assert process.returncode == 128 + signal_number, stderr
    frames = movie.read(movie_path, strict=True)
    steps = frames.nr_frames - 1
    if program == "tovrin-md":
        energies = np.loadtxt(energies_path)
        assert np.array_equal(energies[:, 0], np.arange(steps + 1))
        assert stderr == (f"tovrin-md: stopped by {signal_number.name} after {steps} of 1000000 steps; "
                          f"the movie '{movie_path}' holds {steps + 1} frames; "
                          f"the energies file '{energies_path}' {steps + 1} rows\n")
        return
    # The frame of the step it stopped at is written, and the checkpoint and the result
    # are of that step; the restarted run then records the movie of an unbroken run.
    assert f"stopped by {signal_number.name} after step {steps} of 1000000" in stderr
    assert _saved_steps(tmp_path) == (steps, steps)
    more = write_parameters(base, nrsteps=str(steps + 7), name="more.txt")
    subprocess.run(_tovrin_run_every_step(more, tmp_path, "--restart", tmp_path / "run.ckpt"), check=True,
                   capture_output=True, timeout=120)
    unbroken = record_movie(more, tmp_path / "unbroken.movie", every=1)
    assert movie_path.read_bytes() == unbroken.read_bytes()


@pytest.mark.parametrize("program, full, limit", [
    ("tovrin-md", "movie", 4 + movie.frame_bytes(108) * 19 // 2),  # room for 9.5 frames
    ("tovrin-md", "energies", 2000),
    ("tovrin run", "movie", 4 + movie.frame_bytes(108) * 19 // 2),
])
def test_a_full_disk_gives_the_systems_reason_and_leaves_whole_frames_and_rows(write_parameters, tmp_path,
                                                                                program, full, limit):
    def limit_file_size():  # `ulimit -f`: a write beyond the limit fails with EFBIG
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    movie_path, energies_path = tmp_path / "run.movie", tmp_path / "energies.txt"
    paramfile = write_parameters(LIQUID, nrsteps="1000")
    command = (_tovrin_md_every_step(paramfile, movie_path if full == "movie" else None, energies_path)
               if program == "tovrin-md" else _tovrin_run_every_step(paramfile, tmp_path))
    completed = subprocess.run(command, preexec_fn=limit_file_size, capture_output=True, text=True, timeout=120)
    assert completed.returncode == 1, completed.stderr
    path = movie_path if full == "movie" else energies_path
    assert f"{full} file '{path}': write failed: File too large" in completed.stderr
    if full == "movie":
        assert movie.read(movie_path, strict=True).nr_frames == 9
    if program == "tovrin run":
        # The run failed after step 9, whose frame did not fit: the checkpoint and the
        # result of that step are saved all the same.
        assert "saved the checkpoint of step 9" in completed.stderr
        assert _saved_steps(tmp_path) == (9, 9)
        return
    assert energies_path.read_text().endswith("\n")  # a row cut inside a number would still load
    rows = np.loadtxt(energies_path)
    assert np.array_equal(rows[:, 0], np.arange(len(rows)))
    if full == "movie":
        assert len(rows) == 9
