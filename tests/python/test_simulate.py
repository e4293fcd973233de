"""Tovrin.simulate: the run, its result dictionary and its errors."""
import os
import pathlib
import sys
import traceback
import tracemalloc

import numpy as np
import pytest

from conftest import LIQUID, TINY
from tovrin.tovrin import Tovrin

KEYS = ["ekin", "epot", "etot", "nrsteps", "nrparticles",
        "positions", "velocities", "positions_initial", "velocities_initial"]
ARRAYS = KEYS[5:]
BAD_CAST = "bad lexical cast: source type value could not be interpreted as target"


def simulate(path):
    return Tovrin().simulate(path)


# --- the parameter file --------------------------------------------------------------

class TestMissingFile:
    @pytest.mark.parametrize("name", ["absent.txt", "no such dir/ünïcödé run.txt", ""])
    def test_raises_exception_itself_with_the_name_as_passed(self, tmp_path, name):
        path = name and str(tmp_path / name)
        with pytest.raises(Exception) as caught:
            simulate(path)
        assert type(caught.value) is Exception
        assert caught.value.args == ("Cannot open file: " + path,)
        assert str(caught.value) == "Cannot open file: " + path

    def test_file_without_assignments_reads_as_empty(self, tmp_path):
        path = tmp_path / "notes.txt"
        path.write_text("stepsize: 0.005\n# nrsteps = 10\nnr_particles = -8\n")
        with pytest.raises(RuntimeError, match="^Could not find parameter: stepsize$"):
            simulate(str(path))


class TestParameterErrors:
    @pytest.mark.parametrize("missing, reported", [
        (("stepsize", "nrsteps", "nr_particles"), "stepsize"),
        (("nrsteps", "nr_particles"), "nrsteps"),
        (("nr_particles",), "nr_particles"),
        (("cell_length",), "cell_length"),
        (("kT",), "kT"),
        (("rcut",), "rcut"),
    ])
    def test_missing_key_is_runtime_error_naming_the_first_one_read(self, write_parameters, missing, reported):
        path = write_parameters(**{key: None for key in missing})
        with pytest.raises(RuntimeError) as caught:
            simulate(path)
        assert type(caught.value) is RuntimeError
        assert str(caught.value) == "Could not find parameter: " + reported

    def test_key_read_only_by_the_step_is_needed_only_when_a_step_runs(self, write_parameters):
        assert simulate(write_parameters(tau=None, nrsteps="0"))["ekin"] == []
        with pytest.raises(RuntimeError, match="^Could not find parameter: tau$"):
            simulate(write_parameters(tau=None, nrsteps="1"))

    @pytest.mark.parametrize("key, value", [
        ("stepsize", "1.2.3"), ("nrsteps", "1.5"), ("nr_particles", "10.0"),
        ("cell_length", "."), ("epsilon", "1..0"),
        ("nr_particles", "3000000000"),  # an unsigned int for the result, but no int for the cell
    ])
    def test_value_that_does_not_convert_is_type_error(self, write_parameters, key, value):
        with pytest.raises(TypeError) as caught:
            simulate(write_parameters(**{key: value}))
        assert str(caught.value) == BAD_CAST

    @pytest.mark.parametrize("changes, named", [
        ({"cell_length": "0"}, "cell_length"),
        ({"cell_length": "2.0"}, "cell_length"),  # shorter than rcut + shell
        ({"mass": "0"}, "mass"),
        ({"tau": "0"}, "tau"),
        ({"stepsize": "0.2", "tau": "0.1"}, "stepsize"),
    ])
    def test_refused_parameter_is_value_error(self, write_parameters, changes, named):
        with pytest.raises(ValueError) as caught:
            simulate(write_parameters(**changes))
        assert type(caught.value) is ValueError
        assert named in str(caught.value)

    def test_errors_leave_through_a_simulate_traceback_entry(self, write_parameters, tmp_path):
        for call in (lambda: simulate(str(tmp_path / "absent")),
                     lambda: simulate(write_parameters(mass="0")),
                     lambda: simulate(None)):
            with pytest.raises(Exception) as caught:
                call()
            names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
            assert "tovrin.tovrin.Tovrin.simulate" in names


