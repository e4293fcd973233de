// AVX2 kernels: the force loop (avx2_forces.h), and the neighbour-list scan and the
// wrap four entries at a time.
//
// Highway's AVX2 target runs the same scan (highway.cpp), with the same list; this
// copy stays because its builds are the faster: one list build of 32,000 particles
// on one thread, best processor time of alternating rounds of tovrin-phases,
// 0.574 against Highway's 0.604 µs per atom on an AMD EPYC Zen 4 with the AVX2 sets
// chosen, 0.45 against 0.48 on an AMD EPYC with AVX2 only (2026-12-09).
#include <immintrin.h>

#include <cstdint>

#include "avx2_forces.h"
#include "kernels.h"

namespace kernels {
namespace {

constexpr std::size_t lanes = 4;
using avx2::Box;
using avx2::squared_length;

// All-ones in the lanes below n.
inline __m128i first_lanes(std::size_t n) {
    return _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(n)), _mm_setr_epi32(0, 1, 2, 3));
}

// Byte shuffles that move the selected 32-bit lanes of a 4-lane vector to the front
// (zero bytes after them).
struct CompressTable {
    alignas(16) std::uint8_t shuffle[16][16];
    constexpr CompressTable() : shuffle() {
        for (std::size_t mask = 0; mask < 16; ++mask) {
            for (std::size_t out = 0; out < 4; ++out) {
                const std::int32_t lane = compress_order<4>.lanes[mask][out];
                for (int byte = 0; byte < 4; ++byte) {
                    shuffle[mask][4 * out + byte] =
                        out < compress_order<4>.count[mask] ? std::uint8_t(4 * lane + byte) : 0x80;
                }
            }
        }
    }
};
constexpr CompressTable compress_table;

template <bool Periodic, bool Shifted>
std::uint32_t* scan_stretches(const SubcellScan& s, std::uint32_t i, const double pi[3], const Stretch* stretches,
                              unsigned int count, const ScanImage& image, std::uint32_t* out) {
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
    for (const Stretch* stretch = stretches; stretch != stretches + count; ++stretch) {
        const std::uint32_t last = stretch->end;
        const __m256d shift_x = _mm256_set1_pd(stretch->shift[0]);
        const __m256d shift_y = _mm256_set1_pd(stretch->shift[1]);
        const __m256d shift_z = _mm256_set1_pd(stretch->shift[2]);
        // Whole vectors, reading into the next stretch or the padding; lanes past
        // the stretch's end are masked off.
        for (std::uint32_t e = stretch->begin; e < last; e += lanes) {
            const __m128i valid = first_lanes(last - e);
            __m256d rx = _mm256_sub_pd(xi, _mm256_loadu_pd(x + e));
            __m256d ry = _mm256_sub_pd(yi, _mm256_loadu_pd(y + e));
            __m256d rz = _mm256_sub_pd(zi, _mm256_loadu_pd(z + e));
            if (Shifted) {
                rx = _mm256_add_pd(rx, shift_x);
                ry = _mm256_add_pd(ry, shift_y);
                rz = _mm256_add_pd(rz, shift_z);
            }
            if (Periodic) {
                if (image.periodic[0]) rx = box.minimum_image(rx, 0);
                if (image.periodic[1]) ry = box.minimum_image(ry, 1);
                if (image.periodic[2]) rz = box.minimum_image(rz, 2);
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

std::uint32_t* scan_subcells(const SubcellScan& s, std::uint32_t i, const double pi[3], const Stretch* stretches,
                             unsigned int count, const ScanImage& image, std::uint32_t* out) {
    return scan_for_image(image, [&](auto periodic, auto shifted) {
        return scan_stretches<decltype(periodic)::value, decltype(shifted)::value>(s, i, pi, stretches, count, image,
                                                                                   out);
    });
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

extern const KernelSet avx2_set = {"AVX2", lanes, avx2::force_block, nullptr, scan_subcells, wrap};

}  // namespace kernels
