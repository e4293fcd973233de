// tovrin-phases: times the engine's phases on the Lennard-Jones liquid (density
// 0.8442, rcut 2.5, shell 0.3): the neighbour-list build alone, the force computation
// alone and whole steps, after `mix` steps have taken the liquid away from its
// lattice start: the best wall time and the best processor time (all threads) of
// each. With `shuffled`, the particles' labels are then dealt out at random, as a
// long run's diffusion leaves them: neighbours in space are no longer neighbours in
// memory. With `label-order`, the engine keeps its storage in label order
// (sort_every = 0). One line of JSON; bench/benchmark.py builds and runs it.
//
//     tovrin-phases N MIX STEPS REPEATS [shuffled] [label-order]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <numeric>
#include <random>
#include <string>

#include "kernels/kernels.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// The process's processor time in seconds, all threads together: on a shared
// machine it leaves out the spells in which other programs had the processor.
double processor_seconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

struct Timing {
    double wall = INFINITY;       // best wall time, seconds
    double processor = INFINITY;  // best processor time, seconds
};

// Best times of `repeats` calls of `phase`.
template <typename Phase>
Timing best_of(int repeats, Phase phase) {
    Timing best;
    for (int r = 0; r < repeats; ++r) {
        const auto start = Clock::now();
        const double processor_start = processor_seconds();
        phase();
        best.processor = std::min(best.processor, processor_seconds() - processor_start);
        best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Deals the particles' labels out anew: the same liquid, its order in memory random.
void shuffle_labels(Cell& cell) {
    std::vector<vec3>& positions = CellTestAccess::positions(cell);
    std::vector<vec3>& velocities = CellTestAccess::velocities(cell);
    std::vector<std::size_t> order(positions.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::shuffle(order.begin(), order.end(), std::mt19937_64(12345));
    std::vector<vec3> at(positions.size()), moving(velocities.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        at[k] = positions[order[k]];
        moving[k] = velocities[order[k]];
    }
    velocities = moving;
    CellTestAccess::place(cell, at);
}

int run(int n, unsigned int mix, unsigned int steps, int repeats, bool shuffled, bool label_order) {
    Cell cell = make_cell(n, std::cbrt(n / 0.8442), label_order ? "sort_every = 0\n" : "");
    const double dt = 0.005;
    for (unsigned int step = 1; step <= mix; ++step) cell.integrate(step, dt, false);
    if (shuffled) shuffle_labels(cell);
    const Timing build = best_of(repeats, [&] { CellTestAccess::build_neighbor_list(cell); });
    const Timing forces = best_of(repeats, [&] { CellTestAccess::calculate_forces(cell); });
    const double entries = double(CellTestAccess::neighbor_list(cell).size()) / n - 1.0;
    unsigned int step = mix;
    const Timing stepping = best_of(repeats, [&] {
        for (unsigned int s = 0; s < steps; ++s) cell.integrate(++step, dt, false);
    });
    const double per_atom = 1e6 / n, per_atom_step = 1e6 / (double(n) * steps);
    std::printf(
        "{\"n\": %d, \"mix\": %u, \"shuffled\": %s, \"label_order\": %s, \"steps\": %u, \"threads\": %d, \"kernels\": \"%s\", \"list_entries\": %.2f, "
        "\"build_us_per_atom\": %.5f, \"forces_us_per_atom\": %.5f, \"step_us_per_atom\": %.5f, "
        "\"build_cpu_us_per_atom\": %.5f, \"forces_cpu_us_per_atom\": %.5f, \"step_cpu_us_per_atom\": %.5f, "
        "\"epot\": %.17g}\n",
        n, mix, shuffled ? "true" : "false", label_order ? "true" : "false", steps, omp_get_max_threads(), kernels::best_kernels().name, entries, build.wall * per_atom,
        forces.wall * per_atom, stepping.wall * per_atom_step, build.processor * per_atom,
        forces.processor * per_atom, stepping.processor * per_atom_step, cell.get_epot());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool shuffled = false, label_order = false, known = argc >= 5;
    for (int a = 5; a < argc; ++a) {
        const std::string word = argv[a];
        shuffled = shuffled || word == "shuffled";
        label_order = label_order || word == "label-order";
        known = known && (word == "shuffled" || word == "label-order");
    }
    if (!known) {
        std::fprintf(stderr, "usage: %s N MIX STEPS REPEATS [shuffled] [label-order]\n", argv[0]);
        return 2;
    }
    try {
        return run(std::atoi(argv[1]), static_cast<unsigned int>(std::atoi(argv[2])),
                   static_cast<unsigned int>(std::atoi(argv[3])), std::max(1, std::atoi(argv[4])), shuffled,
                   label_order);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tovrin-phases: %s\n", error.what());
        return 1;
    }
}
