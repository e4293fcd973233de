// Every instruction set's kernels against the scalar ones, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "kernels/kernels.h"
#include "test_support.h"

namespace {

using Access = CellTestAccess;

// Highway's sets for each of its targets (its scalar one too) and the hand-written one.
std::vector<const kernels::KernelSet*> vector_kernels() {
    std::vector<const kernels::KernelSet*> sets = kernels::highway_kernels_per_target();
    if (kernels::avx512_kernels()) sets.push_back(kernels::avx512_kernels());
    return sets;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Cell melted(int n) {
    Cell c = make_cell(n, std::cbrt(n / 0.8442));
    for (unsigned int step = 0; step < 60; ++step) c.integrate(step, 0.005, false);
    return c;
}

// A melted liquid whose neighbour list has been rebuilt a few times: 1003 particles
// (not a multiple of any vector width), and 6000, whose box is wide enough that
// blocks of four and of eight particles lie deep inside it and skip the minimum image.
Cell& liquid(int n) {
    static Cell small = melted(1003);
    static Cell large = melted(6000);
    return n == 1003 ? small : large;
}

struct ForceRun {
    std::vector<double> forces;
    std::vector<double> partials;
};

// Forces and energy partials of `force_block` over the blocks that `threads` threads take.
ForceRun run_forces(kernels::ForceBlockFn force_block, Cell& cell, std::size_t threads) {
    const auto& list = Access::neighbor_list(cell);
    const std::size_t n = Access::positions(cell).size();
    std::size_t longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t end = i + 1 < n ? list[i + 1] : list.size();
        longest = std::max(longest, end - list[i]);
    }
    const double L = cell.get_dims().x();
    ForceRun run{std::vector<double>(3 * n, -1.0), {}};
    std::vector<double> scratch(threads * 2 * 8 * (longest + 8));
    const double* const positions = reinterpret_cast<const double*>(Access::positions(cell).data());
    kernels::ForceArgs args = {positions, list.data(), n, list.size(), run.forces.data(), 24.0, scratch.data(),
                               2 * 8 * (longest + 8), {L, L, L}, 2.5 * 2.5, 1.0,
                               std::pow(0.16, 6) - std::pow(0.16, 3), {INFINITY, INFINITY, INFINITY},
                               {-INFINITY, -INFINITY, -INFINITY}};
    kernels::widen_bounds(positions, n, args.low, args.high);
    for (std::size_t t = 0; t < threads; ++t) {
        const std::size_t begin = t * n / threads, end = (t + 1) * n / threads;
        run.partials.push_back(force_block(args, begin, end, t));
    }
    return run;
}

TEST(Kernels, ForcesMatchScalarBitForBit) {
    const auto sets = vector_kernels();
    if (sets.empty()) GTEST_SKIP() << "no vector instruction set on this processor";
    for (const int n : {1003, 6000}) {
        Cell& cell = liquid(n);
        for (std::size_t threads : {1u, 2u, 3u}) {
            const ForceRun reference = run_forces(kernels::generic_kernels().force_block, cell, threads);
            for (const kernels::KernelSet* set : sets) {
                for (const kernels::ForceBlockFn loop : {set->force_block, set->other_force_block}) {
                    if (loop == nullptr) continue;
                    const std::string name = std::string(set->name) + (loop == set->force_block ? "" : " (other loop)");
                    const ForceRun run = run_forces(loop, cell, threads);
                    for (std::size_t k = 0; k < run.forces.size(); ++k) {
                        ASSERT_TRUE(same_bits(run.forces[k], reference.forces[k]))
                            << name << ", " << n << " particles, " << threads << " threads, force component " << k;
                    }
                    for (std::size_t t = 0; t < threads; ++t) {
                        EXPECT_TRUE(same_bits(run.partials[t], reference.partials[t]))
                            << name << ", " << n << " particles, " << threads << " threads, energy partial " << t
                            << ": " << run.partials[t] << " vs " << reference.partials[t];
                    }
                }
            }
        }
    }
}

}  // namespace
