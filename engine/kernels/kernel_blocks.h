// The force loop's outline of the Highway kernels and of AVX-512's eight-lane loop:
// particles in blocks of one per lane, each lane walking its particle's run in
// order, and the energy terms added in their order while the next block computes;
// the test for pairs that need no minimum image, which every vector kernel uses; and
// the compaction tables (the order of a mask's set lanes, and the run-by-run loop's
// table built from it, hand-written and in Highway).
//
// Included only by the kernel units, each of which instantiates it for its own
// instruction set inside an unnamed namespace: no code compiled for one set is
// shared with another.
//
// An instruction set supplies `Simd` with:
//   lanes                       doubles per vector
//   struct Constants            per-call constants, constructed from ForceArgs
//   struct Block                a block's particle coordinates, from (positions, self[lanes])
//   block_forces<Clamp, Image>(...)  the pair loop of one block (see force_block below)
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernels.h"

namespace kernels {
namespace {

// For each mask of L lanes, the lane numbers that bring its set lanes to the front
// in order (then lane 0), and how many are set: every compaction table of the
// vector kernels is built from it (Highway's own Compress builds its table afresh at
// every call when compiled with GCC).
template <std::size_t L>
struct CompressOrder {
    std::int32_t lanes[std::size_t{1} << L][L];
    std::size_t count[std::size_t{1} << L];
    constexpr CompressOrder() : lanes(), count() {
        for (std::size_t mask = 0; mask < (std::size_t{1} << L); ++mask) {
            for (std::size_t lane = 0; lane < L; ++lane) {
                if ((mask >> lane) & 1) lanes[mask][count[mask]++] = static_cast<std::int32_t>(lane);
            }
        }
    }
};
template <std::size_t L>
constexpr CompressOrder<L> compress_order{};

// For each mask of 4 double lanes, the 32-bit lane numbers that bring its set lanes
// to the front in order: the run-by-run force loop's compaction, one permutation of
// the vector seen as 8 floats (vpermps; Highway's TableLookupLanes of doubles would
// turn 64-bit lane numbers into these at each call on AVX2).
struct CompressPairs {
    alignas(32) std::int32_t index[16][8];
    constexpr CompressPairs() : index() {
        for (std::size_t mask = 0; mask < 16; ++mask) {
            for (std::size_t out = 0; out < 4; ++out) {
                index[mask][2 * out] = 2 * compress_order<4>.lanes[mask][out];
                index[mask][2 * out + 1] = 2 * compress_order<4>.lanes[mask][out] + 1;
            }
        }
    }
};
constexpr CompressPairs compress_pairs;

// The energy terms of the block before, added to the running sum a round of `Lanes`
// terms at a time while the next block computes: the additions form one dependent
// chain, whose latency then hides behind the vector work. They keep their order:
// particle by particle, each run in order (lane l's k-th term is terms[Lanes * k + l]).
// The pair loop leaves +0.0 after a run's last term up to the next multiple of
// `Lanes`, and adding +0.0 leaves the sum unchanged (it starts at +0.0 and so never
// becomes -0.0).
template <std::size_t Lanes>
class PendingSum {
public:
    void start(const double* block_terms, const std::uint32_t run_length[Lanes], std::size_t n) {
        terms = block_terms;
        lanes_used = n;
        for (std::size_t l = 0; l < n; ++l) rounds[l] = (run_length[l] + Lanes - 1) / Lanes;
        lane = 0;
        round = 0;
        skip_empty_lanes();
    }

    void add_some(double& sum) {
        if (lane == lanes_used) return;
        const double* t = terms + lane + Lanes * Lanes * round;
        for (std::size_t m = 0; m < Lanes; ++m) sum += t[Lanes * m];
        if (++round == rounds[lane]) {
            round = 0;
            ++lane;
            skip_empty_lanes();
        }
    }

    void add_rest(double& sum) {
        while (lane < lanes_used) add_some(sum);
    }

private:
    void skip_empty_lanes() {
        while (lane < lanes_used && rounds[lane] == 0) ++lane;
    }

    const double* terms = nullptr;
    std::uint32_t rounds[Lanes] = {};  // rounds of terms per lane
    std::size_t lanes_used = 0;
    std::size_t lane = 0;   // lane being added
    std::size_t round = 0;  // its next round
};

// Whether a block's pairs can skip the minimum-image correction without changing a
// bit. A correction moves a separation component r (r >= edge / 2, or r < -edge / 2)
// by one edge. Where particle i lies far enough inside the box, on every axis, both
// the raw and the corrected component then have magnitude at least c, the smallest
// double whose square reaches rcut^2: the pair is beyond the cut-off either way and
// adds nothing. The bounds (ForceArgs::low, high) are every particle's coordinates as
// they are now (forces are computed before the wrap, so some may lie a little
// outside the box), and the tests are written with the kernels' own roundings, which
// are monotonic:
//   raw r >= edge / 2 gives r <= x_i - low, so r - edge <= (x_i - low) - edge <= -c;
//   raw r < -edge / 2 gives r >= x_i - high, so r + edge >= (x_i - high) + edge >= c.
// A coordinate that is not a number fails every test; one of particle j's gives a
// pair that both forms skip.
class ImageFree {
public:
    explicit ImageFree(const ForceArgs& a) {
        double c = std::sqrt(a.rcutsq);
        while (c * c < a.rcutsq) c = std::nextafter(c, std::numeric_limits<double>::infinity());
        for (int k = 0; k < 3; ++k) {
            edge[k] = a.box[k];
            low[k] = a.low[k];
            high[k] = a.high[k];
            usable[k] = 0.5 * edge[k] >= c;
        }
        reach = c;
    }

