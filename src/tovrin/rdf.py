"""The radial distribution function g(r) of particles in a periodic box."""
from __future__ import annotations

from typing import Optional, Tuple

import numpy as np

# Pair separations are formed a block of rows at a time; this bounds the block's
# temporary arrays to a few tens of megabytes whatever the particle count.
_PAIRS_PER_BLOCK = 1 << 20


def _pair_distances(block: np.ndarray, others: np.ndarray, box: np.ndarray) -> np.ndarray:
    """Minimum-image distances between every particle of ``block`` and of ``others``."""
    separation = block[:, np.newaxis, :] - others[np.newaxis, :, :]
    separation -= box * np.round(separation / box)
    return np.sqrt(np.einsum("ijk,ijk->ij", separation, separation))


def _pair_counts(positions: np.ndarray, box: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """Histogram of the distances of all pairs i < j over ``edges``."""
    n = len(positions)
    counts = np.zeros(len(edges) - 1, dtype=np.int64)
    rows = max(1, _PAIRS_PER_BLOCK // max(n, 1))
    for start in range(0, n, rows):
        stop = min(start + rows, n)
        block = positions[start:stop]
        inside = _pair_distances(block, block, box)[np.triu_indices(stop - start, 1)]
        later = _pair_distances(block, positions[stop:], box).ravel()
        for distances in (inside, later):
            counts += np.histogram(distances, bins=edges)[0]
    return counts


def _as_frames(positions, box) -> Tuple[np.ndarray, np.ndarray]:
    positions = np.asanyarray(positions, dtype=np.float64)
    if positions.ndim == 2:
        positions = positions[np.newaxis]
    if positions.ndim != 3 or positions.shape[2] != 3:
        raise ValueError(f"positions must have shape (particles, 3) or (frames, particles, 3), not {positions.shape}")
    boxes = np.broadcast_to(np.asarray(box, dtype=np.float64), (positions.shape[0], 3))
    if not np.all(np.isfinite(boxes) & (boxes > 0)):
        raise ValueError(f"box edges must be positive and finite, not {np.unique(boxes)}")
    return positions, boxes


def rdf(positions, box, bins: int = 200, r_max: Optional[float] = None) -> Tuple[np.ndarray, np.ndarray]:
    """g(r) averaged over frames, from minimum-image distances in a periodic box.

    ``positions`` has shape (particles, 3) or (frames, particles, 3); ``box`` gives
    the box edges, per frame as (frames, 3) or once as (3,) or a number.  Distances
    are counted up to ``r_max``, at most (and by default) half the shortest box edge,
    where every sphere still lies inside the minimum-image cell.  Each frame's pair
    count in a shell is divided by N (N - 1) / 2 times the shell's share of the box
    volume, so uncorrelated (ideal-gas) positions give g = 1.

    Returns the bin centres and g at them.
    """
    positions, boxes = _as_frames(positions, box)
    if positions.shape[0] == 0:
        raise ValueError("g(r) needs at least one frame")
    if positions.shape[1] < 2:
        raise ValueError(f"g(r) needs at least two particles, not {positions.shape[1]}")
    half_box = 0.5 * float(boxes.min())
    r_max = half_box if r_max is None else float(r_max)
    if not 0 < r_max <= half_box:
        raise ValueError(f"r_max = {r_max} must lie in (0, {half_box}], half the shortest box edge")
    if bins < 1:
        raise ValueError(f"bins = {bins} must be at least 1")
    edges = np.linspace(0.0, r_max, bins + 1)
    shells = 4.0 / 3.0 * np.pi * np.diff(edges**3)
    n = positions.shape[1]
    counts = np.zeros(bins)
    expected = np.zeros(bins)
    for frame, frame_box in zip(positions, boxes):
        counts += _pair_counts(np.asarray(frame), frame_box, edges)
        expected += 0.5 * n * (n - 1) * shells / np.prod(frame_box)
    return 0.5 * (edges[1:] + edges[:-1]), counts / expected
