// Kernels written once with Google Highway and compiled for each of its targets
// (SSSE3 to AVX-512 on x86-64, NEON and SVE on ARM, and its scalar fallback);
// Highway's run-time dispatch picks the widest target the processor runs.
//
// They are the engine's kernels on every processor but those with AVX-512, which run
// the hand-written set (avx512.cpp), and give the same bits as it: plain
// multiplications, additions and true divisions, never a fused multiply-add (the unit
// is compiled with -ffp-contract=off like the rest of the engine). The force loop of
// the AVX2 and AVX-512 targets takes one particle at a time on four lanes
// (run_by_run below; the hand-written set's avx2_forces.h is the same loop); the
// AVX-512 target keeps the loop over eight particles, one per lane, as its second.
// The other targets (SSE4, NEON, SVE, ...), whose vectors may hold fewer than four
// doubles or have no width known when compiling, run kernel_blocks.h's outline: one
// particle per lane, masked lanes adding nothing.
//
// This file is compiled once per target (hwy/foreach_target.h includes it again for
// each): everything in HWY_NAMESPACE exists once per target, in a namespace of its
// own and with that target's instructions; kernel_blocks.h's outline, included once,
// is compiled for the baseline and calls each target's pair loop once per block.
// SVE vectors have no size known to the compiler, so no vector is kept in a struct
// or an array.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/highway.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernel_blocks.h"
#include "kernels.h"

HWY_BEFORE_NAMESPACE();
namespace kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Vectors of L doubles; L is at most kernels::scan_padding, the entries the scan
// may read past a stretch's end.
template <std::size_t L>
using Doubles = hn::CappedTag<double, L>;

// a < b, lane by lane. Highway's Lt(a, b) is Gt(b, a), in which b must sit in a
// register: where b is a constant that the compiler keeps on the stack, as in the
// run-by-run force loop, that costs a load of its own, which the compare the other
// way round reads as its memory operand.
template <class V>
HWY_INLINE auto below(V a, V b) -> decltype(hn::Lt(a, b)) {
    return hn::Lt(a, b);
}
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
HWY_INLINE hn::Mask256<double> below(hn::Vec256<double> a, hn::Vec256<double> b) {
    return hn::Mask256<double>{_mm256_cmp_pd_mask(a.raw, b.raw, _CMP_LT_OQ)};
}
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
HWY_INLINE hn::Mask256<double> below(hn::Vec256<double> a, hn::Vec256<double> b) {
    return hn::Mask256<double>{_mm256_cmp_pd(a.raw, b.raw, _CMP_LT_OQ)};
}
#endif

// The lanes of a mask as bits, lane l as bit l (at most 8 lanes). StoreMaskBits
// writes them out as a byte, which then takes an instruction of its own to widen
// again; x86 masks give them directly: AVX-512 keeps them as bits, and on AVX2 a
// movemask takes them from the lanes of doubles and of 32-bit integers.
template <class D>
HWY_INLINE unsigned int lane_bits(D d, hn::Mask<D> m) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    return static_cast<unsigned int>(m.raw) & ((1u << hn::MaxLanes(d)) - 1);
#else
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    if constexpr (hn::MaxLanes(d) == 4 && sizeof(hn::TFromD<D>) == 8) {
        return static_cast<unsigned int>(_mm256_movemask_pd(m.raw));
    } else if constexpr (hn::MaxLanes(d) == 4 && sizeof(hn::TFromD<D>) == 4) {
        return static_cast<unsigned int>(_mm_movemask_ps(_mm_castsi128_ps(m.raw)));
    }
#endif
    std::uint8_t bits = 0;
    hn::StoreMaskBits(d, m, &bits);
    return bits;
#endif
}

// The separation component with at most one box-edge correction: subtract at or
// above half the edge, add below minus half of it (both tests on the raw value).
template <class D, class V = hn::Vec<D>>
HWY_INLINE V minimum_image(D, V r, V edge, V half, V neg_half) {
    const auto high = hn::Ge(r, half);
    const auto low = below(r, neg_half);
    r = hn::IfThenElse(high, hn::Sub(r, edge), r);
    return hn::IfThenElse(low, hn::Add(r, edge), r);
}