    // Sets axes[k] where some of the particles `self` needs axis k corrected, and
    // returns whether any does. The argument above holds axis by axis, so a particle
    // can skip one axis's correction whatever the others need.
    template <std::size_t Lanes>
    bool axes_needing_image(const double* positions, const std::uint32_t self[Lanes], bool axes[3]) const {
        for (int k = 0; k < 3; ++k) {
            axes[k] = false;
            for (std::size_t l = 0; l < Lanes; ++l) {
                axes[k] = axes[k] || !axis_free(k, positions[3 * std::size_t(self[l]) + k]);
            }
        }
        return axes[0] || axes[1] || axes[2];
    }

private:
    bool axis_free(int k, double x) const {
        return usable[k] && (x - low[k]) - edge[k] <= -reach && (x - high[k]) + edge[k] >= reach;
    }

    double edge[3], low[3], high[3];
    bool usable[3];  // half an edge reaches c
    double reach;    // c
};

// Forces of particles begin .. end - 1, in blocks of one particle per lane. A run
// ends where the next one starts, less its closing index, so every lane's length is
// known before its loads. A lane whose run has ended reads on into the next run, and
// its reads are masked off; only the list's last runs have too little after them, and
// a block holding one is run with `Clamp`, which keeps such lanes on their closing
// index. Blocks that ImageFree clears run without `Image`, the minimum-image correction;
// the others correct only the axes that some lane of theirs needs corrected.
template <typename Simd>
double force_block(const ForceArgs& a, std::size_t begin, std::size_t end, std::size_t thread) {
    constexpr std::size_t lanes = Simd::lanes;
    // Two buffers of terms: one being written, the other's terms being added.
    double* const scratch = a.scratch + thread * a.scratch_per_thread;
    const std::size_t buffer_size = a.scratch_per_thread / 2;
    const typename Simd::Constants constants(a);
    const ImageFree image_free(a);
    PendingSum<lanes> pending;
    double partial = 0.0;
    bool second = false;
    for (std::size_t b = begin; b < end; b += lanes) {
        const std::size_t n = end - b < lanes ? end - b : lanes;
        // Offsets from the block's first run stay small whatever the list's length.
        const std::uint32_t* runs = a.neighbor_list + a.neighbor_list[b];
        alignas(64) std::uint32_t first[lanes] = {};
        alignas(64) std::uint32_t run_length[lanes] = {};
        std::uint32_t self[lanes];
        std::uint32_t longest = 0;
        for (std::size_t l = 0; l < lanes; ++l) {
            const std::size_t i = l < n ? b + l : b;  // idle lanes repeat the first particle, masked off
            const std::size_t next = i + 1 < a.particles ? a.neighbor_list[i + 1] : a.list_size;
            self[l] = static_cast<std::uint32_t>(i);
            first[l] = a.neighbor_list[i] - a.neighbor_list[b];
            run_length[l] = l < n ? static_cast<std::uint32_t>(next - a.neighbor_list[i] - 1) : 0;
            longest = run_length[l] > longest ? run_length[l] : longest;
        }
        double* const terms = scratch + (second ? buffer_size : 0);
        second = !second;
        const typename Simd::Block block(a.positions, self);
        alignas(64) double force[3][lanes];
        // The pair loop reads up to three entries past the longest run (AVX-512's).
        const bool clamp = a.neighbor_list[b + n - 1] + longest + 2 >= a.list_size;
        bool axes[3];  // the axes whose minimum image some lane needs
        const bool image = image_free.template axes_needing_image<lanes>(a.positions, self, axes);
        if (clamp && image) {
            Simd::template block_forces<true, true>(a, constants, block, runs, first, run_length, longest, axes,
                                                    terms, force, pending, partial);
        } else if (clamp) {
            Simd::template block_forces<true, false>(a, constants, block, runs, first, run_length, longest, axes,
                                                     terms, force, pending, partial);
        } else if (image) {
            Simd::template block_forces<false, true>(a, constants, block, runs, first, run_length, longest, axes,
                                                     terms, force, pending, partial);
        } else {
            Simd::template block_forces<false, false>(a, constants, block, runs, first, run_length, longest, axes,
                                                      terms, force, pending, partial);
        }
        pending.add_rest(partial);
        pending.start(terms, run_length, n);
        for (std::size_t l = 0; l < n; ++l) {
            double* out = a.forces + 3 * (b + l);
            out[0] = force[0][l] * a.force_scale;
            out[1] = force[1][l] * a.force_scale;
            out[2] = force[2][l] * a.force_scale;
        }
    }
    pending.add_rest(partial);
    return partial;
}

}  // namespace
}  // namespace kernels
