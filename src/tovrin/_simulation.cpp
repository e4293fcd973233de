// tovrin._simulation: a run that Python advances step by step, built with pybind11.
//
// `Run` holds one engine run (parameters, cell, steps done, energy log). It is built
// from a parameter file exactly as `Tovrin.simulate` builds its cell (the same keys
// read in the same order, the same errors, the same random stream), with the
// thermostat and the start the caller chooses, or read back from a checkpoint. Each step runs with the interpreter lock released, so other Python
// threads, and other runs, proceed meanwhile; between whole steps a pending signal
// (Ctrl-C) ends `run` with its exception, leaving the run at its last whole step.
// Engine exceptions become the Python exceptions of the shared table in
// engine_errors.h. The Python class tovrin.Simulation wraps this one. The module
// also lends tovrin.paramfile the engine's diagnosis of parameter files.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "blow_up_watch.h"
#include "cell.h"
#include "checkpoint.h"
#include "engine_errors.h"
#include "parameter_diagnosis.h"
#include "parameters.h"

namespace py = pybind11;

namespace {

// Runs engine code with the interpreter lock released; its exception, if any, is
// rethrown once the lock is held again.
template <typename EngineCall>
void without_gil(EngineCall&& call) {
    std::exception_ptr error;
    {
        const py::gil_scoped_release released;
        try {
            call();
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
}

// A flat vector as a new (rows, 3) array that owns its data: a copy, so nothing a
// caller does to it reaches the engine.
py::array_t<double> particle_array(std::vector<double>&& flat) {
    auto* const owned = new std::vector<double>(std::move(flat));
    const py::capsule release(owned, [](void* data) { delete static_cast<std::vector<double>*>(data); });
    const auto rows = static_cast<py::ssize_t>(owned->size() / 3);
    return py::array_t<double>({rows, py::ssize_t(3)}, owned->data(), release);
}

py::array_t<double> vector_array(const std::vector<double>& values) {
    return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

// A C-ordered float64 array's elements, copied.
std::vector<double> flat_copy(const py::array_t<double, py::array::c_style>& array) {
    return {array.data(), array.data() + array.size()};
}

class Run {
public:
    // `path`: the parameter file's name as UTF-8 bytes (its existence is checked by the
    // caller). `positions` and `velocities`: (N, 3) float64 arrays, or None for the
    // lattice and drawn velocities (the caller checks their shape and type).
    Run(const std::string& path, const std::string& thermostat,
        const std::optional<py::array_t<double, py::array::c_style>>& positions,
        const std::optional<py::array_t<double, py::array::c_style>>& velocities) {
        const Thermostat chosen = thermostat_named(thermostat);
        std::optional<StartingState> start;
        if (positions) {
            start = StartingState{flat_copy(*positions), std::nullopt};
            if (velocities) start->velocities = flat_copy(*velocities);
        }
        state.parameters = std::make_shared<Parameters>(path);
        stepsize = state.parameters->get_param<double>("stepsize");
        nrsteps = state.parameters->get_param<unsigned int>("nrsteps");
        nr_particles = state.parameters->get_param<unsigned int>("nr_particles");
        without_gil([&] { state.cell = std::make_unique<Cell>(state.parameters, chosen, start); });
    }

    static std::unique_ptr<Run> load(const std::string& path) {
        std::unique_ptr<Run> run(new Run());
        without_gil([&] { run->state = load_checkpoint(path); });
        run->shown_steps = run->state.steps_done;
        run->stepsize = run->state.parameters->get_param<double>("stepsize");
        run->nrsteps = run->state.parameters->get_param<unsigned int>("nrsteps");
        run->nr_particles = run->state.parameters->get_param<unsigned int>("nr_particles");
        return run;
    }

    // Advances `steps` steps. Between steps a pending signal's exception (Ctrl-C's
    // KeyboardInterrupt) ends the call; the run then stands at its last whole step.
    void run(std::uint64_t steps) {
        const Busy busy(*this);
        for (std::uint64_t k = 0; k < steps; ++k) {
            try {
                without_gil([&] { state.step(stepsize); });
            } catch (const std::exception& error) {
                failure = "the run failed in step " + std::to_string(state.steps_done) + ": " + error.what();
                throw;
            }
            shown_steps = state.steps_done;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    void save(const std::string& path) const {
        const Busy busy(*this);
        without_gil([&] { save_checkpoint(state, path); });
    }

    // Appends the current state as a frame to a movie file, or starts the file.
    void write_movie(const std::string& path, bool create) {
        const Busy busy(*this);
        without_gil([&] { state.cell->write_to_movie_file(path, create); });
    }

    std::uint64_t steps_done() const { return shown_steps; }
    double ekin() const { return whole().cell->get_ekin(); }
    double epot() const { return whole().cell->get_epot(); }
    double etot() const { return whole().cell->get_etot(); }
    double pressure() const { return whole().cell->pressure(); }
    py::array_t<double> positions() const { return particle_array(whole().cell->get_positions()); }
    py::array_t<double> velocities() const { return particle_array(whole().cell->get_velocities()); }
    py::array_t<double> positions_initial() const { return particle_array(whole().cell->get_initial_positions()); }
    py::array_t<double> velocities_initial() const {
        return particle_array(whole().cell->get_initial_velocities());
    }
    py::array_t<double> box() const {
        const vec3& dims = whole().cell->get_dims();
        return vector_array({dims.x(), dims.y(), dims.z()});
    }
    // The energies after each step done, as three arrays.
    py::dict energies() const {
        const RunState& run = whole();
        py::dict log;
        log["ekin"] = vector_array(run.ekin);
        log["epot"] = vector_array(run.epot);
        log["etot"] = vector_array(run.etot);
        return log;
    }
    std::string thermostat() const { return thermostat_name(whole().cell->get_thermostat()); }
    std::map<std::string, std::string> parameters() const {
        const auto& entries = state.parameters->entries();
        return {entries.begin(), entries.end()};
    }

    double stepsize = 0.0;
    unsigned int nrsteps = 0;
    unsigned int nr_particles = 0;

private:
    Run() = default;

    // Marks the run as in use by one call: a second thread's call on the same run is
    // refused rather than let it meet a half-done step. Taken and released with the
    // interpreter lock held, which orders it.
    class Busy {
    public:
        explicit Busy(const Run& run_) : run(run_) {
            if (!run.failure.empty()) throw std::runtime_error(run.failure + "; the state is no whole step");
            if (run.busy) throw std::runtime_error("the simulation is running in another thread");
            run.busy = true;
        }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;
        ~Busy() { run.busy = false; }

    private:
        const Run& run;
    };

    const RunState& whole() const {
        if (busy) throw std::runtime_error("the simulation is running in another thread");
        return state;
    }

    RunState state;
    std::uint64_t shown_steps = 0;  // steps done, for other threads to read while a step runs
    mutable bool busy = false;
    std::string failure;  // what ended the last step half-way, if one failed
};

// The diagnosis of parameter files for tovrin.paramfile, as plain tuples and lists:
// findings are (line, text, reason, key).
using FindingTuple = std::tuple<unsigned long, std::string, std::string, std::string>;

py::tuple check_parameters(const std::string& path, const std::string& contents) {
    const diagnosis::Check report = diagnosis::check_text(path, contents);
    std::vector<FindingTuple> findings;
    for (const auto& finding : report.findings) {
        findings.emplace_back(finding.line, finding.text, finding.reason, finding.key);
    }
    return py::make_tuple(findings, report.missing, report.unconvertible,
                          std::vector<std::string>(report.assigned.begin(), report.assigned.end()));
}

std::string describe_finding(unsigned long line, const std::string& text, const std::string& reason) {
    return diagnosis::describe({line, text, reason, ""});
}

std::string diagnose_parameters(const std::string& path, const std::vector<FindingTuple>& findings,
                                const std::vector<std::string>& unconvertible, const std::vector<std::string>& assigned,
                                const std::string& key) {
    diagnosis::Check report{path, {}, {}, unconvertible, {assigned.begin(), assigned.end()}};
    for (const auto& [line, text, reason, concerns] : findings) report.findings.push_back({line, text, reason, concerns});
    return diagnosis::diagnose(report, key);
}

// The blow-up warning of a run of n particles from its energies after each step, or None.
std::optional<std::string> instability(const std::vector<double>& ekin, const std::vector<double>& etot, double kT,
                                       std::uint64_t n) {
    BlowUpWatch watch(kT, n);
    for (std::size_t k = 0; k < ekin.size() && k < etot.size(); ++k) watch.observe(ekin[k], etot[k]);
    return watch.warning();
}

}  // namespace

PYBIND11_MODULE(_simulation, module) {
    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const py::error_already_set&) {
            throw;  // already a Python exception
        } catch (const py::builtin_exception&) {
            throw;  // pybind11's own, which it translates itself
        } catch (...) {
            translate_exception();
        }
    });

    py::class_<Run>(module, "Run")
        .def(py::init<const std::string&, const std::string&,
                      const std::optional<py::array_t<double, py::array::c_style>>&,
                      const std::optional<py::array_t<double, py::array::c_style>>&>(),
             py::arg("path"), py::arg("thermostat"), py::arg("positions"), py::arg("velocities"))
        .def_static("load", &Run::load, py::arg("path"))
        .def("run", &Run::run, py::arg("steps"))
        .def("save", &Run::save, py::arg("path"))
        .def("write_movie", &Run::write_movie, py::arg("path"), py::arg("create"))
        .def_property_readonly("step", &Run::steps_done)
        .def_property_readonly("ekin", &Run::ekin)
        .def_property_readonly("epot", &Run::epot)
        .def_property_readonly("etot", &Run::etot)
        .def_property_readonly("pressure", &Run::pressure)
        .def_property_readonly("positions", &Run::positions)
        .def_property_readonly("velocities", &Run::velocities)
        .def_property_readonly("positions_initial", &Run::positions_initial)
        .def_property_readonly("velocities_initial", &Run::velocities_initial)
        .def_property_readonly("box", &Run::box)
        .def_property_readonly("energies", &Run::energies)
        .def_property_readonly("thermostat", &Run::thermostat)
        .def_property_readonly("parameters", &Run::parameters)
        .def_readonly("stepsize", &Run::stepsize)
        .def_readonly("nrsteps", &Run::nrsteps)
        .def_readonly("nr_particles", &Run::nr_particles);

    module.def("check_parameters", &check_parameters, py::arg("path"), py::arg("contents"));
    module.def("describe_finding", &describe_finding, py::arg("line"), py::arg("text"), py::arg("reason"));
    module.def("instability", &instability, py::arg("ekin"), py::arg("etot"), py::arg("kT"), py::arg("n"));
    module.attr("blow_up_band") = BlowUpWatch::band;
    module.attr("blow_up_drift") = BlowUpWatch::drift;
    module.def("explain_parameter_error", &diagnosis::explain_error, py::arg("path"), py::arg("message"));
    module.def("diagnose_parameters", &diagnose_parameters, py::arg("path"), py::arg("findings"),
               py::arg("unconvertible"), py::arg("assigned"), py::arg("key"));
}
