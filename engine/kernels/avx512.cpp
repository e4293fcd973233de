// AVX-512 kernels: the neighbour-list scan and the wrap eight entries at a time, and
// two force loops with the same results: the AVX2 loop (avx2_forces.h) compiled for
// this instruction set, and one over eight particles at a time, one per lane.
//
// The eight-lane loop walks the runs of eight consecutive particles side by side:
// lane l reads particle l's run front to back, so its force sums keep their order.
// Lanes whose pair is beyond the cut-off, or whose run has ended, are masked off; a
// masked lane adds nothing, exactly as the scalar loop skips the pair. The energy
// terms are parked per lane and added particle by particle in run order while the
// next block computes (kernel_blocks.h). It is the faster while the particles'
// labels follow their places in space (a lattice start: consecutive particles share
// their neighbours, which stay in the cache), the run-by-run loop once a long run has
// mixed them; the engine times both (forces.cpp).
//
// Highway's AVX3 target (highway.cpp) runs the same loops, scan and wrap with the
// same results. This hand-written set stays, the one set of kernels outside Highway,
// because its scan and its eight-lane loop are the shorter: AVX-512 compacts the
// indices of a vector of entries with one instruction (vpcompressd), where Highway's
// scan, written for every target, looks the order up in a table; its inner loop is
// 29 instructions per eight entries against Highway's 34 (32 against 37 where a
// stretch is shifted by a box edge), and its eight-lane force loop takes about 97
// instructions per step of its eight runs against Highway's 113, which assembles the
// coordinates from pairs of doubles (GCC 12, Highway 1.0.3). On an AMD EPYC Zen 4
// (2026-12-09), one thread, best processor time of 7 alternating rounds of
// tovrin-phases at 32,000 particles, a list build took 0.456 µs per atom against
// Highway's 0.491, and a force computation 0.188 against 0.201 (Highway's then with
// the eight-lane loop alone; its run-by-run loop has since been brought to
// avx2_forces.h's instructions). No processor with AVX-512 has been at hand since to
// time the two again.
#include <immintrin.h>

#include "avx2_forces.h"
#include "kernel_blocks.h"
#include "kernels.h"

namespace kernels {
namespace {

constexpr std::size_t lanes = 8;

struct Box {
    __m512d edge[3];
    __m512d half[3];      // 0.5 * edge
    __m512d neg_half[3];  // -(0.5 * edge)

    explicit Box(const double box[3]) {
        for (int k = 0; k < 3; ++k) {
            edge[k] = _mm512_set1_pd(box[k]);
            half[k] = _mm512_set1_pd(0.5 * box[k]);
            neg_half[k] = _mm512_set1_pd(-(0.5 * box[k]));
        }
    }

