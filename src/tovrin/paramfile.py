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
    """A key is missing from a parameter file, or its value has the wrong form.

    The message for a missing key is the engine's: "Could not find parameter: KEY".
    """


@dataclasses.dataclass(frozen=True)
class ParameterFile:
    """The assignments of one parameter file, as `read` returns them.

    Attributes
    ----------
    path : str
        The parameter file.
    text : dict of str to str
        Each key with its value text, from the first assignment of the key.
    """

    path: str
    text: Dict[str, str]

    def _value(self, key: str) -> str:
        try:
            return self.text[key]
        except KeyError:
            raise ParameterError(f"Could not find parameter: {key}") from None

    def real(self, key: str) -> float:
        """The value of ``key`` as a float.

        Parameters
        ----------
        key : str
            The parameter.

        Returns
        -------
        float
            Its value.

        Raises
        ------
        ParameterError
            The file does not assign ``key``, or its value has more than one full
            stop (such as "1.2.3").

        Examples
        --------
        >>> from tovrin import paramfile
        >>> paramfile.read("run.par").real("cell_length")
        8.397980956912535
        """
        value = self._value(key)
        if value.count(".") > 1 or value == ".":
            raise ParameterError(f"{key} = {value} is not a number")
        return float(value)

    def whole(self, key: str) -> int:
        """The value of ``key`` as a whole number.

        Parameters
        ----------
        key : str
            The parameter.

        Returns
        -------
        int
            Its value, from 0 to 2³² - 1, the range of the engine's counts.

        Raises
        ------
        ParameterError
            The file does not assign ``key``, or its value has a full stop or
            exceeds 2³² - 1.
        """
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
    """Reads the parameter file at ``path`` by the engine's rules.

    Parameters
    ----------
    path : str or os.PathLike
        The parameter file.

    Returns
    -------
    ParameterFile
        Its assignments, values kept as text until asked for.

    Raises
    ------
    OSError
        The file cannot be read.
    """
    with open(path, "rb") as stream:
        return ParameterFile(os.fspath(path), _assignments(stream.read()))


def write_with(path: PathLike, out_path: PathLike, **assignments: object) -> None:
    """Copies a parameter file with some values overridden.

    The assignments are written first, and the first assignment of a key counts,
    so the given values override the file's while every other line stays as it was.

    Parameters
    ----------
    path : str or os.PathLike
        The parameter file to copy.
    out_path : str or os.PathLike
        The copy to write.
    **assignments
        The keys to set, with their values (written with ``str``).

    Raises
    ------
    ParameterError
        A key or value that the engine would not read as an assignment (a value
        of other characters than digits and full stops).
    OSError
        A file cannot be read or written.

    Examples
    --------
    >>> from tovrin import paramfile
    >>> paramfile.write_with("run.par", "short.par", nrsteps=10)
    >>> paramfile.read("short.par").whole("nrsteps")
    10
    """
    head = "".join(f"{key} = {value}\n" for key, value in assignments.items())
    if _assignments(head.encode("utf-8")).keys() != assignments.keys():
        raise ParameterError(f"not a valid assignment among {assignments}: values are digits and full stops")
    with open(path, "rb") as source:
        body = source.read()
    with open(out_path, "wb") as target:
        target.write(head.encode("utf-8") + body)


NEEDED_KEYS = ("nr_particles", "cell_length", "mass", "kT", "tau", "sigma", "epsilon", "rcut", "shell",
               "stepsize", "nrsteps")
"""The keys a run cannot do without."""
KNOWN_KEYS = NEEDED_KEYS + ("seed", "sort_every")
"""The keys the engine reads: ``seed`` is optional, and without it the run continues
the process's random stream; so is ``sort_every``, and without it the engine chooses
how often it sorts its storage in space."""


@dataclasses.dataclass(frozen=True)
class Finding:
    """A line of a parameter file that does not do what it seems to.

    ``str(finding)`` gives the engine's one-line description, as ``tovrin check``
    prints it.

    Attributes
    ----------
    line : int
        The line's number, from 1.
    text : str
        The line.
    reason : str
        Why the engine skips it or does not use it.
    key : str
        The known key it concerns (the one it was probably meant for), or "".
    """

    line: int
    text: str
    reason: str
    key: str = ""

    def __str__(self) -> str:
        from ._simulation import describe_finding

        return describe_finding(self.line, self.text, self.reason)


