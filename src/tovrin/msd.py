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

SAFE_STEP = 0.25
"""The largest step between frames, as a share of the box edge, that is unwrapped."""
BLOCK_BYTES = 64 * 2**20
"""The size of one block of particles' paths in double precision."""


class UnwrapError(ValueError):
    """Frames too far apart for their wrapped positions to be unwrapped.

    The message names the particle, the axis and the two frames: record the movie
    with frames closer together.
    """


def unwrap(positions, box) -> np.ndarray:
    """Positions made continuous across the periodic boundaries.

    Each step between two frames is taken as its minimum image.

    Parameters
    ----------
    positions : array_like
        Wrapped positions, shape (frames, particles, 3).
    box : array_like or float
        The box edges once, shape (3,) or a number, or per frame, shape (frames, 3).

    Returns
    -------
    numpy.ndarray
        The unwrapped positions, shape (frames, particles, 3), starting from the
        first frame's.

    Raises
    ------
    UnwrapError
        A particle moved more than `SAFE_STEP` of an edge between two frames.

    Examples
    --------
    A particle that crosses the face at x = 10 goes on past it:

    >>> import numpy as np
    >>> from tovrin import msd
    >>> wrapped = np.array([[[9.5, 5.0, 5.0]], [[9.9, 5.0, 5.0]], [[0.3, 5.0, 5.0]]])
    >>> msd.unwrap(wrapped, box=10.0)[:, 0, 0]
    array([ 9.5,  9.9, 10.3])
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
    """The MSD against the lag time, and the line 6 D t + intercept fitted to it.

    Attributes
    ----------
    time : numpy.ndarray
        The lag times 0, dt, 2 dt, ...
    msd : numpy.ndarray
        The MSD at each lag time, averaged over particles and time origins.
    coefficient : float
        The diffusion coefficient D, in the squared length unit per time unit.
    intercept : float
        The fitted line's value at lag time 0.
    fit : tuple of float
        The range of lag times the line was fitted over.
    """

    time: np.ndarray
    msd: np.ndarray
    coefficient: float
    intercept: float
    fit: Tuple[float, float]


def mean_squared_displacement(positions, box, dt: float) -> Tuple[np.ndarray, np.ndarray]:
    """The MSD against the lag time, averaged over particles and time origins.

    The paths are unwrapped and handed to freud a block of `BLOCK_BYTES` at a time.

    Parameters
    ----------
    positions : array_like
        Wrapped positions, shape (frames, particles, 3).
    box : array_like or float
        The box edges once, shape (3,) or a number, or per frame, shape (frames, 3).
    dt : float
        The time between frames.

    Returns
    -------
    time : numpy.ndarray
        The lag times k dt.
    msd : numpy.ndarray
        The MSD at them.

    Raises
    ------
    ValueError
        ``dt`` is not positive and finite, or the arrays have the wrong shape.
    UnwrapError
        A particle moved more than `SAFE_STEP` of an edge between two frames.
    """
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
    """The self-diffusion coefficient D from the Einstein relation MSD(t) -> 6 D t.

    D is the slope / 6 of a least-squares line through the MSD over ``fit``.

    Parameters
    ----------
    positions : array_like
        Wrapped positions, shape (frames, particles, 3), at least 5 frames.
    box : array_like or float
        The box edges once, shape (3,) or a number, or per frame, shape (frames, 3).
    dt : float
        The time between frames (the run's stepsize times the steps between frames).
    fit : tuple of float, optional
        The lag times to fit over.  By default from a quarter to a half of the
        longest: shorter lags still carry the ballistic start and the cage, longer
        ones are averaged over few time origins.

    Returns
    -------
    Diffusion
        The MSD, D and the fitted line.

    Raises
    ------
    ValueError
        Fewer than 5 frames, no particle, a ``dt`` that is not positive, or a fit
        range holding fewer than two lag times.
    UnwrapError
        A particle moved more than `SAFE_STEP` of an edge between two frames.

    Examples
    --------
    Particles on a random walk whose steps have variance 2 D dt per axis give back D:

    >>> import numpy as np
    >>> from tovrin import msd
    >>> steps = np.random.default_rng(7).normal(0.0, np.sqrt(2 * 0.05 * 0.1), size=(400, 500, 3))
    >>> paths = 5.0 + np.cumsum(steps, axis=0)
    >>> d = msd.diffusion(paths % 10.0, box=10.0, dt=0.1)
    >>> round(d.coefficient, 2)
    0.05
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
