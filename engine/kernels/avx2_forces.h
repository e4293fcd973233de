// The run-by-run force loop of the hand-written AVX-512 kernel set (avx512.cpp),
// written in AVX2 instructions, which the unit compiles for AVX-512 (an eight-lane
// version of this loop ran slower than this one on the AVX-512 processors measured).
//
// The loop takes one particle at a time and its run four entries at a time: the
// separations of each four, the pairs inside the cut-off compacted into buffers,
// then their divisions four at a time. Every sum keeps the scalar loop's order: the
// terms of each pair are transposed into one vector (fx, fy, fz, energy) and added
// pair after pair, and pairs beyond the cut-off are left out, as the scalar loop
// leaves them out. With the particles' labels shuffled in space, as a long run
// leaves them, it loses far less than a loop over one particle per lane: each
// particle's neighbours load well ahead of their use.
//
// Highway's AVX2 and AVX-512 targets run this loop too, written in Highway's
// operations (highway.cpp), with the same results bit for bit; on processors with
// AVX2 and without AVX-512, Highway's is the one that runs. The two executed the
// same instructions within 0.5 % (callgrind: 90.8 against 90.4 million for this
// copy compiled for AVX2, tovrin-phases 4000 5 2 1), and in one process, the two
// loops called in turn 150 times on the same list of 32,000 particles after 20
// steps, one thread, AMD EPYC (Zen 3) with AVX2 only (2026-12-10), Highway's took
// 1.00 to 1.04 times this one's processor time in lattice order (median of the
// pairs' ratios, 8 processes; their median 1.02; the same loop on both sides gives
// 1.00), 0.97 to 0.99 times with the labels shuffled (3 processes). Compiled for
// AVX-512 the two have not been timed against each other: no processor with AVX-512
// was at hand since Highway's copy was brought to this one's instructions.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernel_blocks.h"
#include "kernels.h"

namespace kernels {
namespace {
namespace avx2 {

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

inline __m256d compress(__m256d v, __m256i index) {
    return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), index));
}

// Four entries of a run: their separations and squared distances, and which of them
// lie inside the cut-off (bit l for entry l; none past the run's end).
struct Chunk {
    __m256d rx, ry, rz, distsq;
    int inside;
};

// Coordinates of entries e .. e + 3 of a run. With `Clamp`, entries past its end read
// its closing index: only the list's last runs need that, as every other has more
// runs after it than the loads run ahead.
template <bool Clamp>
inline Coordinates chunk_coordinates(const double* positions, const std::uint32_t* run, std::uint32_t length,
                                     std::uint32_t e) {
    std::uint32_t j[4];
    for (std::uint32_t l = 0; l < 4; ++l) j[l] = run[!Clamp || e + l < length ? e + l : length];
    return load_coordinates(positions, j);
}

// `left`: entries of the run from this chunk's first on; `image`: the axes whose
// minimum-image correction the particle's pairs need.
template <bool Image>
inline Chunk chunk_pairs(const Constants& c, const Coordinates& pi, const Coordinates& pj, std::uint32_t left,
                         const bool image[3]) {
    Chunk k;
    k.rx = _mm256_sub_pd(pi.x, pj.x);
    k.ry = _mm256_sub_pd(pi.y, pj.y);
    k.rz = _mm256_sub_pd(pi.z, pj.z);
    if (Image) {
        if (image[0]) k.rx = c.box.minimum_image(k.rx, 0);
        if (image[1]) k.ry = c.box.minimum_image(k.ry, 1);
        if (image[2]) k.rz = c.box.minimum_image(k.rz, 2);
    }
    k.distsq = squared_length(k.rx, k.ry, k.rz);
    const int in_run = left >= 4 ? 0xF : (1 << left) - 1;
    k.inside = _mm256_movemask_pd(_mm256_cmp_pd(k.distsq, c.rcutsq, _CMP_LT_OQ)) & in_run;
    return k;
}

// A particle's pairs inside the cut-off, compacted, one array per quantity.
struct InsidePairs {
    double* rx;
    double* ry;
    double* rz;
    double* distsq;
};

