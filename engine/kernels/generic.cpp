// Scalar kernels for any processor: the plain arithmetic that every vector set
// reproduces bit for bit.
#include "kernels.h"

#include <cmath>

namespace kernels {

double minimum_image(double r, double edge) {
    if (r >= 0.5 * edge) return r - edge;
    if (r < -0.5 * edge) return r + edge;
    return r;
}

void widen_bounds(const double* positions, std::size_t count, double low[3], double high[3]) {
    for (std::size_t i = 0; i < count; ++i) {
        for (int k = 0; k < 3; ++k) {
            const double p = positions[3 * i + k];
            low[k] = p < low[k] ? p : low[k];
            high[k] = p > high[k] ? p : high[k];
        }
    }
}

namespace {

double force_block(const ForceArgs& a, std::size_t begin, std::size_t end, std::size_t) {
    double partial = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        const double* pi = a.positions + 3 * i;
        double fx = 0.0, fy = 0.0, fz = 0.0;
        for (std::size_t e = a.neighbor_list[i];; ++e) {
            const std::uint32_t j = a.neighbor_list[e];
            if (j == i) break;
            const double* pj = a.positions + 3 * std::size_t(j);
            const double rx = minimum_image(pi[0] - pj[0], a.box[0]);
            const double ry = minimum_image(pi[1] - pj[1], a.box[1]);
            const double rz = minimum_image(pi[2] - pj[2], a.box[2]);
            const double distsq = rx * rx + (ry * ry + rz * rz);
            if (!(distsq < a.rcutsq)) continue;
            const double sr2 = a.sigmasq / distsq;
            const double sr6 = sr2 * sr2 * sr2;
            const double sr12 = sr6 * sr6;
            partial += (sr12 - sr6) - a.epot_cutoff;
            const double fr = (2.0 * sr12 - sr6) / distsq;
            fx += fr * rx;
            fy += fr * ry;
            fz += fr * rz;
        }
        a.forces[3 * i] = fx * a.force_scale;
        a.forces[3 * i + 1] = fy * a.force_scale;
        a.forces[3 * i + 2] = fz * a.force_scale;
    }
    return partial;
}

template <bool Periodic, bool Shifted>
std::uint32_t* scan_stretches(const SubcellScan& s, std::uint32_t i, const double pi[3], const Stretch* stretches,
                              unsigned int count, const ScanImage& image, std::uint32_t* out) {
    for (const Stretch* stretch = stretches; stretch != stretches + count; ++stretch) {
        for (std::uint32_t e = stretch->begin; e < stretch->end; ++e) {
            const std::uint32_t j = s.index[e];
            if (j == i) continue;
            double rx = pi[0] - s.x[e], ry = pi[1] - s.y[e], rz = pi[2] - s.z[e];
            if (Shifted) {
                rx = rx + stretch->shift[0];
                ry = ry + stretch->shift[1];
                rz = rz + stretch->shift[2];
            }
            if (Periodic) {
                if (image.periodic[0]) rx = minimum_image(rx, s.box[0]);
                if (image.periodic[1]) ry = minimum_image(ry, s.box[1]);
                if (image.periodic[2]) rz = minimum_image(rz, s.box[2]);
            }
            if (rx * rx + (ry * ry + rz * rz) <= s.cutsq) *out++ = j;
        }
    }
    return out;
}

std::uint32_t* scan_subcells(const SubcellScan& s, std::uint32_t i, const double pi[3], const Stretch* stretches,
                             unsigned int count, const ScanImage& image, std::uint32_t* out) {
    return scan_for_image(image, [&](auto periodic, auto shifted) {
        return scan_stretches<decltype(periodic)::value, decltype(shifted)::value>(s, i, pi, stretches, count, image,
                                                                                   out);
    });
}

bool wrap(double* coordinates, std::size_t count, const double inverse_edge[3], const double edge[3]) {
    bool inside = true;
    for (std::size_t i = 0; i < count; ++i) {
        for (int c = 0; c < 3; ++c) {
            double& p = coordinates[3 * i + c];
            p = p - std::floor(p * inverse_edge[c]) * edge[c];
            inside = inside && p >= 0.0 && p <= edge[c];
        }
    }
    return inside;
}

const KernelSet generic_set = {"generic", 1, force_block, nullptr, scan_subcells, wrap};

}  // namespace

const KernelSet& generic_kernels() { return generic_set; }

}  // namespace kernels