# --- arguments -----------------------------------------------------------------------

class TestArguments:
    def test_filename_is_one_positional_argument(self, write_parameters):
        path = write_parameters()
        with pytest.raises(TypeError):
            Tovrin().simulate(filename=path)
        with pytest.raises(TypeError):
            Tovrin().simulate()
        with pytest.raises(TypeError):
            Tovrin().simulate(path, path)

    def test_non_str_filename_is_a_python_error(self, write_parameters, tmp_path):
        path = write_parameters()
        with pytest.raises(TypeError):
            simulate(None)
        with pytest.raises(TypeError):  # a missing path cannot be put into the message
            simulate(str(tmp_path / "absent").encode())
        with pytest.raises(AttributeError):  # an existing one has no encode()
            simulate(path.encode())
        with pytest.raises(AttributeError):
            simulate(pathlib.Path(path))

    def test_name_that_is_not_utf8_encodable_is_unicode_encode_error(self, tmp_path):
        raw = os.path.join(os.fsencode(tmp_path), b"run-\xff.txt")
        with open(raw, "w") as f:
            f.write("stepsize = 0.005\n")
        with pytest.raises(UnicodeEncodeError):
            simulate(os.fsdecode(raw))

    def test_non_ascii_name_reaches_the_file(self, write_parameters):
        result = simulate(write_parameters(TINY, name="läuf ①.txt"))
        assert result["nrparticles"] == 8


# --- the result ----------------------------------------------------------------------

class TestResult:
    def test_keys_in_order_with_their_types(self, write_parameters):
        result = simulate(write_parameters(nrsteps="3"))
        assert list(result) == KEYS
        for key in ("ekin", "epot", "etot"):
            assert type(result[key]) is list and len(result[key]) == 3
            assert all(type(value) is float for value in result[key])
        assert type(result["nrsteps"]) is int and result["nrsteps"] == 3
        assert type(result["nrparticles"]) is int and result["nrparticles"] == 108
        for key in ARRAYS:
            assert type(result[key]) is np.ndarray
            assert result[key].dtype == np.float64
            assert result[key].shape == (108, 3)

    def test_zero_steps_shows_the_cell_as_constructed(self, write_parameters):
        result = simulate(write_parameters(nrsteps="0"))
        assert result["ekin"] == result["epot"] == result["etot"] == []
        assert result["nrsteps"] == 0
        assert np.array_equal(result["positions"], result["positions_initial"])
        # The initial velocities are the drawn ones; the current ones lost their drift.
        drift = result["velocities_initial"].mean(axis=0)
        assert np.abs(drift).max() > 1e-6
        np.testing.assert_allclose(result["velocities"], result["velocities_initial"] - drift, rtol=0, atol=1e-14)
        np.testing.assert_allclose(result["velocities"].sum(axis=0), 0.0, rtol=0, atol=1e-12)

    def test_rows_are_particles_in_lattice_order(self, write_parameters):
        positions = simulate(write_parameters(nrsteps="0"))["positions_initial"]
        length = float(LIQUID["cell_length"])
        assert ((positions > 0) & (positions < length)).all()
        assert len({tuple(row) for row in positions}) == 108
        # z varies fastest along the lattice, then y, then x.
        first_step = positions[1] - positions[0]
        assert first_step[0] == 0 and first_step[1] == 0 and first_step[2] > 0
        assert (np.diff(positions[:, 0]) >= 0).all()

    def test_one_entry_per_step_and_total_is_kinetic_plus_potential(self, write_parameters):
        result = simulate(write_parameters(nrsteps="6"))
        assert len(result["ekin"]) == len(result["epot"]) == len(result["etot"]) == 6
        for ekin, epot, etot in zip(result["ekin"], result["epot"], result["etot"]):
            assert etot == ekin + epot
            assert ekin > 0 and epot < 0
        assert len(set(result["epot"])) == 6  # the particles moved every step

    def test_final_state_is_wrapped_into_the_box_and_moved(self, write_parameters):
        result = simulate(write_parameters(nrsteps="20"))
        length = float(LIQUID["cell_length"])
        assert ((result["positions"] >= 0) & (result["positions"] <= length)).all()
        assert not np.array_equal(result["positions"], result["positions_initial"])
        assert not np.array_equal(result["velocities"], result["velocities_initial"])

    def test_arrays_are_separate_copies(self, write_parameters):
        result = simulate(write_parameters(nrsteps="0"))
        for index, first in enumerate(ARRAYS):
            assert result[first].flags.writeable
            for second in ARRAYS[index + 1:]:
                assert not np.shares_memory(result[first], result[second])

    def test_no_particles(self, write_parameters):
        result = simulate(write_parameters(nr_particles="0", nrsteps="2"))
        assert result["nrparticles"] == 0
        assert result["ekin"] == result["epot"] == result["etot"] == [0.0, 0.0]
        for key in ARRAYS:
            assert result[key].shape == (0, 3) and result[key].dtype == np.float64

    def test_entry_k_is_the_energy_after_step_k(self, write_parameters, fresh_runs):
        short = fresh_runs(write_parameters(nrsteps="3", name="short.txt"), threads=1)[0]
        long = fresh_runs(write_parameters(nrsteps="7", name="long.txt"), threads=1)[0]
        for key in ("ekin", "epot", "etot"):
            assert long[key][:3] == short[key]
        assert np.array_equal(long["velocities_initial"], short["velocities_initial"])


