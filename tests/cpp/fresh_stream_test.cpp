// Runs alone in its own process: the first cell of a process receives the first
// deviates of the process-wide random stream.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

TEST(FreshStream, FirstCellTakesTheFirstDeviatesZYX) {
    Cell cell = make_cell(10, 10.0, "kT = 2.0\nmass = 0.5\n");
    std::default_random_engine engine;
    std::normal_distribution<double> gauss;
    const double sqrtktm = std::sqrt(2.0 / 0.5);
    const auto& drawn = CellTestAccess::velocities_initial(cell);
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        const double z = gauss(engine);
        const double y = gauss(engine);
        const double x = gauss(engine);
        EXPECT_EQ(drawn[i], vec3(x * sqrtktm, y * sqrtktm, z * sqrtktm)) << "particle " << i;
    }
}

}  // namespace
