// AVX-512 kernels: the neighbour-list scan and the wrap eight entries at a time, and
// the AVX2 force loop (avx2_forces.h) compiled for this instruction set.
#include <immintrin.h>

#include "avx2_forces.h"
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

template <bool Periodic>
std::uint32_t* scan_ranges(const SubcellScan& s, std::uint32_t i, const double pi[3],
                           const std::uint32_t (*ranges)[2], unsigned int nranges, const bool periodic[3],
                           std::uint32_t* out) {
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
    for (unsigned int r = 0; r < nranges; ++r) {
        const std::uint32_t last = ranges[r][1];
        for (std::uint32_t e = ranges[r][0]; e < last; e += lanes) {
            // Whole vectors, reading into the next stretch or the padding; lanes past
            // the stretch's end are masked off.
            const __mmask8 valid = static_cast<__mmask8>(last - e >= lanes ? 0xFF : (1u << (last - e)) - 1);
            __m512d rx = _mm512_sub_pd(xi, _mm512_loadu_pd(x + e));
            __m512d ry = _mm512_sub_pd(yi, _mm512_loadu_pd(y + e));
            __m512d rz = _mm512_sub_pd(zi, _mm512_loadu_pd(z + e));
            if (Periodic) {
                if (periodic[0]) rx = box.minimum_image(rx, 0);
                if (periodic[1]) ry = box.minimum_image(ry, 1);
                if (periodic[2]) rz = box.minimum_image(rz, 2);
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

std::uint32_t* scan_subcells(const SubcellScan& s, std::uint32_t i, const double pi[3],
                             const std::uint32_t (*ranges)[2], unsigned int nranges, const bool periodic[3],
                             std::uint32_t* out) {
    const bool any = periodic[0] || periodic[1] || periodic[2];
    return any ? scan_ranges<true>(s, i, pi, ranges, nranges, periodic, out)
               : scan_ranges<false>(s, i, pi, ranges, nranges, periodic, out);
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

extern const KernelSet avx512_set = {"AVX-512", lanes, avx2::force_block, scan_subcells, wrap};

}  // namespace kernels
