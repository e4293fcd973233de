"""tovrin: an exact Lennard-Jones molecular-dynamics engine.

The engine is reached through the extension module ``tovrin.tovrin``::

    from tovrin.tovrin import Tovrin

    results = Tovrin().simulate("run.txt")

The package itself imports only its version, so the engine loads only when asked for.
"""
from ._version import __version__  # noqa: F401
