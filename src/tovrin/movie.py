"""Movie files: tovrin's binary trajectories, read as memory-mapped NumPy arrays.

A movie file (written by ``tovrin-md --movie``) is a little-endian unsigned 32-bit
particle count N followed by frames of 24 + 56 N bytes: the three box edges, then
per particle x y z vx vy vz and the speed, all binary64.  Nothing marks the end of
a frame: the number of frames follows from the file size.  A run that was killed
or ran out of disk can leave part of a frame at the end; ``read`` keeps the whole
frames before it and warns with ``IncompleteFrameWarning``, or, with
``strict=True``, refuses the file.

``read`` maps the file instead of loading it, so a movie of many gigabytes opens at
once and only the frames used are ever read from disk.  A movie holds no step
numbers, but a run repeats its states bit for bit, so frames appended twice (a
restart from an older checkpoint onto a movie that had run on) show as a frame that
repeats an earlier one; ``read`` refuses such a movie with MovieFormatError.  ``write_extxyz`` converts
frames to extended XYZ, which ASE, OVITO and VMD read, and ``write_gsd`` to
HOOMD-blue's GSD format.
"""
from __future__ import annotations

import dataclasses
import os
import warnings
from typing import IO, Tuple, Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]

_COUNT = np.dtype("<u4")
_BOX = np.dtype(("<f8", (3,)))
_PARTICLE = np.dtype([("position", "<f8", (3,)), ("velocity", "<f8", (3,)), ("speed", "<f8")])


class MovieFormatError(ValueError):
    """A file is not a well-formed movie file.

    Raised by `read` for a file too short to hold the particle count, and, with
    ``strict=True``, for one that ends in part of a frame.
    """


class IncompleteFrameWarning(UserWarning):
    """A movie file ends in part of a frame, which was left out.

    `read` warns with it, naming how many bytes after the last whole frame it left
    out: the run that wrote the movie was cut short, or the file is no movie.
    """


def frame_bytes(nr_particles: int) -> int:
    """Size of one frame of a movie of ``nr_particles`` particles.

    Parameters
    ----------
    nr_particles : int
        Particles in each frame.

    Returns
    -------
    int
        Bytes of one frame: 24 for the box edges and 56 per particle.

    Examples
    --------
    >>> from tovrin import movie
    >>> movie.frame_bytes(4000)
    224024
    """
    return _BOX.itemsize + _PARTICLE.itemsize * nr_particles


@dataclasses.dataclass(frozen=True)
class Movie:
    """A movie file's frames, as `read` returns them.

    The arrays are read-only views of the memory-mapped file: a frame is read from
    disk only when used.

    Attributes
    ----------
    path : str
        The movie file.
    nr_particles : int
        Particles in each frame.
    box : numpy.ndarray
        The box edges of each frame, shape (frames, 3).
    positions : numpy.ndarray
        Positions, shape (frames, particles, 3), wrapped into the box [0, L).
    velocities : numpy.ndarray
        Velocities, shape (frames, particles, 3).
    speeds : numpy.ndarray
        Each particle's speed, shape (frames, particles).
    """

    path: str
    nr_particles: int
    box: np.ndarray
    positions: np.ndarray
    velocities: np.ndarray
    speeds: np.ndarray

    @property
    def nr_frames(self) -> int:
        """The number of whole frames."""
        return self.box.shape[0]


def _mapped(path: str, nr_particles: int, nr_frames: int) -> Movie:
    if nr_frames == 0:  # a mapping cannot be empty, and the count may be too large for a frame type
        return Movie(path, nr_particles, np.empty((0, 3)), np.empty((0, nr_particles, 3)),
                     np.empty((0, nr_particles, 3)), np.empty((0, nr_particles)))
    dtype = np.dtype([("box", _BOX), ("particles", _PARTICLE, (nr_particles,))])
    frames = np.memmap(path, dtype=dtype, mode="r", offset=_COUNT.itemsize, shape=(nr_frames,))
    particles = frames["particles"]
    return Movie(path, nr_particles, frames["box"], particles["position"], particles["velocity"],
                 particles["speed"])