template <class V>
HWY_INLINE V squared_length(V x, V y, V z) {
    return hn::Add(hn::Mul(x, x), hn::Add(hn::Mul(y, y), hn::Mul(z, z)));
}

// Vectors of a fixed width of two lanes or more (neither SVE nor Highway's scalar
// target) assemble the particles' coordinates from loads of two of them.
#define TOVRIN_PAIRED_LOADS (!HWY_HAVE_SCALABLE && HWY_TARGET != HWY_SCALAR)

#if TOVRIN_PAIRED_LOADS
// Two consecutive doubles of each particle whose first lies at p + offsets[m], for
// m below half the lanes of d, side by side.
template <class D>
HWY_INLINE hn::Vec<D> side_by_side(D d, const double* p, const std::int64_t* offsets) {
    if constexpr (hn::MaxLanes(D()) == 2) {
        return hn::LoadU(d, p + offsets[0]);
    } else {
        const hn::Half<D> half;
        return hn::Combine(d, side_by_side(half, p, offsets + hn::MaxLanes(D()) / 4), side_by_side(half, p, offsets));
    }
}
#endif

// x, y and z of the particles whose coordinates start at positions + offsets[l]:
// from the pairs (x, y) and (y, z) of each particle, which read nothing past it;
// gathered where vectors have no fixed width (SVE gathers natively) or one lane.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void load_coordinates(D d, const double* positions, const std::int64_t* offsets, V& x, V& y, V& z) {
#if TOVRIN_PAIRED_LOADS
    constexpr std::size_t half = hn::MaxLanes(D()) / 2;
    const V xy_low = side_by_side(d, positions, offsets), xy_high = side_by_side(d, positions, offsets + half);
    x = hn::ConcatEven(d, xy_high, xy_low);
    y = hn::ConcatOdd(d, xy_high, xy_low);
    z = hn::ConcatOdd(d, side_by_side(d, positions + 1, offsets + half), side_by_side(d, positions + 1, offsets));
#else
    const auto at = hn::Load(hn::RebindToSigned<D>(), offsets);
    x = hn::GatherIndex(d, positions, at);
    y = hn::GatherIndex(d, positions + 1, at);
    z = hn::GatherIndex(d, positions + 2, at);
#endif
}

// The pair loop of the force kernel for L particles, one per lane (the `Simd` of
// kernel_blocks.h).
template <std::size_t L>
struct ForceLanes {
    static constexpr std::size_t lanes = L;
    using D = Doubles<L>;
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;

    // The constants are set up as vectors inside the pair loop.
    struct Constants {
        explicit Constants(const ForceArgs&) {}
    };

    // Where the block's particles' coordinates start.
    struct Block {
        alignas(64) std::int64_t offset[L];
        Block(const double*, const std::uint32_t self[L]) {
            for (std::size_t l = 0; l < L; ++l) offset[l] = 3 * std::int64_t(self[l]);
        }
    };

