#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using Access = CellTestAccess;

double kinetic_energy(const Cell& cell, double mass) {
    const std::vector<double> v = cell.get_velocities();
    double sum = 0.0;
    for (double c : v) sum += c * c;
    return 0.5 * mass * sum;
}

// Liquid of n particles at density 0.8442.
Cell liquid(int n, const std::string& extra = "") {
    return make_cell(n, std::cbrt(n / 0.8442), extra);
}

TEST(Wrap, BringsCoordinatesIntoTheBox) {
    Cell cell = make_cell(4, 10.0);
    auto& p = Access::positions(cell);
    p[0] = vec3(-0.25, 10.0, 25.0);
    p[1] = vec3(-1e-17, 5.0, -10.5);
    Access::wrap_and_kick(cell, 0.005);
    EXPECT_EQ(p[0], vec3(9.75, 0.0, 5.0));
    EXPECT_EQ(p[1], vec3(10.0, 5.0, 9.5));  // a tiny negative coordinate rounds to the edge
}

// The displacement record follows the true path, not the wrapped position.
TEST(Drift, DisplacementSurvivesTheWrap) {
    Cell cell = make_cell(1, 10.0);
    Access::positions(cell)[0] = vec3(9.99, 5, 5);
    Access::velocities(cell)[0] = vec3(1.0, 0, -0.5);
    Access::thermostat_and_drift(cell, 0.02);
    Access::wrap_and_kick(cell, 0.02);
    EXPECT_NEAR(Access::positions(cell)[0].x(), 0.01, 1e-12);
    EXPECT_EQ(Access::dij_list(cell)[0], vec3(0.02, 0, -0.01));
}

TEST(Thermostat, AtTheTargetLeavesVelocitiesAlone) {
    Cell cell = liquid(108);
    const auto before = Access::velocities(cell);
    Access::set_ekin(cell, 1.5 * 107 * 0.72);
    Access::thermostat_and_drift(cell, 0.005);
    EXPECT_EQ(Access::velocities(cell), before);
}

TEST(Thermostat, TauEqualToStepReachesTheTargetAtOnce) {
    Cell cell = liquid(108, "tau = 0.005\n");
    Access::set_ekin(cell, kinetic_energy(cell, 1.0));
    Access::thermostat_and_drift(cell, 0.005);
    EXPECT_NEAR(kinetic_energy(cell, 1.0), 1.5 * 107 * 0.72, 1e-10);
}

// With no kinetic energy there is nothing to rescale; the Berendsen factor would be
// infinite or NaN.
TEST(Thermostat, SystemAtRestStaysAtRest) {
    Cell single = make_cell(1, 10.0);
    Cell frozen = liquid(108, "kT = 0\n");
    for (Cell* cell : {&single, &frozen}) {
        cell->integrate(0, 0.005, false);
        for (double c : cell->get_velocities()) ASSERT_TRUE(std::isfinite(c));
    }
    EXPECT_EQ(single.get_velocities(), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(single.get_ekin(), 0.0);
}

TEST(Thermostat, RefusesUnusableSettings) {
    Cell cell = liquid(108, "tau = 0.01\n");
    EXPECT_NO_THROW(cell.integrate(0, 0.01, false));  // stepsize equal to tau is fine
    try {
        cell.integrate(1, 0.02, false);
        FAIL() << "stepsize above tau accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "stepsize = 0.02 is larger than tau = 0.01: the thermostat needs stepsize <= tau");
    }
    Cell no_coupling = liquid(108, "tau = 0\n");
    EXPECT_THROW(no_coupling.integrate(0, 0.005, false), std::invalid_argument);
    try {
        liquid(108, "mass = 0.0\n");
        FAIL() << "zero mass accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "mass = 0: mass must be positive");
    }
}

// A file without tau builds a cell; the first step fails in the thermostat.
TEST(Integrate, MissingTauFailsInTheFirstStep) {
    Cell cell(parameters_from(
        "nr_particles = 8\ncell_length = 10\nkT = 1\nmass = 1\nrcut = 2.5\nshell = 0.3\nsigma = 1\nepsilon = 1\n"));
    try {
        cell.integrate(0, 0.005, false);
        FAIL() << "stepped without tau";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not find parameter: tau");
    }
}

TEST(Integrate, EnergiesDescribeTheReturnedState) {
    Cell cell = liquid(256, "mass = 2.5\n");
    for (unsigned int step = 0; step < 50; ++step) {
        cell.integrate(step, 0.005, false);
        EXPECT_NEAR(cell.get_ekin(), kinetic_energy(cell, 2.5), 1e-12 * cell.get_ekin());
        EXPECT_EQ(cell.get_etot(), cell.get_ekin() + cell.get_epot());
    }
    for (double x : cell.get_positions()) {
        EXPECT_GE(x, 0.0);
        EXPECT_LE(x, std::cbrt(256 / 0.8442));
    }
}

// With the thermostat effectively off the total energy is conserved: it fluctuates
// (the force jumps at the cut-off) but does not drift. The drift is the slope of a
// least-squares line through the total energy of every step.
TEST(Integrate, ConservesEnergyWithoutThermostat) {
    Cell cell = liquid(108, "tau = 1000000000\n");
    draw_fresh_velocities(cell, 0.72);
    const int steps = 2000;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int step = 0; step < steps; ++step) {
        cell.integrate(step, 0.005, false);
        const double e = cell.get_etot();
        sx += step;
        sy += e;
        sxx += double(step) * step;
        sxy += step * e;
    }
    const double slope = (steps * sxy - sx * sy) / (steps * sxx - sx * sx);
    const double mean = sy / steps;
    EXPECT_LT(std::abs(slope * steps), 1e-4 * std::abs(mean));
    EXPECT_NE(cell.get_positions(), cell.get_initial_positions());
}

