// Kernels written once with Google Highway and compiled for each of its targets
// (SSSE3 to AVX-512 on x86-64, NEON and SVE on ARM, and its scalar fallback);
// Highway's run-time dispatch picks the widest target the processor runs.
//
// The same scheme as the hand-written AVX2 and AVX-512 kernels, with the force loop's
// outline from kernel_blocks.h: one particle per lane, masked lanes adding nothing,
// plain multiplications, additions and true divisions, never a fused multiply-add
// (the unit is compiled with -ffp-contract=off like the rest of the engine).
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

// Compiled once, for the baseline, whichever target includes this file first.
#ifndef TOVRIN_KERNELS_HIGHWAY_SHARED
#define TOVRIN_KERNELS_HIGHWAY_SHARED
namespace kernels {
namespace {

// For each mask of L lanes, the lane numbers that bring its set lanes to the front
// in order (then lane 0). Highway's own Compress builds its table afresh at every
// call when compiled with GCC.
template <std::size_t L>
struct CompressOrder {
    std::int32_t lanes[std::size_t{1} << L][L];
    constexpr CompressOrder() : lanes() {
        for (std::size_t mask = 0; mask < (std::size_t{1} << L); ++mask) {
            std::size_t out = 0;
            for (std::size_t lane = 0; lane < L; ++lane) {
                if ((mask >> lane) & 1) lanes[mask][out++] = static_cast<std::int32_t>(lane);
            }
        }
    }
};
template <std::size_t L>
constexpr CompressOrder<L> compress_order{};

}  // namespace
}  // namespace kernels
#endif  // TOVRIN_KERNELS_HIGHWAY_SHARED

HWY_BEFORE_NAMESPACE();
namespace kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Vectors of L doubles; L is at most kernels::scan_padding, the entries the scan
// may read past a stretch's end.
template <std::size_t L>
using Doubles = hn::CappedTag<double, L>;

// The separation component with at most one box-edge correction: subtract at or
// above half the edge, add below minus half of it (both tests on the raw value).
template <class D, class V = hn::Vec<D>>
HWY_INLINE V minimum_image(D, V r, V edge, V half, V neg_half) {
    const auto high = hn::Ge(r, half);
    const auto low = hn::Lt(r, neg_half);
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
            // The lanes' masks as bits: lane l is bit l, and L is at most 8.
            std::uint8_t within = 0, other = 0;
            hn::StoreMaskBits(d, hn::And(hn::FirstN(d, last - e), hn::Le(squared_length(rx, ry, rz), cutsq)),
                              &within);
            hn::StoreMaskBits(du32, hn::Ne(j, self), &other);
            const unsigned int near = within & other;
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

// This target's kernels for vectors of L doubles.
template <std::size_t L>
const KernelSet* kernels_with_lanes() {
    static const std::string name = std::string("Highway ") + hwy::TargetName(HWY_TARGET);
    static const KernelSet set = {name.c_str(), L, force_block<ForceLanes<L>>, nullptr, scan_subcells<L>, wrap<L>};
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
