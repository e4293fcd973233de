// tovrin-phases: times the engine's phases on the Lennard-Jones liquid (density
// 0.8442, rcut 2.5, shell 0.3): the neighbour-list build alone, the force computation
// alone and whole steps, after `mix` steps have taken the liquid away from its
// lattice start. One line of JSON; bench/benchmark.py builds and runs it.
//
//     tovrin-phases N MIX STEPS REPEATS
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "kernels/kernels.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best wall time, in seconds, of `repeats` calls of `phase`.
template <typename Phase>
double best_seconds(int repeats, Phase phase) {
    double best = INFINITY;
    for (int r = 0; r < repeats; ++r) {
        const auto start = Clock::now();
        phase();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

int run(int n, unsigned int mix, unsigned int steps, int repeats) {
    Cell cell = make_cell(n, std::cbrt(n / 0.8442));
    const double dt = 0.005;
    for (unsigned int step = 1; step <= mix; ++step) cell.integrate(step, dt, false);
    const double build = best_seconds(repeats, [&] { CellTestAccess::build_neighbor_list(cell); });
    const double forces = best_seconds(repeats, [&] { CellTestAccess::calculate_forces(cell); });
    const double entries = double(CellTestAccess::neighbor_list(cell).size()) / n - 1.0;
    unsigned int step = mix;
    const double stepping = best_seconds(repeats, [&] {
        for (unsigned int s = 0; s < steps; ++s) cell.integrate(++step, dt, false);
    });
    std::printf(
        "{\"n\": %d, \"mix\": %u, \"steps\": %u, \"threads\": %d, \"kernels\": \"%s\", \"list_entries\": %.2f, "
        "\"build_us_per_atom\": %.5f, \"forces_us_per_atom\": %.5f, \"step_us_per_atom\": %.5f, \"epot\": %.17g}\n",
        n, mix, steps, omp_get_max_threads(), kernels::best_kernels().name, entries, build / n * 1e6,
        forces / n * 1e6, stepping / (double(n) * steps) * 1e6, cell.get_epot());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s N MIX STEPS REPEATS\n", argv[0]);
        return 2;
    }
    try {
        return run(std::atoi(argv[1]), static_cast<unsigned int>(std::atoi(argv[2])),
                   static_cast<unsigned int>(std::atoi(argv[3])), std::max(1, std::atoi(argv[4])));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tovrin-phases: %s\n", error.what());
        return 1;
    }
}
