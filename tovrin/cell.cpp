#include "cell.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <stdexcept>

#include <boost/format.hpp>
#include <omp.h>

#include "random_stream.h"

namespace {

// Shortest text that reads back as the same double, for error messages.
std::string format_value(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// Particle count as the engine uses it: read as int, widened with its sign.
std::uint64_t particle_count(const Parameters& params) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(params.get_param<int>("nr_particles")));
}

// A value that divides: zero would make velocities infinite or NaN.
double positive_param(const Parameters& params, const std::string& key) {
    const double value = params.get_param<double>(key);
    if (!(value > 0.0)) {
        throw std::invalid_argument(key + " = " + format_value(value) + ": " + key + " must be positive");
    }
    return value;
}

// The contiguous block of [0, n) that thread `thread` of `threads` takes: the first
// n mod threads threads take one particle more than the others.
struct Block {
    std::size_t begin;
    std::size_t end;
};

Block thread_block(std::size_t n, std::size_t thread, std::size_t threads) {
    const std::size_t q = n / threads;
    const std::size_t r = n % threads;
    const std::size_t begin = thread * q + std::min(thread, r);
    return {begin, begin + q + (thread < r ? 1 : 0)};
}

Block this_thread_block(std::size_t n) {
    return thread_block(n, static_cast<std::size_t>(omp_get_thread_num()),
                        static_cast<std::size_t>(omp_get_num_threads()));
}

// Separation of i from j with at most one box-edge correction per component.
vec3 minimum_image(const vec3& pi, const vec3& pj, const vec3& dims) {
    vec3 rij = pi - pj;
    for (int k = 0; k < 3; ++k) {
        if (rij[k] >= 0.5 * dims[k]) {
            rij[k] -= dims[k];
        } else if (rij[k] < -0.5 * dims[k]) {
            rij[k] += dims[k];
        }
    }
    return rij;
}

std::vector<double> flatten(const std::vector<vec3>& vectors) {
    std::vector<double> flat(3 * vectors.size(), 0.0);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        flat[3 * i] = vectors[i].x();
        flat[3 * i + 1] = vectors[i].y();
        flat[3 * i + 2] = vectors[i].z();
    }
    return flat;
}

// The sub-cell grid of a neighbour-list build: sub-cells at least `csc` wide.
struct SubcellGrid {
    unsigned int n[3];  // sub-cells along x, y, z
    double edge[3];     // their edge lengths

    SubcellGrid(const vec3& dims, double cutoff, double shell) {
        const double csc = cutoff + shell;
        double count[3];
        for (int k = 0; k < 3; ++k) {
            count[k] = std::trunc(dims[k] / csc);
            if (!(count[k] >= 1.0)) {
                throw std::invalid_argument(
                    "cell_length = " + format_value(dims[k]) + " is shorter than rcut + shell = " +
                    format_value(cutoff) + " + " + format_value(shell) +
                    ": the box must be at least as long as the neighbour-list radius");
            }
        }
        // Sub-cell ids are 32-bit.
        if (!(count[0] * count[1] * count[2] <= std::numeric_limits<std::uint32_t>::max())) {
            throw std::invalid_argument(
                "cell_length = " + format_value(dims[0]) + " with rcut + shell = " +
                format_value(cutoff) + " + " + format_value(shell) +
                " needs more than 4294967295 neighbour-list sub-cells");
        }
        for (int k = 0; k < 3; ++k) {
            n[k] = static_cast<unsigned int>(count[k]);
            edge[k] = dims[k] / n[k];
        }
    }

    // trunc(x / edge), kept inside the grid: a wrapped coordinate can equal the box
    // edge, and a quotient just under the edge can round up to n.
    unsigned int coordinate(int axis, double x) const {
        const double q = x / edge[axis];
        if (!(q >= 1.0)) return 0;  // also NaN
        if (q >= n[axis]) return n[axis] - 1;
        return static_cast<unsigned int>(q);
    }

    unsigned int id(unsigned int cx, unsigned int cy, unsigned int cz) const {
        return cx + n[0] * (cy + n[1] * cz);
    }

