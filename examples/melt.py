"""A face-centred cubic crystal melts: a run that starts from a GSD frame.

    python examples/melt.py [CRYSTAL.gsd]

Writes the crystal of melt.par beside this script (500 particles, 5 x 5 x 5 cells)
as one GSD frame, without velocities, into CRYSTAL.gsd (default crystal.gsd), then
runs melt.par from that frame with Bussi's thermostat at kT = 1.5, the velocities
drawn for kT, and prints every 0.25 time units the temperature, the potential energy
per particle and the crystal's order |<exp(i G.r)>|, with G = (2 pi / a) (1, 1, 1) a
vector of the crystal's reciprocal lattice: near 1 in the crystal, near 0 once it has
melted. About a second on two cores. The same run from the shell:

    tovrin run examples/melt.par --start crystal.gsd --thermostat bussi
"""
import pathlib
import sys

import gsd.hoomd
import numpy as np

from tovrin import Simulation, paramfile, start

PARAMFILE = pathlib.Path(__file__).with_name("melt.par")
CELLS = 5  # unit cells of four particles along each edge


def crystal(length):
    """The face-centred cubic sites of CELLS**3 cells in a box of edge `length`,
    centred on the origin as GSD's boxes are."""
    a = length / CELLS
    corners = np.array(np.meshgrid(*[np.arange(CELLS)] * 3, indexing="ij")).reshape(3, -1).T
    basis = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    sites = (corners[:, None, :] + basis[None, :, :]).reshape(-1, 3) + 0.25
    return a * sites - 0.5 * length


def write_crystal(path, length):
    frame = gsd.hoomd.Frame()
    frame.configuration.box = [length, length, length, 0.0, 0.0, 0.0]
    sites = crystal(length)
    frame.particles.N = len(sites)
    frame.particles.types = ["A"]
    frame.particles.position = sites
    with gsd.hoomd.open(path, "w") as trajectory:
        trajectory.append(frame)


def main(path):
    parameters = paramfile.read(PARAMFILE)
    length, n = parameters.real("cell_length"), parameters.whole("nr_particles")
    write_crystal(path, length)

    positions, velocities = start.placed(start.read_frame(path), length, n)  # no velocities: drawn for kT
    sim = Simulation(PARAMFILE, thermostat="bussi", positions=positions, velocities=velocities)
    reciprocal = (2 * np.pi * CELLS / length) * np.ones(3)

    def show(ekin, state):
        order = abs(np.exp(1j * (state.positions @ reciprocal)).mean())
        temperature = 2 * ekin / (3 * (n - 1))
        print(f"{state.step * sim.stepsize:8.2f} {temperature:8.3f} {state.epot / n:11.4f} {order:7.3f}")

    print(f"{'t / τ':>8} {'kT / ε':>8} {'Epot/N / ε':>11} {'order':>7}")
    show(0.5 * parameters.real("mass") * (sim.velocities**2).sum(), sim)  # the first half kick sets ekin
    for state in sim.iterate(sim.nrsteps, every=50):
        show(state.ekin, state)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "crystal.gsd")
