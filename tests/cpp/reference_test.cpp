// The engine against the plain implementation of its arithmetic: whole runs, with
// neighbour-list rebuilds, must agree bit for bit with one and with two threads. In a
// spatial order only the potential energy's partial sums follow the storage: it must
// stay within 1e-11 relative, everything else every bit; in label order
// (sort_every = 0) every bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <string>

#include "kernels/kernels.h"
#include "reference_md.h"
#include "test_support.h"

namespace {

using Access = CellTestAccess;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

::testing::AssertionResult same_vectors(const std::vector<vec3>& a, const std::vector<vec3>& b, const char* what) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << what << ": sizes differ";
    for (std::size_t i = 0; i < a.size(); ++i)
        for (int c = 0; c < 3; ++c)
            if (!same_bits(a[i][c], b[i][c]))
                return ::testing::AssertionFailure() << what << " of particle " << i << ", component " << c << ": "
                                                     << a[i][c] << " vs " << b[i][c];
    return ::testing::AssertionSuccess();
}

// Bit for bit, or within 1e-11 relative where the sum may follow the storage order.
::testing::AssertionResult same_sum(double engine, double reference, bool exact) {
    if (exact ? same_bits(engine, reference) : std::abs(engine - reference) <= 1e-11 * std::abs(reference)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::setprecision(17) << engine << " vs " << reference;
}

struct Case {
    int particles;
    double density;
    double stepsize;
};

// How the engine orders its storage: as it chooses (a new spatial order at every
// list build), in an order kept over several builds, or in label order.
const char* const orderings[] = {"", "sort_every = 40\n", "sort_every = 0\n"};

void compare_run(const Case& run, std::size_t threads, const std::string& ordering) {
    const double length = std::cbrt(run.particles / run.density);
    const bool label_order = ordering == "sort_every = 0\n";
    with_threads(static_cast<int>(threads), [&] {
        Cell cell = make_cell(run.particles, length, ordering);
        ReferenceMd reference({length, 1.0, 0.72, 0.1, 2.5, 0.3, 1.0, 1.0, threads}, Access::positions(cell),
                              Access::velocities(cell));
        for (unsigned int step = 0; step < 100; ++step) {
            cell.integrate(step, run.stepsize, false);
            reference.step(run.stepsize);
            ASSERT_TRUE(same_sum(cell.get_epot(), reference.epot, label_order)) << "epot after step " << step;
            ASSERT_TRUE(same_bits(cell.get_ekin(), reference.ekin)) << "ekin after step " << step;
            // Ekin + epot: the total cancels most of the digits that the bound on epot counts.
            ASSERT_TRUE(same_bits(cell.get_etot(), reference.ekin + cell.get_epot())) << "etot after step " << step;
            ASSERT_TRUE(same_vectors(Access::positions(cell), reference.r, "position")) << "step " << step;
            ASSERT_TRUE(same_vectors(Access::velocities(cell), reference.v, "velocity")) << "step " << step;
            ASSERT_TRUE(same_vectors(Access::forces(cell), reference.f, "force")) << "step " << step;
            ASSERT_TRUE(same_vectors(Access::dij_list(cell), reference.dij, "displacement")) << "step " << step;
            ASSERT_EQ(Access::neighbor_list(cell), reference.list) << "step " << step;
        }
        EXPECT_GT(reference.builds, 5u) << "the run should rebuild its neighbour list";
        EXPECT_EQ(Access::slot_particle(cell).empty(), label_order);
    });
}

// Every instruction set this processor has, one after the other.
std::vector<const kernels::KernelSet*> kernel_sets() {
    std::vector<const kernels::KernelSet*> sets = {&kernels::generic_kernels()};
    if (kernels::avx512_kernels()) sets.push_back(kernels::avx512_kernels());
    // Highway's for each target with vectors.
    for (const kernels::KernelSet* set : kernels::highway_kernels_per_target()) {
        if (set->lanes > 1) sets.push_back(set);
    }
    return sets;
}

// Every set at `threads` threads; nothing where OpenMP may not run that many.
void compare_runs(const Case& run, std::size_t threads) {
    if (threads > static_cast<std::size_t>(omp_get_thread_limit())) return;
    for (const kernels::KernelSet* set : kernel_sets()) {
        SCOPED_TRACE(std::string(set->name) + ", " + std::to_string(threads) + " threads");
        kernels::use_kernels_for_testing(set);
        for (const char* ordering : orderings) {
            SCOPED_TRACE(ordering);
            compare_run(run, threads, ordering);
        }
        kernels::use_kernels_for_testing(nullptr);
    }
}

// Three sub-cells per axis: every scan wraps around the box.
TEST(AgainstReference, SmallLiquid) {
    for (std::size_t threads : {1u, 2u}) compare_runs({1003, 0.8442, 0.005}, threads);
}

// Five sub-cells per axis: most particles scan without crossing the box's faces.
TEST(AgainstReference, LargerLiquid) {
    for (std::size_t threads : {1u, 2u}) compare_runs({2400, 0.8442, 0.005}, threads);
}

// One and two sub-cells per axis, where the wrapped neighbours coincide.
TEST(AgainstReference, SmallBoxes) {
    for (std::size_t threads : {1u, 2u}) {
        compare_runs({110, 0.8442, 0.005}, threads);
        compare_runs({150, 0.6, 0.005}, threads);
    }
}

}  // namespace

namespace {

// A dilute gas: the box has far more sub-cells than particles, and only the
// occupied ones are kept.
TEST(AgainstReference, DiluteGas) {
    for (std::size_t threads : {1u, 2u}) compare_runs({300, 0.001, 0.005}, threads);
}

}  // namespace