    // The sub-cells scanned for a particle in sub-cell (c[0], c[1], c[2]): x outermost
    // over (low, own, high) neighbours with periodic wrap, z innermost. With fewer than
    // three sub-cells along an axis the wrapped neighbours coincide; each distinct
    // sub-cell is listed once, in the order of its first occurrence.
    unsigned int neighbor_ids(const unsigned int c[3], unsigned int ids[27]) const {
        unsigned int axis_values[3][3];
        unsigned int axis_count[3];
        for (int k = 0; k < 3; ++k) {
            const unsigned int low = c[k] == 0 ? n[k] - 1 : c[k] - 1;
            const unsigned int high = c[k] == n[k] - 1 ? 0 : c[k] + 1;
            const unsigned int candidates[3] = {low, c[k], high};
            axis_count[k] = 0;
            for (const unsigned int value : candidates) {
                bool seen = false;
                for (unsigned int m = 0; m < axis_count[k]; ++m) seen = seen || axis_values[k][m] == value;
                if (!seen) axis_values[k][axis_count[k]++] = value;
            }
        }
        unsigned int count = 0;
        for (unsigned int a = 0; a < axis_count[0]; ++a)
            for (unsigned int b = 0; b < axis_count[1]; ++b)
                for (unsigned int d = 0; d < axis_count[2]; ++d)
                    ids[count++] = axis_values[0][a] + axis_values[1][b] * n[0] + axis_values[2][d] * n[0] * n[1];
        return count;
    }
};

std::ios_base::failure movie_error(const std::string& moviefile, const std::string& problem) {
    return std::ios_base::failure("movie file '" + moviefile + "': " + problem);
}

// Bytes of one frame: the box edges, then position, velocity and speed per particle.
std::uintmax_t movie_frame_size(std::uint32_t n) { return 24 + 56 * std::uintmax_t(n); }

// An existing movie file must hold frames of `n` particles to take one more.
void check_movie_file(const std::string& moviefile, std::uint32_t n) {
    std::ifstream input(moviefile, std::ios::binary);
    std::uint32_t count = 0;
    if (!input.read(reinterpret_cast<char*>(&count), sizeof count)) {
        throw movie_error(moviefile, "cannot read its particle count");
    }
    if (count != n) {
        throw movie_error(moviefile, "holds frames of " + std::to_string(count) + " particles, not " +
                                         std::to_string(n));
    }
    const std::uintmax_t size = std::filesystem::file_size(moviefile);
    if ((size - 4) % movie_frame_size(n) != 0) {
        throw movie_error(moviefile, "its size of " + std::to_string(size) +
                                         " bytes is not a whole number of frames of " + std::to_string(n) +
                                         " particles");
    }
}

}  // namespace

Cell::Cell(const std::shared_ptr<Parameters>& _params) : params(_params) {
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

    const double kT = params->get_param<double>("kT");
    const double m = positive_param(*params, "mass");
    const double sqrtktm = std::sqrt(kT / m);
    vec3 sum = vec3::Zero();
    for (std::uint64_t i = 0; i < n; ++i) {
        const double vz = get_gauss();
        const double vy = get_gauss();
        const double vx = get_gauss();
        velocities[i] = vec3(vx, vy, vz) * sqrtktm;
        sum += velocities[i];
    }
    velocities_initial = velocities;

    if (n > 0) {
        const vec3 mean = sum * (1.0 / static_cast<double>(n));
        for (vec3& v : velocities) v -= mean;
    }
    dij_list.resize(n, vec3::Zero());
}

double Cell::get_gauss() const {
    static MinimalStandardEngine generator;
    static PolarNormalDistribution distribution;
    return distribution(generator);
}

void Cell::build_neighbor_list() {
    const double cutoff = params->get_param<double>("rcut");
    const double shell = params->get_param<double>("shell");
    const double csc = cutoff + shell;
    const double cutsq = csc * csc;
    const SubcellGrid grid(dims, cutoff, shell);
    const std::size_t n = positions.size();

    auto subcell_of = [&](const vec3& p, unsigned int c[3]) {
        for (int k = 0; k < 3; ++k) c[k] = grid.coordinate(k, p[k]);
    };

    std::vector<std::vector<std::uint32_t>> subcells(std::size_t(grid.n[0]) * grid.n[1] * grid.n[2]);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned int c[3];
        subcell_of(positions[i], c);
        subcells[grid.id(c[0], c[1], c[2])].push_back(static_cast<std::uint32_t>(i));
    }

    std::vector<std::vector<std::uint32_t>> nnlist(n);