@dataclasses.dataclass(frozen=True)
class Check:
    """What `check` found in a parameter file.

    Attributes
    ----------
    path : str
        The parameter file.
    findings : list of Finding
        Every line that does not count as it seems to.
    missing : list of str
        The needed keys that no line assigns.
    unconvertible : list of str
        The assigned keys whose values do not convert.
    assigned : frozenset of str
        The keys the file assigns.
    """

    path: str
    findings: list
    missing: list
    unconvertible: list
    assigned: frozenset

    @property
    def runnable(self) -> bool:
        """Whether every needed key has a usable value."""
        return not self.missing and not self.unconvertible

    def diagnose(self, key: str) -> str:
        """Why ``key`` has no usable value.

        Parameters
        ----------
        key : str
            The parameter.

        Returns
        -------
        str
            One line: the lines meant for ``key`` and why each does not count, or
            that no line mentions it.
        """
        from ._simulation import diagnose_parameters

        findings = [(finding.line, finding.text, finding.reason, finding.key) for finding in self.findings]
        return diagnose_parameters(self.path, findings, self.unconvertible, sorted(self.assigned), key)


def check(path: PathLike) -> Check:
    """Explains every line of a parameter file that the engine would skip or not use.

    Comments, signs, exponents, trailing comments, decimal commas, byte-order marks,
    malformed, unknown or misspelt keys (with the nearest known key), repeated keys
    and values that do not convert; blank lines are not listed.  The rules are the
    engine's own (``engine/parameter_diagnosis.cpp``), which ``tovrin-md`` applies too.

    Parameters
    ----------
    path : str or os.PathLike
        The parameter file.

    Returns
    -------
    Check
        The findings, the missing keys and the values that do not convert.

    Raises
    ------
    OSError
        The file cannot be read.

    Examples
    --------
    >>> from tovrin import paramfile
    >>> with open("typo.par", "w") as file:
    ...     _ = file.write(open("run.par").read().replace("stepsize", "stepsiz"))
    >>> found = paramfile.check("typo.par")
    >>> found.runnable, found.missing
    (False, ['stepsize'])
    >>> print(found.findings[0])
    line 10: 'stepsiz = 0.005': the engine reads no key 'stepsiz': did you mean stepsize?
    """
    from ._simulation import check_parameters

    with open(path, "rb") as stream:
        contents = stream.read()
    name = display_name(path)
    findings, missing, unconvertible, assigned = check_parameters(name, contents)
    return Check(name, [Finding(*finding) for finding in findings], missing, unconvertible, frozenset(assigned))


CHECKPOINT_MAGIC = b"TOVRINCK"
"""The first bytes of every tovrin checkpoint."""


def is_checkpoint(path: PathLike) -> bool:
    """Whether the file at ``path`` starts as a tovrin checkpoint does; False when it
    cannot be read (its reader then says why)."""
    try:
        with open(path, "rb") as stream:
            return stream.read(len(CHECKPOINT_MAGIC)) == CHECKPOINT_MAGIC
    except OSError:
        return False


def binary_content(path: PathLike) -> str:
    """What the file at ``path`` is when it is binary rather than text (a tovrin
    checkpoint, or a file with NUL bytes), or "" for a text file.  OSError when it
    cannot be read."""
    with open(path, "rb") as stream:
        contents = stream.read()
    if contents.startswith(CHECKPOINT_MAGIC):
        return "a tovrin checkpoint (continue it with tovrin run PARAMFILE --restart CHECKPOINT)"
    nul = contents.find(b"\0")
    return f"a binary file (a NUL byte at offset {nul})" if nul >= 0 else ""


def diagnose(path: PathLike, key: str) -> str:
    """Why a parameter file does not give ``key`` a value.

    Parameters
    ----------
    path : str or os.PathLike
        The parameter file.
    key : str
        The parameter.

    Returns
    -------
    str
        One line, to stand under the engine's "Could not find parameter" message.

    Raises
    ------
    OSError
        The file cannot be read.
    """
    return check(path).diagnose(key)


def explain_error(path: PathLike, message: str) -> str:
    """The lines to add under an engine error from a run of a parameter file.

    Parameters
    ----------
    path : str or os.PathLike
        The parameter file that was run.
    message : str
        The engine's error message.

    Returns
    -------
    str
        Lines that each start with two spaces and end in a line feed: for "Could
        not find parameter: KEY" the diagnosis of KEY, for a value that does not
        convert that of each such value; "" for other messages or a file that
        cannot be read.
    """
    from ._simulation import explain_parameter_error

    return explain_parameter_error(os.fsencode(path), message).decode("utf-8", "backslashreplace")


def display_name(path: PathLike) -> str:
    """``path`` as text that any output takes: bytes of a file name that are not
    UTF-8 shown as \\x escapes."""
    return os.fsdecode(path).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
