#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_support.h"

namespace {

using Access = CellTestAccess;
using List = std::vector<std::uint32_t>;

// Cell of `at.size()` particles in a box of edge `length` (rcut 2.5, shell 0.3),
// moved to `at` and rebuilt.
Cell cell_with(const std::vector<vec3>& at, double length) {
    Cell cell = make_cell(static_cast<int>(at.size()), length);
    Access::place(cell, at);
    return cell;
}

std::vector<vec3> random_positions(std::size_t n, double length, unsigned seed) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<double> uniform(0.0, length);
    std::vector<vec3> at(n);
    for (vec3& p : at) p = vec3(uniform(engine), uniform(engine), uniform(engine));
    return at;
}

// Run i of a flat list.
List run_of(const List& list, std::uint32_t i) {
    List run;
    for (std::size_t e = list[i]; list[e] != i; ++e) run.push_back(list[e]);
    return run;
}

TEST(NeighborList, DocumentedExamples) {
    EXPECT_EQ(Access::neighbor_list(cell_with({{1, 1, 1}, {2, 1, 1}}, 10)), (List{2, 4, 1, 0, 0, 1}));
    EXPECT_EQ(Access::neighbor_list(cell_with({{1, 1, 1}, {9.5, 1, 1}}, 10)), (List{2, 4, 1, 0, 0, 1}));
    // Particle 1 sits in the low-x sub-cell of 0 and 2, which is scanned first.
    EXPECT_EQ(Access::neighbor_list(cell_with({{1, 1, 1}, {9.5, 1, 1}, {2, 1, 1}}, 10)),
              (List{3, 6, 9, 1, 2, 0, 0, 2, 1, 1, 0, 2}));
    EXPECT_EQ(Access::neighbor_list(cell_with({{5, 5, 5}}, 10)), (List{1, 0}));
    EXPECT_EQ(Access::neighbor_list(cell_with({{1, 1, 1}, {5, 5, 5}}, 10)), (List{2, 3, 0, 1}));
}

TEST(NeighborList, RadiusIsInclusive) {
    // 3.8 - 1 is exactly 2.8 = rcut + shell.
    EXPECT_EQ(Access::neighbor_list(cell_with({{1, 1, 1}, {3.8, 1, 1}}, 10)), (List{2, 4, 1, 0, 0, 1}));
    EXPECT_EQ(Access::neighbor_list(cell_with({{1, 1, 1}, {std::nextafter(3.8, 4.0), 1, 1}}, 10)),
              (List{2, 3, 0, 1}));
}

// A wrapped coordinate can equal the box edge; it belongs to the last sub-cell.
TEST(NeighborList, CoordinatesAtTheUpperEdgeStayInTheGrid) {
    for (const double edge_x : {10.0, std::nextafter(10.0, 0.0)}) {
        const Cell cell = cell_with({{edge_x, 1, 1}, {1, 1, 1}, {edge_x, edge_x, edge_x}}, 10);
        const List& list = Access::neighbor_list(cell);
        EXPECT_EQ(run_of(list, 0), (List{2, 1}));
        EXPECT_EQ(run_of(list, 1), (List{2, 0}));  // the low wrapped sub-cells come first
        EXPECT_EQ(run_of(list, 2), (List{0, 1}));
    }
}

// With one or two sub-cells per axis the wrapped neighbour sub-cells coincide; each
// pair must still be listed once from each side, as in a brute-force search.
TEST(NeighborList, SmallGridsListEveryPairOnce) {
    for (const double length : {5.0, 7.0, 9.0}) {
        const auto at = random_positions(40, length, 7);
        const Cell cell = cell_with(at, length);
        const List& list = Access::neighbor_list(cell);
        const vec3 dims(length, length, length);
        for (std::uint32_t i = 0; i < at.size(); ++i) {
            List expected;
            for (std::uint32_t j = 0; j < at.size(); ++j) {
                vec3 r = at[i] - at[j];
                for (int k = 0; k < 3; ++k) r[k] -= length * std::round(r[k] / length);
                if (j != i && squared_length(r) <= 2.8 * 2.8) expected.push_back(j);
            }
            List found = run_of(list, i);
            std::sort(found.begin(), found.end());
            EXPECT_EQ(found, expected) << "box " << length << ", particle " << i;
        }
    }
    // One sub-cell: the scan is the particles in index order.
    EXPECT_EQ(Access::neighbor_list(cell_with({{1, 1, 1}, {4, 1, 1}, {2, 1, 1}}, 5)),
              (List{3, 6, 9, 1, 2, 0, 0, 2, 1, 0, 1, 2}));
}

TEST(NeighborList, SameListForAnyThreadCount) {
    const auto at = random_positions(2000, 13.3, 11);
    List reference;
    with_threads(1, [&] { reference = Access::neighbor_list(cell_with(at, 13.3)); });
    for (int threads : {2, 3, 7}) {
        with_threads(threads, [&] { EXPECT_EQ(Access::neighbor_list(cell_with(at, 13.3)), reference) << threads; });
    }
}

TEST(NeighborList, RebuildCriterion) {
    Cell cell = cell_with({{1, 1, 1}, {2, 1, 1}}, 10);
    EXPECT_FALSE(Access::rebuild_due(cell));
    auto& dij = Access::dij_list(cell);
    dij[1] = vec3(0.15, 0, 0);  // exactly half the skin of 0.3
    EXPECT_FALSE(Access::rebuild_due(cell));
    dij[1] = vec3(0, 0, std::nextafter(0.15, 1.0));
    EXPECT_TRUE(Access::rebuild_due(cell));
    Access::build_neighbor_list(cell);
    EXPECT_EQ(dij[1], vec3::Zero());

    Cell no_skin = make_cell(2, 10.0, "shell = 0\n");
    EXPECT_FALSE(Access::rebuild_due(no_skin));
    Access::dij_list(no_skin)[0] = vec3(0, 1e-100, 0);
    EXPECT_TRUE(Access::rebuild_due(no_skin));

    Cell empty = make_cell(0, 10.0);
    EXPECT_FALSE(Access::rebuild_due(empty));
}

}  // namespace