    // One box-edge correction at most: subtract at or above half the edge, add below
    // minus half of it.
    __m512d minimum_image(__m512d r, int k) const {
        const __mmask8 high = _mm512_cmp_pd_mask(r, half[k], _CMP_GE_OQ);
        const __mmask8 low = _mm512_cmp_pd_mask(r, neg_half[k], _CMP_LT_OQ);
        r = _mm512_mask_sub_pd(r, high, r, edge[k]);
        return _mm512_mask_add_pd(r, low, r, edge[k]);
    }
};

inline __m512d squared_length(__m512d x, __m512d y, __m512d z) {
    return _mm512_add_pd(_mm512_mul_pd(x, x), _mm512_add_pd(_mm512_mul_pd(y, y), _mm512_mul_pd(z, z)));
}

// x, y and z of eight particles, loaded one particle at a time (on these processors
// that is faster than gathering them) and transposed.
struct Coordinates {
    __m512d x, y, z;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // the cast's upper half is overwritten at once
inline Coordinates load_coordinates(const double* positions, const std::uint32_t j[8]) {
    const auto pair = [&](int l) {
        const __m256d low = _mm256_maskz_loadu_pd(0x7, positions + 3 * std::size_t(j[l]));
        const __m256d high = _mm256_maskz_loadu_pd(0x7, positions + 3 * std::size_t(j[l + 1]));
        return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
    };
    const __m512d p01 = pair(0), p23 = pair(2), p45 = pair(4), p67 = pair(6);
    const __m512i xy = _mm512_setr_epi64(0, 8, 4, 12, 1, 9, 5, 13);
    const __m512i zw = _mm512_setr_epi64(2, 10, 6, 14, 3, 11, 7, 15);
    const __m512d xy0123 = _mm512_permutex2var_pd(p01, xy, p23);  // x0 x2 x1 x3 y0 y2 y1 y3
    const __m512d xy4567 = _mm512_permutex2var_pd(p45, xy, p67);
    const __m512d z0123 = _mm512_permutex2var_pd(p01, zw, p23);
    const __m512d z4567 = _mm512_permutex2var_pd(p45, zw, p67);
    const __m512i low_halves = _mm512_setr_epi64(0, 2, 1, 3, 8, 10, 9, 11);
    const __m512i high_halves = _mm512_setr_epi64(4, 6, 5, 7, 12, 14, 13, 15);
    return {_mm512_permutex2var_pd(xy0123, low_halves, xy4567), _mm512_permutex2var_pd(xy0123, high_halves, xy4567),
            _mm512_permutex2var_pd(z0123, low_halves, z4567)};
}
#pragma GCC diagnostic pop

// The pair loop of the force kernel for eight particles, one per lane.
struct Avx512 {
    static constexpr std::size_t lanes = 8;

    struct Constants {
        Box box;
        __m512d rcutsq, sigmasq, epot_cutoff, two;

        explicit Constants(const ForceArgs& a)
            : box(a.box),
              rcutsq(_mm512_set1_pd(a.rcutsq)),
              sigmasq(_mm512_set1_pd(a.sigmasq)),
              epot_cutoff(_mm512_set1_pd(a.epot_cutoff)),
              two(_mm512_set1_pd(2.0)) {}
    };

    struct Block {
        Coordinates at;
        Block(const double* positions, const std::uint32_t self[lanes]) : at(load_coordinates(positions, self)) {}
    };

    // The separations and the first division of one entry per lane.
    struct Pairs {
        __m512d rx, ry, rz, distsq, sr2;
        __mmask8 inside;
    };

    template <bool Image>
    static Pairs pairs(const Constants& c, const Coordinates& pi, const Coordinates& pj, __m256i length, std::uint32_t k,
                       const bool image[3]) {
        const __mmask8 live = _mm256_cmpgt_epu32_mask(length, _mm256_set1_epi32(static_cast<int>(k)));
        Pairs p;
        p.rx = _mm512_sub_pd(pi.x, pj.x);
        p.ry = _mm512_sub_pd(pi.y, pj.y);
        p.rz = _mm512_sub_pd(pi.z, pj.z);
        if (Image) {
            if (image[0]) p.rx = c.box.minimum_image(p.rx, 0);
            if (image[1]) p.ry = c.box.minimum_image(p.ry, 1);
            if (image[2]) p.rz = c.box.minimum_image(p.rz, 2);
        }
        p.distsq = squared_length(p.rx, p.ry, p.rz);
        p.inside = _mm512_mask_cmp_pd_mask(live, p.distsq, c.rcutsq, _CMP_LT_OQ);
        p.sr2 = _mm512_maskz_div_pd(p.inside, c.sigmasq, p.distsq);
        return p;
    }