#pragma omp parallel for
    for (std::size_t i = 0; i < n; ++i) {
        dij_list[i] = vec3::Zero();
        unsigned int c[3];
        subcell_of(positions[i], c);
        unsigned int cellids[27];
        const unsigned int ncells = grid.neighbor_ids(c, cellids);
        for (unsigned int s = 0; s < ncells; ++s) {
            for (const std::uint32_t j : subcells[cellids[s]]) {
                if (j == i) continue;
                const double dist2 = squared_length(minimum_image(positions[i], positions[j], dims));
                if (dist2 <= cutsq) nnlist[i].push_back(j);
            }
        }
    }

    std::uint64_t total = 2 * std::uint64_t(n);
    for (const auto& run : nnlist) total += run.size();
    if (total > std::numeric_limits<std::uint32_t>::max()) {
        throw std::overflow_error("the neighbour list of " + std::to_string(n) + " particles needs " +
                                  std::to_string(total) +
                                  " entries, more than its 32-bit indices can address (4294967295)");
    }
    neighbor_list.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        neighbor_list[i] = static_cast<std::uint32_t>(neighbor_list.size());
        neighbor_list.insert(neighbor_list.end(), nnlist[i].begin(), nnlist[i].end());
        neighbor_list.push_back(static_cast<std::uint32_t>(i));
    }
}

bool Cell::check_update_neighbor_list() const {
    const double shell = params->get_param<double>("shell");
    const double shellsq = shell * shell;
    for (const vec3& d : dij_list) {
        if (squared_length(d) > 0.25 * shellsq) return true;
    }
    return false;
}

void Cell::calculate_forces() {
    const std::uint64_t n = particle_count(*params);
    const double rcut = params->get_param<double>("rcut");
    const double rcutsq = rcut * rcut;
    const double sigma = params->get_param<double>("sigma");
    const double sigmasq = sigma * sigma;

    epot = 0.0;
    const double sr2c = sigmasq / rcutsq;
    const double sr6c = sr2c * sr2c * sr2c;
    const double epot_cutoff = sr6c * sr6c - sr6c;

    double epotsum = 0.0;
#pragma omp parallel
    {
        const Block block = this_thread_block(n);
        double partial = 0.0;
        for (std::size_t i = block.begin; i < block.end; ++i) {
            vec3 force = vec3::Zero();
            for (std::size_t e = neighbor_list[i];; ++e) {
                const std::uint32_t j = neighbor_list[e];
                if (j == i) break;
                const vec3 rij = minimum_image(positions[i], positions[j], dims);
                const double distsq = squared_length(rij);
                if (!(distsq < rcutsq)) continue;
                const double sr2 = sigmasq / distsq;
                const double sr6 = sr2 * sr2 * sr2;
                const double sr12 = sr6 * sr6;
                partial += (sr12 - sr6) - epot_cutoff;
                const double fr = (2.0 * sr12 - sr6) / distsq;
                force += fr * rij;
            }
            forces[i] = force;
        }
#pragma omp atomic
        epotsum += partial;
    }

    const double epsilon = params->get_param<double>("epsilon");
    const double prefctr = 24.0 * epsilon;
    for (std::size_t i = 0; i < n; ++i) forces[i] *= prefctr;
    epot = epotsum * 4.0 * epsilon * 0.5;
}

std::vector<double> Cell::get_positions() const { return flatten(positions); }
std::vector<double> Cell::get_velocities() const { return flatten(velocities); }
std::vector<double> Cell::get_initial_positions() const { return flatten(positions_initial); }
std::vector<double> Cell::get_initial_velocities() const { return flatten(velocities_initial); }

std::string format_progress_line(unsigned int step, double ekin, double epot, double etot, double seconds) {
    return (boost::format("Step %04i  Ekin = %12.6f  Epot =  %12.6f  Etot = %12.6f  Time = %6.4f s") % step %
            ekin % epot % etot % seconds)
        .str();
}

