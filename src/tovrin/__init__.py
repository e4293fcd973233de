"""tovrin: an exact Lennard-Jones molecular-dynamics engine.

The engine is reached through the extension module ``tovrin.tovrin``::

    from tovrin.tovrin import Tovrin

    results = Tovrin().simulate("run.txt")

or step by step, with checkpoints, through ``tovrin.Simulation``::

    from tovrin import Simulation

    sim = Simulation("run.txt")
    sim.run(1000)

The package itself imports only its version, so the engine loads only when asked for.
"""
from ._version import __version__  # noqa: F401


def __getattr__(name):
    if name == "Simulation":
        from .simulation import Simulation

        return Simulation
    raise AttributeError(f"module 'tovrin' has no attribute {name!r}")
