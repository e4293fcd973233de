"""tovrin.rdf: g(r) from minimum-image distances, normalised to 1 for an ideal gas."""
import itertools
import math

import numpy as np
import pytest

import tovrin.rdf
from conftest import LIQUID, record_movie
from tovrin import movie
from tovrin.rdf import rdf

@pytest.mark.parametrize("box", [10.0, (8.0, 10.0, 12.0)])
def test_an_ideal_gas_gives_one_within_its_noise(box):
    # Few particles and many frames, so that counting N^2 instead of N (N - 1)
    # pairs would be a 10% error, far outside the noise.
    rng = np.random.default_rng(7)
    edges = np.broadcast_to(np.asarray(box, dtype=float), (3,))
    positions = rng.uniform(0.0, 1.0, size=(3000, 10, 3)) * edges
    r, g = rdf(positions, box, bins=20)

    assert r[-1] < 0.5 * edges.min()
    expected_pairs = 3000 * 45 * 4 / 3 * math.pi * np.diff(np.linspace(0, 0.5 * edges.min(), 21) ** 3) / np.prod(edges)
    noise = 1 / np.sqrt(expected_pairs)
    assert np.all(np.abs(g - 1) < 5 * noise)
    assert abs(np.average(g, weights=expected_pairs) - 1) < 3 / np.sqrt(expected_pairs.sum())


def test_counts_equal_a_pair_by_pair_count():
    rng = np.random.default_rng(3)
    box = np.array([4.0, 5.0, 6.0])
    positions = rng.uniform(0.0, 1.0, size=(37, 3)) * box
    brute = np.zeros(8, dtype=np.int64)
    for a, b in itertools.combinations(positions, 2):
        d = a - b
        for c in range(3):  # at most one box edge of correction, as particles lie in the box
            if d[c] > 0.5 * box[c]:
                d[c] -= box[c]
            elif d[c] < -0.5 * box[c]:
                d[c] += box[c]
        r = math.sqrt(d @ d)
        if r < 2.0:
            brute[int(r / 0.25)] += 1
    # Up to half the shortest edge, as far as g(r) reaches.
    assert np.array_equal(tovrin.rdf.pair_counts([positions], [box], 8, 2.0), brute)


def test_a_large_box_is_searched_a_few_spacings_deep_not_half_across():
    # Half the box would hold half of all pairs: the time would grow as N^2.
    positions = np.random.default_rng(5).uniform(0.0, 20.0, size=(2000, 3))
    r, g = rdf(positions, 20.0, bins=10)
    assert r[-1] + 0.5 * (r[1] - r[0]) == pytest.approx(tovrin.rdf.DEFAULT_SPACINGS * (20.0**3 / 2000) ** (1 / 3))


def test_the_liquid_has_its_first_peak_near_1_1_sigma(write_parameters, tmp_path):
    paramfile = write_parameters(LIQUID, nrsteps="600")
    frames = movie.read(record_movie(paramfile, tmp_path / "liquid.movie", every=50))
    # The lattice start and the first 200 steps are left out.
    r, g = rdf(frames.positions[5:], frames.box[5:], bins=60)

    assert abs(r[np.argmax(g)] - 1.1) < 0.06
    assert g.max() > 2.2
    assert np.all(g[r < 0.85] == 0)  # the repulsive core
    assert abs(np.mean(g[r > 2.0]) - 1) < 0.1


def test_bad_requests_are_refused():
    positions = np.zeros((4, 3))
    with pytest.raises(ValueError, match="half the shortest box edge"):
        rdf(positions, (4.0, 4.0, 3.0), r_max=1.6)
    with pytest.raises(ValueError, match="at least two particles"):
        rdf(positions[:1], 4.0)
    with pytest.raises(ValueError, match="positive and finite"):
        rdf(positions, (4.0, 0.0, 4.0))
    with pytest.raises(ValueError, match="shape"):
        rdf(np.zeros((4, 2)), 4.0)
    with pytest.raises(ValueError, match="must be finite, not nan"):
        rdf(np.full((4, 3), np.nan), 4.0)
    with pytest.raises(ValueError, match="at least one frame"):
        rdf(np.zeros((0, 4, 3)), 4.0)
