// The Lennard-Jones forces and the potential energy, from the neighbour list: the
// kernel set's force loop, which stores each force scaled by 24 epsilon (of a set's
// two loops, the one that timed faster). In label order each thread takes its
// block of particles. In a spatial order (cell.h) each thread gathers its block of
// slots' positions, the loop runs on chunks of slots shared out between the threads,
// and each chunk's forces are scattered back to their particles.
#include "cell.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

#include <omp.h>

#include "kernels/kernels.h"
#include "parallel.h"
#include "parameter_values.h"

namespace {

// Bounds that the first coordinate sets.
void empty_bounds(double low[3], double high[3]) {
    for (int k = 0; k < 3; ++k) {
        low[k] = std::numeric_limits<double>::infinity();
        high[k] = -std::numeric_limits<double>::infinity();
    }
}

}  // namespace

int Cell::ForceLoopChoice::next(bool two_loops) {
    if (!two_loops) return 0;
    ++computations;
    if (seconds[0] == 0.0) return 0;
    if (seconds[1] == 0.0) return 1;
    const int faster = seconds[1] < seconds[0] ? 1 : 0;
    return computations % 64 == 0 ? 1 - faster : faster;
}

void Cell::gather_positions(const Block& slots) {
    for (std::size_t k = slots.begin; k < slots.end; ++k) slot_positions[k] = positions[slot_particle[k]];
}

void Cell::scatter_forces(const Block& slots) {
    for (std::size_t k = slots.begin; k < slots.end; ++k) forces[slot_particle[k]] = slot_forces[k];
}

void Cell::calculate_forces() {
    const std::uint64_t n = particle_count(*params);
    const double rcut = params->get_param<double>("rcut");
    const double rcutsq = rcut * rcut;
    const double sigma = params->get_param<double>("sigma");
    const double sigmasq = sigma * sigma;

    epot = 0.0;
    const double sr2c = sigmasq / rcutsq;
    const double sr6c = sr2c * sr2c * sr2c;
    const double epot_cutoff = sr6c * sr6c - sr6c;

    // The vector kernels address positions with 32-bit offsets.
    const kernels::KernelSet& kernel = 3 * n <= std::numeric_limits<std::int32_t>::max()
                                           ? kernels::best_kernels()
                                           : kernels::generic_kernels();
    const double epsilon = params->get_param<double>("epsilon");
    const std::size_t threads = static_cast<std::size_t>(omp_get_max_threads());
    const std::size_t scratch_per_thread = 2 * kernel.lanes * (longest_run + 2 * kernel.lanes);
    if (force_scratch.size() < threads * scratch_per_thread) force_scratch.resize(threads * scratch_per_thread);
    const bool slots = !slot_particle.empty();
    if (slots) {
        slot_positions.resize(n);
        slot_forces.resize(n);
    }
    const double* const at = slots ? coordinates(slot_positions) : coordinates(positions);
    double* const out = slots ? coordinates(slot_forces) : coordinates(forces);
    const kernels::ForceArgs shared = {at, neighbor_list.data(), positions.size(), neighbor_list.size(),
                                       out, 24.0 * epsilon, force_scratch.data(), scratch_per_thread,
                                       {dims.x(), dims.y(), dims.z()}, rcutsq, sigmasq, epot_cutoff, {}, {}};
    thread_bounds.resize(6 * threads);
    const int loop = force_loop.next(kernel.other_force_block != nullptr);
    const kernels::ForceBlockFn force_block = loop == 0 ? kernel.force_block : kernel.other_force_block;
    const auto start = std::chrono::steady_clock::now();
    // Each thread's arguments: the shared ones with every particle's coordinate bounds,
    // for the kernels' test for pairs that need no minimum image. Each thread takes
    // those of its block, then every thread all of them.
    const auto arguments_with_bounds = [&](const Block& block, std::size_t thread) {
        double* const own = &thread_bounds[6 * thread];
        empty_bounds(own, own + 3);
        kernels::widen_bounds(at + 3 * block.begin, block.end - block.begin, own, own + 3);
#pragma omp barrier
        kernels::ForceArgs args = shared;
        empty_bounds(args.low, args.high);
        for (int t = 0; t < omp_get_num_threads(); ++t) {
            for (int k = 0; k < 3; ++k) {
                args.low[k] = std::min(args.low[k], thread_bounds[6 * std::size_t(t) + k]);
                args.high[k] = std::max(args.high[k], thread_bounds[6 * std::size_t(t) + 3 + k]);
            }
        }
        return args;
    };
    double epotsum = 0.0;
    if (slots) {
        // In a spatial order the energy is summed chunk by chunk, so the chunks can go
        // to whichever thread is free: the step does not wait for a thread that the
        // machine has slowed down, and the sum is the same at any thread count.
        const std::size_t chunks = (n + force_chunk - 1) / force_chunk;
        chunk_partials.resize(chunks);  // each chunk writes its own
        SharedChunks claims(chunks, threads);
#pragma omp parallel
        {
            const auto thread = static_cast<std::size_t>(omp_get_thread_num());
            const Block block = this_thread_block(n);
            gather_positions(block);
            const kernels::ForceArgs args = arguments_with_bounds(block, thread);
            for (std::size_t c = claims.next(thread); c != SharedChunks::none; c = claims.next(thread)) {
                const Block chunk = {c * force_chunk, std::min<std::size_t>(n, (c + 1) * force_chunk)};
                chunk_partials[c] = force_block(args, chunk.begin, chunk.end, thread);
                scatter_forces(chunk);
            }
        }
        for (const double partial : chunk_partials) epotsum += partial;
    } else {
        epotsum = sum_in_thread_order(n, thread_partials, [&](const Block& block, std::size_t thread) {
            return force_block(arguments_with_bounds(block, thread), block.begin, block.end, thread);
        });
    }
    force_loop.seconds[loop] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    epot = epotsum * 4.0 * epsilon * 0.5;
}