class TestRandomStream:
    def test_successive_calls_continue_the_process_wide_stream(self, write_parameters, fresh_runs):
        path = write_parameters(nrsteps="0")
        first, second = fresh_runs(path, calls=2)
        again = fresh_runs(path, calls=1)[0]
        assert np.array_equal(first["positions_initial"], second["positions_initial"])
        assert not np.array_equal(first["velocities_initial"], second["velocities_initial"])
        # A new process starts the stream afresh.
        assert np.array_equal(again["velocities_initial"], first["velocities_initial"])


# --- resources -----------------------------------------------------------------------

class TestResources:
    def call_kinds(self, write_parameters, tmp_path):
        return {
            "success": write_parameters(TINY, name="ok.txt"),
            "missing file": str(tmp_path / "absent.txt"),
            "missing key": write_parameters(TINY, name="nokey.txt", nr_particles=None),
            "bad value": write_parameters(TINY, name="bad.txt", nrsteps="2.5"),
            "refused value": write_parameters(TINY, name="refused.txt", mass="0"),
            "failing step": write_parameters(TINY, name="step.txt", tau=None),
        }

    def test_no_reference_to_the_filename_is_kept(self, write_parameters, tmp_path):
        for kind, path in self.call_kinds(write_parameters, tmp_path).items():
            name = "".join(path)  # an object of this test's own
            before = sys.getrefcount(name)
            for _ in range(20):
                try:
                    simulate(name)
                except Exception:
                    pass
            assert sys.getrefcount(name) == before, kind

    def test_memory_stays_flat_over_many_calls(self, write_parameters, tmp_path):
        paths = list(self.call_kinds(write_parameters, tmp_path).values())
        paths.append(write_parameters(TINY, name="longer.txt", nrsteps="20"))

        def calls():
            for path in paths:
                try:
                    simulate(path)
                except Exception:
                    pass

        # The interpreter may grow a table of its own once in a while (its interned
        # strings, say); a leak grows the memory in every window.
        calls()
        growths = []
        tracemalloc.start()
        try:
            for _ in range(3):
                before = tracemalloc.get_traced_memory()[0]
                for _ in range(50):
                    calls()
                growths.append(tracemalloc.get_traced_memory()[0] - before)
        finally:
            tracemalloc.stop()
        assert min(growths) < 4096, growths
