// How idle OpenMP threads wait between the engine's parallel loops: spinning while
// the machine has a processor for each of them, sleeping at once while it has not.
#include "parallel.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>

// LLVM's OpenMP runtime (libomp) lets the calling thread set how long the idle
// threads of its parallel loops spin before they sleep; weak, so that a runtime
// without it leaves the choice alone.
extern "C" void kmp_set_blocktime(int milliseconds) __attribute__((weak));

namespace {

using Clock = std::chrono::steady_clock;

// On an idle machine a step's loops follow each other within microseconds, and a
// thread that spins meanwhile is ready at once; one that sleeps must be woken, which
// on a virtual machine cost 10-30% of a step of 4,000 to 32,000 particles on two
// threads. While another program runs, a spinning thread takes the processor that
// its partner is waiting for: the same steps then took up to twice as long as with
// sleeping threads, and longer than on one thread (bench/benchmark.py --waiting).
constexpr int spin_when_free_ms = 200;  // libomp's own default
constexpr int spin_when_crowded_ms = 0;
constexpr auto look_every = std::chrono::milliseconds(20);
constexpr int free_looks_to_spin = 5;  // back to spinning only once the crowd has gone

bool user_chose_waiting() {
    return std::getenv("KMP_BLOCKTIME") != nullptr || std::getenv("OMP_WAIT_POLICY") != nullptr;
}

// Threads running or ready to run on the whole machine at this moment, the
// "running/total" field of /proc/loadavg; -1 where that cannot be read.
int runnable_threads() {
    std::ifstream loadavg("/proc/loadavg");
    double averages[3];
    int running = -1;
    char slash = 0;
    if (loadavg >> averages[0] >> averages[1] >> averages[2] >> running >> slash && slash == '/') return running;
    return -1;
}

// The choice of one thread that starts parallel loops (libomp keeps it per such thread).
struct WaitingChoice {
    Clock::time_point last_look{};
    bool spinning = true;
    int free_looks = 0;
    int applied_ms = -1;

    void update() {
        const Clock::time_point now = Clock::now();
        if (applied_ms >= 0 && now - last_look < look_every) return;
        last_look = now;
        const int threads = omp_get_max_threads();
        const int running = threads > 1 ? runnable_threads() : -1;
        if (running >= 0) {
            // This thread is running; its partners are between two loops, ready if
            // they spin, asleep if not.
            const int ours = spinning ? threads : 1;
            const bool crowded = running - ours + threads > omp_get_num_procs();
            free_looks = crowded ? 0 : free_looks + 1;
            spinning = crowded ? false : spinning || free_looks >= free_looks_to_spin;
        }
        const int milliseconds = spinning ? spin_when_free_ms : spin_when_crowded_ms;
        if (milliseconds != applied_ms) {
            kmp_set_blocktime(milliseconds);
            applied_ms = milliseconds;
        }
    }
};

}  // namespace

void choose_thread_waiting() {
    static const bool leave_alone = user_chose_waiting() || kmp_set_blocktime == nullptr;
    if (leave_alone) return;
    thread_local WaitingChoice choice;
    choice.update();
}

SharedChunks::SharedChunks(std::size_t chunks, std::size_t threads) : claims(threads) {
    if (chunks > std::numeric_limits<std::uint32_t>::max()) {
        throw std::overflow_error("more than 4294967295 chunks of work to share");
    }
    for (std::size_t t = 0; t < threads; ++t) {
        const Block block = thread_block(chunks, t, threads);
        claims[t].untaken.store(std::uint64_t(block.begin) << 32 | block.end, std::memory_order_relaxed);
    }
}

std::size_t SharedChunks::take_front(Claim& claim) {
    std::uint64_t untaken = claim.untaken.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint64_t front = untaken >> 32, back = untaken & 0xffffffffu;
        if (front >= back) return none;
        if (claim.untaken.compare_exchange_weak(untaken, (front + 1) << 32 | back, std::memory_order_relaxed)) {
            return front;
        }
    }
}

std::size_t SharedChunks::take_back(Claim& claim) {
    std::uint64_t untaken = claim.untaken.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint64_t front = untaken >> 32, back = untaken & 0xffffffffu;
        if (front >= back) return none;
        if (claim.untaken.compare_exchange_weak(untaken, front << 32 | (back - 1), std::memory_order_relaxed)) {
            return back - 1;
        }
    }
}

std::size_t SharedChunks::next(std::size_t thread) {
    const std::size_t own = take_front(claims[thread]);
    if (own != none) return own;
    for (std::size_t k = 1; k < claims.size(); ++k) {
        const std::size_t stolen = take_back(claims[(thread + k) % claims.size()]);
        if (stolen != none) return stolen;
    }
    return none;
}
