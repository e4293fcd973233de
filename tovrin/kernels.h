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

namespace kernels {

// Lennard-Jones forces of a contiguous block of particles from the flat neighbour list.
struct ForceArgs {
    const double* positions;            // x, y, z per particle
    const std::uint32_t* neighbor_list; // head of run starts, then runs ended by their own index
    std::size_t particles;              // entries of the head
    std::size_t list_size;              // entries of the whole list
    double* forces;                     // x, y, z per particle: the unscaled force sums
    double* scratch;                    // room for `scratch_per_thread` doubles per thread
    std::size_t scratch_per_thread;     // at least lanes x (longest run + 1)
    double box[3];                      // box edges
    double rcutsq;                      // squared cut-off
    double sigmasq;                     // squared sigma
    double epot_cutoff;                 // energy shift: the pair term at the cut-off
};

// Writes forces[i] for begin <= i < end and returns the sum of their shifted pair
// energies, added in iteration order (particle by particle, each run in order).
using ForceBlockFn = double (*)(const ForceArgs&, std::size_t begin, std::size_t end, std::size_t thread);

// Candidate search of the neighbour-list build for one particle: the particles of
// the listed sub-cells within the list radius, in scan order.
struct SubcellScan {
    const double* x;               // positions sorted by sub-cell, one array per axis
    const double* y;
    const double* z;
    const std::uint32_t* index;    // particle index of each sorted entry
    const std::uint32_t* start;    // first sorted entry of each sub-cell; start[c + 1] ends it
    double box[3];
    double cutsq;                  // squared list radius
};

// Appends to `out` the neighbours of particle i at (xi, yi, zi) found in the sub-cells
// `cells[0..ncells)`, in that order and in sorted order within each; returns the
// new end of `out`, which must have room for every candidate plus the kernel's lanes.
using ScanFn = std::uint32_t* (*)(const SubcellScan&, std::uint32_t i, const double pi[3], const std::uint32_t* cells,
                                  unsigned int ncells, std::uint32_t* out);

struct KernelSet {
    const char* name;        // instruction set
    std::size_t lanes;       // doubles per vector
    ForceBlockFn force_block;
    ScanFn scan_subcells;
};

const KernelSet& generic_kernels();
const KernelSet* avx2_kernels();    // null when the processor lacks AVX2
const KernelSet* avx512_kernels();  // null when the processor lacks AVX-512 F/VL/DQ/BW

// The widest set this processor runs.
const KernelSet& best_kernels();

}  // namespace kernels
