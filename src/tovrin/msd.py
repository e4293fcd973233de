"""Mean-squared displacement and the self-diffusion coefficient of a movie's particles.

The engine wraps every position back into the box, so a particle's path is first
unwrapped frame by frame: each step between frames is taken as its minimum image.
That is right only while no particle moves more than half a box edge between two
frames, which the frames themselves cannot show; ``unwrap`` therefore refuses
frames in which any particle moved more than a quarter of an edge, a margin no
liquid or dense gas comes near when frames are a few hundred steps apart.

The MSD over all time origins comes from freud (``freud.msd.MSD``, window mode), and
D from the Einstein relation, MSD(t) -> 6 D t, fitted over a range of lag times.
Particles are taken a block at a time, every frame of a block together (each
particle's MSD needs its whole path), so a memory-mapped movie is read block by
block and never has to fit in memory whole.
"""
from __future__ import annotations

import dataclasses
from typing import Optional, Tuple

import numpy as np

from .movie import frames_and_boxes

# The largest step between frames, as a share of the box edge, that is unwrapped.
SAFE_STEP = 0.25
# The size of one block of particles' paths in double precision.
BLOCK_BYTES = 64 * 2**20


class UnwrapError(ValueError):
    """Frames too far apart for their wrapped positions to be unwrapped."""


def unwrap(positions, box) -> np.ndarray:
    """Positions (frames, particles, 3) made continuous across the periodic boundaries.

    ``box`` gives the edges once, (3,) or a number, or per frame, (frames, 3).
    Raises UnwrapError when a particle moved more than SAFE_STEP of an edge between
    two frames, naming it: record the movie with frames closer together.
    """
    positions, boxes = frames_and_boxes(positions, box)
    return _unwrapped(np.asarray(positions, dtype=np.float64), boxes)


def _unwrapped(positions: np.ndarray, boxes: np.ndarray, first_particle: int = 0) -> np.ndarray:
    """unwrap of the particles from ``first_particle`` on, named by their index in the movie."""
    steps = np.diff(positions, axis=0)
    edges = boxes[1:, np.newaxis, :]
    steps -= edges * np.round(steps / edges)
    share = np.abs(steps) / edges
    if share.size and share.max() > SAFE_STEP:
        frame, particle, axis = np.unravel_index(np.argmax(share), share.shape)
        raise UnwrapError(
            f"particle {first_particle + particle} moved {abs(steps[frame, particle, axis]):.4g} along {'xyz'[axis]} between "
            f"frames {frame} and {frame + 1}, more than {SAFE_STEP:g} of the box edge "
            f"{edges[frame, 0, axis]:.6g}: frames this far apart cannot be unwrapped safely, since a particle "
            f"that moves more than half an edge is taken for its periodic image; record frames more often")
    return np.concatenate([positions[:1], positions[:1] + np.cumsum(steps, axis=0)])


@dataclasses.dataclass(frozen=True)
class Diffusion:
    """The MSD against the lag time, and the line 6 D t + intercept fitted to it over
    ``fit`` (a range of lag times)."""

    time: np.ndarray
    msd: np.ndarray
    coefficient: float
    intercept: float
    fit: Tuple[float, float]


def mean_squared_displacement(positions, box, dt: float) -> Tuple[np.ndarray, np.ndarray]:
    """Lag times k dt and the MSD at them, averaged over particles and time origins."""
    import freud

    if not (np.isfinite(dt) and dt > 0):
        raise ValueError(f"the time between frames must be positive, not {dt}")
    positions, boxes = frames_and_boxes(positions, box)
    nr_frames, nr_particles = positions.shape[:2]
    block = max(1, BLOCK_BYTES // (24 * max(nr_frames, 1)))
    total = np.zeros(nr_frames)
    for first in range(0, nr_particles, block):
        paths = _unwrapped(np.asarray(positions[:, first:first + block], dtype=np.float64), boxes, first)
        total += paths.shape[1] * freud.msd.MSD(mode="window").compute(paths).msd
    # The Fourier transform leaves lag 0 a rounding error off zero, either side.
    msd = np.maximum(total / nr_particles, 0.0)
    return dt * np.arange(len(msd)), msd


def diffusion(positions, box, dt: float, fit: Optional[Tuple[float, float]] = None) -> Diffusion:
    """D = slope / 6 of the MSD against time, from a least-squares line over ``fit``.

    By default the fit spans the lag times from a quarter to a half of the longest:
    shorter lags still carry the ballistic start and the cage, longer ones are
    averaged over few time origins.
    """
    positions, boxes = frames_and_boxes(positions, box)
    if positions.shape[0] < 5:
        raise ValueError(f"a diffusion coefficient needs at least 5 frames, not {positions.shape[0]}")
    if positions.shape[1] == 0:
        raise ValueError("a diffusion coefficient needs at least one particle")
    time, msd = mean_squared_displacement(positions, boxes, dt)
    start, stop = fit if fit is not None else (0.25 * time[-1], 0.5 * time[-1])
    used = (time >= start) & (time <= stop)
    if np.count_nonzero(used) < 2:
        raise ValueError(f"the fit range {start:g} to {stop:g} holds fewer than two of the lag times "
                         f"0, {dt:g}, ..., {time[-1]:g}")
    slope, intercept = np.polyfit(time[used], msd[used], 1)
    return Diffusion(time, msd, float(slope / 6.0), float(intercept), (float(start), float(stop)))
