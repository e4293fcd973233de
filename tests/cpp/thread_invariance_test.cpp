// The same liquid at 1, 2, 3, 4 and 7 threads.
//
// What may depend on the thread count and what may not: the neighbour list and the
// forces are computed per particle, each by one thread in a fixed order, so they are
// the same at every count. The kinetic energy is summed per contiguous block of
// particles, one block per thread, and the partials are added in thread order; its
// last bits therefore follow the block boundaries (the count), but never the order in
// which the threads finish. So is the potential energy in label order; in a spatial
// order it is summed per chunk of slots, whichever thread takes a chunk, and is the
// same at every count. The kinetic energy reaches the
// trajectory only through the thermostat's scale factor; Bussi's thermostat draws its
// numbers on one thread, the same at every count.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "parallel.h"
#include "test_support.h"

namespace {

using Access = CellTestAccess;

// Large enough for six sub-cells per axis and several build chunks per thread at
// seven threads; the lattice of 13 per side leaves 197 sites empty, so the forces of
// the first configuration are not all zero by symmetry.
constexpr int particles = 2000;
const double length = std::cbrt(particles / 0.8442);
const int thread_counts[] = {1, 2, 3, 4, 7};
const std::string thermostat_off = "tau = 1000000000\n";

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

::testing::AssertionResult same_vectors(const std::vector<vec3>& a, const std::vector<vec3>& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
    for (std::size_t i = 0; i < a.size(); ++i)
        for (int c = 0; c < 3; ++c)
            if (!same_bits(a[i][c], b[i][c]))
                return ::testing::AssertionFailure() << "particle " << i << ", component " << c << ": " << a[i][c]
                                                     << " vs " << b[i][c];
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult within_relative(double value, double reference, double tolerance) {
    if (std::abs(value - reference) <= tolerance * std::abs(reference)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << value << " vs " << reference << ", relative difference "
                                         << std::abs(value - reference) / std::abs(reference);
}

// The size of the team a parallel region gets: a test at "7 threads" that ran on
// fewer would prove nothing.
int team_size() {
    int size = 0;
#pragma omp parallel
    {
#pragma omp single
        size = omp_get_num_threads();
    }
    return size;
}

// Velocities every run starts from. Each new cell draws fresh ones from the
// process-wide stream, so the runs overwrite theirs with this one set.
const std::vector<vec3>& start_velocities() {
    static const std::vector<vec3> velocities = [] {
        Cell cell = make_cell(particles, length);
        return Access::velocities(cell);
    }();
    return velocities;
}

// A liquid cell built, and later always stepped, with `threads` threads.
struct Liquid {
    int threads;
    std::unique_ptr<Cell> cell;
    int rebuilds = 0;

    Liquid(int threads_, const std::string& extra, Thermostat thermostat = Thermostat::berendsen)
        : threads(threads_) {
        with_threads(threads, [&] {
            EXPECT_EQ(team_size(), threads);
            cell = std::make_unique<Cell>(parameters_from(parameter_text(particles, length, extra)), thermostat);
        });
        Access::velocities(*cell) = start_velocities();
    }

    void step(unsigned int number) {
        with_threads(threads, [&] { cell->integrate(number, 0.005, false); });
        // A build starts every displacement record afresh; between builds they grow.
        bool rebuilt = true;
        for (const vec3& d : Access::dij_list(*cell)) rebuilt = rebuilt && d == vec3::Zero();
        rebuilds += rebuilt;
    }
};

TEST(ThreadInvariance, ListAndForcesOfTheFirstConfiguration) {
    SKIP_UNLESS_THREADS(2);
    const Liquid one(1, "");
    for (const int threads : thread_counts) {
        const Liquid run(threads, "");
        EXPECT_EQ(Access::neighbor_list(*run.cell), Access::neighbor_list(*one.cell)) << threads << " threads";
        EXPECT_TRUE(same_vectors(Access::forces(*run.cell), Access::forces(*one.cell))) << threads << " threads";
        // On the lattice the energy terms come in large sets of equal values, which
        // round alike instead of at random, so the sums of different block splits
        // part by more than in a liquid (1e-12 relative at 2000 particles).
        EXPECT_TRUE(within_relative(run.cell->get_epot(), one.cell->get_epot(), 1e-11)) << threads << " threads";
    }
    // The check is only as good as the forces are varied.
    double largest = 0.0;
    for (const vec3& f : Access::forces(*one.cell)) largest = std::max(largest, f.norm());
    EXPECT_GT(largest, 1.0);
}

// With tau = 1000000000 the thermostat's factor is sqrt(1 + r q) with q = 5e-12: a
// change of r in its last bits moves r q by some 1e-28, far below the spacing of
// doubles near 1, so the factor, and with it the whole trajectory, cannot depend on
// the last bits of the kinetic energy. Every step, across every neighbour-list
// rebuild, must then give the same list, forces, positions and velocities at every
// thread count, while the energies differ at most by their summation order. The
// same holds without any thermostat.
TEST(ThreadInvariance, UnthermostattedRunIsTheSameAtEveryCount) {
    SKIP_UNLESS_THREADS(2);
    for (const Thermostat thermostat : {Thermostat::berendsen, Thermostat::none}) {
        SCOPED_TRACE(thermostat_name(thermostat));
        std::vector<Liquid> runs;
        for (const int threads : thread_counts) runs.emplace_back(threads, thermostat_off, thermostat);
        const Liquid& one = runs.front();
        for (unsigned int step = 0; step < 150; ++step) {
            for (Liquid& run : runs) run.step(step);
            for (const Liquid& run : runs) {
                SCOPED_TRACE(std::to_string(run.threads) + " threads, step " + std::to_string(step));
                ASSERT_EQ(run.rebuilds, one.rebuilds);
                ASSERT_EQ(Access::neighbor_list(*run.cell), Access::neighbor_list(*one.cell));
                ASSERT_TRUE(same_vectors(Access::forces(*run.cell), Access::forces(*one.cell)));
                ASSERT_TRUE(same_vectors(Access::positions(*run.cell), Access::positions(*one.cell)));
                ASSERT_TRUE(same_vectors(Access::velocities(*run.cell), Access::velocities(*one.cell)));
                ASSERT_TRUE(same_bits(run.cell->get_epot(), one.cell->get_epot()));
                ASSERT_TRUE(within_relative(run.cell->get_ekin(), one.cell->get_ekin(), 1e-12));
            }
        }
        EXPECT_GE(one.rebuilds, 5) << "the run should rebuild its neighbour list several times";
    }
}

// A thread that finds its own chunks gone takes the others' from their ends; every
// chunk must go out exactly once, whoever takes it and however the threads race.
TEST(SharedChunks, EveryChunkGoesOutOnce) {
    SharedChunks alone(10, 3);  // as if the other two threads never came
    std::vector<std::size_t> taken;
    for (std::size_t c = alone.next(1); c != SharedChunks::none; c = alone.next(1)) taken.push_back(c);
    EXPECT_EQ(taken, (std::vector<std::size_t>{4, 5, 6, 9, 8, 7, 3, 2, 1, 0}));

    constexpr std::size_t chunks = 100000;
    SharedChunks shared(chunks, 2);
    std::vector<std::atomic<int>> times(chunks);
#pragma omp parallel num_threads(2)
    for (std::size_t c = shared.next(omp_get_thread_num()); c != SharedChunks::none;
         c = shared.next(omp_get_thread_num())) {
        times[c].fetch_add(1, std::memory_order_relaxed);
    }
    for (std::size_t c = 0; c < chunks; ++c) ASSERT_EQ(times[c].load(), 1) << "chunk " << c;
}

// With the thermostat working, the run at one thread and the run at two differ in
// the last bits of the kinetic energy (two block partials instead of one sum), the
// scale factor follows, and the trajectories part after a few steps: positions at one
// and at two threads are not the same. What holds is that each count repeats itself:
// the partials are added in thread order, whichever thread finishes first.
TEST(ThreadInvariance, EveryCountRepeatsBitForBit) {
    SKIP_UNLESS_THREADS(2);
    for (const int threads : thread_counts) {
        if (threads > omp_get_thread_limit()) continue;
        SCOPED_TRACE(std::to_string(threads) + " threads");
        Liquid first(threads, "");
        Liquid second(threads, "");
        for (unsigned int step = 0; step < 150; ++step) {
            first.step(step);
            second.step(step);
            ASSERT_TRUE(same_bits(first.cell->get_ekin(), second.cell->get_ekin())) << "step " << step;
            ASSERT_TRUE(same_bits(first.cell->get_epot(), second.cell->get_epot())) << "step " << step;
            ASSERT_TRUE(same_bits(first.cell->get_etot(), second.cell->get_etot())) << "step " << step;
        }
        EXPECT_GE(first.rebuilds, 5) << "the run should rebuild its neighbour list several times";
        EXPECT_EQ(second.rebuilds, first.rebuilds);
        EXPECT_EQ(Access::neighbor_list(*second.cell), Access::neighbor_list(*first.cell));
        EXPECT_TRUE(same_vectors(Access::positions(*second.cell), Access::positions(*first.cell)));
        EXPECT_TRUE(same_vectors(Access::velocities(*second.cell), Access::velocities(*first.cell)));
        EXPECT_TRUE(same_vectors(Access::forces(*second.cell), Access::forces(*first.cell)));
        EXPECT_TRUE(same_vectors(Access::dij_list(*second.cell), Access::dij_list(*first.cell)));
    }
}

// With the thermostat working, a count's rounding of the kinetic energy feeds the
// scale factor and so the positions. In a liquid such a difference of one part in
// 1e16 grows exponentially from step to step (the dynamics is chaotic), so after some
// hundred steps runs at different counts are different trajectories, only alike in
// their averages. Over the first few steps the energies must still agree as closely
// as their summation order allows; for Bussi's thermostat only if every count draws
// the same numbers (the seed gives the runs one stream, whatever velocities their
// construction drew).
TEST(ThreadInvariance, ThermostattedEnergiesAgreeOverTheFirstSteps) {
    SKIP_UNLESS_THREADS(2);
    for (const Thermostat thermostat : {Thermostat::berendsen, Thermostat::bussi}) {
        SCOPED_TRACE(thermostat_name(thermostat));
        std::vector<Liquid> runs;
        for (const int threads : thread_counts) runs.emplace_back(threads, "seed = 5\n", thermostat);
        const Liquid& one = runs.front();
        for (unsigned int step = 0; step < 5; ++step) {
            for (Liquid& run : runs) run.step(step);
            for (const Liquid& run : runs) {
                SCOPED_TRACE(std::to_string(run.threads) + " threads, step " + std::to_string(step));
                EXPECT_TRUE(within_relative(run.cell->get_ekin(), one.cell->get_ekin(), 1e-12));
                EXPECT_TRUE(within_relative(run.cell->get_epot(), one.cell->get_epot(), 1e-12));
                EXPECT_TRUE(within_relative(run.cell->get_etot(), one.cell->get_etot(), 1e-12));
            }
        }
    }
}

}  // namespace