    // The pair loop, software-pipelined: the indices of entry k + 3, the coordinates
    // of entry k + 2 and the separations and first division of entry k + 1 are under
    // way while entry k finishes, so that the loads' and the divisions' latencies
    // overlap. The running sum is a local: kept in memory it would add a store and a
    // load to every round of its chain of additions.
    template <bool Clamp, bool Image>
    static void block_forces(const ForceArgs& a, const Constants& c, const Block& block, const std::uint32_t* runs,
                             const std::uint32_t first[lanes], const std::uint32_t run_length[lanes],
                             std::uint32_t longest, const bool image[3], double* terms, double force[3][lanes],
                             PendingSum<lanes>& pending, double& sum) {
        const Coordinates& pi = block.at;
        const __m256i length = _mm256_load_si256(reinterpret_cast<const __m256i*>(run_length));
        // Locals: the vector stores below may alias any memory, so values kept in
        // memory would be reloaded at every step.
        const double* const positions = a.positions;
        const std::uint32_t* lane_run[lanes];
        std::uint32_t lane_length[lanes];
        for (std::size_t l = 0; l < lanes; ++l) {
            lane_run[l] = runs + first[l];
            lane_length[l] = run_length[l];
        }
        const auto indices = [&](std::uint32_t k, std::uint32_t j[lanes]) {
            for (std::size_t l = 0; l < lanes; ++l) j[l] = lane_run[l][Clamp && k > lane_length[l] ? lane_length[l] : k];
        };
        __m512d fx = _mm512_setzero_pd(), fy = _mm512_setzero_pd(), fz = _mm512_setzero_pd();
        std::uint32_t j_next[lanes];
        indices(0, j_next);
        Pairs p = pairs<Image>(c, pi, load_coordinates(positions, j_next), length, 0, image);
        indices(1, j_next);
        Coordinates pj = load_coordinates(positions, j_next);
        indices(2, j_next);
        double running = sum;
        for (std::uint32_t k = 0; k < longest; ++k) {
            const Coordinates pj_after = load_coordinates(positions, j_next);
            indices(k + 3, j_next);
            const Pairs next = pairs<Image>(c, pi, pj, length, k + 1, image);
            const __m512d sr6 = _mm512_mul_pd(_mm512_mul_pd(p.sr2, p.sr2), p.sr2);
            const __m512d sr12 = _mm512_mul_pd(sr6, sr6);
            _mm512_storeu_pd(terms + lanes * k, _mm512_maskz_sub_pd(p.inside, _mm512_sub_pd(sr12, sr6), c.epot_cutoff));
            const __m512d fr =
                _mm512_maskz_div_pd(p.inside, _mm512_sub_pd(_mm512_mul_pd(c.two, sr12), sr6), p.distsq);
            fx = _mm512_mask_add_pd(fx, p.inside, fx, _mm512_mul_pd(fr, p.rx));
            fy = _mm512_mask_add_pd(fy, p.inside, fy, _mm512_mul_pd(fr, p.ry));
            fz = _mm512_mask_add_pd(fz, p.inside, fz, _mm512_mul_pd(fr, p.rz));
            pending.add_some(running);
            p = next;
            pj = pj_after;
        }
        sum = running;
        // Whole rounds of terms for the sum: +0.0 up to the next multiple of the lanes.
        for (std::uint32_t k = longest; k % lanes != 0; ++k) _mm512_storeu_pd(terms + lanes * k, _mm512_setzero_pd());
        _mm512_store_pd(force[0], fx);
        _mm512_store_pd(force[1], fy);
        _mm512_store_pd(force[2], fz);
    }
};

template <bool Periodic, bool Shifted>
std::uint32_t* scan_stretches(const SubcellScan& s, std::uint32_t i, const double pi[3], const Stretch* stretches,
                              unsigned int count, const ScanImage& image, std::uint32_t* out) {
    const Box box(s.box);
    const __m512d cutsq = _mm512_set1_pd(s.cutsq);
    const __m512d xi = _mm512_set1_pd(pi[0]);
    const __m512d yi = _mm512_set1_pd(pi[1]);
    const __m512d zi = _mm512_set1_pd(pi[2]);
    const __m256i self = _mm256_set1_epi32(static_cast<int>(i));
    const double* const x = s.x;
    const double* const y = s.y;
    const double* const z = s.z;
    const std::uint32_t* const index = s.index;
    for (const Stretch* stretch = stretches; stretch != stretches + count; ++stretch) {
        const std::uint32_t last = stretch->end;
        const __m512d shift_x = _mm512_set1_pd(stretch->shift[0]);
        const __m512d shift_y = _mm512_set1_pd(stretch->shift[1]);
        const __m512d shift_z = _mm512_set1_pd(stretch->shift[2]);
        for (std::uint32_t e = stretch->begin; e < last; e += lanes) {
            // Whole vectors, reading into the next stretch or the padding; lanes past
            // the stretch's end are masked off.
            const __mmask8 valid = static_cast<__mmask8>(last - e >= lanes ? 0xFF : (1u << (last - e)) - 1);
            __m512d rx = _mm512_sub_pd(xi, _mm512_loadu_pd(x + e));
            __m512d ry = _mm512_sub_pd(yi, _mm512_loadu_pd(y + e));
            __m512d rz = _mm512_sub_pd(zi, _mm512_loadu_pd(z + e));
            if (Shifted) {
                rx = _mm512_add_pd(rx, shift_x);
                ry = _mm512_add_pd(ry, shift_y);
                rz = _mm512_add_pd(rz, shift_z);
            }
            if (Periodic) {
                if (image.periodic[0]) rx = box.minimum_image(rx, 0);
                if (image.periodic[1]) ry = box.minimum_image(ry, 1);
                if (image.periodic[2]) rz = box.minimum_image(rz, 2);
            }
            const __m256i j = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + e));
            const __mmask8 near = _mm512_mask_cmp_pd_mask(valid, squared_length(rx, ry, rz), cutsq, _CMP_LE_OQ) &
                                  _mm256_cmpneq_epi32_mask(j, self);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_maskz_compress_epi32(near, j));
            out += __builtin_popcount(near);
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

// A vector's worth of particles spans three vectors whose lanes cycle x, y, z.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // in the compiler's own rounding intrinsic
bool wrap(double* coordinates, std::size_t count, const double inverse_edge[3], const double edge[3]) {
    double inverse_pattern[3][lanes];
    double edge_pattern[3][lanes];
    for (std::size_t k = 0; k < 3 * lanes; ++k) {
        inverse_pattern[k / lanes][k % lanes] = inverse_edge[k % 3];
        edge_pattern[k / lanes][k % lanes] = edge[k % 3];
    }
    __m512d inverse[3], edges[3];
    for (int v = 0; v < 3; ++v) {
        inverse[v] = _mm512_loadu_pd(inverse_pattern[v]);
        edges[v] = _mm512_loadu_pd(edge_pattern[v]);
    }
    const __m512d zero = _mm512_setzero_pd();
    __mmask8 inside = 0xFF;
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        for (int v = 0; v < 3; ++v) {
            double* at = coordinates + 3 * i + lanes * v;
            const __m512d p = _mm512_loadu_pd(at);
            const __m512d floor = _mm512_roundscale_pd(_mm512_mul_pd(p, inverse[v]), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            const __m512d wrapped = _mm512_sub_pd(p, _mm512_mul_pd(floor, edges[v]));
            _mm512_storeu_pd(at, wrapped);
            inside &= _mm512_cmp_pd_mask(wrapped, zero, _CMP_GE_OQ) & _mm512_cmp_pd_mask(wrapped, edges[v], _CMP_LE_OQ);
        }
    }
    // The last particles, fewer than a vector's worth, one by one.
    const bool rest_inside = generic_kernels().wrap(coordinates + 3 * i, count - i, inverse_edge, edge);
    return inside == 0xFF && rest_inside;
}
#pragma GCC diagnostic pop

}  // namespace

extern const KernelSet avx512_set = {"AVX-512", lanes, avx2::force_block, force_block<Avx512>, scan_subcells, wrap};

}  // namespace kernels