// The divisions of a particle's inside pairs, four at a time, and their terms added
// in run order to `acc` = (fx, fy, fz, energy sum): each pair's four terms are
// transposed into one vector, so that one addition takes all four sums a step on.
// The divisions run one group ahead of the additions, so that the second division,
// which waits for the first, does not hold up the group that adds.
class PairTerms {
public:
    PairTerms() = default;
    PairTerms(const InsidePairs& pairs, std::size_t count, double* force) : p(pairs), m(count), out(force) {}

    bool pending() const { return q < m; }

    void add_four(const Constants& c, __m256d& acc) {
        // The first group's divisions wait until here: right after the compaction its
        // distances would be read back across stores still in flight, which the
        // processor cannot forward.
        if (q == 0) divide(c, 0);
        const __m256d fr = ahead.fr, sr6 = ahead.sr6, sr12 = ahead.sr12;
        divide(c, q + 4);
        // Past the last pair every term is zero (the separations there are +0.0), which
        // leaves each sum as it is (none of them is ever -0.0: they start at +0.0).
        const __m256d live = _mm256_castsi256_pd(
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(m - q)), _mm256_setr_epi64x(0, 1, 2, 3)));
        const __m256d term = _mm256_and_pd(live, _mm256_sub_pd(_mm256_sub_pd(sr12, sr6), c.epot_cutoff));
        const __m256d fx = _mm256_mul_pd(fr, _mm256_loadu_pd(p.rx + q));
        const __m256d fy = _mm256_mul_pd(fr, _mm256_loadu_pd(p.ry + q));
        const __m256d fz = _mm256_mul_pd(fr, _mm256_loadu_pd(p.rz + q));
        const __m256d xy_even = _mm256_unpacklo_pd(fx, fy), xy_odd = _mm256_unpackhi_pd(fx, fy);
        const __m256d ze_even = _mm256_unpacklo_pd(fz, term), ze_odd = _mm256_unpackhi_pd(fz, term);
        acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(xy_even, ze_even, 0x20));
        acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(xy_odd, ze_odd, 0x20));
        acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(xy_even, ze_even, 0x31));
        acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(xy_odd, ze_odd, 0x31));
        q += 4;
    }

    // Adds the rest, stores the force and leaves `acc` at (0, 0, 0, energy sum).
    void finish(const Constants& c, __m256d& acc, double force_scale) {
        while (pending()) add_four(c, acc);
        if (out == nullptr) return;
        alignas(32) double sums[4];
        _mm256_store_pd(sums, acc);
        out[0] = sums[0] * force_scale;
        out[1] = sums[1] * force_scale;
        out[2] = sums[2] * force_scale;
        acc = _mm256_blend_pd(_mm256_setzero_pd(), acc, 0x8);
    }

private:
    // sr6, sr12 and the force factor of the group at `at`.
    void divide(const Constants& c, std::size_t at) {
        const __m256d distsq = _mm256_loadu_pd(p.distsq + at);
        const __m256d sr2 = _mm256_div_pd(c.sigmasq, distsq);
        ahead.sr6 = _mm256_mul_pd(_mm256_mul_pd(sr2, sr2), sr2);
        ahead.sr12 = _mm256_mul_pd(ahead.sr6, ahead.sr6);
        ahead.fr = _mm256_div_pd(_mm256_sub_pd(_mm256_mul_pd(c.two, ahead.sr12), ahead.sr6), distsq);
    }

    InsidePairs p{};
    std::size_t q = 0, m = 0;
    struct {
        __m256d sr6, sr12, fr;
    } ahead{};  // the next group's
    double* out = nullptr;
};

