// How the engine's parallel loops share their work: the contiguous block of
// particles each thread takes, the sum of per-thread partials in thread order, the
// first exception of a parallel region carried out of it, and how idle threads wait.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include <omp.h>

// Chooses how the idle threads of the calling thread's parallel loops wait: they
// spin while the machine has a processor for each of them and sleep at once while
// it has not (looked at every 20 ms at most), unless KMP_BLOCKTIME or
// OMP_WAIT_POLICY says otherwise. The choice belongs to the thread that starts the
// loops: the cell's construction and every step call it.
void choose_thread_waiting();

// The contiguous block of [0, n) that thread `thread` of `threads` takes: the first
// n mod threads threads take one particle more than the others.
struct Block {
    std::size_t begin;
    std::size_t end;
};

inline Block thread_block(std::size_t n, std::size_t thread, std::size_t threads) {
    const std::size_t q = n / threads;
    const std::size_t r = n % threads;
    const std::size_t begin = thread * q + std::min(thread, r);
    return {begin, begin + q + (thread < r ? 1 : 0)};
}

inline Block this_thread_block(std::size_t n) {
    return thread_block(n, static_cast<std::size_t>(omp_get_thread_num()),
                        static_cast<std::size_t>(omp_get_num_threads()));
}

// Sums `block_sum(block, thread)` over the threads of one parallel region, each
// thread taking its own block of [0, n). The partials are added in thread order,
// starting from 0.0, once the region has ended, so that a sum repeats itself bit for
// bit at any thread count (with one or two threads that is the sum an atomic
// addition of the partials gives). `partials` is the caller's storage, kept from
// call to call.
template <typename BlockSum>
double sum_in_thread_order(std::size_t n, std::vector<double>& partials, BlockSum&& block_sum) {
    partials.assign(static_cast<std::size_t>(omp_get_max_threads()), 0.0);
    std::size_t team = 0;
#pragma omp parallel
    {
        const auto thread = static_cast<std::size_t>(omp_get_thread_num());
        partials[thread] = block_sum(this_thread_block(n), thread);
#pragma omp master
        team = static_cast<std::size_t>(omp_get_num_threads());
    }
    double sum = 0.0;
    for (std::size_t thread = 0; thread < team; ++thread) sum += partials[thread];
    return sum;
}

// Chunks of work items shared out with the threads' blocks as their first claims:
// each thread takes the chunks of its own block from the front, and once they are
// gone takes the last chunk left in another thread's block. A balanced loop keeps
// each thread on its own block (and its data in its own cache), and a thread that
// the machine slows down does not hold the others up. Which thread does a chunk
// must change nothing, so a sum over the chunks is added chunk by chunk.
class SharedChunks {
public:
    static constexpr std::size_t none = std::size_t(-1);

    SharedChunks(std::size_t chunks, std::size_t threads);

    // The next chunk for `thread`, or `none` when every chunk is taken.
    std::size_t next(std::size_t thread);

private:
    // The untaken chunks [front, back) of one block, front in the high 32 bits, in a
    // cache line of its own.
    struct alignas(64) Claim {
        std::atomic<std::uint64_t> untaken{0};
    };
    static std::size_t take_front(Claim& claim);
    static std::size_t take_back(Claim& claim);
    std::vector<Claim> claims;
};

// Work items of a parallel loop done in item order, such as appends to one list:
// `take(k, work)` waits until items 0 .. k - 1 are done, then does item k. Each item
// must be taken once, each thread taking its items in ascending order (as
// schedule(static, chunk) and schedule(monotonic : dynamic) hand them out), and
// `work` must not throw.
class InTurn {
public:
    template <typename Work>
    void take(std::size_t item, Work&& work) {
        while (done.load(std::memory_order_acquire) != item) std::this_thread::yield();
        work();
        done.store(item + 1, std::memory_order_release);
    }

private:
    std::atomic<std::size_t> done{0};  // items done
};

// Runs a parallel region's work items, keeping the first exception to rethrow once
// the region has ended (an exception must not leave an OpenMP region). After a
// failure the remaining items are skipped.
class ParallelFailure {
public:
    template <typename Work>
    void guard(Work&& work) noexcept {
        if (failed.load(std::memory_order_relaxed)) return;
        try {
            work();
        } catch (...) {
#pragma omp critical(tovrin_parallel_failure)
            if (!error) error = std::current_exception();
            failed.store(true, std::memory_order_relaxed);
        }
    }

    void rethrow() const {
        if (error) std::rethrow_exception(error);
    }

private:
    std::atomic<bool> failed{false};
    std::exception_ptr error;
};
