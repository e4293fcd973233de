#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using Access = CellTestAccess;

// Small boxes need a small list radius to hold at least one sub-cell.
const std::string short_range = "rcut = 0.5\nshell = 0.1\n";

void expect_at(const vec3& actual, double x, double y, double z) {
    EXPECT_DOUBLE_EQ(actual.x(), x);
    EXPECT_DOUBLE_EQ(actual.y(), y);
    EXPECT_DOUBLE_EQ(actual.z(), z);
}

TEST(Lattice, EightParticlesFillTwoPerSide) {
    Cell cell = make_cell(8, 2.0, short_range);
    const auto& p = Access::positions(cell);
    ASSERT_EQ(p.size(), 8u);
    expect_at(p[0], 0.5, 0.5, 0.5);
    expect_at(p[1], 0.5, 0.5, 1.5);
    expect_at(p[2], 0.5, 1.5, 0.5);
    expect_at(p[7], 1.5, 1.5, 1.5);
}

TEST(Lattice, TenParticlesUseThreeSitesPerSide) {
    Cell cell = make_cell(10, 10.0);
    const auto& p = Access::positions(cell);
    for (int i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(p[i].x(), 5.0 / 3) << i;
    expect_at(p[9], 5.0, 5.0 / 3, 5.0 / 3);
}

// pow(64, 0.3333333333333333) rounds just below 4, so five sites per side.
TEST(Lattice, SixtyFourParticlesUseFiveSitesPerSide) {
    Cell cell = make_cell(64, 16.0);
    const auto& p = Access::positions(cell);
    for (int i = 0; i < 25; ++i) EXPECT_DOUBLE_EQ(p[i].x(), 1.6) << i;
    for (int i = 25; i < 50; ++i) EXPECT_DOUBLE_EQ(p[i].x(), 4.8) << i;
    for (int i = 50; i < 64; ++i) EXPECT_DOUBLE_EQ(p[i].x(), 8.0) << i;
    expect_at(p[63], 8.0, 8.0, 11.2);
}

TEST(Lattice, SingleParticle) {
    Cell centred = make_cell(1, 2.0, short_range);
    expect_at(Access::positions(centred)[0], 1.0, 1.0, 1.0);
    Cell off_centre = make_cell(1, 10.0);  // pow(1000, 1/3) is just below 10: two sites per side
    expect_at(Access::positions(off_centre)[0], 2.5, 2.5, 2.5);
    for (Cell* cell : {&centred, &off_centre}) {
        EXPECT_EQ(Access::velocities(*cell)[0], vec3::Zero());
        EXPECT_NE(Access::velocities_initial(*cell)[0], vec3::Zero());
    }
}

TEST(Lattice, NoParticles) {
    Cell cell = make_cell(0, 10.0);
    EXPECT_TRUE(cell.get_positions().empty());
    EXPECT_TRUE(cell.get_velocities().empty());
    EXPECT_TRUE(cell.get_initial_positions().empty());
    EXPECT_TRUE(cell.get_initial_velocities().empty());
    EXPECT_TRUE(Access::neighbor_list(cell).empty());
    EXPECT_EQ(cell.get_epot(), 0.0);
}

TEST(Construction, StateAfterConstruction) {
    Cell cell = make_cell(108, 5.0 * std::cbrt(108 / 0.8442) / 5.0);
    EXPECT_EQ(cell.get_ekin(), 0.0);
    EXPECT_EQ(cell.get_etot(), 0.0);
    EXPECT_LT(cell.get_epot(), 0.0);
    EXPECT_EQ(Access::positions_initial(cell), Access::positions(cell));
    for (const vec3& d : Access::dij_list(cell)) EXPECT_EQ(d, vec3::Zero());

    // The initial copy keeps the drift; every velocity lost the same mean.
    const auto& v = Access::velocities(cell);
    const auto& v0 = Access::velocities_initial(cell);
    const vec3 mean = v0[0] - v[0];
    EXPECT_GT(mean.norm(), 0.0);
    vec3 total = vec3::Zero();
    for (std::size_t i = 0; i < v.size(); ++i) {
        EXPECT_NEAR((v0[i] - v[i] - mean).norm(), 0.0, 1e-15);
        total += v[i];
    }
    EXPECT_NEAR(total.norm(), 0.0, 1e-13);
}

TEST(Construction, FlattenedAccessors) {
    Cell cell = make_cell(10, 10.0);
    const std::vector<double> flat = cell.get_positions();
    ASSERT_EQ(flat.size(), 30u);
    const auto& p = Access::positions(cell);
    for (std::size_t i = 0; i < p.size(); ++i) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(flat[3 * i + c], p[i][c]);
    }
    const std::vector<double> v = cell.get_initial_velocities();
    EXPECT_EQ(v[5], Access::velocities_initial(cell)[1].z());
}

