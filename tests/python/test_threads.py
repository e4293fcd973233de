"""Runs repeat across processes and OpenMP thread counts."""
import pickle

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


def test_pool_workers_forked_or_spawned_repeat_the_serial_runs(write_parameters, fresh_python, tmp_path):
    # A parameter sweep with multiprocessing.Pool: the parent has run on two threads
    # before the fork (GNU's OpenMP runtime then left the child waiting for ever on
    # a thread pool the fork had not copied). One task per worker: a forked worker
    # continues the parent's random stream, so its run is the parent's next one; a
    # spawned worker starts a fresh stream, so its run is the parent's first.
    path = write_parameters(LIQUID, nrsteps="10")
    (tmp_path / "pool_work.py").write_text("from tovrin.tovrin import Tovrin\n\n"
                                           "def run(path):\n    return Tovrin().simulate(path)\n")
    out = tmp_path / "pool.pickle"
    fresh_python(
        """
        import multiprocessing, pickle, sys
        import pool_work
        path, out = sys.argv[1], sys.argv[2]
        first = pool_work.run(path)
        workers = {}
        for method in ("fork", "spawn"):
            with multiprocessing.get_context(method).Pool(2, maxtasksperchild=1) as pool:
                workers[method] = pool.map_async(pool_work.run, [path] * 3).get(timeout=90)
        with open(out, "wb") as f:
            pickle.dump((first, pool_work.run(path), workers), f)
        """,
        threads=2, args=(path, out),
    )
    with open(out, "rb") as f:
        first, second, workers = pickle.load(f)
    assert not np.array_equal(first["velocities_initial"], second["velocities_initial"])
    for result in workers["fork"]:
        assert_identical(result, second)
    for result in workers["spawn"]:
        assert_identical(result, first)


def test_idle_threads_give_the_processor_up_on_a_crowded_machine(write_parameters, fresh_python):
    # OpenMP runtimes let idle threads spin, libomp for 200 ms: while other programs
    # keep every processor busy, a spinning thread takes the processor its partner is
    # waiting for. The engine's threads then sleep at once.
    path = write_parameters(LIQUID, nrsteps="5")
    spent = fresh_python(
        """
        import os, subprocess, sys, time
        for name in ("KMP_BLOCKTIME", "OMP_WAIT_POLICY"):
            os.environ.pop(name, None)
        from tovrin.tovrin import Tovrin
        busy = [subprocess.Popen([sys.executable, "-c", "print(flush=True)\\nwhile True: pass"],
                                 stdout=subprocess.PIPE) for _ in range(os.cpu_count())]
        try:
            for process in busy:  # each is past its start-up and spinning
                process.stdout.readline()
            Tovrin().simulate(sys.argv[1])
            start = time.process_time()
            time.sleep(0.3)
            print(time.process_time() - start)
        finally:
            for process in busy:
                process.kill()
        """,
        threads=2, args=(path,),
    )
    assert float(spent) < 0.03
