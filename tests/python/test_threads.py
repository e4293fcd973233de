"""Runs repeat across processes and OpenMP thread counts."""
import numpy as np

from conftest import LIQUID

ARRAYS = ("positions", "velocities", "positions_initial", "velocities_initial")


def assert_identical(first, second):
    assert list(first) == list(second)
    for key, value in first.items():
        if key in ARRAYS:
            assert np.array_equal(value, second[key]), key
        else:
            assert value == second[key], key


def test_same_file_at_one_and_two_threads(write_parameters, fresh_runs):
    # The forces and the neighbour list do not depend on the thread count, and each
    # thread sums the energies of one contiguous block of particles. So a run repeats
    # bit for bit at a fixed thread count, while one and two threads may round the
    # energy sums differently in the last bits. The kinetic energy feeds the
    # thermostat, so such a difference can then grow, slowly, over the steps.
    path = write_parameters(LIQUID, nrsteps="40")
    one = fresh_runs(path, threads=1)[0]
    assert_identical(one, fresh_runs(path, threads=1)[0])
    two = fresh_runs(path, threads=2)[0]
    assert_identical(two, fresh_runs(path, threads=2)[0])

    assert np.array_equal(one["positions_initial"], two["positions_initial"])
    assert np.array_equal(one["velocities_initial"], two["velocities_initial"])
    for key in ("ekin", "epot", "etot"):
        assert abs(one[key][0] - two[key][0]) <= 1e-12 * abs(one[key][0]), key
        np.testing.assert_allclose(one[key], two[key], rtol=1e-9, err_msg=key)
    for key in ("positions", "velocities"):
        np.testing.assert_allclose(one[key], two[key], rtol=0, atol=1e-9, err_msg=key)
