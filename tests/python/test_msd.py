"""tovrin.msd: unwrapping a movie's wrapped positions, the MSD and the diffusion coefficient."""
import numpy as np
import pytest

from conftest import record_movie
import tovrin.msd
from tovrin import movie
from tovrin.msd import UnwrapError, diffusion, unwrap


def random_walk(frames, particles, box, step_deviation, seed=5):
    """Paths of Gaussian steps started across the box, and the same paths wrapped into it."""
    rng = np.random.default_rng(seed)
    start = rng.uniform(0.0, 1.0, size=(1, particles, 3)) * box
    steps = rng.normal(0.0, step_deviation, size=(frames - 1, particles, 3))
    paths = start + np.cumsum(np.concatenate([np.zeros((1, particles, 3)), steps]), axis=0)
    return paths, np.mod(paths, box)


def test_wrapped_paths_that_cross_every_face_unwrap_to_the_true_paths_and_their_d():
    box = np.array([3.0, 4.0, 5.0])
    dt, d = 0.5, 0.01  # steps of deviation sqrt(2 D dt) = 0.1, well below a quarter edge
    paths, wrapped = random_walk(1000, 300, box, np.sqrt(2 * d * dt))
    crossings = np.diff(np.floor(paths / box), axis=0)
    assert np.all(np.count_nonzero(crossings > 0, axis=(0, 1)) > 1000)
    assert np.all(np.count_nonzero(crossings < 0, axis=(0, 1)) > 1000)

    unwrapped = unwrap(wrapped, box)
    assert np.allclose(unwrapped, paths, rtol=0, atol=1e-12)
    result = diffusion(wrapped, box, dt)
    assert result.fit == (0.25 * 999 * dt, 0.5 * 999 * dt)
    # 300 walkers over 250 to 500 steps: a few per cent of noise.
    assert result.coefficient == pytest.approx(d, rel=0.1)
    assert result.msd[1] == pytest.approx(6 * d * dt, rel=0.03)


def test_blocks_of_particles_give_the_msd_of_the_whole(monkeypatch):
    box = np.array([3.0, 4.0, 5.0])
    _, wrapped = random_walk(50, 40, box, 0.1)
    whole = tovrin.msd.mean_squared_displacement(wrapped, box, 0.5)[1]
    monkeypatch.setattr(tovrin.msd, "BLOCK_BYTES", 24 * 50 * 7)  # blocks of 7 particles, the last of 5
    assert np.allclose(tovrin.msd.mean_squared_displacement(wrapped, box, 0.5)[1], whole, rtol=1e-12, atol=0)
    wrapped[30:, 33, 0] = np.mod(wrapped[30:, 33, 0] + 1.0, 3.0)  # a jump of a third of the edge
    with pytest.raises(UnwrapError, match="particle 33 moved [0-9.]+ along x between frames 29 and 30"):
        tovrin.msd.mean_squared_displacement(wrapped, box, 0.5)


def test_frames_too_far_apart_to_unwrap_are_refused_naming_the_particle():
    box = 4.0
    positions = np.full((3, 5, 3), 1.0)
    positions[2, 3, 1] = 2.1  # 1.1 along y between frames 1 and 2: more than a quarter edge
    with pytest.raises(UnwrapError, match=r"particle 3 moved 1\.1 along y between frames 1 and 2"):
        unwrap(positions, box)
    positions[2, 3, 1] = 3.9  # 2.9 forward looks like 1.1 backward through the face: refused too
    with pytest.raises(UnwrapError, match="particle 3 moved 1.1 along y"):
        unwrap(positions, box)
    with pytest.raises(ValueError, match="at least 5 frames"):
        diffusion(positions, box, 0.1)
    with pytest.raises(ValueError, match="at least one particle"):
        diffusion(np.zeros((5, 0, 3)), box, 0.1)


@pytest.mark.validate
def test_einstein_and_green_kubo_give_the_same_diffusion_coefficient(tmp_path):
    """The Lennard-Jones liquid near its triple point (density 0.8442, kT = 0.72,
    rcut 2.5): D from the MSD's slope (Einstein) must equal a third of the integral of
    the velocity autocorrelation (Green-Kubo) of the same frames. Both follow from the
    one trajectory, so they test the unwrapping, the MSD and its fit rather than the
    engine; the run's D is printed beside them. They differ by the noise of D from 500
    particles over 20 time units and by the autocorrelation's slow tail beyond 3 time
    units, which only the MSD sees: some 4 % in all."""
    particles, density, stepsize, every = 500, 0.8442, 0.005, 2
    paramfile = tmp_path / "liquid.txt"
    paramfile.write_text(
        f"nr_particles = {particles}\ncell_length = {(particles / density) ** (1 / 3)!r}\nkT = 0.72\n"
        f"mass = 1.0\nsigma = 1.0\nepsilon = 1.0\nrcut = 2.5\nshell = 0.3\ntau = 1.0\n"
        f"stepsize = {stepsize}\nnrsteps = 6000\n")
    frames = movie.read(record_movie(paramfile, tmp_path / "liquid.movie", every))
    dt = stepsize * every
    kept = slice(round(10.0 / dt), None)  # melting the lattice and settling: 10 time units

    einstein = diffusion(frames.positions[kept], frames.box[kept], dt)
    velocities = np.asarray(frames.velocities[kept])
    lags = round(3.0 / dt)  # the autocorrelation has died out well before 3 time units
    spectrum = np.fft.rfft(velocities, n=2 * len(velocities), axis=0)
    correlation = np.fft.irfft(spectrum * spectrum.conj(), axis=0)[:lags].sum(axis=(1, 2))
    correlation /= particles * (len(velocities) - np.arange(lags))
    green_kubo = np.trapezoid(correlation, dx=dt) / 3.0
    print(f"D: Einstein {einstein.coefficient:.5f}, Green-Kubo {green_kubo:.5f} σ²/τ")
    assert einstein.coefficient == pytest.approx(green_kubo, rel=0.1)
