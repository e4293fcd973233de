// The Verlet neighbour list: the particles sorted into sub-cells, each slot's run
// of neighbours within rcut + shell found by the kernels' sub-cell scan and
// appended in slot order (see cell.h for the slots). (Whether a particle has moved
// far enough since the last build to need a new one is found by the drift,
// time_step.cpp.)
#include "cell.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/lexical_cast.hpp>
#include <omp.h>
#include <parallel/algorithm>

#include "kernels/kernels.h"
#include "parallel.h"
#include "subcell_grid.h"

namespace {

// The steps a spatial order is kept, at least: key `sort_every`, a whole number, where
// 0 never sorts (nullopt: the list stays in label order). Without the key every build
// takes a new order, which costs no more than a copy of its own sub-cell sort.
std::optional<unsigned int> sort_interval(const Parameters& params) {
    if (!params.contains("sort_every")) return 0u;
    unsigned int steps = 0;
    try {
        steps = params.get_param<unsigned int>("sort_every");
    } catch (const boost::bad_lexical_cast&) {
        throw std::invalid_argument("sort_every = " + params.entries().at("sort_every") +
                                    ": the steps between spatial sorts must be a whole number from 0 to 4294967295 "
                                    "(0: never sort)");
    }
    if (steps == 0) return std::nullopt;
    return steps;
}

}  // namespace

void Cell::build_neighbor_list() {
    const double cutoff = params->get_param<double>("rcut");
    const double shell = params->get_param<double>("shell");
    const double csc = cutoff + shell;
    const double cutsq = csc * csc;
    const SubcellGrid grid(dims, cutoff, shell);
    const std::size_t n = positions.size();
    const SortedEntries entries = slots_for_build();
    sort_into_subcells(grid, entries);
    std::fill(dij_list.begin(), dij_list.end(), vec3::Zero());
    const kernels::KernelSet& kernel = kernels::best_kernels();
    const kernels::SubcellScan scan = {subcells.x.data(), subcells.y.data(), subcells.z.data(),
                                       subcells.index.data(), {dims.x(), dims.y(), dims.z()}, cutsq};

    reserve_neighbor_list(csc);
    neighbor_list.resize(n);
    longest_run = 0;
    run_buffers.resize(static_cast<std::size_t>(omp_get_max_threads()));
    const std::size_t chunks = (n + build_chunk - 1) / build_chunk;
    const bool entries_are_slots = entries == SortedEntries::new_slots;
    ParallelFailure failure;
    InTurn appends;
    // Threads find the runs of a chunk of slots each, in parallel; the chunks are
    // appended to the list in slot order, so the list does not depend on the
    // number of threads and is written straight into its final place. (An `ordered`
    // loop would say the same, but LLVM's OpenMP runtime ran g++'s ordered loops
    // one chunk after the other, on one thread at a time.) Chunks go to whichever
    // thread is free, each thread's in ascending order as the appends need, so a
    // thread that the machine slows down takes fewer of them.
#pragma omp parallel
    {
        RunBuffer& buffer = run_buffers[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(monotonic : dynamic, 1)
        for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
            const std::size_t first = chunk * build_chunk;
            const std::size_t last = std::min(n, first + build_chunk);
            failure.guard([&] { find_runs(grid, scan, kernel, entries_are_slots, first, last, buffer); });
            appends.take(chunk, [&] { failure.guard([&] { append_runs(first, last, buffer); }); });
        }
    }
    failure.rethrow();
}

Cell::SortedEntries Cell::slots_for_build() {
    const std::optional<unsigned int> interval = sort_interval(*params);
    const std::size_t n = positions.size();
    if (!interval) {
        slot_particle.clear();
        return SortedEntries::labels;
    }
    if (slot_particle.empty() || steps_since_sort >= *interval) {
        slot_particle.resize(n);
        slot_of.resize(n);
        steps_since_sort = 0;
        return SortedEntries::new_slots;
    }
    // A restored order comes without its inverse.
    if (slot_of.size() != n) {
        slot_of.resize(n);
        for (std::size_t k = 0; k < n; ++k) slot_of[slot_particle[k]] = static_cast<std::uint32_t>(k);
    }
    return SortedEntries::kept_slots;
}