    // The pair loop, software-pipelined as in the hand-written kernels: the indices
    // of entry k + 2 and the separations and first division of entry k + 1 are under
    // way while entry k finishes.
    template <bool Clamp, bool Image>
    static void block_forces(const ForceArgs& a, const Constants&, const Block& block, const std::uint32_t* runs,
                             const std::uint32_t first[L], const std::uint32_t run_length[L],
                             std::uint32_t longest, const bool image[3], double* terms, double force[3][L],
                             PendingSum<L>& pending, double& sum) {
        const D d;
        const V rcutsq = hn::Set(d, a.rcutsq), sigmasq = hn::Set(d, a.sigmasq);
        const V epot_cutoff = hn::Set(d, a.epot_cutoff), two = hn::Set(d, 2.0), unit = hn::Set(d, 1.0);
        const V edge_x = hn::Set(d, a.box[0]), edge_y = hn::Set(d, a.box[1]), edge_z = hn::Set(d, a.box[2]);
        const V half_x = hn::Set(d, 0.5 * a.box[0]), half_y = hn::Set(d, 0.5 * a.box[1]),
                half_z = hn::Set(d, 0.5 * a.box[2]);
        const V neg_half_x = hn::Set(d, -(0.5 * a.box[0])), neg_half_y = hn::Set(d, -(0.5 * a.box[1])),
                neg_half_z = hn::Set(d, -(0.5 * a.box[2]));
        const double* const positions = a.positions;
        V xi, yi, zi;
        load_coordinates(d, positions, block.offset, xi, yi, zi);
        // Run lengths as doubles (exact below 2^53), compared with the entry number.
        alignas(64) double length_lanes[L];
        const std::uint32_t* lane_run[L];
        std::uint32_t lane_length[L];
        for (std::size_t l = 0; l < L; ++l) {
            length_lanes[l] = run_length[l];
            lane_run[l] = runs + first[l];
            lane_length[l] = run_length[l];
        }
        const V length = hn::Load(d, length_lanes);
        const auto offsets = [&](std::uint32_t k, std::int64_t j[L]) {
            for (std::size_t l = 0; l < L; ++l) {
                j[l] = 3 * std::int64_t(lane_run[l][Clamp && k > lane_length[l] ? lane_length[l] : k]);
            }
        };
        // The separations and the first division of entry k of every lane.
        const auto pairs = [&](const std::int64_t j[L], std::uint32_t k, V& rx, V& ry, V& rz, V& distsq, M& inside,
                               V& sr2) {
            V xj, yj, zj;
            load_coordinates(d, positions, j, xj, yj, zj);
            rx = hn::Sub(xi, xj);
            ry = hn::Sub(yi, yj);
            rz = hn::Sub(zi, zj);
            if (Image) {
                if (image[0]) rx = minimum_image(d, rx, edge_x, half_x, neg_half_x);
                if (image[1]) ry = minimum_image(d, ry, edge_y, half_y, neg_half_y);
                if (image[2]) rz = minimum_image(d, rz, edge_z, half_z, neg_half_z);
            }
            const V raw_distsq = squared_length(rx, ry, rz);
            inside = hn::And(hn::Lt(hn::Set(d, double(k)), length), hn::Lt(raw_distsq, rcutsq));
            distsq = hn::IfThenElse(inside, raw_distsq, unit);  // no 0/0 in idle lanes
            sr2 = hn::Div(sigmasq, distsq);
        };
        V fx = hn::Zero(d), fy = hn::Zero(d), fz = hn::Zero(d);
        alignas(64) std::int64_t j_next[L], j_after[L];
        V rx, ry, rz, distsq, sr2;
        M inside;
        offsets(0, j_next);
        pairs(j_next, 0, rx, ry, rz, distsq, inside, sr2);
        offsets(1, j_next);
        for (std::uint32_t k = 0; k < longest; ++k) {
            offsets(k + 2, j_after);
            V next_rx, next_ry, next_rz, next_distsq, next_sr2;
            M next_inside;
            pairs(j_next, k + 1, next_rx, next_ry, next_rz, next_distsq, next_inside, next_sr2);
            const V sr6 = hn::Mul(hn::Mul(sr2, sr2), sr2);
            const V sr12 = hn::Mul(sr6, sr6);
            hn::StoreU(hn::IfThenElseZero(inside, hn::Sub(hn::Sub(sr12, sr6), epot_cutoff)), d, terms + L * k);
            const V fr = hn::Div(hn::Sub(hn::Mul(two, sr12), sr6), distsq);
            fx = hn::IfThenElse(inside, hn::Add(fx, hn::Mul(fr, rx)), fx);
            fy = hn::IfThenElse(inside, hn::Add(fy, hn::Mul(fr, ry)), fy);
            fz = hn::IfThenElse(inside, hn::Add(fz, hn::Mul(fr, rz)), fz);
            pending.add_some(sum);
            rx = next_rx;
            ry = next_ry;
            rz = next_rz;
            distsq = next_distsq;
            inside = next_inside;
            sr2 = next_sr2;
            for (std::size_t l = 0; l < L; ++l) j_next[l] = j_after[l];
        }
        // Whole rounds of terms for the sum: +0.0 up to the next multiple of the lanes.
        for (std::uint32_t k = longest; k % L != 0; ++k) hn::StoreU(hn::Zero(d), d, terms + L * k);
        hn::Store(fx, d, force[0]);
        hn::Store(fy, d, force[1]);
        hn::Store(fz, d, force[2]);
    }
};

