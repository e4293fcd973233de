#include "cell.h"

#include <algorithm>
#include <atomic>
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

#include "kernels.h"
#include "random_stream.h"

static_assert(sizeof(vec3) == 3 * sizeof(double), "particle arrays must be flat arrays of doubles");

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

std::vector<double> flatten(const std::vector<vec3>& vectors) {
    std::vector<double> flat(3 * vectors.size(), 0.0);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        flat[3 * i] = vectors[i].x();
        flat[3 * i + 1] = vectors[i].y();
        flat[3 * i + 2] = vectors[i].z();
    }
    return flat;
}

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

// Runs a parallel region's work items, keeping the first exception to rethrow once
// the region has ended (an exception must not leave an OpenMP region). After a
// failure the remaining items are skipped.
class ParallelFailure {
public:
    template <typename Work>
    void guard(Work&& work) noexcept {
        if (failed.load(std::memory_order_relaxed)) return;
        try {
            work();
        } catch (...) {
#pragma omp critical(tovrin_parallel_failure)
            if (!error) error = std::current_exception();
            failed.store(true, std::memory_order_relaxed);
        }
    }

    void rethrow() const {
        if (error) std::rethrow_exception(error);
    }

private:
    std::atomic<bool> failed{false};
    std::exception_ptr error;
};

double* coordinates(std::vector<vec3>& vectors) { return reinterpret_cast<double*>(vectors.data()); }

}  // namespace

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

    // Sub-cells are stored z fastest, so that the sub-cells scanned one after another,
    // which differ in z, mostly lie side by side in the sorted particle arrays.
    unsigned int key(unsigned int cx, unsigned int cy, unsigned int cz) const { return cz + n[2] * (cy + n[1] * cx); }

    unsigned int key_of(const vec3& p) const {
        return key(coordinate(0, p.x()), coordinate(1, p.y()), coordinate(2, p.z()));
    }

    // The stretches of sorted entries to scan for a particle at p: the sub-cells x
    // outermost over (low, own, high) neighbours with periodic wrap, z innermost,
    // adjacent ones merged. With fewer than three sub-cells along an axis the wrapped
    // neighbours coincide; each distinct sub-cell is scanned once, in the order of
    // its first occurrence. Returns the number of stretches.
    template <typename FirstEntry>
    unsigned int scan_ranges(const vec3& p, FirstEntry first_entry, std::uint32_t ranges[27][2],
                             bool& periodic) const {
        unsigned int values[3][3];
        unsigned int count[3];
        periodic = false;
        for (int k = 0; k < 3; ++k) {
            const unsigned int c = coordinate(k, p[k]);
            // Away from the grid's faces, with five or more sub-cells along the axis,
            // the scanned sub-cells span at most two fifths of the box: no separation
            // comes near half of it, and the minimum image is the plain difference.
            periodic = periodic || n[k] < 5 || c == 0 || c == n[k] - 1;
            const unsigned int candidates[3] = {c == 0 ? n[k] - 1 : c - 1, c, c == n[k] - 1 ? 0 : c + 1};
            count[k] = 0;
            for (const unsigned int value : candidates) {
                bool seen = false;
                for (unsigned int m = 0; m < count[k]; ++m) seen = seen || values[k][m] == value;
                if (!seen) values[k][count[k]++] = value;
            }
        }
        unsigned int nranges = 0;
        unsigned int previous = 0;
        for (unsigned int a = 0; a < count[0]; ++a) {
            for (unsigned int b = 0; b < count[1]; ++b) {
                for (unsigned int d = 0; d < count[2]; ++d) {
                    const unsigned int cell = key(values[0][a], values[1][b], values[2][d]);
                    if (nranges > 0 && cell == previous + 1) {
                        ranges[nranges - 1][1] = first_entry(cell + 1);
                    } else {
                        ranges[nranges][0] = first_entry(cell);
                        ranges[nranges++][1] = first_entry(cell + 1);
                    }
                    previous = cell;
                }
            }
        }
        return nranges;
    }
};

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
    sort_into_subcells(grid);
    const kernels::KernelSet& kernel = kernels::best_kernels();
    const kernels::SubcellScan scan = {subcells.x.data(), subcells.y.data(), subcells.z.data(),
                                       subcells.index.data(), {dims.x(), dims.y(), dims.z()}, cutsq};

    reserve_neighbor_list(csc);
    neighbor_list.resize(n);
    longest_run = 0;
    run_buffers.resize(static_cast<std::size_t>(omp_get_max_threads()));
    const std::size_t chunks = (n + build_chunk - 1) / build_chunk;
    ParallelFailure failure;
    // Threads find the runs of a chunk of particles each, in parallel; the chunks are
    // appended to the list in particle order, so the list does not depend on the
    // number of threads and is written straight into its final place.
