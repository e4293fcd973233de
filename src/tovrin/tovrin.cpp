// tovrin.tovrin: the engine as a Python extension module.
//
// The module defines one type, `Tovrin`, whose method `simulate(filename)` runs a
// whole simulation from a parameter file and returns a dictionary with the energy
// after every step and the final and initial particle arrays as NumPy arrays.
//
// Every Python reference the module takes is owned by a `PyRef` (released on every
// exit, error or not) or, for the few objects kept for the life of the process, by a
// `ProcessRef`. Engine exceptions never cross into the interpreter: each engine call
// runs under `guarded`, which turns the exception in flight into a Python exception.
// The construction of the cell and each step run with the interpreter lock released,
// so that other Python threads run meanwhile, and a signal (Ctrl-C) ends the run
// between two steps.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cell.h"
#include "engine_errors.h"
#include "parameters.h"

namespace {

// ---------------------------------------------------------------------------------
// References

// One owned reference to a Python object, or none.
class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        Py_XDECREF(std::exchange(object, other.release()));
        return *this;
    }
    ~PyRef() { Py_XDECREF(object); }

    // Takes over a new reference, as the C API returns them (null on error).
    static PyRef steal(PyObject* owned) { return PyRef(owned); }
    // Takes a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const { return object; }
    PyObject* release() { return std::exchange(object, nullptr); }
    explicit operator bool() const { return object != nullptr; }

private:
    explicit PyRef(PyObject* owned) : object(owned) {}
    PyObject* object = nullptr;
};

// A reference kept for the life of the process. It has no destructor on purpose:
// static destructors run after the interpreter has been finalised, when releasing a
// Python object is no longer allowed.
class ProcessRef {
public:
    PyObject* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }
    void set(PyRef ref) { Py_XDECREF(std::exchange(object, ref.release())); }
    void clear() { set(PyRef()); }

private:
    PyObject* object = nullptr;
};

// Everything the module keeps between calls. It is process-wide: the module allows
// one interpreter and one initialised module object per process.
struct ModuleState {
    std::int64_t interpreter_id = -1;  // interpreter of the first create step; -1: none yet
    ProcessRef module;                 // the initialised module, once execution got that far
    ProcessRef builtins;               // the `builtins` module
    ProcessRef range;                  // builtins.range, for the step loop
    ProcessRef type_error;             // builtins.TypeError, for the pickling refusal
    ProcessRef refusal_args;           // its one-element argument tuple
    ProcessRef zero;                   // int 0
    ProcessRef three;                  // int 3
    // interned names and texts
    ProcessRef os, path, exists, encode, utf_8, np, array, reshape, cannot_open;
};

ModuleState state;

const char* const module_name = "tovrin.tovrin";
const char* const source_file = "tovrin/tovrin.cpp";
const char* const pickling_refused = "no default __reduce__ due to non-trivial __cinit__";

// ---------------------------------------------------------------------------------
// Errors

// Runs engine code; false, with a Python exception set, if it threw.
template <typename EngineCall>
bool guarded(EngineCall&& call) {
    try {
        call();
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

// Runs engine code with the interpreter lock released, so that other Python threads
// run meanwhile; false, with a Python exception set, if it threw. The exception is
// carried out of the unlocked stretch and translated with the lock held again.
template <typename EngineCall>
bool guarded_without_gil(EngineCall&& call) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        call();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    return guarded([&] {
        if (error) std::rethrow_exception(error);
    });
}

// Keeps the pending Python exception aside for the life of the scope and puts it back
// afterwards, replacing whatever was raised meanwhile.
class SavedError {
public:
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
#if PY_VERSION_HEX >= 0x030C0000
    SavedError() : exception(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exception); }

private:
    PyObject* exception;
#else
    SavedError() { PyErr_Fetch(&type, &value, &traceback); }
    ~SavedError() { PyErr_Restore(type, value, traceback); }

private:
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
#endif
};

