#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

using Access = CellTestAccess;

Cell pair_at(double x0, double x1) {
    Cell cell = make_cell(2, 10.0);
    Access::place(cell, {{x0, 5, 5}, {x1, 5, 5}});
    return cell;
}

void expect_force(const vec3& force, double fx) {
    EXPECT_NEAR(force.x(), fx, 1e-12);
    EXPECT_EQ(force.y(), 0.0);
    EXPECT_EQ(force.z(), 0.0);
}

TEST(PairForces, UnitDistance) {
    const Cell cell = pair_at(4, 5);
    EXPECT_NEAR(cell.get_epot(), 0.016316891136, 1e-15);
    expect_force(Access::forces(cell)[0], -24.0);
    expect_force(Access::forces(cell)[1], 24.0);
}

TEST(PairForces, AcrossTheBoundary) {
    const Cell cell = pair_at(0.5, 9.5);
    EXPECT_NEAR(cell.get_epot(), 0.016316891136, 1e-15);
    expect_force(Access::forces(cell)[0], 24.0);  // pushed away from the image at -0.5
    expect_force(Access::forces(cell)[1], -24.0);
}

TEST(PairForces, ExactlyAtTheCutOffContributesNothing) {
    const Cell cell = pair_at(1, 3.5);
    EXPECT_EQ(Access::neighbor_list(cell).size(), 6u);  // listed, but not closer than rcut
    EXPECT_EQ(cell.get_epot(), 0.0);
    expect_force(Access::forces(cell)[0], 0.0);
}

TEST(PairForces, PotentialMinimum) {
    const Cell cell = pair_at(3, 3 + std::pow(2.0, 1.0 / 6.0));
    expect_force(Access::forces(cell)[0], 0.0);
    EXPECT_NEAR(cell.get_epot(), 4 * (-0.25 + 0.004079222784), 1e-12);
}

TEST(PairForces, ScalesWithSigmaAndEpsilon) {
    Cell cell = make_cell(2, 10.0, "sigma = 0.5\nepsilon = 2\nrcut = 1.25\n");
    Access::place(cell, {{4, 5, 5}, {4.5, 5, 5}});
    EXPECT_NEAR(cell.get_epot(), 2 * 0.016316891136, 1e-14);
    expect_force(Access::forces(cell)[0], -96.0);  // 24 ε (2 (σ/r)^12 − (σ/r)^6) / r² · r
}

TEST(PairForces, EmptySystems) {
    EXPECT_EQ(make_cell(0, 10.0).get_epot(), 0.0);
    const Cell apart = pair_at(1, 6);
    EXPECT_EQ(apart.get_epot(), 0.0);
    expect_force(Access::forces(apart)[1], 0.0);
}

// A dense random liquid against a direct sum over all pairs (minimum image): forces,
// energy and the virial pressure.
TEST(LiquidForces, AgreeWithDirectSum) {
    const double length = 7.5;
    Cell cell = make_cell(343, length);
    std::mt19937 engine(3);
    std::normal_distribution<double> jitter(0.0, 0.05);
    std::vector<vec3> at = Access::positions(cell);
    for (vec3& p : at) p += vec3(jitter(engine), jitter(engine), jitter(engine));
    for (vec3& p : at)
        for (int k = 0; k < 3; ++k) p[k] -= length * std::floor(p[k] / length);
    Access::place(cell, at);

    double energy = 0.0;
    double virial = 0.0;
    const double shift = std::pow(2.5, -12) - std::pow(2.5, -6);
    for (std::size_t i = 0; i < at.size(); ++i) {
        vec3 force = vec3::Zero();
        for (std::size_t j = 0; j < at.size(); ++j) {
            vec3 r = at[i] - at[j];
            for (int k = 0; k < 3; ++k) r[k] -= length * std::round(r[k] / length);
            const double r2 = r.squaredNorm();
            if (j == i || r2 >= 2.5 * 2.5) continue;
            const double inv6 = std::pow(r2, -3);
            energy += 0.5 * 4 * (inv6 * inv6 - inv6 - shift);
            const vec3 pair_force = 24 * (2 * inv6 * inv6 - inv6) / r2 * r;
            force += pair_force;
            virial += 0.5 * r.dot(pair_force);
        }
        EXPECT_NEAR((Access::forces(cell)[i] - force).norm(), 0.0, 1e-9 * (1 + force.norm())) << i;
    }
    EXPECT_NEAR(cell.get_epot(), energy, 1e-10 * std::abs(energy));
    double speedsq = 0.0;
    for (const vec3& v : Access::velocities(cell)) speedsq += v.squaredNorm();
    const double pressure = (speedsq + virial) / (3 * length * length * length);
    EXPECT_NEAR(cell.pressure(), pressure, 1e-10 * std::abs(pressure));
}

TEST(LiquidForces, SameForAnyThreadCount) {
    std::vector<vec3> reference_forces;
    double reference_epot = 0.0;
    std::vector<vec3> at;
    const auto run = [&](int threads, std::vector<vec3>& forces, double& epot) {
        with_threads(threads, [&] {
            Cell cell = make_cell(1000, 10.6);
            if (at.empty()) {
                std::mt19937 engine(5);
                std::uniform_real_distribution<double> shake(-0.2, 0.2);
                at = Access::positions(cell);
                for (vec3& p : at) p += vec3(shake(engine), shake(engine), shake(engine));
                for (vec3& p : at)
                    for (int k = 0; k < 3; ++k) p[k] -= 10.6 * std::floor(p[k] / 10.6);
            }
            Access::place(cell, at);
            forces = Access::forces(cell);
            epot = cell.get_epot();
        });
    };
    run(1, reference_forces, reference_epot);
    for (int threads : {2, 3, 4}) {
        std::vector<vec3> forces;
        double epot;
        run(threads, forces, epot);
        EXPECT_EQ(forces, reference_forces) << threads << " threads";
        // The energy is summed per thread block, so its last bits follow the count.
        EXPECT_NEAR(epot, reference_epot, 1e-12 * std::abs(reference_epot));
        if (threads <= 2) {
            std::vector<vec3> again;
            double epot_again;
            run(threads, again, epot_again);
            EXPECT_EQ(epot_again, epot) << "not reproducible with " << threads << " threads";
        }
    }
}

}  // namespace
