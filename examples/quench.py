"""A gas quenched below the liquid-vapour critical point condenses into droplets.

    python examples/quench.py [OUT.png]

Runs quench.par beside this script (4000 particles at density 0.1 and kT = 0.7,
20000 steps; about 10 s on two cores) and plots, into OUT.png (default quench.png):
the potential energy per particle falling as the liquid forms, g(r) of the final
state with the sharp peaks of a liquid, and a slab of the final box showing the
droplets.
"""
import pathlib
import sys

import numpy as np
from matplotlib.figure import Figure

from tovrin import paramfile
from tovrin.rdf import rdf
from tovrin.tovrin import Tovrin

PARAMFILE = pathlib.Path(__file__).with_name("quench.par")


def plot(result, box, out):
    n, nrsteps = result["nrparticles"], result["nrsteps"]
    time = np.arange(1, nrsteps + 1) * paramfile.read(PARAMFILE).real("stepsize")
    figure = Figure(figsize=(12.0, 4.0), layout="constrained")
    energy, pairs, slab = figure.subplots(1, 3)

    energy.plot(time, np.asarray(result["epot"]) / n)
    energy.set_xlabel("t / τ")
    energy.set_ylabel("potential energy per particle / ε")
    energy.set_title("condensation")

    r, g = rdf(result["positions"], box, bins=300)
    pairs.plot(r, g)
    pairs.axhline(1.0, color="grey", linewidth=0.8, linestyle="--")
    pairs.set_xlabel("r / σ")
    pairs.set_ylabel("g(r)")
    pairs.set_title("g(r) at the end")

    x, y, z = result["positions"].T
    near = np.abs(z - 0.5 * box) < 0.25 * box  # the middle half of the box along z
    slab.scatter(x[near], y[near], s=2)
    slab.set_aspect("equal")
    slab.set_xlim(0, box)
    slab.set_ylim(0, box)
    slab.set_xlabel("x / σ")
    slab.set_ylabel("y / σ")
    slab.set_title("final state, middle half in z")
    figure.savefig(out, dpi=110)


def main(argv):
    out = argv[1] if len(argv) > 1 else "quench.png"
    result = Tovrin().simulate(str(PARAMFILE))
    box = paramfile.read(PARAMFILE).real("cell_length")
    epot = np.asarray(result["epot"]) / result["nrparticles"]
    print(f"potential energy per particle: {epot[0]:.3f} after the first step, {epot[-1]:.3f} at the end")
    plot(result, box, out)
    print(f"plotted to {out}")


if __name__ == "__main__":
    main(sys.argv)
