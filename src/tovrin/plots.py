"""Plots of a run's energies, of g(r) and of the MSD, written straight to image files.

Axes carry reduced Lennard-Jones units: lengths in σ, energies and kT in ε, times in
τ = σ √(m / ε).

Figures are made without pyplot, so plotting needs no display and leaves no
global figure state behind in the caller's session.
"""
from __future__ import annotations

import os
from typing import Mapping, Optional, Union

import numpy as np
from matplotlib.figure import Figure

PathLike = Union[str, "os.PathLike[str]"]


def supported_formats() -> Mapping[str, str]:
    """The file formats the plots can be saved as.

    Returns
    -------
    Mapping[str, str]
        Each file extension (without its dot) with a description.
    """
    return Figure().canvas.get_supported_filetypes()


def temperature(ekin, nr_particles: int) -> np.ndarray:
    """The temperature 2 Ekin / (3 (N - 1)) in energy units.

    The centre of mass stays at rest, taking three degrees of freedom.

    Parameters
    ----------
    ekin : array_like
        Kinetic energies.
    nr_particles : int
        The particle count N.

    Returns
    -------
    numpy.ndarray
        kT for each energy; NaN for fewer than two particles.

    Examples
    --------
    >>> from tovrin import plots
    >>> plots.temperature([1078.92], 1000)
    array([0.72])
    """
    ekin = np.asarray(ekin, dtype=np.float64)
    if nr_particles < 2:
        return np.full(ekin.shape, np.nan)
    return 2.0 * ekin / (3.0 * (nr_particles - 1))


def plot_energies(result: Mapping, path: PathLike, title: Optional[str] = None) -> None:
    """Plots the energies per particle and the temperature against the step.

    Parameters
    ----------
    result : Mapping
        A result dictionary of ``Tovrin().simulate`` or
        `tovrin.Simulation.results`: "ekin", "epot", "etot", "nrsteps" and
        "nrparticles" are used.
    path : str or os.PathLike
        The image file; its extension chooses the format (`supported_formats`).
    title : str, optional
        A title above the plots.
    """
    n = int(result["nrparticles"])
    steps = np.arange(1, int(result["nrsteps"]) + 1)
    figure = Figure(figsize=(7.5, 6.0), layout="constrained")
    energies, temperatures = figure.subplots(2, 1, sharex=True)
    for key, label in (("ekin", "kinetic"), ("epot", "potential"), ("etot", "total")):
        energies.plot(steps, np.asarray(result[key], dtype=np.float64) / max(n, 1), label=label)
    energies.set_ylabel("energy per particle / ε")
    energies.legend(loc="best")
    temperatures.plot(steps, temperature(result["ekin"], n), color="tab:red")
    temperatures.set_ylabel("T = 2 Ekin / (3 (N − 1)) / ε")
    temperatures.set_xlabel("step")
    if title:
        figure.suptitle(title)
    figure.savefig(path, dpi=120)


def plot_rdf(r, g, path: PathLike, title: Optional[str] = None) -> None:
    """Plots g(r) against r, with the ideal-gas value 1 for reference.

    Parameters
    ----------
    r, g : array_like
        The distances and g at them, as `tovrin.rdf.rdf` returns them.
    path : str or os.PathLike
        The image file; its extension chooses the format (`supported_formats`).
    title : str, optional
        A title above the plot.
    """
    figure = Figure(figsize=(7.0, 4.5), layout="constrained")
    axes = figure.subplots()
    axes.plot(r, g)
    axes.axhline(1.0, color="grey", linewidth=0.8, linestyle="--")
    axes.set_xlabel("r / σ")
    axes.set_ylabel("g(r)")
    axes.set_xlim(0.0, float(np.max(r)) if len(r) else 1.0)
    if title:
        axes.set_title(title)
    figure.savefig(path, dpi=120)


def plot_msd(diffusion, path: PathLike, title: Optional[str] = None) -> None:
    """Plots the MSD against the lag time, with the line 6 D t fitted to it.

    Parameters
    ----------
    diffusion : tovrin.msd.Diffusion
        What `tovrin.msd.diffusion` returns.
    path : str or os.PathLike
        The image file; its extension chooses the format (`supported_formats`).
    title : str, optional
        A title above the plot.
    """
    figure = Figure(figsize=(7.0, 4.5), layout="constrained")
    axes = figure.subplots()
    axes.plot(diffusion.time, diffusion.msd, label="MSD")
    start, stop = diffusion.fit
    span = np.array([0.0, float(diffusion.time[-1])])
    axes.plot(span, 6.0 * diffusion.coefficient * span + diffusion.intercept, color="grey", linestyle="--",
              linewidth=0.8, label=f"fit over {start:g} to {stop:g} τ: D = {diffusion.coefficient:.4g} σ²/τ")
    axes.set_xlabel("t / τ")
    axes.set_ylabel("MSD / σ²")
    axes.legend(loc="best")
    if title:
        axes.set_title(title)
    figure.savefig(path, dpi=120)
