// Fuzz target: a whole run from a fuzzed parameter file, the way tovrin-md and the
// Python module drive it: stepsize and nrsteps are looked up, a cell is built, and
// steps are taken.
//
// The engine has no size limits of its own, so this target skips inputs whose run
// would be too large to fuzz: more than max_particles particles, or more than
// max_pair_visits neighbour-list entries visited over the run, as an even spread of
// the particles predicts (a dense box whose list holds every pair runs for seconds
// under the sanitizers); and it takes at most max_steps steps. The number of
// neighbour-list sub-cells is not bounded: the engine's memory for them must grow
// with the particles, not with the box, so a large box that exhausts memory is a
// finding. Every step runs on two copies of the cell,
// one with the plain scalar kernels and one with the widest this processor has;
// they must agree bit for bit, errors included.
//
// A run either ends normally, with finite energies after every step, or throws one
// of the exceptions the engine documents (std::runtime_error, among them
// range_error, overflow_error and ios_base::failure; std::invalid_argument;
// boost::bad_lexical_cast; std::bad_alloc; std::length_error). Anything else — an
// escaping exception of another type, a crash, a sanitizer report, a hang, a
// non-finite energy reported as a result, kernels that disagree — is a finding.
//
// The initial velocities come from the engine's process-wide random stream, so a
// replayed input may start from other velocities than when it was found.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "cell.h"
#include "fuzz_input.h"
#include "kernels/kernels.h"
#include "parameters.h"

namespace {

constexpr int max_particles = 2000;
constexpr unsigned int max_steps = 20;
constexpr double max_pair_visits = 4e6;

template <typename T>
std::optional<T> lookup(const Parameters& params, const char* key) {
    try {
        return params.get_param<T>(key);
    } catch (const std::runtime_error&) {
    } catch (const boost::bad_lexical_cast&) {
    }
    return std::nullopt;
}

// Whether the run is small enough to fuzz. A lookup that fails is left for the
// engine to report.
bool within_bounds(const Parameters& params) {
    const auto particles = lookup<int>(params, "nr_particles");
    if (particles && *particles > max_particles) return false;
    const auto length = lookup<double>(params, "cell_length");
    const auto rcut = lookup<double>(params, "rcut");
    const auto shell = lookup<double>(params, "shell");
    if (length && rcut && shell) {
        const double radius = *rcut + *shell;
        // Each particle's run: its neighbours within the list radius, and itself.
        const auto steps = lookup<unsigned int>(params, "nrsteps");
        if (particles && steps) {
            const double n = *particles;
            const double volume = *length * *length * *length;
            const double neighbours = std::min(n - 1, n * (4.0 / 3.0 * 3.141592653589793) * radius * radius * radius / volume);
            const double visits = n * (neighbours + 1) * (std::min(*steps, max_steps) + 1);
            if (visits > max_pair_visits) return false;
        }
    }
    return true;
}

// How a call ended: normally (empty), or with a documented exception, by type and message.
template <typename Call>
std::string outcome(Call call) {
    try {
        call();
        return "";
    } catch (const std::bad_alloc& error) {
        return std::string("std::bad_alloc: ") + error.what();
    } catch (const boost::bad_lexical_cast& error) {
        return std::string("boost::bad_lexical_cast: ") + error.what();
    } catch (const std::length_error& error) {
        return std::string("std::length_error: ") + error.what();
    } catch (const std::invalid_argument& error) {
        return std::string("std::invalid_argument: ") + error.what();
    } catch (const std::runtime_error& error) {
        return std::string(typeid(error).name()) + ": " + error.what();
    }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void check_energies(const Cell& cell, unsigned int step, const char* kernel) {
    if (!std::isfinite(cell.get_ekin()) || !std::isfinite(cell.get_epot()) || !std::isfinite(cell.get_etot())) {
        fuzz::finding("step " + std::to_string(step) + " with the " + kernel + " kernels returned ekin " +
                      std::to_string(cell.get_ekin()) + ", epot " + std::to_string(cell.get_epot()) +
                      ", etot " + std::to_string(cell.get_etot()));
    }
}

void run(const std::shared_ptr<Parameters>& params) {
    const double stepsize = params->get_param<double>("stepsize");
    const unsigned int nrsteps = params->get_param<unsigned int>("nrsteps");
    Cell plain(params);
    if (!std::isfinite(plain.get_epot())) {
        fuzz::finding("a cell was built with the potential energy " + std::to_string(plain.get_epot()));
    }
    Cell wide(plain);
    const kernels::KernelSet& widest = kernels::best_kernels();
    const unsigned int steps = std::min(nrsteps, max_steps);
    for (unsigned int step = 0; step < steps; ++step) {
        kernels::use_kernels_for_testing(&kernels::generic_kernels());
        const std::string plain_end = outcome([&] { plain.integrate(step, stepsize, false); });
        kernels::use_kernels_for_testing(nullptr);
        const std::string wide_end = outcome([&] { wide.integrate(step, stepsize, false); });
        if (plain_end != wide_end) {
            fuzz::finding("step " + std::to_string(step) + " ended with '" + plain_end + "' with the generic kernels, '" +
                          wide_end + "' with the " + widest.name + " kernels");
        }
        if (!plain_end.empty()) return;
        check_energies(plain, step, "generic");
        check_energies(wide, step, widest.name);
        if (!same_bits(plain.get_etot(), wide.get_etot()) || !same_bits(plain.get_epot(), wide.get_epot()) ||
            !same_bits(plain.get_ekin(), wide.get_ekin()) || !same_bits(plain.get_positions(), wide.get_positions()) ||
            !same_bits(plain.get_velocities(), wide.get_velocities())) {
            fuzz::finding("step " + std::to_string(step) + ": the generic and " + widest.name +
                          " kernels give different results");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile file(data, size);
    const auto params = std::make_shared<Parameters>(file.path());
    if (!within_bounds(*params)) return 0;
    outcome([&] { run(params); });
    return 0;
}
