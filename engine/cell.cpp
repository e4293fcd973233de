// Construction of a cell: the box, the particles on a simple cubic lattice, their
// Gaussian velocities with the centre-of-mass drift removed, the first neighbour
// list and forces; and the flattened copies of the particle arrays for callers.
#include "cell.h"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/lexical_cast.hpp>

#include "memory.h"
#include "parallel.h"
#include "parameter_values.h"
#include "random_stream.h"

static_assert(sizeof(vec3) == 3 * sizeof(double), "particle arrays must be flat arrays of doubles");

namespace {

std::vector<double> flatten(const std::vector<vec3>& vectors) {
    std::vector<double> flat(3 * vectors.size(), 0.0);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        flat[3 * i] = vectors[i].x();
        flat[3 * i + 1] = vectors[i].y();
        flat[3 * i + 2] = vectors[i].z();
    }
    return flat;
}

// The run's own seed, if the file gives one (key `seed`, a whole number).
std::optional<std::uint32_t> seed_of(const Parameters& params) {
    if (!params.contains("seed")) return std::nullopt;
    try {
        return params.get_param<unsigned int>("seed");
    } catch (const boost::bad_lexical_cast&) {
        throw std::invalid_argument("seed = " + params.entries().at("seed") +
                                    ": the seed must be a whole number from 0 to 4294967295");
    }
}

}  // namespace

Cell::Cell(const std::shared_ptr<Parameters>& _params) : params(_params) {
    choose_thread_waiting();
    ttime = std::chrono::system_clock::now();
    const double length = params->get_param<double>("cell_length");
    if (!(std::isfinite(length) && length > 0.0)) {
        throw std::invalid_argument("cell_length = " + format_value(length) +
                                    ": the box edge must be a positive, finite length");
    }
    dims = vec3(length, length, length);
    initialize();
    build_neighbor_list();
    calculate_forces();
    if (!std::isfinite(epot)) {
        throw std::range_error("the initial configuration has a potential energy of " + format_value(epot) +
                               ": particles sit far inside sigma of each other (check sigma, cell_length and "
                               "nr_particles)");
    }
}

void Cell::initialize() {
    const std::uint64_t n = particle_count(*params);
    const double volume = dims.x() * dims.y() * dims.z();
    const double dl = std::pow(volume / static_cast<double>(n), 0.3333333333333333);
    if (n > 0 && !(std::isfinite(dl) && dl > 0.0)) {
        throw std::invalid_argument("cell_length = " + format_value(dims.x()) + " gives a box volume of " +
                                    format_value(volume) + " that cannot hold a lattice of nr_particles = " +
                                    std::to_string(n));
    }
    const double kT = params->get_param<double>("kT");
    const double m = positive_param(*params, "mass");
    require_memory(estimated_memory(n, volume), "nr_particles = " + std::to_string(n));

    const auto nx = static_cast<std::uint64_t>(std::ceil(dims.x() / dl));
    const auto ny = static_cast<std::uint64_t>(std::ceil(dims.y() / dl));
    const auto nz = static_cast<std::uint64_t>(std::ceil(dims.z() / dl));
    const double dx = dims.x() / nx;
    const double dy = dims.y() / ny;
    const double dz = dims.z() / nz;

    positions.resize(n);
    velocities.resize(n);
    forces.resize(n, vec3::Zero());

    std::uint64_t count = 0;
    for (std::uint64_t i = 0; i < nx; ++i) {
        const double x = (i + 0.5) * dx;
        for (std::uint64_t j = 0; j < ny; ++j) {
            const double y = (j + 0.5) * dy;
            for (std::uint64_t k = 0; k < nz; ++k) {
                const double z = (k + 0.5) * dz;
                if (count < n) {
                    positions[count] = vec3(x, y, z);
                    ++count;
                }
            }
        }
    }
    positions_initial = positions;

    const double sqrtktm = std::sqrt(kT / m);
    vec3 sum = vec3::Zero();
    {
        VelocityDeviates deviates(seed_of(*params));
        for (std::uint64_t i = 0; i < n; ++i) {
            const double vz = deviates.next();
            const double vy = deviates.next();
            const double vx = deviates.next();
            velocities[i] = vec3(vx, vy, vz) * sqrtktm;
            sum += velocities[i];
        }
    }
    for (const vec3& v : velocities) {
        if (!v.allFinite()) {
            throw std::range_error("kT = " + format_value(kT) + " and mass = " + format_value(m) +
                                   " give initial velocities too large to represent");
        }
    }
    velocities_initial = velocities;

    if (n > 0) {
        const vec3 mean = sum * (1.0 / static_cast<double>(n));
        for (vec3& v : velocities) v -= mean;
    }
    dij_list.resize(n, vec3::Zero());
}

// The run's largest allocations: six particle arrays, the sub-cell sort, the spatial
// order with its copies of positions and forces, and the neighbour list as its first
// build reserves it.
double Cell::estimated_memory(std::uint64_t n, double volume) const {
    const double cutoff = params->get_param<double>("rcut");
    const double shell = params->get_param<double>("shell");
    const double particles = static_cast<double>(n);
    const double arrays = 8 * sizeof(vec3) + 2 * sizeof(std::uint32_t) + 3 * sizeof(double);
    const double list = sizeof(std::uint32_t) * expected_list_length(particles, volume, cutoff + shell);
    return particles * arrays + list;
}

std::vector<double> Cell::get_positions() const { return flatten(positions); }
std::vector<double> Cell::get_velocities() const { return flatten(velocities); }
std::vector<double> Cell::get_initial_positions() const { return flatten(positions_initial); }
std::vector<double> Cell::get_initial_velocities() const { return flatten(velocities_initial); }