def _samples(movie: Movie):
    """A few particles' positions and velocities in each frame, as bytes, frame by
    frame: the first, middle and last particle, which only a repeated state repeats
    together. Read with one small read each rather than through the mapping, whose
    page faults made opening a movie of gigabytes take a minute."""
    chosen = sorted({0, movie.nr_particles // 2, movie.nr_particles - 1})
    frame = frame_bytes(movie.nr_particles)
    state = _PARTICLE.fields["speed"][1]  # position and velocity: the bytes before the speed
    fd = os.open(movie.path, os.O_RDONLY)
    try:
        for k in range(movie.nr_frames):
            start = _COUNT.itemsize + k * frame + _BOX.itemsize  # after the count and the frame's box
            yield b"".join(os.pread(fd, state, start + p * _PARTICLE.itemsize) for p in chosen)
    finally:
        os.close(fd)


def _refuse_repeated_frames(movie: Movie) -> None:
    """Refuses a movie in which a frame repeats an earlier one other than the frame
    just before it (a state at rest repeats that one, which is physics)."""
    if movie.nr_particles == 0 or movie.nr_frames == 0:
        return
    first_seen = {}
    previous = None
    for k, key in enumerate(_samples(movie)):
        if key != previous and key in first_seen:
            raise MovieFormatError(
                f"{movie.path}: frame {k} repeats frame {first_seen[key]} bit for bit, so the frames after frame "
                f"{k - 1} go back in time (frames appended again by a run restarted from an earlier checkpoint)")
        first_seen.setdefault(key, k)
        previous = key


def read(path: PathLike, strict: bool = False) -> Movie:
    """Opens the movie file at ``path``, memory-mapped.

    Parameters
    ----------
    path : str or os.PathLike
        A movie written by ``tovrin-md --movie``, ``tovrin run --movie`` or
        `tovrin.Simulation.write_movie`.
    strict : bool, optional
        Refuse a file whose size is not a whole number of frames, instead of
        reading the whole frames and warning.

    Returns
    -------
    Movie
        The frames, mapped: opening a movie of many gigabytes reads only a few
        bytes of each frame (to refuse frames appended twice).

    Raises
    ------
    MovieFormatError
        The file is too short to hold the particle count, a frame repeats an
        earlier one (frames appended twice), or, when ``strict``, the file ends
        in part of a frame.
    OSError
        The file cannot be opened or read.

    Warns
    -----
    IncompleteFrameWarning
        The file ends in part of a frame (a run cut short, or not a movie
        file): the bytes after the last whole frame are left out.

    Examples
    --------
    >>> from tovrin import Simulation, movie
    >>> sim = Simulation("run.par")
    >>> sim.write_movie("run.movie", create=True)
    >>> for state in sim.iterate(200, every=50):
    ...     state.write_movie("run.movie")
    >>> frames = movie.read("run.movie")
    >>> frames.nr_frames, frames.nr_particles
    (5, 500)
    >>> frames.positions.shape
    (5, 500, 3)
    """
    path = os.fspath(path)
    with open(path, "rb") as stream:
        head = stream.read(_COUNT.itemsize)
        size = os.fstat(stream.fileno()).st_size
    if len(head) < _COUNT.itemsize:
        raise MovieFormatError(f"{path}: {size} bytes cannot hold the 4-byte particle count of a movie file")
    nr_particles = int(np.frombuffer(head, _COUNT)[0])
    frame = frame_bytes(nr_particles)
    nr_frames, rest = divmod(size - _COUNT.itemsize, frame)
    if rest:
        if strict:
            raise MovieFormatError(
                f"{path}: {size} bytes is not a whole number of frames: {nr_particles} particles take "
                f"{frame} bytes a frame after the 4-byte count, and the last {rest} bytes are an incomplete "
                f"frame (a run cut short, or not a movie file)")
        warnings.warn(f"{path}: ignored the last {rest} bytes, an incomplete frame of {nr_particles} particles "
                      f"({frame} bytes a frame; a run cut short, or not a movie file), and read the {nr_frames} "
                      f"whole frames before them", IncompleteFrameWarning, stacklevel=2)
    movie = _mapped(path, nr_particles, nr_frames)
    _refuse_repeated_frames(movie)
    return movie


def _extxyz_frame(stream: IO[str], box: np.ndarray, positions: np.ndarray, velocities: np.ndarray,
                  species: str, mass: float) -> None:
    lx, ly, lz = (repr(float(edge)) for edge in box)
    stream.write(f"{len(positions)}\n")
    stream.write(f'Lattice="{lx} 0 0 0 {ly} 0 0 0 {lz}" '
                 f'Properties=species:S:1:pos:R:3:velo:R:3:masses:R:1:momenta:R:3 pbc="T T T"\n')
    if len(positions):
        masses = np.full((len(positions), 1), mass)
        # 17 significant digits read back as the same doubles.
        np.savetxt(stream, np.hstack([positions, velocities, masses, mass * velocities]),
                   fmt=species + " %.17g" * 10)


def _as_frames(positions, velocities, box) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    positions = np.asanyarray(positions, dtype=np.float64)
    velocities = np.asanyarray(velocities, dtype=np.float64)
    if positions.ndim == 2:
        positions, velocities = positions[np.newaxis], velocities[np.newaxis]
    if positions.ndim != 3 or positions.shape[2] != 3 or velocities.shape != positions.shape:
        raise ValueError(f"positions and velocities must have the same shape (frames, particles, 3), "
                         f"not {positions.shape} and {velocities.shape}")
    return positions, velocities, np.broadcast_to(np.asarray(box, dtype=np.float64), (positions.shape[0], 3))


def frames_and_boxes(positions, box, one_frame: bool = False) -> Tuple[np.ndarray, np.ndarray]:
    """The frames as given and the box edges of each frame.

    A memory-mapped movie stays mapped: nothing is copied.

    Parameters
    ----------
    positions : array_like
        Positions, shape (frames, particles, 3).
    box : array_like or float
        The box edges per frame, shape (frames, 3), or once for all frames, shape
        (3,) or a number.
    one_frame : bool, optional
        Also take positions of shape (particles, 3) as a single frame.

    Returns
    -------
    positions : numpy.ndarray
        The positions, shape (frames, particles, 3).
    boxes : numpy.ndarray
        The box edges of each frame, shape (frames, 3).

    Raises
    ------
    ValueError
        The positions have another shape, or a box edge is not positive and finite.
    """
    positions = np.asanyarray(positions)
    if one_frame and positions.ndim == 2:
        positions = positions[np.newaxis]
    if positions.ndim != 3 or positions.shape[2] != 3:
        shapes = "(particles, 3) or (frames, particles, 3)" if one_frame else "(frames, particles, 3)"
        raise ValueError(f"positions must have shape {shapes}, not {positions.shape}")
    boxes = np.broadcast_to(np.asarray(box, dtype=np.float64), (positions.shape[0], 3))
    if not np.all(np.isfinite(boxes) & (boxes > 0)):
        raise ValueError(f"box edges must be positive and finite, not {np.unique(boxes)}")
    return positions, boxes


def _checked_mass(mass: float) -> float:
    if not (np.isfinite(mass) and mass > 0):
        raise ValueError(f"mass = {mass} must be positive and finite")
    return float(mass)


def write_extxyz(path: PathLike, positions, velocities, box, species: str = "Ar", mass: float = 1.0) -> None:
    """Writes frames as extended XYZ: species, positions, velocities, masses and momenta.

    ASE takes the ``masses`` and ``momenta`` columns for the atoms' own and keeps
    ``velo``, which OVITO reads, as a plain array: ``atoms.arrays["velo"]`` holds
    the velocities exactly, and ``get_velocities()`` (momenta / masses) does too
    when the mass is a power of two, such as 1; for other masses it can differ in
    the last bit, because for about one velocity in eight no double momentum
    divides back to it exactly.  Every number has 17 significant digits, so it
    reads back as the same double.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write; it is replaced if it exists.
    positions, velocities : array_like
        Shape (frames, particles, 3), or (particles, 3) for a single frame.
    box : array_like or float
        The box edges per frame, shape (frames, 3), or one box for all frames,
        shape (3,) or a number.
    species : str, optional
        The chemical symbol written for every particle.
    mass : float, optional
        The particles' mass, which a movie does not carry.

    Raises
    ------
    ValueError
        The positions and velocities differ in shape or are not (frames,
        particles, 3), or the mass is not positive and finite.
    OSError
        The file cannot be written.

    Examples
    --------
    >>> import ase.io
    >>> import numpy as np
    >>> from tovrin import movie
    >>> positions = np.array([[0.5, 1.0, 1.5], [2.0, 2.5, 3.0]])
    >>> velocities = np.array([[0.1, 0.0, 0.0], [-0.1, 0.0, 0.0]])
    >>> movie.write_extxyz("pair.xyz", positions, velocities, box=4.0, mass=2.0)
    >>> atoms = ase.io.read("pair.xyz")
    >>> atoms.get_velocities()[0], atoms.get_masses()
    (array([0.1, 0. , 0. ]), array([2., 2.]))
    """
    positions, velocities, boxes = _as_frames(positions, velocities, box)
    mass = _checked_mass(mass)
    with open(path, "w") as stream:
        for frame in range(positions.shape[0]):
            _extxyz_frame(stream, boxes[frame], positions[frame], velocities[frame], species, mass)


def write_gsd(path: PathLike, positions, velocities, box, mass: float = 1.0, every: int = 1,
              species: str = "Ar") -> None:
    """Writes frames as a GSD file in HOOMD's schema.

    HOOMD-blue, OVITO, freud and MDAnalysis read it.  HOOMD's boxes are centred on
    the origin, so positions are shifted by half the box and wrapped into it; the
    schema keeps positions and velocities in single precision.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write; it is replaced if it exists.
    positions, velocities : array_like
        Shape (frames, particles, 3), or (particles, 3) for a single frame.
    box : array_like or float
        The box edges per frame, shape (frames, 3), or one box for all frames,
        shape (3,) or a number.
    mass : float, optional
        The particles' mass, which a movie does not carry.
    every : int, optional
        Steps between frames: frame k is stored as step k × ``every``, as
        ``tovrin-md --movie --every`` records them.
    species : str, optional
        The name of the one particle type.

    Raises
    ------
    ValueError
        The arrays have the wrong shapes, the mass is not positive and finite, or
        ``every`` is less than 1.

    Examples
    --------
    >>> import gsd.hoomd
    >>> import numpy as np
    >>> from tovrin import movie
    >>> positions = np.full((3, 2, 3), 1.0)                 # 3 frames of 2 particles
    >>> movie.write_gsd("pair.gsd", positions, np.zeros((3, 2, 3)), box=4.0, every=100)
    >>> with gsd.hoomd.open("pair.gsd") as trajectory:
    ...     print([int(frame.configuration.step) for frame in trajectory], trajectory[0].particles.position[0])
    [0, 100, 200] [-1. -1. -1.]
    """
    import gsd.hoomd

    positions, velocities, boxes = _as_frames(positions, velocities, box)
    mass = _checked_mass(mass)
    if every < 1:
        raise ValueError(f"every = {every} must be at least 1")
    with gsd.hoomd.open(os.fspath(path), "w") as trajectory:
        for k, (frame_positions, frame_velocities, edges) in enumerate(zip(positions, velocities, boxes)):
            frame = gsd.hoomd.Frame()
            frame.configuration.step = k * every
            frame.configuration.box = [*edges, 0.0, 0.0, 0.0]
            frame.particles.N = len(frame_positions)
            frame.particles.types = [species]
            frame.particles.typeid = np.zeros(len(frame_positions), dtype=np.uint32)
            shifted = frame_positions - 0.5 * edges
            frame.particles.position = shifted - edges * np.round(shifted / edges)
            frame.particles.velocity = frame_velocities
            frame.particles.mass = np.full(len(frame_positions), mass)
            trajectory.append(frame)
