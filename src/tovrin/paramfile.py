"""Reading tovrin parameter files from Python, by the engine's own rules.

A line is an assignment only when the whole line matches ``key = value`` with a
key of ASCII letters, digits and underscores and a value of digits and full
stops; every other line is ignored, and the first assignment of a key counts.
Values are kept as text and converted when asked for, as the engine does.

``check`` says which lines the engine skips and why, and ``diagnose`` why a key
has no value: the engine itself skips such lines without a word.  Both apply the
engine's own diagnosis (engine/parameter_diagnosis.cpp, through tovrin._simulation),
which tovrin-md prints under a missing key or a value that does not convert.
"""
from __future__ import annotations

import dataclasses
import os
import re
from typing import Dict, Union

PathLike = Union[str, "os.PathLike[str]"]

# On bytes, so that \s is the ASCII white space the engine's pattern knows:
# space, tab, line feed, vertical tab, form feed and carriage return.
_ASSIGNMENT = re.compile(rb"\s*([A-Za-z0-9_]+)\s*=\s*([0-9.]+)\s*")


# Counts are unsigned 32-bit numbers in the engine.
_LARGEST_COUNT = 2**32 - 1


class ParameterError(ValueError):
    """A key is missing from a parameter file, or its value has the wrong form."""


@dataclasses.dataclass(frozen=True)
class ParameterFile:
    """The assignments of one parameter file: key to value text."""

    path: str
    text: Dict[str, str]

    def _value(self, key: str) -> str:
        try:
            return self.text[key]
        except KeyError:
            raise ParameterError(f"Could not find parameter: {key}") from None

    def real(self, key: str) -> float:
        """The value of ``key`` as a float (a value such as "1.2.3" is refused)."""
        value = self._value(key)
        if value.count(".") > 1 or value == ".":
            raise ParameterError(f"{key} = {value} is not a number")
        return float(value)

    def whole(self, key: str) -> int:
        """The value of ``key`` as a whole number (a full stop is refused)."""
        value = self._value(key)
        if not value.isdigit() or int(value) > _LARGEST_COUNT:
            raise ParameterError(f"{key} = {value} is not a whole number from 0 to {_LARGEST_COUNT}")
        return int(value)


def _assignments(data: bytes) -> Dict[str, str]:
    table: Dict[str, str] = {}
    for line in data.split(b"\n"):
        match = _ASSIGNMENT.fullmatch(line)
        if match:
            table.setdefault(match.group(1).decode("ascii"), match.group(2).decode("ascii"))
    return table


def read(path: PathLike) -> ParameterFile:
    """Reads the parameter file at ``path``; OSError when it cannot be read."""
    with open(path, "rb") as stream:
        return ParameterFile(os.fspath(path), _assignments(stream.read()))


def write_with(path: PathLike, out_path: PathLike, **assignments: object) -> None:
    """Copies the parameter file at ``path`` to ``out_path`` with ``assignments`` first.

    The first assignment of a key counts, so the given values override the file's
    while every other line stays as it was.
    """
    head = "".join(f"{key} = {value}\n" for key, value in assignments.items())
    if _assignments(head.encode("utf-8")).keys() != assignments.keys():
        raise ParameterError(f"not a valid assignment among {assignments}: values are digits and full stops")
    with open(path, "rb") as source:
        body = source.read()
    with open(out_path, "wb") as target:
        target.write(head.encode("utf-8") + body)


# The keys the engine reads, and which of them a run cannot do without. `seed` is
# optional: without it the run continues the process's random stream. So is
# `sort_every`: without it the engine chooses how often it sorts its storage in space.
NEEDED_KEYS = ("nr_particles", "cell_length", "mass", "kT", "tau", "sigma", "epsilon", "rcut", "shell",
               "stepsize", "nrsteps")
KNOWN_KEYS = NEEDED_KEYS + ("seed", "sort_every")


@dataclasses.dataclass(frozen=True)
class Finding:
    """A line that does not do what it seems to: its number from 1, its text, why,
    and the key it concerns (the known key it was probably meant for), if any."""

    line: int
    text: str
    reason: str
    key: str = ""

    def __str__(self) -> str:
        from ._simulation import describe_finding

        return describe_finding(self.line, self.text, self.reason)


@dataclasses.dataclass(frozen=True)
class Check:
    """What ``check`` found in a parameter file: every line that does not count as it
    seems to, the needed keys that no line assigns and the assigned keys whose values
    do not convert."""

    path: str
    findings: list
    missing: list
    unconvertible: list
    assigned: frozenset

    @property
    def runnable(self) -> bool:
        return not self.missing and not self.unconvertible

    def diagnose(self, key: str) -> str:
        """Why ``key`` has no usable value: the lines meant for it, or that none mentions it."""
        from ._simulation import diagnose_parameters

        findings = [(finding.line, finding.text, finding.reason, finding.key) for finding in self.findings]
        return diagnose_parameters(self.path, findings, self.unconvertible, sorted(self.assigned), key)


def check(path: PathLike) -> Check:
    """Reads the parameter file at ``path`` the engine's way and explains every line it
    would skip or not use: comments, signs, exponents, trailing comments, decimal
    commas, byte-order marks, malformed, unknown or misspelt keys (with the nearest
    known key), repeated keys and values that do not convert.  Blank lines are not
    listed.  OSError when the file cannot be read.  The rules are the engine's own
    (engine/parameter_diagnosis.cpp), which tovrin-md applies too."""
    from ._simulation import check_parameters

    with open(path, "rb") as stream:
        contents = stream.read()
    name = display_name(path)
    findings, missing, unconvertible, assigned = check_parameters(name, contents)
    return Check(name, [Finding(*finding) for finding in findings], missing, unconvertible, frozenset(assigned))


def binary_content(path: PathLike) -> str:
    """What the file at ``path`` is when it is binary rather than text (a tovrin
    checkpoint, or a file with NUL bytes), or "" for a text file.  OSError when it
    cannot be read."""
    with open(path, "rb") as stream:
        contents = stream.read()
    if contents.startswith(b"TOVRINCK"):
        return "a tovrin checkpoint (continue it with tovrin run PARAMFILE --restart CHECKPOINT)"
    nul = contents.find(b"\0")
    return f"a binary file (a NUL byte at offset {nul})" if nul >= 0 else ""


def diagnose(path: PathLike, key: str) -> str:
    """Why the parameter file at ``path`` does not give ``key`` a value, in one line,
    to stand under the engine's "Could not find parameter" message."""
    return check(path).diagnose(key)


def explain_error(path: PathLike, message: str) -> str:
    """The lines to add under the engine's error ``message`` from a run of the file at
    ``path``, each starting with two spaces and ending in a line feed: for "Could not
    find parameter: KEY" the diagnosis of KEY, for a value that does not convert that
    of each such value; "" for other messages or a file that cannot be read."""
    from ._simulation import explain_parameter_error

    return explain_parameter_error(os.fsencode(path), message).decode("utf-8", "backslashreplace")


def display_name(path: PathLike) -> str:
    """``path`` as text that any output takes: bytes of a file name that are not
    UTF-8 shown as \\x escapes."""
    return os.fsdecode(path).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