void Cell::sort_into_subcells(const SubcellGrid& grid, SortedEntries entries) {
    const std::size_t n = positions.size();
    const std::size_t ncells = std::size_t(grid.n[0]) * grid.n[1] * grid.n[2];
    // Padded, so that the scan reads whole vectors past a stretch's end.
    subcells.index.resize(n + kernels::scan_padding);
    subcells.x.resize(n + kernels::scan_padding);
    subcells.y.resize(n + kernels::scan_padding);
    subcells.z.resize(n + kernels::scan_padding);
    // Puts particle i at sorted entry e, named by its label, or by its slot: in a new
    // order entry e becomes slot e, in a kept one the particle keeps its slot.
    const auto place = [&](std::size_t e, std::size_t i) {
        std::uint32_t name = static_cast<std::uint32_t>(i);
        if (entries == SortedEntries::new_slots) {
            name = static_cast<std::uint32_t>(e);
            slot_particle[e] = static_cast<std::uint32_t>(i);
            slot_of[i] = name;
        } else if (entries == SortedEntries::kept_slots) {
            name = slot_of[i];
        }
        subcells.index[e] = name;
        subcells.x[e] = positions[i].x();
        subcells.y[e] = positions[i].y();
        subcells.z[e] = positions[i].z();
    };
    // A box much larger than its particles need (a dilute gas) has far more sub-cells
    // than particles: then only the occupied ones are kept, found by binary search.
    subcells.sparse = ncells > 2 * n + 4096;
    if (subcells.sparse) {
        sort_sparse(grid, place);
    } else {
        sort_dense(grid, ncells, place);
    }
}

// Sorted (sub-cell, particle) pairs, every pair distinct: libstdc++'s parallel sort
// gives the one sorted order whatever the threads.
template <typename Place>
void Cell::sort_sparse(const SubcellGrid& grid, Place place) {
    const std::size_t n = positions.size();
    subcells.start.clear();
    subcells.next.clear();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order(n);  // (sub-cell, particle)
#pragma omp parallel for schedule(static)
    for (std::size_t i = 0; i < n; ++i) order[i] = {grid.key_of(positions[i]), static_cast<std::uint32_t>(i)};
    __gnu_parallel::sort(order.begin(), order.end());
    subcells.keys.resize(n);
#pragma omp parallel for schedule(static)
    for (std::size_t e = 0; e < n; ++e) {
        subcells.keys[e] = order[e].first;
        place(e, order[e].second);
    }
}

// Counting sort by sub-cell, each thread over its block of particles: a thread counts
// its block's particles per sub-cell, then places them after those of the threads
// before it, so particles enter each sub-cell in ascending order as a sort on one
// thread would place them.
template <typename Place>
void Cell::sort_dense(const SubcellGrid& grid, std::size_t ncells, Place place) {
    const std::size_t n = positions.size();
    subcells.keys.resize(n);  // each particle's sub-cell, worked out once (entries are found through `start`)
    subcells.start.resize(ncells + 1);
    const std::size_t threads = static_cast<std::size_t>(omp_get_max_threads());
    std::vector<std::uint32_t>& next = subcells.next;  // per thread, the fill position of each sub-cell
    next.assign(threads * ncells, 0);
#pragma omp parallel
    {
        const Block block = this_thread_block(n);
        std::uint32_t* const fill = &next[ncells * static_cast<std::size_t>(omp_get_thread_num())];
        for (std::size_t i = block.begin; i < block.end; ++i) {
            subcells.keys[i] = grid.key_of(positions[i]);
            ++fill[subcells.keys[i]];
        }
#pragma omp barrier
#pragma omp single
        {
            const std::size_t team = static_cast<std::size_t>(omp_get_num_threads());
            std::uint32_t entry = 0;
            for (std::size_t c = 0; c < ncells; ++c) {
                subcells.start[c] = entry;
                for (std::size_t t = 0; t < team; ++t) {
                    const std::uint32_t count = next[ncells * t + c];
                    next[ncells * t + c] = entry;
                    entry += count;
                }
            }
            subcells.start[ncells] = entry;
        }
        for (std::size_t i = block.begin; i < block.end; ++i) place(fill[subcells.keys[i]]++, i);
    }
}

