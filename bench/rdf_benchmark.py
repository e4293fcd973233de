"""Time per frame of `tovrin rdf` on a large liquid, and where it goes.

    python bench/rdf_benchmark.py [--particles N] [--r-max R ...] [--movie FILE] [--threads T]

Records a movie of the Lennard-Jones liquid (density 0.8442, rcut 2.5, kT 0.72, 200
steps, a frame every 100) with tovrin-md, unless --movie names one, then for each
R times g(r) of the movie's frames after the lattice start: the whole
tovrin.rdf.rdf call, and apart from it the steps of one frame (reading the frame
and moving it into freud's centred single-precision box, building freud's AABB tree,
filling the histogram).  It reports wall time and the process's processor time
(all threads): on a machine shared with other jobs wall time stretches with their
load, processor time much less.
"""
from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sysconfig
import tempfile
import time

import numpy as np


def processor_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class Stopwatch:
    """Wall and processor seconds since the last reading."""

    def __init__(self):
        self.wall, self.processor = time.perf_counter(), processor_seconds()

    def lap(self):
        wall, processor = time.perf_counter(), processor_seconds()
        lap = (wall - self.wall, processor - self.processor)
        self.wall, self.processor = wall, processor
        return lap


def record_liquid(nr_particles: int, folder: str) -> str:
    paramfile, movie = os.path.join(folder, "liquid.par"), os.path.join(folder, "liquid.movie")
    cell_length = (nr_particles / 0.8442) ** (1.0 / 3.0)
    with open(paramfile, "w") as out:
        out.write(f"nr_particles = {nr_particles}\ncell_length = {cell_length!r}\nkT = 0.72\nmass = 1.0\n"
                  "sigma = 1.0\nepsilon = 1.0\nrcut = 2.5\nshell = 0.3\ntau = 0.1\nstepsize = 0.005\n"
                  "nrsteps = 200\n")
    tovrin_md = os.path.join(sysconfig.get_path("scripts"), "tovrin-md")
    subprocess.run([tovrin_md, paramfile, "--movie", movie, "--every", "100", "--quiet"], check=True)
    return movie


def phases(frame, edges, r_max: float) -> None:
    import freud

    from tovrin import rdf

    watch = Stopwatch()
    box, points = rdf.centred_system(frame, edges)
    steps = [("read and centre", watch.lap())]
    tree = freud.locality.AABBQuery(box, points)
    steps.append(("AABB tree", watch.lap()))
    freud.density.RDF(200, rdf._query_reach(r_max)).compute(tree)
    steps.append(("histogram", watch.lap()))
    for name, (wall, processor) in steps:
        print(f"    {name:16} wall {wall:7.3f} s   processor {processor:7.3f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--particles", type=int, default=256000)
    parser.add_argument("--r-max", type=float, nargs="+", default=[None])
    parser.add_argument("--movie", help="a movie to use instead of recording one")
    parser.add_argument("--threads", type=int, help="freud's threads (default: all cores)")
    args = parser.parse_args()

    import freud

    from tovrin import movie, rdf

    if args.threads:
        freud.parallel.set_num_threads(args.threads)
    with tempfile.TemporaryDirectory() as folder:
        frames = movie.read(args.movie or record_liquid(args.particles, folder))
        positions, boxes = frames.positions[1:], frames.box[1:]
        print(f"{frames.nr_particles} particles, {len(positions)} frames after the lattice, freud {freud.__version__}, "
              f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
        for r_max in args.r_max:
            reach = r_max if r_max is not None else rdf.default_r_max(frames.nr_particles, boxes)
            watch = Stopwatch()
            rdf.rdf(positions, boxes, r_max=r_max)
            wall, processor = watch.lap()
            label = f"r_max {reach:.3f}" + (" (default)" if r_max is None else "")
            print(f"{label}: per frame wall {wall / len(positions):.3f} s, processor {processor / len(positions):.3f} s")
            phases(np.asarray(positions[-1]), np.asarray(boxes[-1]), reach)


if __name__ == "__main__":
    main()