#pragma omp parallel
    {
        RunBuffer& buffer = run_buffers[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for ordered schedule(static, 1)
        for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
            const std::size_t first = chunk * build_chunk;
            const std::size_t last = std::min(n, first + build_chunk);
            failure.guard([&] { find_runs(grid, scan, kernel, first, last, buffer); });
#pragma omp ordered
            failure.guard([&] { append_runs(first, last, buffer); });
        }
    }
    failure.rethrow();
}

void Cell::sort_into_subcells(const SubcellGrid& grid) {
    const std::size_t n = positions.size();
    const std::size_t ncells = std::size_t(grid.n[0]) * grid.n[1] * grid.n[2];
    subcells.index.resize(n);
    subcells.x.resize(n);
    subcells.y.resize(n);
    subcells.z.resize(n);
    const auto place = [&](std::size_t slot, std::size_t i) {
        subcells.index[slot] = static_cast<std::uint32_t>(i);
        subcells.x[slot] = positions[i].x();
        subcells.y[slot] = positions[i].y();
        subcells.z[slot] = positions[i].z();
    };
    // A box much larger than its particles need (a dilute gas) has far more sub-cells
    // than particles: then only the occupied ones are kept, found by binary search.
    subcells.sparse = ncells > 2 * n + 4096;
    if (subcells.sparse) {
        subcells.start.clear();
        subcells.next.clear();
        std::vector<std::pair<std::uint32_t, std::uint32_t>> order(n);  // (sub-cell, particle)
        for (std::size_t i = 0; i < n; ++i) order[i] = {grid.key_of(positions[i]), static_cast<std::uint32_t>(i)};
        std::sort(order.begin(), order.end());
        subcells.keys.resize(n);
        for (std::size_t slot = 0; slot < n; ++slot) {
            subcells.keys[slot] = order[slot].first;
            place(slot, order[slot].second);
        }
        return;
    }
    subcells.keys.clear();
    subcells.start.assign(ncells + 1, 0);
    for (const vec3& p : positions) ++subcells.start[grid.key_of(p) + 1];
    for (std::size_t c = 0; c < ncells; ++c) subcells.start[c + 1] += subcells.start[c];
    // Counting sort by sub-cell; particles enter each sub-cell in ascending order.
    std::vector<std::uint32_t>& next = subcells.next;
    next.assign(subcells.start.begin(), subcells.start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) place(next[grid.key_of(positions[i])]++, i);
}

std::uint32_t Cell::SubcellSort::first_entry(std::uint32_t key) const {
    if (!sparse) return start[key];
    return static_cast<std::uint32_t>(std::lower_bound(keys.begin(), keys.end(), key) - keys.begin());
}

void Cell::find_runs(const SubcellGrid& grid, const kernels::SubcellScan& scan, const kernels::KernelSet& kernel,
                     std::size_t first, std::size_t last, RunBuffer& buffer) {
    buffer.run_end.resize(last - first);
    std::size_t used = 0;
    for (std::size_t i = first; i < last; ++i) {
        dij_list[i] = vec3::Zero();
        std::uint32_t ranges[27][2];
        bool periodic;
        const unsigned int nranges = grid.scan_ranges(
            positions[i], [this](std::uint32_t key) { return subcells.first_entry(key); }, ranges, periodic);
        std::size_t candidates = 0;
        for (unsigned int r = 0; r < nranges; ++r) candidates += ranges[r][1] - ranges[r][0];
        // Room for every candidate, the closing index and a full vector store.
        if (buffer.entries.size() < used + candidates + 1 + kernel.lanes) {
            buffer.entries.resize(2 * (used + candidates + 1 + kernel.lanes));
        }
        const double pi[3] = {positions[i].x(), positions[i].y(), positions[i].z()};
        std::uint32_t* const begin = buffer.entries.data() + used;
        std::uint32_t* end = kernel.scan_subcells(scan, static_cast<std::uint32_t>(i), pi, ranges, nranges, periodic, begin);
        *end++ = static_cast<std::uint32_t>(i);
        used += static_cast<std::size_t>(end - begin);
        buffer.run_end[i - first] = used;
    }
}

