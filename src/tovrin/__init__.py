"""tovrin: an exact Lennard-Jones molecular-dynamics engine.

The engine is reached through the extension module ``tovrin.tovrin``::

    from tovrin.tovrin import Tovrin

    results = Tovrin().simulate("run.txt")

The package itself imports nothing, so the engine loads only when asked for.
"""
