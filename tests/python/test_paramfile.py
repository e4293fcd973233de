"""tovrin.paramfile: parameter files read by the engine's rules, and overriding copies."""
import pytest

from conftest import LIQUID
from tovrin import paramfile


def test_lines_count_only_as_whole_assignments_and_the_first_one_wins(tmp_path):
    path = tmp_path / "run.txt"
    path.write_bytes(
        b"# a comment: nr_particles = 5\n"
        b"  nr_particles\t=\t108  \r\n"
        b"nr_particles = 999\n"
        b"kT=0.72\x0b\x0c\n"
        b"mass = 1e-3\n"
        b"sigma = -1.0\n"
        b"epsilon = 1,5\n"
        b"rcut = 2.5 # cut-off\n"
        b"shell-width = 0.3\n"
        b"2nd_key = 007\n"
        b"stepsize = 1."
    )
    parameters = paramfile.read(path)
    assert parameters.text == {"nr_particles": "108", "kT": "0.72", "2nd_key": "007", "stepsize": "1."}
    assert parameters.whole("nr_particles") == 108
    assert parameters.whole("2nd_key") == 7
    assert parameters.real("stepsize") == 1.0
    assert parameters.real("kT") == 0.72


def test_values_convert_as_the_engine_converts_them(tmp_path):
    path = tmp_path / "run.txt"
    path.write_text("a = 1.2.3\nb = 2.5\nc = 4294967296\nd = .\ne = 4294967295\n")
    parameters = paramfile.read(path)
    with pytest.raises(paramfile.ParameterError, match="Could not find parameter: mass"):
        parameters.real("mass")
    with pytest.raises(paramfile.ParameterError, match="a = 1.2.3 is not a number"):
        parameters.real("a")
    with pytest.raises(paramfile.ParameterError, match="d = . is not a number"):
        parameters.real("d")
    with pytest.raises(paramfile.ParameterError, match="b = 2.5 is not a whole number"):
        parameters.whole("b")
    with pytest.raises(paramfile.ParameterError, match="c = 4294967296 is not a whole number"):
        parameters.whole("c")
    assert parameters.whole("e") == 4294967295


def test_an_overriding_copy_changes_what_the_engine_runs(write_parameters, tmp_path, fresh_runs):
    original = write_parameters(LIQUID, nrsteps="3")
    copy = tmp_path / "copy.txt"
    paramfile.write_with(original, copy, nrsteps=0, kT="1.5")

    assert paramfile.read(copy).text == dict(LIQUID, nrsteps="0", kT="1.5")
    result = fresh_runs(str(copy))[0]
    assert result["nrsteps"] == 0 and result["ekin"] == []
    with pytest.raises(paramfile.ParameterError, match="not a valid assignment"):
        paramfile.write_with(original, copy, kT="-1")


# Lines of one file, and what `check` says of each: a fragment of the reason and
# the known key it concerns ("" for none). None marks a line that counts.
CHECKED_LINES = [
    (b"\xef\xbb\xbfnr_particles = 108", "byte-order mark", "nr_particles"),
    (b"# the liquid", "a comment", ""),
    (b"cell_length = 5.04", None, None),
    (b"", None, None),
    (b"kt = 0.72", "no key 'kt': did you mean kT?", "kT"),
    (b"mass = 1e-3", "an exponent: write 1e-3 out in digits, as 0.001", "mass"),
    (b"sigma = -1.0", "a sign", "sigma"),
    (b"epsilon = 1,5", "a decimal comma: write 1.5", "epsilon"),
    (b"rcut = 2.5 # cut-off", "a comment after the value", "rcut"),
    (b"sh ell = 0.3", "may hold only ASCII letters, digits and underscores (did you mean shell?)", "shell"),
    (b"tau = 0.1.1", "tau = 0.1.1 is not a number", "tau"),
    (b"nrsteps = 10", None, None),
    (b"cell_length = 6", "assigned on line 3 already", "cell_length"),
    (b"stepsize 0.005", "no '='", ""),
]


def test_check_says_why_each_skipped_line_is_skipped(tmp_path):
    path = tmp_path / "run.txt"
    path.write_bytes(b"\n".join(line for line, _, _ in CHECKED_LINES))
    report = paramfile.check(path)

    expected = [(number, reason, key) for number, (_, reason, key) in enumerate(CHECKED_LINES, 1) if reason]
    assert [finding.line for finding in report.findings] == [number for number, _, _ in expected]
    for finding, (_, reason, key) in zip(report.findings, expected):
        assert reason in finding.reason and finding.key == key, finding
    assert report.missing == ["nr_particles", "mass", "kT", "sigma", "epsilon", "rcut", "shell", "stepsize"]
    assert report.unconvertible == ["tau"] and not report.runnable
    assert paramfile.diagnose(path, "kT") == (f"{path} does not assign kT: line 5: 'kt = 0.72': "
                                              f"the engine reads no key 'kt': did you mean kT?")
    assert paramfile.diagnose(path, "shell").startswith(f"{path} does not assign shell: line 10: 'sh ell = 0.3'")
    assert paramfile.diagnose(path, "stepsize") == f"no line of {path} assigns stepsize"
    assert paramfile.diagnose(path, "cell_length") == f"{path} assigns cell_length"
    assert paramfile.diagnose(path, "tau").startswith(f"{path} assigns tau a value that does not convert: line 11")
