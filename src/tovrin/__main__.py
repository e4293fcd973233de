"""``python -m tovrin``: the ``tovrin`` command."""
import sys

from .cli import main

sys.exit(main())