// Targets whose vectors hold four doubles or more at a width fixed when compiling
// (AVX2 and AVX-512 on x86-64) run the run-by-run force loop below on four lanes;
// the others keep the one-particle-per-lane loop.
#define TOVRIN_RUN_BY_RUN (HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2)

#if TOVRIN_RUN_BY_RUN
// The force loop that takes one particle at a time and its run four entries at a
// time: the separations of each four, the pairs inside the cut-off compacted into
// buffers, then their divisions four at a time. Every sum keeps the scalar loop's
// order: the terms of each pair are transposed into one vector (fx, fy, fz, energy)
// and added pair after pair, and pairs beyond the cut-off are left out, as the scalar
// loop leaves them out. With the particles' labels shuffled in space, as a long run
// leaves them, it loses far less than the loop over one particle per lane: each
// particle's neighbours load well ahead of their use. In an unnamed namespace, so
// that the compiler sees every call and inlines as it would in a unit of its own
// (the engine's library is position-independent).
namespace {
namespace run_by_run {

using D = hn::CappedTag<double, 4>;
using V = hn::Vec<D>;
using M = hn::Mask<D>;
using Floats = hn::Repartition<float, D>;  // the same vector as 8 floats, for the compaction

struct Constants {
    V edge[3], half[3], neg_half[3];  // box edges, 0.5 * edge, -(0.5 * edge)
    V rcutsq, sigmasq, epot_cutoff, two, unit;
    M xyz;     // lanes 0 to 2: one particle's coordinates
    M energy;  // lane 3