// Adds a frame named `function` to the traceback of the pending exception, so that a
// Python traceback shows where in the module the error left.
void add_traceback(const char* function, int line, PyObject* globals) {
    PyRef frame;
    {
        const SavedError pending;  // the frame is built with no exception pending
        const PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, function, line)));
        if (code) {
            frame = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
        }
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// ---------------------------------------------------------------------------------
// Python helpers

PyRef call(PyObject* callable, PyObject* argument) {
    return PyRef::steal(PyObject_CallFunctionObjArgs(callable, argument, nullptr));
}

PyRef attribute(PyObject* object, PyObject* name) { return PyRef::steal(PyObject_GetAttr(object, name)); }

// A module global, looked up anew on every use so that the object bound to the name
// at that moment is the one used; built-ins are the fallback, as in Python code.
PyRef module_global(PyObject* name) {
    if (!state.module) {
        PyErr_Format(PyExc_RuntimeError, "module '%s' is not initialised", module_name);
        return {};
    }
    PyObject* const found = PyDict_GetItemWithError(PyModule_GetDict(state.module.get()), name);
    if (found) return PyRef::borrow(found);
    if (PyErr_Occurred()) return {};
    PyRef builtin = attribute(state.builtins.get(), name);
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return builtin;
}

bool append_float(PyObject* list, double value) {
    const PyRef number = PyRef::steal(PyFloat_FromDouble(value));
    return number && PyList_Append(list, number.get()) == 0;
}

PyRef float_list(const std::vector<double>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return {};
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyObject* const number = PyFloat_FromDouble(values[k]);
        if (!number) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), number);  // steals `number`
    }
    return list;
}

// ---------------------------------------------------------------------------------
// simulate

// 1, 0 or -1 (error): whether os.path.exists(filename) is true.
int parameter_file_exists(PyObject* filename) {
    const PyRef os = module_global(state.os.get());
    if (!os) return -1;
    const PyRef path = attribute(os.get(), state.path.get());
    if (!path) return -1;
    const PyRef exists = attribute(path.get(), state.exists.get());
    if (!exists) return -1;
    const PyRef found = call(exists.get(), filename);
    return found ? PyObject_IsTrue(found.get()) : -1;
}

// Raises Exception itself (no subclass: callers match on the exact class).
void raise_cannot_open(PyObject* filename) {
    const PyRef message = PyRef::steal(PyUnicode_Concat(state.cannot_open.get(), filename));
    if (!message) return;
    const PyRef error = call(PyExc_Exception, message.get());
    if (error) PyErr_SetObject(PyExc_Exception, error.get());
}

// The path as the engine reads it: filename.encode("utf-8"), byte for byte.
bool utf8_path(PyObject* filename, std::string& path) {
    const PyRef encoded =
        PyRef::steal(PyObject_CallMethodObjArgs(filename, state.encode.get(), state.utf_8.get(), nullptr));
    if (!encoded) return false;
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) return false;
    return guarded([&] { path.assign(bytes, static_cast<std::size_t>(length)); });
}

// The three energy series, one entry per step.
struct EnergySeries {
    PyRef ekin = PyRef::steal(PyList_New(0));
    PyRef epot = PyRef::steal(PyList_New(0));
    PyRef etot = PyRef::steal(PyList_New(0));

    bool created() const { return ekin && epot && etot; }
    bool record(const Cell& cell) const {
        return append_float(ekin.get(), cell.get_ekin()) && append_float(epot.get(), cell.get_epot()) &&
               append_float(etot.get(), cell.get_etot());
    }
};

