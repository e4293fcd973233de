// Helpers shared by the engine tests: parameter files on disk, cells built from
// them, and the one door to a cell's private state.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <omp.h>
#include <unistd.h>

#include "cell.h"
#include "parameters.h"
#include "random_stream.h"

// A file with the given contents that is removed again when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& contents) {
        static int counter = 0;
        path_ = (std::filesystem::temp_directory_path() /
                 ("tovrin_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++)))
                    .string();
        std::ofstream(path_, std::ios::binary) << contents;
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::shared_ptr<Parameters> parameters_from(const std::string& contents) {
    const TempFile file(contents);
    return std::make_shared<Parameters>(file.path());
}

// Shortest fixed-point text (no exponent, as the file format wants) of a double.
inline std::string fixed_text(double value) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return std::string(text, result.ptr);
}

// A complete parameter file; assignments in `extra` come first and so take precedence.
inline std::string parameter_text(int nr_particles, double cell_length, const std::string& extra = "") {
    return extra + "nr_particles = " + std::to_string(nr_particles) + "\n" +
           "cell_length = " + fixed_text(cell_length) + "\n" +
           "kT = 0.72\nmass = 1.0\nrcut = 2.5\nshell = 0.3\nsigma = 1.0\nepsilon = 1.0\n"
           "tau = 0.1\nstepsize = 0.005\nnrsteps = 10\n";
}

inline Cell make_cell(int nr_particles, double cell_length, const std::string& extra = "") {
    return Cell(parameters_from(parameter_text(nr_particles, cell_length, extra)));
}

// Runs the body with the OpenMP default team set to `threads`, restoring it after.
template <typename Body>
void with_threads(int threads, Body body) {
    const int before = omp_get_max_threads();
    omp_set_num_threads(threads);
    body();
    omp_set_num_threads(before);
}

// Skips a test that compares thread counts where OpenMP may run fewer threads than it
// needs (OMP_THREAD_LIMIT; scripts/test-arm runs one, as a second hangs under qemu-user).
#define SKIP_UNLESS_THREADS(count)                                                               \
    if (omp_get_thread_limit() < (count))                                                        \
    GTEST_SKIP() << "needs " << (count) << " OpenMP threads; OMP_THREAD_LIMIT allows " << omp_get_thread_limit()

struct CellTestAccess {
    static std::vector<vec3>& positions(Cell& cell) { return cell.positions; }
    static std::vector<vec3>& velocities(Cell& cell) { return cell.velocities; }
    static const std::vector<vec3>& positions_initial(const Cell& cell) { return cell.positions_initial; }
    static const std::vector<vec3>& velocities_initial(const Cell& cell) { return cell.velocities_initial; }
    static const std::vector<vec3>& forces(const Cell& cell) { return cell.forces; }
    // The list by label, as it would be without a spatial order: particle i's run,
    // in order, of its neighbours' labels, closed by i.
    static std::vector<std::uint32_t> neighbor_list(const Cell& cell) {
        const std::vector<std::uint32_t>& slot_list = cell.neighbor_list;
        const std::vector<std::uint32_t>& particle = cell.slot_particle;
        if (particle.empty()) return slot_list;
        const std::size_t n = particle.size();
        std::vector<std::uint32_t> slot_of(n);
        for (std::size_t k = 0; k < n; ++k) slot_of[particle[k]] = static_cast<std::uint32_t>(k);
        std::vector<std::uint32_t> list(n);
        for (std::size_t i = 0; i < n; ++i) {
            list[i] = static_cast<std::uint32_t>(list.size());
            const std::uint32_t slot = slot_of[i];
            for (std::size_t e = slot_list[slot]; slot_list[e] != slot; ++e) list.push_back(particle[slot_list[e]]);
            list.push_back(static_cast<std::uint32_t>(i));
        }
        return list;
    }
    static const std::vector<std::uint32_t>& slot_particle(const Cell& cell) { return cell.slot_particle; }
    static std::vector<vec3>& dij_list(Cell& cell) { return cell.dij_list; }
    static void set_ekin(Cell& cell, double ekin) { cell.ekin = ekin; }

    static void build_neighbor_list(Cell& cell) { cell.build_neighbor_list(); }
    static bool thermostat_and_drift(Cell& cell, double dt) { return cell.thermostat_and_drift(dt); }
    static bool wrap_and_kick(Cell& cell, double dt) { return cell.half_kick(dt, Cell::Wrap::first); }
    // Whether the drift finds the list due, with the particles at rest (so that the
    // displacements stay as the test set them).
    static bool rebuild_due(Cell& cell) {
        for (vec3& v : cell.velocities) v = vec3::Zero();
        return cell.thermostat_and_drift(0.005);
    }
    static void calculate_forces(Cell& cell) { cell.calculate_forces(); }

    // Places the particles where given and brings list and forces up to date.
    static void place(Cell& cell, const std::vector<vec3>& at) {
        cell.positions = at;
        cell.build_neighbor_list();
        cell.calculate_forces();
    }
};

// Gives the cell the velocities for kT that the first cell of a process draws (a
// stream of its own from seed 1, the drift removed), so that a test does not depend
// on how many cells the tests before it have built.
inline void draw_fresh_velocities(Cell& cell, double kT, double mass = 1.0) {
    MinimalStandardEngine engine;
    PolarNormalDistribution normal;
    std::vector<vec3>& velocities = CellTestAccess::velocities(cell);
    const double scale = std::sqrt(kT / mass);
    vec3 sum = vec3::Zero();
    for (vec3& v : velocities) {
        const double vz = normal(engine);
        const double vy = normal(engine);
        const double vx = normal(engine);
        v = vec3(vx, vy, vz) * scale;
        sum += v;
    }
    const vec3 mean = sum * (1.0 / static_cast<double>(velocities.size()));
    for (vec3& v : velocities) v -= mean;
}