// Compacts the pairs of a run that lie inside the cut-off into `out` and returns
// their number. Software-pipelined: a chunk's coordinates load two chunks ahead and
// its separations are formed one ahead, and a group of the previous particle's terms
// is added each time, so that loads, divisions and the additions' latency overlap.
template <bool Clamp, bool Image>
std::size_t inside_pairs(const Constants& c, const double* positions, const std::uint32_t* run, std::uint32_t length,
                         const Coordinates& pi, const bool image[3], const InsidePairs& out, PairTerms& previous,
                         __m256d& acc) {
    std::size_t m = 0;
    Chunk now = chunk_pairs<Image>(c, pi, chunk_coordinates<Clamp>(positions, run, length, 0), length, image);
    Coordinates coming = chunk_coordinates<Clamp>(positions, run, length, 4);
    for (std::uint32_t e = 0; e < length; e += 4) {
        const Coordinates later = chunk_coordinates<Clamp>(positions, run, length, e + 8);
        const Chunk next = chunk_pairs<Image>(c, pi, coming, length - e > 4 ? length - e - 4 : 0, image);
        const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(compress_pairs.index[now.inside]));
        _mm256_storeu_pd(out.rx + m, compress(now.rx, index));
        _mm256_storeu_pd(out.ry + m, compress(now.ry, index));
        _mm256_storeu_pd(out.rz + m, compress(now.rz, index));
        _mm256_storeu_pd(out.distsq + m, compress(now.distsq, index));
        m += static_cast<std::size_t>(__builtin_popcount(now.inside));
        if (previous.pending()) previous.add_four(c, acc);
        now = next;
        coming = later;
    }
    // Past the last pair: no 0/0 (the divisions run a group ahead), and terms of zero.
    _mm256_storeu_pd(out.distsq + m, c.unit);
    _mm256_storeu_pd(out.distsq + m + 4, c.unit);
    _mm256_storeu_pd(out.rx + m, _mm256_setzero_pd());
    _mm256_storeu_pd(out.ry + m, _mm256_setzero_pd());
    _mm256_storeu_pd(out.rz + m, _mm256_setzero_pd());
    return m;
}

// Forces of particles begin .. end - 1, one particle after the other. Two sets of
// pair buffers alternate: one particle's pairs are compacted into one while the
// previous particle's terms are added from the other.
double force_block(const ForceArgs& a, std::size_t begin, std::size_t end, std::size_t thread) {
    const Constants c(a);
    const ImageFree image_free(a);
    double* const scratch = a.scratch + thread * a.scratch_per_thread;
    const std::size_t room = a.scratch_per_thread / 8;  // at least the longest run + 8
    const InsidePairs buffers[2] = {{scratch, scratch + room, scratch + 2 * room, scratch + 3 * room},
                                    {scratch + 4 * room, scratch + 5 * room, scratch + 6 * room, scratch + 7 * room}};
    const double* const positions = a.positions;
    __m256d acc = _mm256_setzero_pd();
    PairTerms previous;
    for (std::size_t i = begin; i < end; ++i) {
        const InsidePairs& out = buffers[(i - begin) % 2];
        const std::uint32_t* run = a.neighbor_list + a.neighbor_list[i];
        const std::size_t next = i + 1 < a.particles ? a.neighbor_list[i + 1] : a.list_size;
        const std::uint32_t length = static_cast<std::uint32_t>(next - a.neighbor_list[i] - 1);
        const std::uint32_t self[4] = {std::uint32_t(i), std::uint32_t(i), std::uint32_t(i), std::uint32_t(i)};
        const Coordinates pi = load_coordinates(positions, self);
        bool image[3];
        const bool any_image = image_free.axes_needing_image<1>(positions, self, image);
        // The loads run up to 11 entries past the run's end.
        const bool clamp = next + 11 >= a.list_size;
        std::size_t m;
        if (any_image) {
            m = clamp ? inside_pairs<true, true>(c, positions, run, length, pi, image, out, previous, acc)
                      : inside_pairs<false, true>(c, positions, run, length, pi, image, out, previous, acc);
        } else {
            m = clamp ? inside_pairs<true, false>(c, positions, run, length, pi, image, out, previous, acc)
                      : inside_pairs<false, false>(c, positions, run, length, pi, image, out, previous, acc);
        }
        previous.finish(c, acc, a.force_scale);
        previous = PairTerms(out, m, a.forces + 3 * i);
    }
    previous.finish(c, acc, a.force_scale);
    alignas(32) double sums[4];
    _mm256_store_pd(sums, acc);
    return sums[3];
}

}  // namespace avx2
}  // namespace
}  // namespace kernels
