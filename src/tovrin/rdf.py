"""The radial distribution function g(r) of particles in a periodic box.

The pairs are counted by freud (``freud.density.RDF``) through an AABB tree
(``freud.locality.AABBQuery``) built once per frame from single-precision positions,
the precision freud computes in; the histogram fills as the tree is searched, so no
list of pairs is ever stored.  The cost grows with the number of pairs within r_max:
the default r_max is a few mean particle spacings, so that it grows with N, not N².
Frames are read one at a time, so a memory-mapped movie never has to fit in memory.
"""
from __future__ import annotations

from typing import Optional, Tuple

import numpy as np

from .movie import frames_and_boxes

DEFAULT_SPACINGS = 2.4
"""The default r_max, in mean particle spacings (V / N)^(1/3): 2.54 σ in the liquid at
density 0.8442, past its first two peaks and the minimum between them."""


def centred_system(positions, edges):
    """A freud box of the given edges and the positions moved into it.

    freud's boxes, like HOOMD's, are centred on the origin; tovrin's start at it.

    Parameters
    ----------
    positions : array_like
        Positions in tovrin's box [0, L), shape (particles, 3).
    edges : array_like
        The box edges, shape (3,).

    Returns
    -------
    box : freud.box.Box
        The box, centred on the origin.
    points : numpy.ndarray
        The positions shifted by half the box and wrapped into it, in single
        precision (float32), the precision freud computes in.
    """
    import freud

    edges = np.asarray(edges, dtype=np.float64)
    box = freud.box.Box(*edges)
    return box, box.wrap(np.asarray(positions, dtype=np.float64) - 0.5 * edges)


def _query_reach(r_max: float) -> float:
    """freud refuses to search as far as half the box; its single-precision search
    reaches to the float32 just below r_max, which loses only pairs within 1e-7 of it."""
    return float(np.nextafter(np.float32(r_max), np.float32(0)))


def pair_counts(positions, boxes, bins: int, r_max: float) -> np.ndarray:
    """Pairs counted by their minimum-image distance, summed over the frames.

    Parameters
    ----------
    positions : array_like
        Positions, shape (frames, particles, 3); frames are read one at a time.
    boxes : array_like
        The box edges of each frame, shape (frames, 3).
    bins : int
        Equal bins from 0 to ``r_max``.
    r_max : float
        The largest distance counted, less than half the shortest box edge.

    Returns
    -------
    numpy.ndarray
        The number of pairs i < j in each bin, as 64-bit integers.

    Raises
    ------
    ValueError
        A position is not finite.
    """
    import freud

    histogram = freud.density.RDF(bins, _query_reach(r_max))
    # freud's own running total is 32-bit: long movies of large boxes overflow it.
    counts = np.zeros(bins, dtype=np.int64)
    for frame, edges in zip(positions, boxes):
        finite = np.isfinite(frame)
        if not finite.all():
            raise ValueError(f"positions must be finite, not {frame[~finite][0]}")
        box, points = centred_system(frame, edges)
        counts += histogram.compute(freud.locality.AABBQuery(box, points)).bin_counts
    # freud counts each pair from both of its particles.
    return counts // 2


def default_r_max(nr_particles: int, boxes) -> float:
    """The distance up to which `rdf` counts pairs unless told otherwise.

    Parameters
    ----------
    nr_particles : int
        Particles in each frame.
    boxes : array_like
        The box edges of each frame, shape (frames, 3).

    Returns
    -------
    float
        `DEFAULT_SPACINGS` mean particle spacings (V / N)^(1/3) of the largest box,
        at most half the shortest box edge.

    Examples
    --------
    >>> from tovrin import rdf
    >>> edge = (32000 / 0.8442) ** (1 / 3)          # the liquid of 32,000 particles
    >>> round(rdf.default_r_max(32000, [[edge, edge, edge]]), 3)
    2.539
    """
    boxes = np.asarray(boxes, dtype=np.float64)
    spacing = (float(np.prod(boxes, axis=1).max()) / nr_particles) ** (1.0 / 3.0)
    return min(DEFAULT_SPACINGS * spacing, 0.5 * float(boxes.min()))


def rdf(positions, box, bins: int = 200, r_max: Optional[float] = None) -> Tuple[np.ndarray, np.ndarray]:
    """g(r) averaged over frames, from minimum-image distances in a periodic box.

    Each frame's pair count in a shell is divided by N (N - 1) / 2 times the shell's
    share of the box volume, so uncorrelated (ideal-gas) positions give g = 1.

    Parameters
    ----------
    positions : array_like
        Shape (particles, 3), or (frames, particles, 3) to average over frames (a
        memory-mapped movie is read one frame at a time).
    box : array_like or float
        The box edges per frame, shape (frames, 3), or once for all frames, shape
        (3,) or a number.
    bins : int, optional
        Equal bins from 0 to ``r_max``.
    r_max : float, optional
        The largest distance counted, at most half the shortest box edge, where
        every sphere still lies inside the minimum-image cell.  By default
        `default_r_max`: `DEFAULT_SPACINGS` mean particle spacings (V / N)^(1/3),
        or half the shortest edge when that is less.  The time grows with N r_max³.

    Returns
    -------
    r : numpy.ndarray
        The bin centres.
    g : numpy.ndarray
        g at them.

    Raises
    ------
    ValueError
        No frame, fewer than two particles, an ``r_max`` outside (0, L / 2], fewer
        than one bin, a box edge that is not positive and finite or a position that
        is not finite.

    Examples
    --------
    Uncorrelated positions give g close to 1 at every distance:

    >>> import numpy as np
    >>> from tovrin import rdf
    >>> positions = np.random.default_rng(1).uniform(0.0, 10.0, size=(20, 1000, 3))
    >>> r, g = rdf.rdf(positions, box=10.0, bins=10, r_max=4.0)
    >>> bool(np.all(np.abs(g[2:] - 1.0) < 0.05))
    True
    """
    positions, boxes = frames_and_boxes(positions, box, one_frame=True)
    if positions.shape[0] == 0:
        raise ValueError("g(r) needs at least one frame")
    if positions.shape[1] < 2:
        raise ValueError(f"g(r) needs at least two particles, not {positions.shape[1]}")
    half_box = 0.5 * float(boxes.min())
    r_max = default_r_max(positions.shape[1], boxes) if r_max is None else float(r_max)
    if not 0 < r_max <= half_box:
        raise ValueError(f"r_max = {r_max} must lie in (0, {half_box}], half the shortest box edge")
    if bins < 1:
        raise ValueError(f"bins = {bins} must be at least 1")
    edges = np.linspace(0.0, r_max, bins + 1)
    shells = 4.0 / 3.0 * np.pi * np.diff(edges**3)
    n = positions.shape[1]
    expected = 0.5 * n * (n - 1) * shells * np.sum(1.0 / np.prod(boxes, axis=1))
    return 0.5 * (edges[1:] + edges[:-1]), pair_counts(positions, boxes, bins, r_max) / expected