TEST(Integrate, ReproducibleWithTwoThreads) {
    std::vector<double> first;
    for (int repeat = 0; repeat < 2; ++repeat) {
        with_threads(2, [&] {
            Cell cell = liquid(500);
            auto& v = Access::velocities(cell);
            v.assign(v.size(), vec3(0.3, -0.2, 0.1));  // same start whatever the random stream
            for (unsigned int step = 0; step < 100; ++step) cell.integrate(step, 0.005, false);
            if (repeat == 0) first = cell.get_positions();
            else EXPECT_EQ(cell.get_positions(), first);
        });
    }
}

TEST(ProgressLine, Format) {
    EXPECT_EQ(format_progress_line(0, 1.5, -2.25, -0.75, 0.0123),
              "Step 0000  Ekin =     1.500000  Epot =     -2.250000  Etot =    -0.750000  Time = 0.0123 s");
    EXPECT_EQ(format_progress_line(12000, 0, 0, 0, 12.5).substr(0, 10), "Step 12000");
}

TEST(ProgressLine, EveryThousandthStepWhenVerbose) {
    Cell cell = make_cell(8, 10.0);
    testing::internal::CaptureStdout();
    for (unsigned int step = 0; step <= 2000; ++step) cell.integrate(step, 0.001, true);
    const std::string verbose = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(verbose.begin(), verbose.end(), '\n'), 3);
    EXPECT_EQ(verbose.rfind("Step 0000", 0), 0u);
    EXPECT_NE(verbose.find("\nStep 1000 "), std::string::npos);
    EXPECT_NE(verbose.find("\nStep 2000 "), std::string::npos);

    testing::internal::CaptureStdout();
    for (unsigned int step = 0; step <= 1000; ++step) cell.integrate(step, 0.001, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace

namespace {

// Non-finite energies are errors, never results.
TEST(Integrate, NonFiniteStepStopsTheRun) {
    Cell cell = make_cell(2, 10.0);
    Access::place(cell, {{5, 5, 5}, {5, 5, 5}});  // coincident particles: infinite forces
    try {
        cell.integrate(7, 0.005, false);
        FAIL() << "a step with coincident particles succeeded";
    } catch (const std::range_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("step 7: ", 0), 0u) << error.what();
    }
}

// A coordinate so far out that the wrap cannot bring it back would leave the
// particle nowhere in the box.
TEST(Integrate, ParticleLostByTheWrapStopsTheRun) {
    Cell cell = make_cell(8, 10.0, "tau = 1000000000\n");
    Access::velocities(cell)[3] = vec3(0, 1e300, 0);
    try {
        cell.integrate(2, 0.005, false);
        FAIL() << "a particle left the box without an error";
    } catch (const std::range_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("step 2: particle 3 is at y = ", 0), 0u) << error.what();
    }
}

TEST(Construction, NonFiniteStartIsRefused) {
    EXPECT_THROW(liquid(108, "sigma = 1000000000000000000000000000000000000000000000000000000000000\n"),
                 std::range_error);
    try {
        liquid(27, "kT = 1" + std::string(300, '0') + "\nmass = 0." + std::string(300, '0') + "1\n");
        FAIL() << "infinite velocities accepted";
    } catch (const std::range_error& error) {
        EXPECT_NE(std::string(error.what()).find("initial velocities too large"), std::string::npos) << error.what();
    }
}

}  // namespace
