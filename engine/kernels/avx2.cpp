// AVX2 kernels: four particles at a time, one per lane; the same scheme as the
// AVX-512 kernels with blends in place of mask registers.
#include <immintrin.h>

#include <cstdint>

#include "kernel_blocks.h"
#include "kernels.h"

namespace kernels {
namespace {

constexpr std::size_t lanes = 4;

struct Box {
    __m256d edge[3];
    __m256d half[3];      // 0.5 * edge
    __m256d neg_half[3];  // -(0.5 * edge)

    explicit Box(const double box[3]) {
        for (int k = 0; k < 3; ++k) {
            edge[k] = _mm256_set1_pd(box[k]);
            half[k] = _mm256_set1_pd(0.5 * box[k]);
            neg_half[k] = _mm256_set1_pd(-(0.5 * box[k]));
        }
    }

    __m256d minimum_image(__m256d r, int k) const {
        const __m256d high = _mm256_cmp_pd(r, half[k], _CMP_GE_OQ);
        const __m256d low = _mm256_cmp_pd(r, neg_half[k], _CMP_LT_OQ);
        r = _mm256_blendv_pd(r, _mm256_sub_pd(r, edge[k]), high);
        return _mm256_blendv_pd(r, _mm256_add_pd(r, edge[k]), low);
    }
};

inline __m256d squared_length(__m256d x, __m256d y, __m256d z) {
    return _mm256_add_pd(_mm256_mul_pd(x, x), _mm256_add_pd(_mm256_mul_pd(y, y), _mm256_mul_pd(z, z)));
}

// All-ones in the lanes below n.
inline __m128i first_lanes(std::size_t n) {
    return _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(n)), _mm_setr_epi32(0, 1, 2, 3));
}

// x, y and z of four particles, loaded one particle at a time and transposed.
struct Coordinates {
    __m256d x, y, z;
};

inline Coordinates load_coordinates(const double* positions, const std::uint32_t j[4]) {
    const __m256i xyz = _mm256_setr_epi64x(-1, -1, -1, 0);  // never reads past a particle
    const __m256d p0 = _mm256_maskload_pd(positions + 3 * std::size_t(j[0]), xyz);
    const __m256d p1 = _mm256_maskload_pd(positions + 3 * std::size_t(j[1]), xyz);
    const __m256d p2 = _mm256_maskload_pd(positions + 3 * std::size_t(j[2]), xyz);
    const __m256d p3 = _mm256_maskload_pd(positions + 3 * std::size_t(j[3]), xyz);
    const __m256d xz01 = _mm256_unpacklo_pd(p0, p1);  // x0 x1 z0 z1
    const __m256d y01 = _mm256_unpackhi_pd(p0, p1);   // y0 y1 .. ..
    const __m256d xz23 = _mm256_unpacklo_pd(p2, p3);
    const __m256d y23 = _mm256_unpackhi_pd(p2, p3);
    return {_mm256_permute2f128_pd(xz01, xz23, 0x20), _mm256_permute2f128_pd(y01, y23, 0x20),
            _mm256_permute2f128_pd(xz01, xz23, 0x31)};
}

// The pair loop of the force kernel for four particles, one per lane.
struct Avx2 {
    static constexpr std::size_t lanes = 4;

    struct Constants {
        Box box;
        __m256d rcutsq, sigmasq, epot_cutoff, two, unit;

        explicit Constants(const ForceArgs& a)
            : box(a.box),
              rcutsq(_mm256_set1_pd(a.rcutsq)),
              sigmasq(_mm256_set1_pd(a.sigmasq)),
              epot_cutoff(_mm256_set1_pd(a.epot_cutoff)),
              two(_mm256_set1_pd(2.0)),
              unit(_mm256_set1_pd(1.0)) {}
    };

    struct Block {
        Coordinates at;
        Block(const double* positions, const std::uint32_t self[lanes]) : at(load_coordinates(positions, self)) {}
    };

    // The separations and the first division of one entry per lane.
    struct Pairs {
        __m256d rx, ry, rz, distsq, inside, sr2;
    };

