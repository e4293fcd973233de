// The sub-cell grid of the neighbour-list build: the box cut into sub-cells at least
// the list radius wide, the sub-cell of a position, and the stretches of sorted
// particles that the build scans for a particle's neighbours.
#pragma once

#include <cstdint>

#include "cell.h"
#include "kernels/kernels.h"

// The sub-cell grid of a neighbour-list build: sub-cells at least rcut + shell wide.
struct SubcellGrid {
    unsigned int n[3];  // sub-cells along x, y, z
    double edge[3];     // their edge lengths
    double box[3];      // the box's edges
    double reach_sq;    // squared list radius, a hair larger (see scan_ranges)

    // Throws std::invalid_argument for a radius rcut + shell of zero, a box shorter
    // than rcut + shell or than twice rcut, or one that needs more sub-cells than
    // 32-bit ids number.
    SubcellGrid(const vec3& dims, double cutoff, double shell);

    // trunc(x / edge), kept inside the grid: a wrapped coordinate can equal the box
    // edge, and a quotient just under the edge can round up to n.
    unsigned int coordinate(int axis, double x) const {
        const double q = x / edge[axis];
        if (!(q >= 1.0)) return 0;  // also NaN
        if (q >= n[axis]) return n[axis] - 1;
        return static_cast<unsigned int>(q);
    }

    // Sub-cells are stored z fastest, so that the sub-cells scanned one after another,
    // which differ in z, mostly lie side by side in the sorted particle arrays.
    unsigned int key(unsigned int cx, unsigned int cy, unsigned int cz) const { return cz + n[2] * (cy + n[1] * cx); }

    unsigned int key_of(const vec3& p) const {
        return key(coordinate(0, p.x()), coordinate(1, p.y()), coordinate(2, p.z()));
    }

