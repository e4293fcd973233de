// The engine's hot loops, compiled once for each instruction set and chosen at run
// time from what the processor offers.
//
// Every variant performs exactly the same IEEE operations in the same order as the
// plain scalar one (no fused multiply-add, true divisions, each force and energy sum
// in its stated order), so the choice changes only the speed, never a bit of the
// result. Kernels see raw arrays only: the translation units built with wider
// instruction sets must not instantiate inline code that other units share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace kernels {

// Lennard-Jones forces of a contiguous block of particles from the flat neighbour list.
struct ForceArgs {
    const double* positions;            // x, y, z per particle
    const std::uint32_t* neighbor_list; // head of run starts, then runs ended by their own index
    std::size_t particles;              // entries of the head
    std::size_t list_size;              // entries of the whole list
    double* forces;                     // x, y, z per particle: each force sum times force_scale
    double force_scale;                 // 24 epsilon, applied as each force is stored
    double* scratch;                    // room for `scratch_per_thread` doubles per thread
    std::size_t scratch_per_thread;     // at least 2 x lanes x (longest run + 2 lanes)
    double box[3];                      // box edges
    double rcutsq;                      // squared cut-off
    double sigmasq;                     // squared sigma
    double epot_cutoff;                 // energy shift: the pair term at the cut-off
    double low[3], high[3];             // every particle's smallest and largest coordinate per axis
};

// Widens [low, high] on each axis to the coordinates of `count` particles (x, y, z
// each); a coordinate that is not a number leaves them as they are.
void widen_bounds(const double* positions, std::size_t count, double low[3], double high[3]);

// Writes forces[i] for begin <= i < end and returns the sum of their shifted pair
// energies, added in iteration order (particle by particle, each run in order).
using ForceBlockFn = double (*)(const ForceArgs&, std::size_t begin, std::size_t end, std::size_t thread);

// Candidate search of the neighbour-list build for one particle: the particles
// within the list radius among stretches of the particles sorted by sub-cell.
// The sorted arrays hold `scan_padding` readable entries past their last.
constexpr std::size_t scan_padding = 8;

struct SubcellScan {
    const double* x;               // positions sorted by sub-cell, one array per axis
    const double* y;
    const double* z;
    const std::uint32_t* index;    // particle index of each sorted entry
    double box[3];
    double cutsq;                  // squared list radius
};

// A stretch of sorted entries to scan: [begin, end), and the correction that the
// minimum image makes along each axis to the separation from every entry in it, where
// that is the same for all of them (0, or plus or minus the box edge).
struct Stretch {
    std::uint32_t begin, end;
    double shift[3];
};

// How a scan's separations take the minimum image. `shifted`: each stretch's shifts
// are added to the separations. `periodic[k]`: each separation along
// axis k is then corrected on its own, as minimum_image does. Along an axis with
// neither no separation reaches half a box edge, and the plain difference is its
// minimum image.
struct ScanImage {
    bool periodic[3];
    bool shifted;
};

// Appends to `out` the neighbours of particle i at pi found in the sorted entries of
// stretches[0 .. count - 1], in that order; returns the new end of `out`, which must
// have room for every candidate plus the kernel's lanes.
using ScanFn = std::uint32_t* (*)(const SubcellScan&, std::uint32_t i, const double pi[3], const Stretch* stretches,
                                  unsigned int count, const ScanImage& image, std::uint32_t* out);

// Calls scan(periodic, shifted) with each as std::true_type or std::false_type, as
// `image` asks, so that a scan compiles its loop without the work a case leaves out.
// `Scan` is a kernel unit's own lambda, so each unit gets an instance of its own.
template <typename Scan>
std::uint32_t* scan_for_image(const ScanImage& image, Scan scan) {
    constexpr std::true_type yes{};
    constexpr std::false_type no{};
    if (image.periodic[0] || image.periodic[1] || image.periodic[2]) {
        return image.shifted ? scan(yes, yes) : scan(yes, no);
    }
    return image.shifted ? scan(no, yes) : scan(no, no);
}

// Periodic wrap of `count` particles' coordinates (x, y, z each): every coordinate
// p becomes p - floor(p * inverse_edge) * edge, its axis's values. Returns whether
// every result lies in [0, edge]; one that does not (a coordinate so far out that
// the wrap loses it, or not a number) means the run has lost its particles.
using WrapFn = bool (*)(double* coordinates, std::size_t count, const double inverse_edge[3], const double edge[3]);

struct KernelSet {
    const char* name;        // instruction set
    std::size_t lanes;       // doubles per vector
    ForceBlockFn force_block;
    // Null, or a second force loop with the same results whose speed depends
    // otherwise on the order of the particles in memory; the engine times both.
    ForceBlockFn other_force_block;
    ScanFn scan_subcells;
    WrapFn wrap;
};

const KernelSet& generic_kernels();

// A separation component with at most one box-edge correction, as every kernel
// takes it: subtract an edge at or above half of it, add one below minus half.
double minimum_image(double r, double edge);
// The hand-written AVX-512 kernels; null when the processor lacks AVX-512 F/VL/DQ/BW.
const KernelSet* avx512_kernels();
// The kernels written with Google Highway for the widest of its targets that this
// processor runs; null when that is Highway's scalar fallback.
const KernelSet* highway_kernels();
// Highway's kernels for its AVX2 target; null when the processor lacks AVX2 (or is
// no x86-64 processor).
const KernelSet* avx2_kernels();
// The Highway kernels for each of its targets that this processor runs, widest
// first; for tests that compare them. Not to be called while the engine runs.
std::vector<const KernelSet*> highway_kernels_per_target();

// The set the engine uses: the widest this processor runs (the hand-written AVX-512
// kernels where it has AVX-512, elsewhere Highway's), or the one named by the
// environment variable TOVRIN_KERNELS (generic, avx2, avx512 or highway), unless a
// test chose one. Throws std::invalid_argument for a name that is unknown or that this
// processor cannot run.
const KernelSet& best_kernels();

// Makes the engine use `set` (null: back to the widest); for tests that compare sets.
void use_kernels_for_testing(const KernelSet* set);

}  // namespace kernels
