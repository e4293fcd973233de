// The sub-cell grid's shape, from the box and the neighbour-list radius.
#include "subcell_grid.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "parameter_values.h"

SubcellGrid::SubcellGrid(const vec3& dims, double cutoff, double shell) {
    const double csc = cutoff + shell;
    if (!(csc > 0.0)) {
        throw std::invalid_argument("rcut + shell = " + format_value(cutoff) + " + " + format_value(shell) +
                                    ": the neighbour-list radius must be positive");
    }
    double count[3];
    for (int k = 0; k < 3; ++k) {
        count[k] = std::trunc(dims[k] / csc);
        if (!(count[k] >= 1.0)) {
            throw std::invalid_argument(
                "cell_length = " + format_value(dims[k]) + " is shorter than rcut + shell = " +
                format_value(cutoff) + " + " + format_value(shell) +
                ": the box must be at least as long as the neighbour-list radius");
        }
        // A pair interacts through its nearest image only; beyond half the box a
        // second image would be inside the cut-off too.
        if (!(2.0 * cutoff <= dims[k])) {
            throw std::invalid_argument("cell_length = " + format_value(dims[k]) + " is shorter than twice rcut = 2 * " +
                                        format_value(cutoff) +
                                        ": the box must be at least twice as long as the cut-off radius");
        }
    }
    // Sub-cell ids are 32-bit.
    if (!(count[0] * count[1] * count[2] <= std::numeric_limits<std::uint32_t>::max())) {
        throw std::invalid_argument(
            "cell_length = " + format_value(dims[0]) + " with rcut + shell = " +
            format_value(cutoff) + " + " + format_value(shell) +
            " needs more than 4294967295 neighbour-list sub-cells");
    }
    for (int k = 0; k < 3; ++k) {
        n[k] = static_cast<unsigned int>(count[k]);
        edge[k] = dims[k] / n[k];
        box[k] = dims[k];
    }
    // The build keeps a pair at squared distance <= csc * csc; sub-cells are left out
    // only beyond that by a margin far wider than its rounding.
    reach_sq = (csc * csc) * (1.0 + 1e-12);
}