TEST(Construction, SecondCellContinuesTheRandomStream) {
    Cell first = make_cell(27, 10.0);
    Cell second = make_cell(27, 10.0);
    EXPECT_EQ(first.get_positions(), second.get_positions());
    EXPECT_NE(first.get_initial_velocities(), second.get_initial_velocities());
}

// The first missing key in reading order is the one reported.
TEST(Construction, MissingKeysInReadingOrder) {
    const std::vector<std::pair<std::string, std::string>> all = {
        {"cell_length", "10"}, {"nr_particles", "8"}, {"kT", "1"}, {"mass", "1"},
        {"rcut", "2.5"},       {"shell", "0.3"},      {"sigma", "1"}, {"epsilon", "1"}};
    for (std::size_t missing = 0; missing < all.size(); ++missing) {
        std::string text;
        for (std::size_t k = 0; k < all.size(); ++k) {
            // Leave out this key and every other one, so later gaps do not mask it.
            if (k != missing && (k < missing || k % 2 == missing % 2)) text += all[k].first + " = " + all[k].second + "\n";
        }
        try {
            Cell cell(parameters_from(text));
            FAIL() << "built without " << all[missing].first;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Could not find parameter: " + all[missing].first);
        }
    }
}

TEST(Construction, RefusesUnusableBox) {
    for (const char* length : {"0", "0.0", "000"}) {
        try {
            Cell cell(parameters_from(std::string("cell_length = ") + length + "\n"));
            FAIL() << "accepted cell_length " << length;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("cell_length = 0"), std::string::npos) << error.what();
        }
    }
    // A box too short for the list radius or the cut-off, a radius of zero, and
    // sub-cells so small that their 32-bit ids would wrap; each message names the numbers.
    const struct {
        double length;
        const char* extra;
        std::vector<std::string> named;
    } refused[] = {
        {2.7, "", {"cell_length = 2.7", "rcut + shell = 2.5 + 0.3"}},
        {4.9, "", {"cell_length = 4.9", "twice rcut = 2 * 2.5"}},
        {10.0, "rcut = 0\nshell = 0\n", {"rcut + shell = 0 + 0", "must be positive"}},
        {10.0, "rcut = 0.001\nshell = 0\n", {"cell_length = 10", "4294967295"}},
    };
    for (const auto& box : refused) {
        try {
            make_cell(8, box.length, box.extra);
            ADD_FAILURE() << "accepted cell_length " << box.length << " with " << box.extra;
        } catch (const std::invalid_argument& error) {
            for (const std::string& part : box.named) EXPECT_NE(std::string(error.what()).find(part), std::string::npos) << error.what();
        }
    }
    EXPECT_NO_THROW(make_cell(8, 5.0));                              // exactly twice rcut
    EXPECT_NO_THROW(make_cell(8, 2.8, "rcut = 1.4\nshell = 1.4\n"));  // and exactly one sub-cell
}

}  // namespace