    explicit Constants(const ForceArgs& a) {
        const D d;
        for (int k = 0; k < 3; ++k) {
            edge[k] = hn::Set(d, a.box[k]);
            half[k] = hn::Set(d, 0.5 * a.box[k]);
            neg_half[k] = hn::Set(d, -(0.5 * a.box[k]));
        }
        rcutsq = hn::Set(d, a.rcutsq);
        sigmasq = hn::Set(d, a.sigmasq);
        epot_cutoff = hn::Set(d, a.epot_cutoff);
        two = hn::Set(d, 2.0);
        unit = hn::Set(d, 1.0);
        xyz = hn::FirstN(d, 3);
        energy = hn::Not(xyz);
    }
};

// x, y and z of four particles, loaded one particle at a time (never reading past
// it) and transposed.
struct Coordinates {
    V x, y, z;
};

HWY_INLINE Coordinates load_coordinates(const Constants& c, const double* positions, const std::uint32_t j[4]) {
    const D d;
    const V p0 = hn::MaskedLoad(c.xyz, d, positions + 3 * std::size_t(j[0]));
    const V p1 = hn::MaskedLoad(c.xyz, d, positions + 3 * std::size_t(j[1]));
    const V p2 = hn::MaskedLoad(c.xyz, d, positions + 3 * std::size_t(j[2]));
    const V p3 = hn::MaskedLoad(c.xyz, d, positions + 3 * std::size_t(j[3]));
    const V xz01 = hn::InterleaveLower(d, p0, p1);  // x0 x1 z0 z1
    const V y01 = hn::InterleaveUpper(d, p0, p1);   // y0 y1 .. ..
    const V xz23 = hn::InterleaveLower(d, p2, p3);
    const V y23 = hn::InterleaveUpper(d, p2, p3);
    return {hn::ConcatLowerLower(d, xz23, xz01), hn::ConcatLowerLower(d, y23, y01),
            hn::ConcatUpperUpper(d, xz23, xz01)};
}

// The selected lanes of `v` at the front, in order.
HWY_INLINE V compress(V v, unsigned int mask) {
    const Floats df;
    return hn::BitCast(D(), hn::TableLookupLanes(hn::BitCast(df, v), hn::SetTableIndices(df, compress_pairs.index[mask])));
}

// Four entries of a run: their separations and squared distances, and which of them
// lie inside the cut-off (bit l for entry l; none past the run's end).
struct Chunk {
    V rx, ry, rz, distsq;
    unsigned int inside;
};

// Coordinates of entries e .. e + 3 of a run. With `Clamp`, entries past its end read
// its closing index: only the list's last runs need that, as every other has more
// runs after it than the loads run ahead.
template <bool Clamp>
HWY_INLINE Coordinates chunk_coordinates(const Constants& c, const double* positions, const std::uint32_t* run,
                                         std::uint32_t length, std::uint32_t e) {
    std::uint32_t j[4];
    for (std::uint32_t l = 0; l < 4; ++l) j[l] = run[!Clamp || e + l < length ? e + l : length];
    return load_coordinates(c, positions, j);
}

// `left`: entries of the run from this chunk's first on; `image`: the axes whose
// minimum-image correction the particle's pairs need.
template <bool Image>
HWY_INLINE Chunk chunk_pairs(const Constants& c, const Coordinates& pi, const Coordinates& pj, std::uint32_t left,
                             const bool image[3]) {
    const D d;
    Chunk k;
    k.rx = hn::Sub(pi.x, pj.x);
    k.ry = hn::Sub(pi.y, pj.y);
    k.rz = hn::Sub(pi.z, pj.z);
    if (Image) {
        if (image[0]) k.rx = minimum_image(d, k.rx, c.edge[0], c.half[0], c.neg_half[0]);
        if (image[1]) k.ry = minimum_image(d, k.ry, c.edge[1], c.half[1], c.neg_half[1]);
        if (image[2]) k.rz = minimum_image(d, k.rz, c.edge[2], c.half[2], c.neg_half[2]);
    }
    k.distsq = squared_length(k.rx, k.ry, k.rz);
    const unsigned int in_run = left >= 4 ? 0xFu : (1u << left) - 1;
    k.inside = lane_bits(D(), below(k.distsq, c.rcutsq)) & in_run;
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

    void add_four(const Constants& c, V& acc) {
        const D d;
        // The first group's divisions wait until here: right after the compaction its
        // distances would be read back across stores still in flight, which the
        // processor cannot forward.
        if (q == 0) divide(c, 0);
        const V fr = ahead.fr, energy = ahead.energy;
        divide(c, q + 4);
        // Past the last pair every term is zero (the separations there are +0.0), which
        // leaves each sum as it is (none of them is ever -0.0: they start at +0.0).
        const V term = hn::IfThenElseZero(hn::FirstN(d, m - q), energy);
        const V fx = hn::Mul(fr, hn::LoadU(d, p.rx + q));
        const V fy = hn::Mul(fr, hn::LoadU(d, p.ry + q));
        const V fz = hn::Mul(fr, hn::LoadU(d, p.rz + q));
        const V xy_even = hn::InterleaveLower(d, fx, fy), xy_odd = hn::InterleaveUpper(d, fx, fy);
        const V ze_even = hn::InterleaveLower(d, fz, term), ze_odd = hn::InterleaveUpper(d, fz, term);
        acc = hn::Add(acc, hn::ConcatLowerLower(d, ze_even, xy_even));
        acc = hn::Add(acc, hn::ConcatLowerLower(d, ze_odd, xy_odd));
        acc = hn::Add(acc, hn::ConcatUpperUpper(d, ze_even, xy_even));
        acc = hn::Add(acc, hn::ConcatUpperUpper(d, ze_odd, xy_odd));
        q += 4;
    }

    // Adds the rest, stores the force and leaves `acc` at (0, 0, 0, energy sum).
    void finish(const Constants& c, V& acc, double force_scale) {
        while (pending()) add_four(c, acc);
        if (out == nullptr) return;
        alignas(32) double sums[4];
        hn::Store(acc, D(), sums);
        out[0] = sums[0] * force_scale;
        out[1] = sums[1] * force_scale;
        out[2] = sums[2] * force_scale;
        acc = hn::IfThenElseZero(c.energy, acc);
    }

private:
    // The energy terms and force factors of the group at `at`. Carried to the
    // additions instead of sr6, sr12 and the force factor, they leave the loop one
    // vector register more, which it would otherwise spill to the stack.
    void divide(const Constants& c, std::size_t at) {
        const V distsq = hn::LoadU(D(), p.distsq + at);
        const V sr2 = hn::Div(c.sigmasq, distsq);
        const V sr6 = hn::Mul(hn::Mul(sr2, sr2), sr2);
        const V sr12 = hn::Mul(sr6, sr6);
        ahead.energy = hn::Sub(hn::Sub(sr12, sr6), c.epot_cutoff);
        ahead.fr = hn::Div(hn::Sub(hn::Mul(c.two, sr12), sr6), distsq);
    }

    InsidePairs p{};
    std::size_t q = 0, m = 0;
    struct {
        V energy, fr;
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
                         V& acc) {
    const D d;
    // Locals: the vector stores may alias any memory, so pointers kept in memory
    // would be reloaded at every step.
    double* const rx = out.rx;
    double* const ry = out.ry;
    double* const rz = out.rz;
    double* const distsq = out.distsq;
    std::size_t m = 0;
    Chunk now = chunk_pairs<Image>(c, pi, chunk_coordinates<Clamp>(c, positions, run, length, 0), length, image);
    Coordinates coming = chunk_coordinates<Clamp>(c, positions, run, length, 4);
    for (std::uint32_t e = 0; e < length; e += 4) {
        const Coordinates later = chunk_coordinates<Clamp>(c, positions, run, length, e + 8);
        const Chunk next = chunk_pairs<Image>(c, pi, coming, length - e > 4 ? length - e - 4 : 0, image);
        hn::StoreU(compress(now.rx, now.inside), d, rx + m);
        hn::StoreU(compress(now.ry, now.inside), d, ry + m);
        hn::StoreU(compress(now.rz, now.inside), d, rz + m);
        hn::StoreU(compress(now.distsq, now.inside), d, distsq + m);
        m += static_cast<std::size_t>(__builtin_popcount(now.inside));
        if (previous.pending()) previous.add_four(c, acc);
        now = next;
        coming = later;
    }
    // Past the last pair: no 0/0 (the divisions run a group ahead), and terms of zero.
    hn::StoreU(c.unit, d, distsq + m);
    hn::StoreU(c.unit, d, distsq + m + 4);
    hn::StoreU(hn::Zero(d), d, rx + m);
    hn::StoreU(hn::Zero(d), d, ry + m);
    hn::StoreU(hn::Zero(d), d, rz + m);
    return m;
}

// Forces of particles begin .. end - 1, one particle after the other. Two sets of
// pair buffers alternate: one particle's pairs are compacted into one while the
// previous particle's terms are added from the other.
double force_block(const ForceArgs& a, std::size_t begin, std::size_t end, std::size_t thread) {
    const D d;
    const Constants c(a);
    const ImageFree image_free(a);
    double* const scratch = a.scratch + thread * a.scratch_per_thread;
    const std::size_t room = a.scratch_per_thread / 8;  // at least the longest run + 8
    const InsidePairs buffers[2] = {{scratch, scratch + room, scratch + 2 * room, scratch + 3 * room},
                                    {scratch + 4 * room, scratch + 5 * room, scratch + 6 * room, scratch + 7 * room}};
    const double* const positions = a.positions;
    V acc = hn::Zero(d);
    PairTerms previous;
    for (std::size_t i = begin; i < end; ++i) {
        const InsidePairs& out = buffers[(i - begin) % 2];
        const std::uint32_t* run = a.neighbor_list + a.neighbor_list[i];
        const std::size_t next = i + 1 < a.particles ? a.neighbor_list[i + 1] : a.list_size;
        const std::uint32_t length = static_cast<std::uint32_t>(next - a.neighbor_list[i] - 1);
        const std::uint32_t self[4] = {std::uint32_t(i), std::uint32_t(i), std::uint32_t(i), std::uint32_t(i)};
        const Coordinates pi = load_coordinates(c, positions, self);
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
    hn::Store(acc, d, sums);
    return sums[3];
}

}  // namespace run_by_run
}  // namespace
#endif  // TOVRIN_RUN_BY_RUN

template <std::size_t L, bool Periodic, bool Shifted>
std::uint32_t* scan_stretches(const SubcellScan& s, std::uint32_t i, const double pi[3], const Stretch* stretches,
                              unsigned int count, const ScanImage& image, std::uint32_t* out) {
    const Doubles<L> d;
    const hn::Rebind<std::uint32_t, decltype(d)> du32;  // the indices
    const auto cutsq = hn::Set(d, s.cutsq);
    const auto xi = hn::Set(d, pi[0]), yi = hn::Set(d, pi[1]), zi = hn::Set(d, pi[2]);
    const auto edge_x = hn::Set(d, s.box[0]), edge_y = hn::Set(d, s.box[1]), edge_z = hn::Set(d, s.box[2]);
    const auto half_x = hn::Set(d, 0.5 * s.box[0]), half_y = hn::Set(d, 0.5 * s.box[1]),
               half_z = hn::Set(d, 0.5 * s.box[2]);
    const auto neg_half_x = hn::Set(d, -(0.5 * s.box[0])), neg_half_y = hn::Set(d, -(0.5 * s.box[1])),
               neg_half_z = hn::Set(d, -(0.5 * s.box[2]));
    const auto self = hn::Set(du32, i);
    // Locals: the stores to `out` may alias any memory, so values kept in memory
    // would be reloaded at every step.
    const double* const x = s.x;
    const double* const y = s.y;
    const double* const z = s.z;
    const std::uint32_t* const index = s.index;
    for (const Stretch* stretch = stretches; stretch != stretches + count; ++stretch) {
        const std::uint32_t last = stretch->end;
        const auto shift_x = hn::Set(d, stretch->shift[0]), shift_y = hn::Set(d, stretch->shift[1]),
                   shift_z = hn::Set(d, stretch->shift[2]);
        // Whole vectors, reading into the next stretch or the padding; lanes past
        // the stretch's end are masked off.
        for (std::uint32_t e = stretch->begin; e < last; e += L) {
            auto rx = hn::Sub(xi, hn::LoadU(d, x + e));
            auto ry = hn::Sub(yi, hn::LoadU(d, y + e));
            auto rz = hn::Sub(zi, hn::LoadU(d, z + e));
            if (Shifted) {
                rx = hn::Add(rx, shift_x);
                ry = hn::Add(ry, shift_y);
                rz = hn::Add(rz, shift_z);
            }
            if (Periodic) {
                if (image.periodic[0]) rx = minimum_image(d, rx, edge_x, half_x, neg_half_x);
                if (image.periodic[1]) ry = minimum_image(d, ry, edge_y, half_y, neg_half_y);
                if (image.periodic[2]) rz = minimum_image(d, rz, edge_z, half_z, neg_half_z);
            }
            const auto j = hn::LoadU(du32, index + e);
            // Inside the list radius, and another particle of this stretch.
            const unsigned int near = lane_bits(d, hn::Le(squared_length(rx, ry, rz), cutsq)) &
                                      lane_bits(du32, hn::AndNot(hn::Eq(j, self), hn::FirstN(du32, last - e)));
            const auto order = hn::SetTableIndices(du32, compress_order<L>.lanes[near]);
            hn::StoreU(hn::TableLookupLanes(j, order), du32, out);
            out += __builtin_popcount(near);
        }
    }
    return out;
}

template <std::size_t L>
std::uint32_t* scan_subcells(const SubcellScan& s, std::uint32_t i, const double pi[3], const Stretch* stretches,
                             unsigned int count, const ScanImage& image, std::uint32_t* out) {
    return scan_for_image(image, [&](auto periodic, auto shifted) {
        return scan_stretches<L, decltype(periodic)::value, decltype(shifted)::value>(s, i, pi, stretches, count,
                                                                                      image, out);
    });
}

// A vector's worth of particles spans three vectors whose lanes cycle x, y, z.
template <std::size_t L>
bool wrap(double* coordinates, std::size_t count, const double inverse_edge[3], const double edge[3]) {
    const Doubles<L> d;
    alignas(64) double inverse_pattern[3][L];
    alignas(64) double edge_pattern[3][L];
    for (std::size_t k = 0; k < 3 * L; ++k) {
        inverse_pattern[k / L][k % L] = inverse_edge[k % 3];
        edge_pattern[k / L][k % L] = edge[k % 3];
    }
    const auto zero = hn::Zero(d);
    auto inside = hn::FirstN(d, L);
    std::size_t i = 0;
    for (; i + L <= count; i += L) {
        for (std::size_t v = 0; v < 3; ++v) {
            double* at = coordinates + 3 * i + L * v;
            const auto p = hn::LoadU(d, at);
            const auto edges = hn::Load(d, edge_pattern[v]);
            const auto wrapped = hn::Sub(p, hn::Mul(hn::Floor(hn::Mul(p, hn::Load(d, inverse_pattern[v]))), edges));
            hn::StoreU(wrapped, d, at);
            inside = hn::And(inside, hn::And(hn::Ge(wrapped, zero), hn::Le(wrapped, edges)));
        }
    }
    // The last particles, fewer than a vector's worth, one by one.
    const bool rest_inside = generic_kernels().wrap(coordinates + 3 * i, count - i, inverse_edge, edge);
    return hn::AllTrue(d, inside) && rest_inside;
}

// The second force loop for vectors of L doubles, beside the run-by-run one: the
// loop over eight particles at a time, one per lane, is the faster while the
// particles' labels follow their places in space (a lattice start: consecutive
// particles share their neighbours, which stay in the cache); the engine times both.
template <std::size_t L>
constexpr ForceBlockFn other_force_loop() {
    if constexpr (L >= 8) {
        return force_block<ForceLanes<L>>;
    } else {
        return nullptr;
    }
}

// This target's kernels for vectors of L doubles.
template <std::size_t L>
const KernelSet* kernels_with_lanes() {
    static const std::string name = std::string("Highway ") + hwy::TargetName(HWY_TARGET);
#if TOVRIN_RUN_BY_RUN
    static const KernelSet set = {name.c_str(), L,        run_by_run::force_block, other_force_loop<L>(),
                                  scan_subcells<L>, wrap<L>};
#else
    static const KernelSet set = {name.c_str(), L, force_block<ForceLanes<L>>, nullptr, scan_subcells<L>, wrap<L>};
#endif
    return &set;
}

// This target's kernels, as wide as its vectors, up to 8 doubles. SVE's width is
// known only when running: a power of two, 2 doubles or more.
const KernelSet* target_kernels() {
#if HWY_HAVE_SCALABLE
    const std::size_t width = hn::Lanes(Doubles<8>());
    return width >= 8 ? kernels_with_lanes<8>() : width >= 4 ? kernels_with_lanes<4>() : kernels_with_lanes<2>();
#else
    return kernels_with_lanes<HWY_MIN(HWY_LANES(double), scan_padding)>();
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace kernels {

HWY_EXPORT(target_kernels);

const KernelSet* highway_kernels() {
    const KernelSet* const set = HWY_DYNAMIC_DISPATCH(target_kernels)();
    return set->lanes > 1 ? set : nullptr;  // Highway's scalar target is the generic kernels' arithmetic, slower
}

const KernelSet* avx2_kernels() {
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_AVX2)
    return (hwy::SupportedTargets() & HWY_AVX2) != 0 ? N_AVX2::target_kernels() : nullptr;
#else
    return nullptr;
#endif
}

std::vector<const KernelSet*> highway_kernels_per_target() {
    std::vector<const KernelSet*> sets;
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        sets.push_back(HWY_DYNAMIC_DISPATCH(target_kernels)());
    }
    hwy::SetSupportedTargetsForTest(0);
    return sets;
}

}  // namespace kernels
#endif  // HWY_ONCE
