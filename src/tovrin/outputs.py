"""The files a command writes, checked once before it writes anything.

Every command that writes names its inputs and its outputs to ``check``, which
refuses an output that would overwrite an input or another output, under any
spelling of the path (``./``, ``..``, symbolic and hard links), and an output whose
folder does not exist or cannot be written.
"""
from __future__ import annotations

import os
from typing import Dict, Iterable, Optional, Tuple

from .paramfile import display_name


class OutputError(Exception):
    """An output path that cannot be used; the command line is at fault."""


def _identity(path: str) -> Tuple:
    """What the path names: its file (device and inode) when it exists, else the
    absolute path with every link resolved."""
    try:
        status = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return ("file", status.st_dev, status.st_ino)


def _writable(option: str, path: str) -> None:
    shown = display_name(path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputError(f"{option} {shown}: the folder {display_name(folder)} does not exist")
    if os.path.isdir(path):
        raise OutputError(f"{option} {shown}: a folder of that name exists")
    if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise OutputError(f"{option} {shown}: permission denied")


def check(inputs: Dict[str, Optional[str]], outputs: Dict[str, Optional[str]],
          may_replace: Iterable[Tuple[str, str]] = ()) -> None:
    """Refuses, with OutputError, an output that names an input or another output,
    or that cannot be written.

    ``inputs`` and ``outputs`` map an option's name (as the user wrote it, such as
    "--movie" or "PARAMFILE") to its path, or None when it was not given.
    ``may_replace`` lists (output, input) pairs where the output may replace the
    input, such as a checkpoint saved over the one the run was restarted from.
    """
    allowed = {frozenset(pair) for pair in may_replace}
    given_outputs = [(option, path) for option, path in outputs.items() if path is not None]
    for option, path in given_outputs:
        _writable(option, path)
    seen = [(option, path, _identity(path)) for option, path in inputs.items() if path is not None]
    for option, path in given_outputs:
        identity = _identity(path)
        for other, other_path, other_identity in seen:
            if identity == other_identity and frozenset((option, other)) not in allowed:
                what = "an input" if other in inputs else "another output"
                raise OutputError(f"{option} {display_name(path)} is the file of {other} "
                                  f"{display_name(other_path)}: an output must not overwrite {what}")
        seen.append((option, path, identity))
