"""Starting configurations from files, for `tovrin run --start`.

    from tovrin import start

    frame = start.read_frame("crystal.gsd")            # the last frame; frame=K for the K-th
    positions, velocities = start.placed(frame, cell_length=8.39, nr_particles=500)
    sim = Simulation("melt.par", positions=positions, velocities=velocities)

Three formats, told apart by their content (and, for XYZ text, the extension):
GSD (HOOMD-blue's schema, the `gsd` package: positions in a box centred on the
origin, `particles.velocity` when the file holds it), extended XYZ (read by ASE: the
`Lattice` box, `velo` or else `momenta` / `masses` as velocities) and tovrin movies
(tovrin-md --movie, read whole frames only). A frame without velocities gives None:
the run then draws them for kT.
"""
from __future__ import annotations

import dataclasses
import os
from typing import Optional, Tuple, Union

import numpy as np

from . import movie

PathLike = Union[str, "os.PathLike[str]"]

_GSD_MAGIC = (0x65DF65DF65DF65DF).to_bytes(8, "little")
# GSD keeps positions and boxes in single precision: a box edge matches cell_length
# when it lies within this relative distance (float32 rounds to 6e-8).
BOX_TOLERANCE = 1e-6


class StartError(ValueError):
    """A file that cannot start a run: its format, frame, box or particle count."""


@dataclasses.dataclass(frozen=True)
class Frame:
    """One frame of a starting file, as stored."""

    path: str
    format: str                     # "gsd", "extxyz" or "movie"
    index: int                      # which frame of the file
    positions: np.ndarray           # (N, 3); GSD's are centred on the origin
    velocities: Optional[np.ndarray]  # (N, 3), or None when the file holds none
    box: np.ndarray                 # the three box edges
    centred: bool                   # whether the box spans [-L/2, L/2) rather than [0, L)


def file_format(path: PathLike) -> str:
    """ "gsd", "extxyz" or "movie", from the file's first bytes, its size and its
    extension; StartError for any other file."""
    path = os.fspath(path)
    with open(path, "rb") as stream:
        head = stream.read(64)
        size = os.fstat(stream.fileno()).st_size
    if head[:8] == _GSD_MAGIC:
        return "gsd"
    extension = os.path.splitext(path)[1].lower()
    if extension in (".xyz", ".extxyz"):
        return "extxyz"
    if extension == ".movie":
        return "movie"
    if extension != ".gsd" and _holds_whole_movie_frames(head, size):
        return "movie"
    first_line = head.split(b"\n", 1)[0].strip()
    if extension != ".gsd" and first_line.isdigit():
        return "extxyz"
    raise StartError(f"{path} is neither a GSD file, an extended-XYZ file nor a tovrin movie")


def _holds_whole_movie_frames(head: bytes, size: int) -> bool:
    if len(head) < 4:
        return False
    count = int.from_bytes(head[:4], "little")
    frame = movie.frame_bytes(count)
    return count > 0 and size > 4 and (size - 4) % frame == 0


def _chosen(path: str, nr_frames: int, frame: Optional[int]) -> int:
    if nr_frames == 0:
        raise StartError(f"{path} holds no frames")
    if frame is None:
        return nr_frames - 1
    if not 0 <= frame < nr_frames:
        frames = "1 frame, 0" if nr_frames == 1 else f"{nr_frames} frames, 0 to {nr_frames - 1}"
        raise StartError(f"frame {frame} is out of range: {path} holds {frames}")
    return frame


def _gsd_frame(path: str, frame: Optional[int]) -> Frame:
    import gsd.hoomd

    with gsd.hoomd.open(path, "r") as trajectory:
        index = _chosen(path, len(trajectory), frame)
        snapshot = trajectory[index]
        box = np.asarray(snapshot.configuration.box, dtype=np.float64)
        if np.any(box[3:] != 0):
            raise StartError(f"{path}: frame {index} has a tilted box (tilt factors {box[3:].tolist()}); "
                             f"tovrin's box is cubic")
        # A frame without its own velocities takes frame 0's, as GSD readers do.
        stored = any(trajectory.file.chunk_exists(frame=k, name="particles/velocity") for k in {index, 0})
        velocities = np.array(snapshot.particles.velocity, dtype=np.float64) if stored else None
        return Frame(path, "gsd", index, np.array(snapshot.particles.position, dtype=np.float64), velocities,
                     box[:3], centred=True)


def _extxyz_frame(path: str, frame: Optional[int]) -> Frame:
    try:
        import ase.io
    except ImportError:
        raise StartError(f"{path}: reading extended XYZ needs ASE (pip install ase)") from None
    try:
        frames = ase.io.read(path, index=":", format="extxyz")
    except Exception as error:
        raise StartError(f"{path} is no extended-XYZ file that ASE reads: {error}") from None
    index = _chosen(path, len(frames), frame)
    atoms = frames[index]
    cell = np.asarray(atoms.cell.array, dtype=np.float64)
    if not np.any(cell):
        raise StartError(f"{path}: frame {index} has no box (no Lattice in its comment line)")
    if np.any(cell[~np.eye(3, dtype=bool)] != 0):
        raise StartError(f"{path}: frame {index} has a box that is not rectangular; tovrin's box is cubic")
    if "velo" in atoms.arrays:
        velocities = np.array(atoms.arrays["velo"], dtype=np.float64)
    elif atoms.has("momenta"):
        velocities = np.array(atoms.get_velocities(), dtype=np.float64)
    else:
        velocities = None
    return Frame(path, "extxyz", index, np.array(atoms.positions, dtype=np.float64), velocities,
                 np.diag(cell).copy(), centred=False)


def _movie_frame(path: str, frame: Optional[int]) -> Frame:
    frames = movie.read(path, strict=True)
    index = _chosen(path, frames.nr_frames, frame)
    return Frame(path, "movie", index, np.array(frames.positions[index]), np.array(frames.velocities[index]),
                 np.array(frames.box[index]), centred=False)


_READERS = {"gsd": _gsd_frame, "extxyz": _extxyz_frame, "movie": _movie_frame}


def read_frame(path: PathLike, frame: Optional[int] = None) -> Frame:
    """Frame `frame` (counted from 0) of the file at `path`, or its last frame."""
    path = os.fspath(path)
    return _READERS[file_format(path)](path, frame)


def placed(frame: Frame, cell_length: float, nr_particles: int) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """The frame's positions in tovrin's box [0, cell_length) and its velocities (or
    None), after checking that it has the run's box, particle count and finite numbers."""
    where = f"{frame.path}, frame {frame.index}"
    if not np.allclose(frame.box, cell_length, rtol=BOX_TOLERANCE, atol=0.0):
        raise StartError(f"{where}: the box {' x '.join(f'{edge:.9g}' for edge in frame.box)} does not match "
                         f"cell_length = {cell_length:.9g}")
    if len(frame.positions) != nr_particles:
        raise StartError(f"{where}: {len(frame.positions)} particles, but nr_particles = {nr_particles}")
    for name, values in (("positions", frame.positions), ("velocities", frame.velocities)):
        if values is not None and not np.isfinite(values).all():
            row = int(np.argmin(np.isfinite(values).all(axis=1)))
            raise StartError(f"{where}: the {name} of particle {row} are not all finite numbers")
    positions = frame.positions + 0.5 * cell_length if frame.centred else frame.positions
    return positions, frame.velocities
