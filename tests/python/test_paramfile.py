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