    template <bool Image>
    static Pairs pairs(const Constants& c, const Coordinates& pi, const double* positions, const std::uint32_t j[lanes],
                       __m128i length_biased, std::uint32_t k) {
        const __m128i sign = _mm_set1_epi32(INT32_MIN);  // unsigned comparison by signed compare
        const __m128i live = _mm_cmpgt_epi32(length_biased, _mm_xor_si128(_mm_set1_epi32(static_cast<int>(k)), sign));
        const Coordinates pj = load_coordinates(positions, j);
        Pairs p;
        p.rx = _mm256_sub_pd(pi.x, pj.x);
        p.ry = _mm256_sub_pd(pi.y, pj.y);
        p.rz = _mm256_sub_pd(pi.z, pj.z);
        if (Image) {
            p.rx = c.box.minimum_image(p.rx, 0);
            p.ry = c.box.minimum_image(p.ry, 1);
            p.rz = c.box.minimum_image(p.rz, 2);
        }
        const __m256d raw_distsq = squared_length(p.rx, p.ry, p.rz);
        p.inside = _mm256_and_pd(_mm256_castsi256_pd(_mm256_cvtepi32_epi64(live)),
                                 _mm256_cmp_pd(raw_distsq, c.rcutsq, _CMP_LT_OQ));
        p.distsq = _mm256_blendv_pd(c.unit, raw_distsq, p.inside);  // no 0/0 in idle lanes
        p.sr2 = _mm256_div_pd(c.sigmasq, p.distsq);
        return p;
    }

    // The pair loop, software-pipelined: the indices of entry k + 2 and the
    // separations and first division of entry k + 1 are under way while entry k
    // finishes, so that the loads' and the divisions' latencies overlap.
    template <bool Clamp, bool Image>
    static void block_forces(const ForceArgs& a, const Constants& c, const Block& block, const std::uint32_t* runs,
                             const std::uint32_t first[lanes], const std::uint32_t run_length[lanes],
                             std::uint32_t longest, double* terms, double force[3][lanes],
                             PendingSum<lanes>& pending, double& sum) {
        const Coordinates& pi = block.at;
        const __m128i length = _mm_load_si128(reinterpret_cast<const __m128i*>(run_length));
        const __m128i length_biased = _mm_xor_si128(length, _mm_set1_epi32(INT32_MIN));
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
        __m256d fx = _mm256_setzero_pd(), fy = _mm256_setzero_pd(), fz = _mm256_setzero_pd();
        std::uint32_t j_next[lanes], j_after[lanes];
        indices(0, j_next);
        Pairs p = pairs<Image>(c, pi, positions, j_next, length_biased, 0);
        indices(1, j_next);
        for (std::uint32_t k = 0; k < longest; ++k) {
            indices(k + 2, j_after);
            const Pairs next = pairs<Image>(c, pi, positions, j_next, length_biased, k + 1);
            const __m256d sr6 = _mm256_mul_pd(_mm256_mul_pd(p.sr2, p.sr2), p.sr2);
            const __m256d sr12 = _mm256_mul_pd(sr6, sr6);
            _mm256_storeu_pd(terms + lanes * k,
                             _mm256_and_pd(p.inside, _mm256_sub_pd(_mm256_sub_pd(sr12, sr6), c.epot_cutoff)));
            const __m256d fr = _mm256_div_pd(_mm256_sub_pd(_mm256_mul_pd(c.two, sr12), sr6), p.distsq);
            fx = _mm256_blendv_pd(fx, _mm256_add_pd(fx, _mm256_mul_pd(fr, p.rx)), p.inside);
            fy = _mm256_blendv_pd(fy, _mm256_add_pd(fy, _mm256_mul_pd(fr, p.ry)), p.inside);
            fz = _mm256_blendv_pd(fz, _mm256_add_pd(fz, _mm256_mul_pd(fr, p.rz)), p.inside);
            pending.add_some(sum);
            p = next;
            for (std::size_t l = 0; l < lanes; ++l) j_next[l] = j_after[l];
        }
        // Whole rounds of terms for the sum: +0.0 up to the next multiple of the lanes.
        for (std::uint32_t k = longest; k % lanes != 0; ++k) _mm256_storeu_pd(terms + lanes * k, _mm256_setzero_pd());
        _mm256_store_pd(force[0], fx);
        _mm256_store_pd(force[1], fy);
        _mm256_store_pd(force[2], fz);
    }
};

// Byte shuffles that move the selected 32-bit lanes of a 4-lane vector to the front.
struct CompressTable {
    alignas(16) std::uint8_t shuffle[16][16];
    constexpr CompressTable() : shuffle() {
        for (int mask = 0; mask < 16; ++mask) {
            int out = 0;
            for (int lane = 0; lane < 4; ++lane) {
                if (mask & (1 << lane)) {
                    for (int byte = 0; byte < 4; ++byte) shuffle[mask][4 * out + byte] = std::uint8_t(4 * lane + byte);
                    ++out;
                }
            }
            for (int byte = 4 * out; byte < 16; ++byte) shuffle[mask][byte] = 0x80;
        }
    }
};
constexpr CompressTable compress_table;

