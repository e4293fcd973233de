"""Runs a Lennard-Jones liquid through tovrin and prints how it evolves.

    python examples/liquid.py [PARAMFILE]

PARAMFILE defaults to liquid.par beside this script: 4000 particles at the
density 0.8442 and kT = 0.72, 2000 steps. The table shows every tenth of the run:
the steps done, the temperature 2 Ekin / (3 (N - 1)) (the centre of mass does not
move, which takes three degrees of freedom) and the three energies per particle.
"""
import os
import pathlib
import sys
import time

from tovrin.tovrin import Tovrin


def temperature(ekin, particles):
    return 2.0 * ekin / (3.0 * (particles - 1)) if particles > 1 else float("nan")


def table_rows(nrsteps):
    """Step indices to show: the first step, every tenth of the run, the last."""
    if nrsteps == 0:
        return []
    stride = max(1, nrsteps // 10)
    return sorted({0, *range(stride - 1, nrsteps, stride), nrsteps - 1})


def main(argv):
    paramfile = argv[1] if len(argv) > 1 else str(pathlib.Path(__file__).with_name("liquid.par"))
    started = time.perf_counter()
    result = Tovrin().simulate(paramfile)
    seconds = time.perf_counter() - started

    n, nrsteps = result["nrparticles"], result["nrsteps"]
    threads = os.environ.get("OMP_NUM_THREADS", "all cores")
    print(f"{paramfile}: {n} particles, {nrsteps} steps, OpenMP threads: {threads}")
    print(f"{'steps':>7} {'T':>10} {'Ekin/N':>12} {'Epot/N':>12} {'Etot/N':>12}")
    per = 1.0 / n if n else float("nan")
    for k in table_rows(nrsteps):
        ekin, epot, etot = result["ekin"][k], result["epot"][k], result["etot"][k]
        print(f"{k + 1:>7} {temperature(ekin, n):>10.6f} {ekin * per:>12.6f} {epot * per:>12.6f} {etot * per:>12.6f}")
    per_step = f" ({1000.0 * seconds / nrsteps:.2f} ms per step)" if nrsteps else ""
    print(f"wall time {seconds:.2f} s{per_step}")


if __name__ == "__main__":
    main(sys.argv)