std::uint32_t Cell::SubcellSort::first_occupied(std::uint32_t key) const {
    return static_cast<std::uint32_t>(std::lower_bound(keys.begin(), keys.end(), key) - keys.begin());
}

void Cell::find_runs(const SubcellGrid& grid, const kernels::SubcellScan& scan, const kernels::KernelSet& kernel,
                     bool entries_are_slots, std::size_t first, std::size_t last, RunBuffer& buffer) {
    buffer.run_end.resize(last - first);
    std::size_t used = 0;
    for (std::size_t k = first; k < last; ++k) {
        // The sort's copy of the position, where it lies in slot order: the same value,
        // read in the order of the slots rather than from wherever the label puts it.
        const vec3 p = entries_are_slots ? vec3(subcells.x[k], subcells.y[k], subcells.z[k])
                                         : positions[particle_in_slot(k)];
        kernels::Stretch stretches[27];
        kernels::ScanImage image;
        const unsigned int count = grid.scan_ranges(
            p, [this](std::uint32_t key) { return subcells.first_entry(key); }, stretches, image);
        std::size_t candidates = 0;
        for (unsigned int r = 0; r < count; ++r) candidates += stretches[r].end - stretches[r].begin;
        // Room for every candidate, the closing index and a full vector store.
        if (buffer.entries.size() < used + candidates + 1 + kernel.lanes) {
            buffer.entries.resize(2 * (used + candidates + 1 + kernel.lanes));
        }
        const double pi[3] = {p.x(), p.y(), p.z()};
        std::uint32_t* const begin = buffer.entries.data() + used;
        std::uint32_t* end =
            kernel.scan_subcells(scan, static_cast<std::uint32_t>(k), pi, stretches, count, image, begin);
        *end++ = static_cast<std::uint32_t>(k);
        used += static_cast<std::size_t>(end - begin);
        buffer.run_end[k - first] = used;
    }
}

void Cell::append_runs(std::size_t first, std::size_t last, const RunBuffer& buffer) {
    const std::size_t base = neighbor_list.size();
    const std::size_t used = last > first ? buffer.run_end[last - first - 1] : 0;
    if (base + used > std::numeric_limits<std::uint32_t>::max()) {
        throw std::overflow_error("the neighbour list of " + std::to_string(positions.size()) +
                                  " particles needs more than 4294967295 entries, more than its 32-bit indices "
                                  "can address");
    }
    std::size_t run_start = 0;
    for (std::size_t k = first; k < last; ++k) {
        neighbor_list[k] = static_cast<std::uint32_t>(base + run_start);
        longest_run = std::max(longest_run, buffer.run_end[k - first] - run_start);
        run_start = buffer.run_end[k - first];
    }
    neighbor_list.insert(neighbor_list.end(), buffer.entries.begin(), buffer.entries.begin() + used);
}

// Grows the list's storage once, to a little more than an even spread of the
// particles predicts, so that appending does not reallocate (and briefly double) it.
double Cell::expected_list_length(double n, double volume, double csc) {
    const double expected = n * (1.0 + 1.1 * (n / volume) * (4.0 / 3.0) * 3.141592653589793 * csc * csc * csc) + n;
    return std::min(expected, double(std::numeric_limits<std::uint32_t>::max()));
}

void Cell::reserve_neighbor_list(double csc) {
    const double n = static_cast<double>(positions.size());
    const double volume = dims.x() * dims.y() * dims.z();
    const double capped = expected_list_length(n, volume, csc);
    if (neighbor_list.capacity() < capped) neighbor_list.reserve(static_cast<std::size_t>(capped));
}
