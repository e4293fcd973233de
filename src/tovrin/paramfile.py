"""Reading tovrin parameter files from Python, by the engine's own rules.

A line is an assignment only when the whole line matches ``key = value`` with a
key of ASCII letters, digits and underscores and a value of digits and full
stops; every other line is ignored, and the first assignment of a key counts.
Values are kept as text and converted when asked for, as the engine does.

``check`` says which lines the engine skips and why, and ``diagnose`` why a key
has no value: the engine itself skips such lines without a word.
"""
from __future__ import annotations

import dataclasses
import decimal
import difflib
import os
import re
from typing import Dict, Optional, Union

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
# optional: without it the run continues the process's random stream.
NEEDED_KEYS = ("nr_particles", "cell_length", "mass", "kT", "tau", "sigma", "epsilon", "rcut", "shell",
               "stepsize", "nrsteps")
KNOWN_KEYS = NEEDED_KEYS + ("seed",)
_WHOLE_KEYS = {"nr_particles", "nrsteps", "seed"}

_BYTE_ORDER_MARK = "\ufeff"
# A line that looks meant as an assignment: some key, an equals sign, some value.
_LOOSE_ASSIGNMENT = re.compile(r"\s*([^=]*?)\s*=\s*(.*?)\s*")
_KEY = re.compile(r"[A-Za-z0-9_]+")
_NUMBER = r"[0-9.]+"


@dataclasses.dataclass(frozen=True)
class Finding:
    """A line that does not do what it seems to: its number from 1, its text, why,
    and the key it concerns (the known key it was probably meant for), if any."""

    line: int
    text: str
    reason: str
    key: str = ""

    def __str__(self) -> str:
        return f"line {self.line}: {self.text.strip()!r}: {self.reason}"


def _nearest_key(key: str) -> str:
    """The known key that ``key`` was probably meant as, or ''."""
    if key in KNOWN_KEYS:
        return key
    for known in KNOWN_KEYS:
        if known.lower() == key.lower():
            return known
    close = difflib.get_close_matches(key, KNOWN_KEYS, n=1, cutoff=0.7)
    return close[0] if close else ""


def _value_problem(value: str) -> str:
    """Why a value text is not digits and full stops, in words a user can act on."""
    if not value:
        return "no value after '='"
    if re.fullmatch(_NUMBER + r"\s*#.*", value):
        return ("a comment after the value: the engine reads a line whole or not at all, "
                "so move the comment to a line of its own")
    if re.fullmatch(r"[+-]" + _NUMBER, value):
        return "a sign: values are digits and full stops only" + (", and cannot be negative" if value[0] == "-" else "")
    if re.fullmatch(r"[+-]?[0-9.]+[eE][+-]?[0-9]+", value):
        return f"an exponent: write {value} out in digits, as {decimal.Decimal(value):f}"
    if re.fullmatch(r"[0-9]+,[0-9]+", value):
        return f"a decimal comma: write {value.replace(',', '.')}"
    if re.fullmatch(_NUMBER + r"\s+\S.*", value):
        return "text after the value: the engine reads a line whole or not at all"
    return f"the value {value!r} is not digits and full stops"


def _line_finding(number: int, line: str) -> Optional[Finding]:
    """Why the engine skips ``line``, or None when it is an assignment or blank."""
    bom = line.startswith(_BYTE_ORDER_MARK)
    body = line[1:] if bom else line
    if not body.strip():
        return None
    loose = _LOOSE_ASSIGNMENT.fullmatch(body)
    key = loose.group(1) if loose else ""
    if bom:
        reason = "begins with a byte-order mark (U+FEFF): save the file as UTF-8 without one"
        if _ASSIGNMENT.fullmatch(body.encode("utf-8")):
            return Finding(number, body, reason, _nearest_key(key))
        bom_reason = reason + "; and "
    else:
        bom_reason = ""
    if _ASSIGNMENT.fullmatch(body.encode("utf-8")):
        return None
    if body.lstrip().startswith("#"):
        return Finding(number, body, bom_reason + "a comment")
    if not loose:
        return Finding(number, body, bom_reason + "no '=': not an assignment")
    if not _KEY.fullmatch(key):
        nearest = _nearest_key(re.sub(r"[^A-Za-z0-9_]", "_", key))
        hint = f" (did you mean {nearest}?)" if nearest else ""
        return Finding(number, body, bom_reason + f"the key {key!r} may hold only ASCII letters, digits and "
                                                  f"underscores{hint}", nearest)
    return Finding(number, body, bom_reason + f"{key}: " + _value_problem(loose.group(2)), _nearest_key(key))


def _assignment_findings(lines, parameters: ParameterFile) -> list:
    """Assignments that count for nothing: repeated, of an unknown key, or of a value
    that does not convert."""
    findings, first = [], {}
    for number, line in lines:
        match = _ASSIGNMENT.fullmatch(line.encode("utf-8"))
        if not match:
            continue
        key = match.group(1).decode("ascii")
        if key in first:
            findings.append(Finding(number, line, f"{key} is assigned on line {first[key]} already, "
                                                  f"and the first assignment counts", key))
            continue
        first[key] = number
        if key not in KNOWN_KEYS:
            nearest = _nearest_key(key)
            hint = f": did you mean {nearest}?" if nearest else f"; the keys are {', '.join(KNOWN_KEYS)}"
            findings.append(Finding(number, line, f"the engine reads no key {key!r}{hint}", nearest))
        elif (problem := _conversion_problem(parameters, key)):
            findings.append(Finding(number, line, problem, key))
    return findings


def _conversion_problem(parameters: ParameterFile, key: str) -> str:
    try:
        (parameters.whole if key in _WHOLE_KEYS else parameters.real)(key)
    except ParameterError as error:
        return str(error)
    return ""


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
        lines = "; ".join(str(finding) for finding in self.findings if finding.key == key)
        if key in self.unconvertible:
            return f"{self.path} assigns {key} a value that does not convert: {lines}"
        if key in self.assigned:
            return f"{self.path} assigns {key}"
        if not lines:
            return f"no line of {self.path} assigns {key}"
        return f"{self.path} does not assign {key}: {lines}"


def check(path: PathLike) -> Check:
    """Reads the parameter file at ``path`` the engine's way and explains every line it
    would skip or not use: comments, signs, exponents, trailing comments, decimal
    commas, byte-order marks, malformed, unknown or misspelt keys (with the nearest
    known key), repeated keys and values that do not convert.  Blank lines are not
    listed.  OSError when the file cannot be read."""
    with open(path, "rb") as stream:
        text = stream.read().decode("utf-8", errors="replace")
    lines = list(enumerate(text.split("\n"), start=1))
    parameters = ParameterFile(os.fspath(path), _assignments(text.encode("utf-8", errors="replace")))
    findings = [finding for number, line in lines if (finding := _line_finding(number, line))]
    findings += _assignment_findings(lines, parameters)
    findings.sort(key=lambda finding: finding.line)
    return Check(parameters.path, findings, [key for key in NEEDED_KEYS if key not in parameters.text],
                 [key for key in KNOWN_KEYS if key in parameters.text and _conversion_problem(parameters, key)],
                 frozenset(parameters.text))


def diagnose(path: PathLike, key: str) -> str:
    """Why the parameter file at ``path`` does not give ``key`` a value, in one line,
    to stand under the engine's "Could not find parameter" message."""
    return check(path).diagnose(key)