void Cell::integrate(unsigned int step, double dt, bool verbose) {
    update_velocities_half_dt(dt);
    apply_berendsen_thermostat(dt);
    update_positions(dt);
    calculate_forces();
    apply_boundary_conditions();
    if (check_update_neighbor_list()) build_neighbor_list();
    update_velocities_half_dt(dt);
    etot = ekin + epot;

    if (step % 1000 == 0) {
        const auto end = std::chrono::system_clock::now();
        const double elapsed_seconds =
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - ttime).count()) / 1e9;
        if (verbose) {
            std::cout << format_progress_line(step, ekin, epot, etot, elapsed_seconds) << std::endl;
        }
        ttime = std::chrono::system_clock::now();
    }
}

void Cell::update_velocities_half_dt(double dt) {
    const double m = positive_param(*params, "mass");
    const std::uint64_t n = particle_count(*params);
    const double factor = (0.5 / m) * dt;
    double ekinsum = 0.0;
#pragma omp parallel
    {
        const Block block = this_thread_block(n);
        double partial = 0.0;
        for (std::size_t i = block.begin; i < block.end; ++i) {
            velocities[i] += factor * forces[i];
            partial += squared_length(velocities[i]);
        }
#pragma omp atomic
        ekinsum += partial;
    }
    ekin = (0.5 * ekinsum) * m;
}

void Cell::apply_berendsen_thermostat(double dt) {
    const std::uint64_t n = particle_count(*params);
    const double tau = positive_param(*params, "tau");
    const double kT = params->get_param<double>("kT");
    if (dt > tau) {
        throw std::invalid_argument("stepsize = " + format_value(dt) + " is larger than tau = " + format_value(tau) +
                                    ": the thermostat needs stepsize <= tau");
    }
    const double ekin0 = (1.5 * static_cast<double>(n - 1)) * kT;
    // Without kinetic energy there is nothing to rescale: particles at rest stay at rest.
    if (ekin == 0.0) return;
    const double q = dt / tau;
    const double r = ekin0 / ekin - 1;
    const double lambda = std::sqrt(1 + r * q);
#pragma omp parallel for schedule(static, 32)
    for (std::size_t i = 0; i < n; ++i) velocities[i] *= lambda;
}

void Cell::update_positions(double dt) {
    const std::uint64_t n = particle_count(*params);
#pragma omp parallel for schedule(static, 32)
    for (std::size_t i = 0; i < n; ++i) {
        const vec3 d = velocities[i] * dt;
        positions[i] += d;
        dij_list[i] += d;
    }
}

void Cell::apply_boundary_conditions() {
    const std::uint64_t n = particle_count(*params);
    const vec3 invL(1 / dims.x(), 1 / dims.y(), 1 / dims.z());
    for (std::size_t i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c) {
            positions[i][c] = positions[i][c] - std::floor(positions[i][c] * invL[c]) * dims[c];
        }
    }
}

void Cell::write_to_movie_file(const std::string& moviefile, bool create) {
    const auto n = static_cast<std::uint32_t>(params->get_param<int>("nr_particles"));
    std::error_code ignored;
    const bool start = create || !std::filesystem::exists(moviefile, ignored);
    if (!start) check_movie_file(moviefile, n);

    std::ofstream movie(moviefile, std::ios::binary | (start ? std::ios::trunc : std::ios::app));
    if (!movie) throw movie_error(moviefile, std::string("cannot open for writing: ") + std::strerror(errno));
    if (start) movie.write(reinterpret_cast<const char*>(&n), sizeof n);
    movie.write(reinterpret_cast<const char*>(dims.data()), 3 * sizeof(double));
    for (std::uint32_t i = 0; i < n; ++i) {
        const vec3& v = velocities[i];
        const double record[7] = {positions[i].x(), positions[i].y(), positions[i].z(),
                                  v.x(), v.y(), v.z(), std::sqrt(squared_length(v))};
        movie.write(reinterpret_cast<const char*>(record), sizeof record);
    }
    movie.close();
    if (!movie) throw movie_error(moviefile, "write failed");
}
