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

# The default r_max, in mean particle spacings (V / N)^(1/3): 2.54 σ in the liquid at
# density 0.8442, past its first two peaks and the minimum between them.
DEFAULT_SPACINGS = 2.4


def centred_system(positions, edges):
    """A freud box of the given edges and the positions moved into it (freud's boxes,
    like HOOMD's, are centred on the origin, tovrin's start at it), in single precision."""
    import freud

    edges = np.asarray(edges, dtype=np.float64)
    box = freud.box.Box(*edges)
    return box, box.wrap(np.asarray(positions, dtype=np.float64) - 0.5 * edges)


def _query_reach(r_max: float) -> float:
    """freud refuses to search as far as half the box; its single-precision search
    reaches to the float32 just below r_max, which loses only pairs within 1e-7 of it."""
    return float(np.nextafter(np.float32(r_max), np.float32(0)))


def pair_counts(positions, boxes, bins: int, r_max: float) -> np.ndarray:
    """Numbers of pairs i < j whose minimum-image distance falls in each of ``bins``
    equal bins from 0 to ``r_max``, summed over the frames."""
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
    """DEFAULT_SPACINGS mean particle spacings of the largest box, at most half the
    shortest box edge."""
    boxes = np.asarray(boxes, dtype=np.float64)
    spacing = (float(np.prod(boxes, axis=1).max()) / nr_particles) ** (1.0 / 3.0)
    return min(DEFAULT_SPACINGS * spacing, 0.5 * float(boxes.min()))


def rdf(positions, box, bins: int = 200, r_max: Optional[float] = None) -> Tuple[np.ndarray, np.ndarray]:
    """g(r) averaged over frames, from minimum-image distances in a periodic box.

    ``positions`` has shape (particles, 3) or (frames, particles, 3); ``box`` gives
    the box edges, per frame as (frames, 3) or once as (3,) or a number.  Distances
    are counted up to ``r_max``, at most half the shortest box edge, where every
    sphere still lies inside the minimum-image cell; by default DEFAULT_SPACINGS mean
    particle spacings (V / N)^(1/3), or half the shortest edge when that is less.
    Each frame's pair count in a shell is divided by N (N - 1) / 2 times the shell's
    share of the box volume, so uncorrelated (ideal-gas) positions give g = 1.

    Returns the bin centres and g at them.
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
