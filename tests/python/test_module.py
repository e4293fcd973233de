"""The module tovrin.tovrin: its type, its namespace, its initialisation."""
import builtins
import copy
import gc
import os
import pickle
import sys
import tracemalloc
import types
import weakref

import numpy as np
import pytest

import tovrin.tovrin as module
from conftest import TINY
from tovrin.tovrin import Tovrin

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


# --- the type ------------------------------------------------------------------------

class TestType:
    @pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"x": 1}), (("a",), {"b": None})])
    def test_constructor_accepts_and_ignores_any_arguments(self, args, kwargs):
        instance = Tovrin(*args, **kwargs)
        assert type(instance) is Tovrin

    def test_instances_hold_no_state(self):
        instance = Tovrin()
        with pytest.raises(AttributeError):
            instance.anything = 1
        assert not hasattr(instance, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(instance)

    def test_names_and_docstrings(self):
        assert Tovrin.__name__ == "Tovrin"
        assert Tovrin.__module__ == "tovrin.tovrin"
        assert repr(Tovrin) == "<class 'tovrin.tovrin.Tovrin'>"
        assert Tovrin.__doc__ is None
        assert Tovrin.simulate.__doc__ is None
        assert module.__doc__ is None

    def test_methods(self):
        own = {name for name, value in vars(Tovrin).items() if callable(value)}
        assert own == {"simulate", "__reduce__", "__setstate__", "__new__"}
        assert Tovrin.__init__ is object.__init__

    def test_subclass_inherits_simulate(self, write_parameters):
        class Run(Tovrin):
            pass

        run = Run(1, key=2)
        run.label = "own state is the subclass's business"
        result = run.simulate(write_parameters(TINY))
        assert result["nrparticles"] == 8 and len(result["ekin"]) == 2

    @pytest.mark.parametrize("slots", [False, True])
    def test_subclass_finaliser_runs_once(self, slots):
        calls = []

        class Finalised(Tovrin):
            if slots:
                __slots__ = ()

            def __del__(self):
                calls.append(1)

        Finalised()
        gc.collect()
        assert calls == [1]

    def test_instances_are_freed(self):
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(10_000):
                Tovrin()
            growth = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        assert growth < 4096


class TestPicklingRefused:
    def assert_refused(self, call):
        with pytest.raises(TypeError) as caught:
            call()
        assert type(caught.value) is TypeError
        assert caught.value.args == (REFUSAL,)

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle(self, protocol):
        self.assert_refused(lambda: pickle.dumps(Tovrin(), protocol=protocol))

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    def test_copy(self, copier):
        self.assert_refused(lambda: copier(Tovrin()))

    @pytest.mark.parametrize("state", [None, {}, (1, 2), object()])
    def test_setstate_ignores_the_state(self, state):
        self.assert_refused(lambda: Tovrin().__setstate__(state))

    def test_reduce(self):
        self.assert_refused(lambda: Tovrin().__reduce__())
        with pytest.raises(TypeError):
            Tovrin().__reduce__(1)
        with pytest.raises(TypeError):
            Tovrin().__setstate__()

    def test_refusal_sits_in_the_types_own_dictionary(self):
        assert "__reduce__" in Tovrin.__dict__
        assert "__setstate__" in Tovrin.__dict__

    def test_subclass_is_refused_too(self):
        class Run(Tovrin):
            pass

        self.assert_refused(lambda: pickle.dumps(Run()))


# --- the namespace -------------------------------------------------------------------

class TestNamespace:
    def test_exact_globals(self):
        assert set(vars(module)) == {
            "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
            "Tovrin", "np", "sys", "os", "__test__",
        }
        assert module.np is np and module.sys is sys and module.os is os
        assert module.__builtins__ is builtins
        assert module.__test__ == {}
        assert not any(isinstance(value, types.BuiltinFunctionType) for value in vars(module).values())

    def test_import_attributes_come_from_the_spec(self):
        assert module.__name__ == "tovrin.tovrin"
        assert module.__package__ == "tovrin"
        assert module.__file__ == module.__spec__.origin
        assert module.__loader__ is module.__spec__.loader
        assert not hasattr(module, "__path__")

    def test_numpy_and_os_are_looked_up_at_call_time(self, write_parameters, monkeypatch):
        path = write_parameters(TINY)
        arrays = []

        def array(values):
            arrays.append(values)
            return np.array(values)

        monkeypatch.setattr(module, "np", types.SimpleNamespace(array=array))
        result = Tovrin().simulate(path)
        assert len(arrays) == 4 and all(type(values) is list and len(values) == 24 for values in arrays)
        assert arrays[0] == result["positions"].ravel().tolist()

        monkeypatch.delattr(module, "np")
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            Tovrin().simulate(path)

        never = types.SimpleNamespace(path=types.SimpleNamespace(exists=lambda name: False))
        monkeypatch.setattr(module, "os", never)
        with pytest.raises(Exception, match="^Cannot open file: "):
            Tovrin().simulate(path)


# --- initialisation, in fresh processes ----------------------------------------------

class TestInitialisation:
    def test_reimport_after_removal_gives_the_same_module(self, fresh_python):
        fresh_python("""
            import sys, importlib
            import tovrin.tovrin as first
            first.__test__["marker"] = 1
            del sys.modules["tovrin.tovrin"]
            second = importlib.import_module("tovrin.tovrin")
            assert second is first
            assert second.__test__ == {"marker": 1}  # not executed again
        """)

    def test_module_executes_once(self, fresh_python):
        fresh_python("""
            import importlib.util
            import tovrin.tovrin as loaded
            loaded.__test__["marker"] = 1
            spec = importlib.util.find_spec("tovrin.tovrin")
            module = importlib.util.module_from_spec(spec)
            assert module is loaded
            spec.loader.exec_module(module)
            assert module.__test__ == {"marker": 1}
        """)

    def test_second_module_object_is_refused(self, fresh_python):
        fresh_python("""
            import importlib.util, sys
            spec = importlib.util.find_spec("tovrin.tovrin")
            first = importlib.util.module_from_spec(spec)
            second = importlib.util.module_from_spec(spec)
            assert first is not second
            spec.loader.exec_module(first)
            assert sys.modules["tovrin.tovrin"] is first
            try:
                spec.loader.exec_module(second)
            except RuntimeError as error:
                assert str(error) == ("Module 'tovrin' has already been imported. "
                                      "Re-initialisation is not supported."), error
            else:
                raise AssertionError("executed twice")
            assert not hasattr(second, "Tovrin")
            assert importlib.import_module("tovrin.tovrin") is first
        """)

    def test_failed_initialisation_can_be_retried(self, fresh_python):
        fresh_python("""
            import sys, traceback
            sys.modules["numpy"] = None  # makes `import numpy` fail
            try:
                import tovrin.tovrin
            except ImportError as error:
                failure = error
            else:
                raise AssertionError("imported without numpy")
            entries = traceback.extract_tb(failure.__traceback__)
            assert "init tovrin.tovrin" in [entry.name for entry in entries], entries
            assert "tovrin.tovrin" not in sys.modules

            # The type survives in the failed namespace; it must not run without a module.
            tb = failure.__traceback__
            while tb.tb_frame.f_code.co_name != "init tovrin.tovrin":
                tb = tb.tb_next
            Stale = tb.tb_frame.f_globals["Tovrin"]
            try:
                Stale().simulate("run.txt")
            except RuntimeError as error:
                assert "not initialised" in str(error), error
            else:
                raise AssertionError("simulate ran without a module")

            del sys.modules["numpy"]
            import numpy
            import tovrin.tovrin as module
            assert module.np is numpy
            assert module.Tovrin is Stale
            assert tb.tb_frame.f_globals is not vars(module)
        """)

    def test_import_into_a_second_interpreter_is_refused(self, fresh_python):
        pytest.importorskip("_xxsubinterpreters")
        fresh_python("""
            import _xxsubinterpreters as interpreters
            import tovrin.tovrin
            other = interpreters.create()
            try:
                interpreters.run_string(other, "import tovrin.tovrin")
            except interpreters.RunFailedError as error:
                message = str(error)
            else:
                raise AssertionError("imported in a second interpreter")
            assert "ImportError" in message, message
            assert message.endswith("Interpreter change detected - this module can only be "
                                    "loaded into one interpreter per process."), message
            # The first interpreter keeps its module.
            assert tovrin.tovrin.Tovrin() is not None
        """)

    def test_second_interpreter_is_refused_even_before_the_first_import(self, fresh_python):
        pytest.importorskip("_xxsubinterpreters")
        fresh_python("""
            import sys
            import _xxsubinterpreters as interpreters
            other = interpreters.create()
            sys.modules["numpy"] = None  # the first creation succeeds, its execution fails
            try:
                import tovrin.tovrin
            except ImportError:
                pass
            del sys.modules["numpy"]
            try:
                interpreters.run_string(other, "import tovrin.tovrin")
            except interpreters.RunFailedError as error:
                assert "Interpreter change detected" in str(error), error
            else:
                raise AssertionError("imported in a second interpreter")
        """)

    def test_import_gives_no_version_warning(self, fresh_python):
        fresh_python("import tovrin.tovrin", flags=("-W", "error::RuntimeWarning"))

    def test_package_leaves_the_engine_unloaded(self, fresh_python):
        fresh_python("""
            import sys, tovrin
            assert "tovrin.tovrin" not in sys.modules
            assert "numpy" not in sys.modules
        """)