template <bool Periodic>
std::uint32_t* scan_ranges(const SubcellScan& s, std::uint32_t i, const double pi[3],
                           const std::uint32_t (*ranges)[2], unsigned int nranges, std::uint32_t* out) {
    const Box box(s.box);
    const __m256d cutsq = _mm256_set1_pd(s.cutsq);
    const __m256d xi = _mm256_set1_pd(pi[0]);
    const __m256d yi = _mm256_set1_pd(pi[1]);
    const __m256d zi = _mm256_set1_pd(pi[2]);
    const __m128i self = _mm_set1_epi32(static_cast<int>(i));
    // Locals: the stores to `out` may alias any memory, so values kept in memory
    // would be reloaded at every step.
    const double* const x = s.x;
    const double* const y = s.y;
    const double* const z = s.z;
    const std::uint32_t* const index = s.index;
    for (unsigned int r = 0; r < nranges; ++r) {
        const std::uint32_t last = ranges[r][1];
        // Whole vectors, reading into the next stretch or the padding; lanes past
        // the stretch's end are masked off.
        for (std::uint32_t e = ranges[r][0]; e < last; e += lanes) {
            const __m128i valid = first_lanes(last - e);
            __m256d rx = _mm256_sub_pd(xi, _mm256_loadu_pd(x + e));
            __m256d ry = _mm256_sub_pd(yi, _mm256_loadu_pd(y + e));
            __m256d rz = _mm256_sub_pd(zi, _mm256_loadu_pd(z + e));
            if (Periodic) {
                rx = box.minimum_image(rx, 0);
                ry = box.minimum_image(ry, 1);
                rz = box.minimum_image(rz, 2);
            }
            const __m128i j = _mm_loadu_si128(reinterpret_cast<const __m128i*>(index + e));
            const int within = _mm256_movemask_pd(_mm256_cmp_pd(squared_length(rx, ry, rz), cutsq, _CMP_LE_OQ));
            const int near = within & _mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(_mm_cmpeq_epi32(j, self), valid)));
            const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(compress_table.shuffle[near]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(j, shuffle));
            out += __builtin_popcount(near);
        }
    }
    return out;
}

std::uint32_t* scan_subcells(const SubcellScan& s, std::uint32_t i, const double pi[3],
                             const std::uint32_t (*ranges)[2], unsigned int nranges, bool periodic,
                             std::uint32_t* out) {
    return periodic ? scan_ranges<true>(s, i, pi, ranges, nranges, out)
                    : scan_ranges<false>(s, i, pi, ranges, nranges, out);
}

// A vector's worth of particles spans three vectors whose lanes cycle x, y, z.
bool wrap(double* coordinates, std::size_t count, const double inverse_edge[3], const double edge[3]) {
    double inverse_pattern[3][lanes];
    double edge_pattern[3][lanes];
    for (std::size_t k = 0; k < 3 * lanes; ++k) {
        inverse_pattern[k / lanes][k % lanes] = inverse_edge[k % 3];
        edge_pattern[k / lanes][k % lanes] = edge[k % 3];
    }
    __m256d inverse[3], edges[3];
    for (int v = 0; v < 3; ++v) {
        inverse[v] = _mm256_loadu_pd(inverse_pattern[v]);
        edges[v] = _mm256_loadu_pd(edge_pattern[v]);
    }
    const __m256d zero = _mm256_setzero_pd();
    __m256d inside = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        for (int v = 0; v < 3; ++v) {
            double* at = coordinates + 3 * i + lanes * v;
            const __m256d p = _mm256_loadu_pd(at);
            const __m256d wrapped =
                _mm256_sub_pd(p, _mm256_mul_pd(_mm256_floor_pd(_mm256_mul_pd(p, inverse[v])), edges[v]));
            _mm256_storeu_pd(at, wrapped);
            inside = _mm256_and_pd(inside, _mm256_and_pd(_mm256_cmp_pd(wrapped, zero, _CMP_GE_OQ),
                                                         _mm256_cmp_pd(wrapped, edges[v], _CMP_LE_OQ)));
        }
    }
    // The last particles, fewer than a vector's worth, one by one.
    const bool rest_inside = generic_kernels().wrap(coordinates + 3 * i, count - i, inverse_edge, edge);
    return _mm256_movemask_pd(inside) == 0xF && rest_inside;
}

}  // namespace

extern const KernelSet avx2_set = {"AVX2", lanes, force_block<Avx2>, scan_subcells, wrap};

}  // namespace kernels
