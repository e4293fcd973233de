// Construction of a cell: the box, the particles on a simple cubic lattice (or at
// the positions a start gives), their Gaussian velocities with the centre-of-mass
// drift removed (or the start's own), the first neighbour list and forces, the
// stochastic thermostat's stream; and the flattened copies of the particle arrays
// for callers.
#include "cell.h"

#include <algorithm>
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

// Particle vectors from flattened coordinates, refusing a wrong count and numbers
// that are not finite.
std::vector<vec3> unflattened(const std::vector<double>& flat, std::uint64_t n, const std::string& what) {
    if (flat.size() != 3 * n) {
        throw std::invalid_argument("the starting " + what + " give " + std::to_string(flat.size() / 3) +
                                    " particles, but nr_particles = " + std::to_string(n));
    }
    std::vector<vec3> vectors(n);
    for (std::size_t i = 0; i < n; ++i) {
        vectors[i] = vec3(flat[3 * i], flat[3 * i + 1], flat[3 * i + 2]);
        if (!vectors[i].allFinite()) {
            throw std::invalid_argument("the starting " + what + " of particle " + std::to_string(i) +
                                        " are not all finite numbers");
        }
    }
    return vectors;
}

// The coordinate brought into [0, edge): unchanged when it is inside already.
double wrapped(double x, double edge) {
    if (x >= 0.0 && x < edge) return x;
    const double w = x - edge * std::floor(x / edge);
    return w >= 0.0 && w < edge ? w : 0.0;
}

}  // namespace

Cell::Cell(const std::shared_ptr<Parameters>& _params, Thermostat _thermostat,
           const std::optional<StartingState>& start)
    : params(_params), thermostat(_thermostat) {
    choose_thread_waiting();
    ttime = std::chrono::system_clock::now();
    const double length = params->get_param<double>("cell_length");
    if (!(std::isfinite(length) && length > 0.0)) {
        throw std::invalid_argument("cell_length = " + format_value(length) +
                                    ": the box edge must be a positive, finite length");
    }
    dims = vec3(length, length, length);
    initialize(start);
    build_neighbor_list();
    if (start) check_closest_pairs();
    calculate_forces();
    if (!std::isfinite(epot)) {
        throw std::range_error("the initial configuration has a potential energy of " + format_value(epot) +
                               ": particles sit far inside sigma of each other (check sigma, cell_length and "
                               "nr_particles)");
    }
    if (thermostat == Thermostat::bussi) {
        const std::optional<std::uint32_t> seed = seed_of(*params);
        thermostat_stream.seed(seed ? thermostat_seed(*seed) : thermostat_seed(positions, velocities));
    }
}

void Cell::initialize(const std::optional<StartingState>& start) {
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
    if (thermostat == Thermostat::bussi && n < 2) {
        throw std::invalid_argument("nr_particles = " + std::to_string(n) +
                                    ": the bussi thermostat needs at least 2 particles, for its 3N - 3 degrees "
                                    "of freedom");
    }

    forces.resize(n, vec3::Zero());
    if (start) {
        take_positions(start->positions, n);
    } else {
        place_on_lattice(n, dl);
    }
    positions_initial = positions;
    if (start && start->velocities) {
        take_velocities(*start->velocities, n);
    } else {
        draw_velocities(n, kT, m);
    }
    dij_list.resize(n, vec3::Zero());
}

void Cell::place_on_lattice(std::uint64_t n, double dl) {
    const auto nx = static_cast<std::uint64_t>(std::ceil(dims.x() / dl));
    const auto ny = static_cast<std::uint64_t>(std::ceil(dims.y() / dl));
    const auto nz = static_cast<std::uint64_t>(std::ceil(dims.z() / dl));
    const double dx = dims.x() / nx;
    const double dy = dims.y() / ny;
    const double dz = dims.z() / nz;

    positions.resize(n);
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
}

void Cell::draw_velocities(std::uint64_t n, double kT, double m) {
    velocities.resize(n);
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
}

void Cell::take_positions(const std::vector<double>& flat, std::uint64_t n) {
    positions = unflattened(flat, n, "positions");
    for (vec3& p : positions) {
        for (int c = 0; c < 3; ++c) p[c] = wrapped(p[c], dims[c]);
    }
}

void Cell::take_velocities(const std::vector<double>& flat, std::uint64_t n) {
    velocities = unflattened(flat, n, "velocities");
    velocities_initial = velocities;
}

// Pairs closer than sigma / 2 repel with more than 16,000 epsilon: the first step
// would fling them out of any liquid. Each run of the list holds every neighbour
// within rcut + shell.
void Cell::check_closest_pairs() const {
    const double sigma = params->get_param<double>("sigma");
    const double closest = 0.5 * sigma;
    const std::size_t n = positions.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t end = i + 1 < n ? neighbor_list[i + 1] : neighbor_list.size();
        for (std::size_t k = neighbor_list[i]; k + 1 < end; ++k) {
            const std::uint32_t j = neighbor_list[k];
            vec3 d = positions[j] - positions[i];
            for (int c = 0; c < 3; ++c) d[c] -= dims[c] * std::round(d[c] / dims[c]);
            const double r = std::sqrt(squared_length(d));
            if (r < closest) {
                throw std::invalid_argument("particles " + std::to_string(std::min<std::size_t>(i, j)) + " and " +
                                            std::to_string(std::max<std::size_t>(i, j)) + " start " +
                                            format_value(r) + " apart, closer than sigma / 2 = " +
                                            format_value(closest) +
                                            ", where their repulsion exceeds 16000 epsilon");
            }
        }
    }
}

// The run's largest allocations: six particle arrays, the sub-cell sort (its
// coordinates, entries and keys), the spatial order (slot_particle and slot_of, and
// the copies of positions and forces in its order), and the neighbour list as its
// first build reserves it.
double Cell::estimated_memory(std::uint64_t n, double volume) const {
    const double cutoff = params->get_param<double>("rcut");
    const double shell = params->get_param<double>("shell");
    const double particles = static_cast<double>(n);
    const double arrays = 8 * sizeof(vec3) + 4 * sizeof(std::uint32_t) + 3 * sizeof(double);
    const double list = sizeof(std::uint32_t) * expected_list_length(particles, volume, cutoff + shell);
    return particles * arrays + list;
}

std::vector<double> Cell::get_positions() const { return flatten(positions); }
std::vector<double> Cell::get_velocities() const { return flatten(velocities); }
std::vector<double> Cell::get_initial_positions() const { return flatten(positions_initial); }
std::vector<double> Cell::get_initial_velocities() const { return flatten(velocities_initial); }