    // The stretches of sorted entries to scan for a particle at p: the sub-cells x
    // outermost over (low, own, high) neighbours with periodic wrap, z innermost,
    // adjacent ones merged. With fewer than three sub-cells along an axis the wrapped
    // neighbours coincide; each distinct sub-cell is scanned once, in the order of
    // its first occurrence. A sub-cell whose nearest point lies beyond the list
    // radius holds no neighbour and is left out, which leaves the list unchanged.
    // `image`: how the scan is to take the minimum image. Returns the number of
    // stretches.
    template <typename FirstEntry>
    unsigned int scan_ranges(const vec3& p, FirstEntry first_entry, kernels::Stretch stretches[27],
                             kernels::ScanImage& image) const {
        unsigned int values[3][3];
        double gap_sq[3][3];  // squared distance along the axis from p to each sub-cell
        unsigned int count[3];
        for (int k = 0; k < 3; ++k) {
            const unsigned int c = coordinate(k, p[k]);
            gaps_sq(k, c, p[k], gap_sq[k]);
            // Away from the grid's faces, with five or more sub-cells along the axis,
            // the scanned sub-cells span at most two fifths of the box: no separation
            // comes near half of it, and the minimum image is the plain difference.
            image.periodic[k] = n[k] < 5 || c == 0 || c == n[k] - 1;
            const unsigned int candidates[3] = {c == 0 ? n[k] - 1 : c - 1, c, c == n[k] - 1 ? 0 : c + 1};
            // With three or more sub-cells along the axis the candidates all differ.
            count[k] = 0;
            for (const unsigned int value : candidates) {
                bool seen = false;
                for (unsigned int m = 0; m < count[k] && n[k] < 3; ++m) seen = seen || values[k][m] == value;
                if (!seen) values[k][count[k]++] = value;
            }
        }
        image.shifted = false;
        if (count[0] == 3 && count[1] == 3 && count[2] == 3) {
            return column_stretches(values, gap_sq, first_entry, stretches, image);
        }
        unsigned int nranges = 0;
        unsigned int previous = 0;  // the last sub-cell scanned
        for (unsigned int a = 0; a < count[0]; ++a) {
            for (unsigned int b = 0; b < count[1]; ++b) {
                for (unsigned int d = 0; d < count[2]; ++d) {
                    if (gap_sq[0][a] + (gap_sq[1][b] + gap_sq[2][d]) > reach_sq) continue;
                    const unsigned int cell = key(values[0][a], values[1][b], values[2][d]);
                    if (nranges > 0 && cell == previous + 1) {
                        stretches[nranges - 1].end = first_entry(cell + 1);
                    } else {
                        stretches[nranges++] = {first_entry(cell), first_entry(cell + 1), {0.0, 0.0, 0.0}};
                    }
                    previous = cell;
                }
            }
        }
        return nranges;
    }

private:
    // scan_ranges with three or more sub-cells along every axis: for each (x, y) pair
    // the z sub-cells that the radius reaches, in their order, as one stretch where
    // they lie side by side and as two where z wraps around the box. The own z
    // sub-cell is nearest, so if it lies beyond the radius so do the other two. Along
    // an axis with five or more sub-cells each stretch takes one minimum image for all
    // its entries (see image_shifts).
    template <typename FirstEntry>
    unsigned int column_stretches(const unsigned int values[3][3], const double gap_sq[3][3], FirstEntry first_entry,
                                  kernels::Stretch stretches[27], kernels::ScanImage& image) const {
        double shift[3][3];
        for (int k = 0; k < 3; ++k) {
            const unsigned int own = values[k][1];
            if (n[k] < 5) {
                shift[k][0] = shift[k][1] = shift[k][2] = 0.0;
                continue;
            }
            image_shifts(k, own, shift[k]);
            image.periodic[k] = false;
            image.shifted = image.shifted || own == 0 || own == n[k] - 1;
        }
        const unsigned int low_z = values[2][0], z = values[2][1], high_z = values[2][2];
        unsigned int count = 0;
        for (unsigned int a = 0; a < 3; ++a) {
            for (unsigned int b = 0; b < 3; ++b) {
                const double gap_xy = gap_sq[1][b];
                if (gap_sq[0][a] + (gap_xy + gap_sq[2][1]) > reach_sq) continue;
                const bool low = gap_sq[0][a] + (gap_xy + gap_sq[2][0]) <= reach_sq;
                const bool high = gap_sq[0][a] + (gap_xy + gap_sq[2][2]) <= reach_sq;
                const unsigned int column = key(values[0][a], values[1][b], 0);
                // The sub-cells first .. last of the column, their z separations moved by `shift_z`.
                const auto take = [&](unsigned int first, unsigned int last, double shift_z) {
                    stretches[count++] = {first_entry(column + first), first_entry(column + last + 1),
                                          {shift[0][a], shift[1][b], shift_z}};
                };
                if (low_z + 1 == z && z + 1 == high_z) {
                    take(low ? low_z : z, high ? high_z : z, 0.0);
                } else if (z == 0) {
                    if (low) take(low_z, low_z, shift[2][0]);
                    take(z, high ? high_z : z, 0.0);
                } else {
                    take(low ? low_z : z, z, 0.0);
                    if (high) take(high_z, high_z, shift[2][2]);
                }
            }
        }
        return count;
    }

    // The minimum image along axis k, with five or more sub-cells, from a particle in
    // sub-cell c to every particle in its low, own and high neighbour sub-cells. A
    // neighbour across the box's face lies more than n - 2 sub-cells, at least three
    // fifths of the box, away: every separation from it moves by one box edge (toward
    // the particle). Any other lies less than two sub-cells, two fifths of the box,
    // away: none moves. The margins dwarf the roundings of the sort.
    void image_shifts(int k, unsigned int c, double shift[3]) const {
        shift[0] = c == 0 ? box[k] : 0.0;
        shift[1] = 0.0;
        shift[2] = c == n[k] - 1 ? -box[k] : 0.0;
    }

    // The squared gaps along axis k from x, in sub-cell c, to the low, own and high
    // neighbour sub-cells: to the own sub-cell's faces, which a wrapped neighbour
    // shares, as every image beyond lies at least a sub-cell further (with three or
    // more sub-cells). Shortened by a millionth of a millionth of the box, far more
    // than the roundings of the sort and of the scan's separations, and zero with
    // fewer than three sub-cells, where the neighbours coincide.
    void gaps_sq(int k, unsigned int c, double x, double gap_sq[3]) const {
        gap_sq[0] = gap_sq[1] = gap_sq[2] = 0.0;
        if (n[k] < 3) return;
        const double slack = 1e-12 * (n[k] * edge[k]);
        const double low = x - c * edge[k] - slack;
        const double high = (c + 1) * edge[k] - x - slack;
        gap_sq[0] = low > 0.0 ? low * low : 0.0;
        gap_sq[2] = high > 0.0 ? high * high : 0.0;
    }
};