void Cell::append_runs(std::size_t first, std::size_t last, const RunBuffer& buffer) {
    const std::size_t base = neighbor_list.size();
    const std::size_t used = last > first ? buffer.run_end[last - first - 1] : 0;
    if (base + used > std::numeric_limits<std::uint32_t>::max()) {
        throw std::overflow_error("the neighbour list of " + std::to_string(positions.size()) +
                                  " particles needs more than 4294967295 entries, more than its 32-bit indices "
                                  "can address");
    }
    std::size_t run_start = 0;
    for (std::size_t i = first; i < last; ++i) {
        neighbor_list[i] = static_cast<std::uint32_t>(base + run_start);
        longest_run = std::max(longest_run, buffer.run_end[i - first] - run_start);
        run_start = buffer.run_end[i - first];
    }
    neighbor_list.insert(neighbor_list.end(), buffer.entries.begin(), buffer.entries.begin() + used);
}

// Grows the list's storage once, to a little more than an even spread of the
// particles predicts, so that appending does not reallocate (and briefly double) it.
void Cell::reserve_neighbor_list(double csc) {
    const double n = static_cast<double>(positions.size());
    const double volume = dims.x() * dims.y() * dims.z();
    const double expected = n * (1.0 + 1.1 * (n / volume) * (4.0 / 3.0) * 3.141592653589793 * csc * csc * csc) + n;
    const double capped = std::min(expected, double(std::numeric_limits<std::uint32_t>::max()));
    if (neighbor_list.capacity() < capped) neighbor_list.reserve(static_cast<std::size_t>(capped));
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

    // The vector kernels address positions with 32-bit offsets.
    const kernels::KernelSet& kernel = 3 * n <= std::numeric_limits<std::int32_t>::max()
                                           ? kernels::best_kernels()
                                           : kernels::generic_kernels();
    const std::size_t threads = static_cast<std::size_t>(omp_get_max_threads());
    const std::size_t scratch_per_thread = 2 * kernel.lanes * (longest_run + kernel.lanes);
    if (force_scratch.size() < threads * scratch_per_thread) force_scratch.resize(threads * scratch_per_thread);
    const kernels::ForceArgs args = {coordinates(positions), neighbor_list.data(), positions.size(),
                                     neighbor_list.size(), coordinates(forces),
                                     force_scratch.data(), scratch_per_thread, {dims.x(), dims.y(), dims.z()},
                                     rcutsq, sigmasq, epot_cutoff};
    double epotsum = 0.0;
#pragma omp parallel
    {
        const Block block = this_thread_block(n);
        const double partial =
            kernel.force_block(args, block.begin, block.end, static_cast<std::size_t>(omp_get_thread_num()));
#pragma omp atomic
        epotsum += partial;
    }

    const double epsilon = params->get_param<double>("epsilon");
    const double prefctr = 24.0 * epsilon;
#pragma omp parallel for schedule(static)
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
    if (!apply_boundary_conditions()) throw_lost_particle(step);
    if (check_update_neighbor_list()) build_neighbor_list();
    update_velocities_half_dt(dt);
    etot = ekin + epot;
    if (!std::isfinite(etot)) {
        throw std::range_error("step " + std::to_string(step) + ": the total energy is " + format_value(etot) +
                               "; the run has become unstable (check stepsize, sigma and epsilon)");
    }

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

bool Cell::apply_boundary_conditions() {
    const std::uint64_t n = particle_count(*params);
    const double invL[3] = {1 / dims.x(), 1 / dims.y(), 1 / dims.z()};
    const double edge[3] = {dims.x(), dims.y(), dims.z()};
    const kernels::KernelSet& kernel = kernels::best_kernels();
    double* const coordinates = ::coordinates(positions);
    bool inside = true;
    // Each coordinate is wrapped on its own, so the threads' shares change nothing.
#pragma omp parallel reduction(&& : inside)
    {
        const Block block = this_thread_block(n);
        inside = kernel.wrap(coordinates + 3 * block.begin, block.end - block.begin, invL, edge);
    }
    return inside;
}

void Cell::throw_lost_particle(unsigned int step) const {
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (int c = 0; c < 3; ++c) {
            const double p = positions[i][c];
            if (!(p >= 0.0 && p <= dims[c])) {
                throw std::range_error("step " + std::to_string(step) + ": particle " + std::to_string(i) +
                                       " is at " + "xyz"[c] + " = " + format_value(p) +
                                       " after the periodic wrap, outside the box of " + format_value(dims[c]) +
                                       "; the run has become unstable (check stepsize, sigma and epsilon)");
            }
        }
    }
    throw std::range_error("step " + std::to_string(step) + ": the periodic wrap lost a particle");
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