// Steps 0 .. nrsteps - 1, recording the energies after each.
bool run_steps(Cell& cell, double stepsize, PyObject* nrsteps, const EnergySeries& energies) {
    const PyRef steps = PyRef::steal(
        PyObject_CallFunctionObjArgs(state.range.get(), state.zero.get(), nrsteps, nullptr));
    if (!steps) return false;
    const PyRef iterator = PyRef::steal(PyObject_GetIter(steps.get()));
    if (!iterator) return false;
    while (const PyRef step = PyRef::steal(PyIter_Next(iterator.get()))) {
        const unsigned long number = PyLong_AsUnsignedLong(step.get());
        if (number == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
        const bool stepped =
            guarded_without_gil([&] { cell.integrate(static_cast<unsigned int>(number), stepsize, false); });
        // Between whole steps a Ctrl-C (or another signal handler's exception) ends the run.
        if (!stepped || !energies.record(cell) || PyErr_CheckSignals() < 0) return false;
    }
    return !PyErr_Occurred();
}

// The final and initial particle state, copied out of the cell as flat vectors.
struct ParticleState {
    std::vector<double> positions;
    std::vector<double> velocities;
    std::vector<double> positions_initial;
    std::vector<double> velocities_initial;
};

// np.array(list of the flat values).reshape(nrparticles, 3), through the module's `np`.
// The vector is released once its values are in the list.
PyRef particle_array(std::vector<double>& flat, PyObject* nrparticles) {
    const PyRef values = float_list(flat);
    std::vector<double>().swap(flat);
    if (!values) return {};
    const PyRef np = module_global(state.np.get());
    if (!np) return {};
    const PyRef array_function = attribute(np.get(), state.array.get());
    if (!array_function) return {};
    const PyRef array = call(array_function.get(), values.get());
    if (!array) return {};
    return PyRef::steal(
        PyObject_CallMethodObjArgs(array.get(), state.reshape.get(), nrparticles, state.three.get(), nullptr));
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    return value && PyDict_SetItemString(dict, key, value) == 0;
}

// The nine-entry result, keys in their documented order.
PyRef build_results(ParticleState& particles, const EnergySeries& energies, PyObject* nrsteps,
                    PyObject* nrparticles) {
    PyRef results = PyRef::steal(PyDict_New());
    if (!results || !set_item(results.get(), "ekin", energies.ekin.get()) ||
        !set_item(results.get(), "epot", energies.epot.get()) ||
        !set_item(results.get(), "etot", energies.etot.get()) || !set_item(results.get(), "nrsteps", nrsteps) ||
        !set_item(results.get(), "nrparticles", nrparticles)) {
        return {};
    }
    const std::pair<const char*, std::vector<double>*> arrays[] = {
        {"positions", &particles.positions},
        {"velocities", &particles.velocities},
        {"positions_initial", &particles.positions_initial},
        {"velocities_initial", &particles.velocities_initial},
    };
    for (const auto& [key, flat] : arrays) {
        const PyRef array = particle_array(*flat, nrparticles);
        if (!set_item(results.get(), key, array.get())) return {};
    }
    return results;
}

// One whole run. Declaration order matters on the way out: the cell is destroyed
// before `parameters` drops the call's share of the table.
PyRef run_simulation(PyObject* filename) {
    const int exists = parameter_file_exists(filename);
    if (exists < 0) return {};
    if (exists == 0) {
        raise_cannot_open(filename);
        return {};
    }
    std::string path;
    if (!utf8_path(filename, path)) return {};

    std::shared_ptr<Parameters> parameters;
    if (!guarded([&] { parameters = std::make_shared<Parameters>(path); })) return {};

    double stepsize = 0.0;
    unsigned int steps = 0;
    unsigned int particles = 0;
    if (!guarded([&] { stepsize = parameters->get_param<double>("stepsize"); })) return {};
    if (!guarded([&] { steps = parameters->get_param<unsigned int>("nrsteps"); })) return {};
    const PyRef nrsteps = PyRef::steal(PyLong_FromUnsignedLong(steps));
    if (!nrsteps) return {};
    if (!guarded([&] { particles = parameters->get_param<unsigned int>("nr_particles"); })) return {};
    const PyRef nrparticles = PyRef::steal(PyLong_FromUnsignedLong(particles));
    if (!nrparticles) return {};

    std::unique_ptr<Cell> cell;
    if (!guarded_without_gil([&] { cell = std::make_unique<Cell>(parameters); })) return {};

    const EnergySeries energies;
    if (!energies.created() || !run_steps(*cell, stepsize, nrsteps.get(), energies)) return {};
    // The particle state is copied out and the cell, with its neighbour list, released
    // before the arrays are built: the Python objects then never coexist with it.
    ParticleState final_state;
    if (!guarded([&] {
            final_state.positions = cell->get_positions();
            final_state.velocities = cell->get_velocities();
            final_state.positions_initial = cell->get_initial_positions();
            final_state.velocities_initial = cell->get_initial_velocities();
        })) {
        return {};
    }
    cell.reset();
    return build_results(final_state, energies, nrsteps.get(), nrparticles.get());
}

PyObject* simulate(PyObject* /*self*/, PyObject* filename) {
    PyRef results = run_simulation(filename);
    if (!results && state.module) {
        add_traceback("tovrin.tovrin.Tovrin.simulate", __LINE__, PyModule_GetDict(state.module.get()));
    }
    return results.release();
}

// ---------------------------------------------------------------------------------
// The Tovrin type

// __reduce__ and __setstate__: an instance can be neither pickled nor copied.
PyObject* refuse_pickling(PyObject* /*self*/, PyObject* /*ignored*/) {
    const PyRef error = PyRef::steal(PyObject_Call(state.type_error.get(), state.refusal_args.get(), nullptr));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

PyMethodDef tovrin_methods[] = {
    {"simulate", simulate, METH_O, nullptr},
    // In the type's own dictionary these take precedence over object's, and
    // object.__reduce_ex__ defers to an overridden __reduce__, so pickle and copy fail.
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickling, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Any arguments are accepted and ignored: an instance has no state to set up.
PyObject* new_tovrin(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    return type->tp_alloc(type, 0);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // the other slots stay empty
PyTypeObject make_tovrin_type() {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "tovrin.tovrin.Tovrin";
    type.tp_basicsize = sizeof(PyObject);  // no instance __dict__, no weak-reference slot
    // Deallocation is object's: it frees the memory, and a Python subclass has run
    // its finaliser in its own deallocation before.
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_methods = tovrin_methods;
    type.tp_new = new_tovrin;
    return type;
}
#pragma GCC diagnostic pop

PyTypeObject tovrin_type = make_tovrin_type();

// ---------------------------------------------------------------------------------
// Module creation

PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// The engine's process-wide state (its random stream) cannot be shared between
// interpreters, so the module stays with the first interpreter that created it.
bool in_first_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(current_interpreter());
    if (current == -1) return false;
    if (state.interpreter_id == -1) state.interpreter_id = current;
    if (current == state.interpreter_id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

// Copies an attribute of the import's ModuleSpec into the module namespace as
// `global`, skipping it when the ModuleSpec lacks it. `None` is copied only when
// `copy_none`.
bool copy_spec_attribute(PyObject* spec, PyObject* namespace_, const char* attribute_name, const char* global,
                         bool copy_none) {
    const PyRef value = PyRef::steal(PyObject_GetAttrString(spec, attribute_name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !copy_none) return true;
    return PyDict_SetItemString(namespace_, global, value.get()) == 0;
}

// Create step. A module that was initialised before is handed out again: the module
// executes once per process.
PyObject* create_module(PyObject* spec, PyModuleDef* /*definition*/) {
    if (!in_first_interpreter()) return nullptr;
    if (state.module) return PyRef::borrow(state.module.get()).release();
    const PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* const namespace_ = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, namespace_, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, namespace_, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, namespace_, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, namespace_, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

// ---------------------------------------------------------------------------------
// Module execution

// Warns when the running interpreter's major version or first minor digit differs
// from the one the module was built for. False if the warning was made an error.
bool check_interpreter_version() {
    char compiled[16];
    PyOS_snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* const version = Py_GetVersion();
    char running[4] = {};
    for (int k = 0; k < 3 && version[k] != '\0'; ++k) running[k] = version[k];
    if (compiled[0] == running[0] && compiled[2] == running[2]) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", compiled,
                  module_name, running);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool set_process_ref(ProcessRef& slot, PyRef value) {
    if (!value) return false;
    slot.set(std::move(value));
    return true;
}

bool intern(ProcessRef& slot, const char* text) {
    return set_process_ref(slot, PyRef::steal(PyUnicode_InternFromString(text)));
}

bool create_constants() {
    return intern(state.os, "os") && intern(state.path, "path") && intern(state.exists, "exists") &&
           intern(state.encode, "encode") && intern(state.utf_8, "utf-8") && intern(state.np, "np") &&
           intern(state.array, "array") && intern(state.reshape, "reshape") &&
           intern(state.cannot_open, "Cannot open file: ") &&
           set_process_ref(state.zero, PyRef::steal(PyLong_FromLong(0))) &&
           set_process_ref(state.three, PyRef::steal(PyLong_FromLong(3)));
}

// Normally the import system has entered the module already; an explicit
// module_from_spec and exec_module has not.
bool register_in_sys_modules(PyObject* module) {
    PyObject* const modules = PyImport_GetModuleDict();
    const PyRef name = PyRef::steal(PyUnicode_FromString(module_name));
    if (!name) return false;
    const int present = PySequence_Contains(modules, name.get());
    if (present < 0) return false;
    return present == 1 || PyObject_SetItem(modules, name.get(), module) == 0;
}

bool cache_builtin(ProcessRef& slot, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(state.builtins.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return set_process_ref(slot, std::move(value));
}

// `import <name>` as module code would run it, bound in the namespace as `global`.
bool bind_import(PyObject* namespace_, const char* name, const char* global) {
    const PyRef module_name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!module_name_object) return false;
    const PyRef imported =
        PyRef::steal(PyImport_ImportModuleLevelObject(module_name_object.get(), namespace_, nullptr, nullptr, 0));
    return imported && PyDict_SetItemString(namespace_, global, imported.get()) == 0;
}

bool initialise_namespace(PyObject* module) {
    PyObject* const namespace_ = PyModule_GetDict(module);
    if (!set_process_ref(state.builtins, PyRef::steal(PyImport_ImportModule("builtins"))) ||
        PyObject_SetAttrString(module, "__builtins__", state.builtins.get()) < 0) {
        return false;
    }
    if (!create_constants() || !register_in_sys_modules(module)) return false;
    if (!cache_builtin(state.range, "range") || !cache_builtin(state.type_error, "TypeError")) return false;
    if (!set_process_ref(state.refusal_args, PyRef::steal(Py_BuildValue("(s)", pickling_refused)))) return false;
    if (PyType_Ready(&tovrin_type) < 0 ||
        PyDict_SetItemString(namespace_, "Tovrin", reinterpret_cast<PyObject*>(&tovrin_type)) < 0) {
        return false;
    }
    if (!bind_import(namespace_, "numpy", "np") || !bind_import(namespace_, "sys", "sys") ||
        !bind_import(namespace_, "os", "os")) {
        return false;
    }
    const PyRef test_table = PyRef::steal(PyDict_New());
    return test_table && PyDict_SetItemString(namespace_, "__test__", test_table.get()) == 0;
}

// Execute step. Runs once per process; a failure after the module was recorded
// forgets it again, so that a later import starts afresh.
int execute_module(PyObject* module) {
    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tovrin' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!check_interpreter_version()) return -1;
    state.module.set(PyRef::borrow(module));
    if (!initialise_namespace(module)) {
        add_traceback("init tovrin.tovrin", __LINE__, PyModule_GetDict(module));
        state.module.clear();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tovrin",      // m_name
    nullptr,       // m_doc
    0,             // m_size: all state is process-wide
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_tovrin() { return PyModuleDef_Init(&module_definition); }
