// How idle OpenMP threads wait between the engine's parallel loops.
#include "parallel.h"

#include <cstdlib>

// LLVM's OpenMP runtime (libomp) lets the calling thread set how long its team's idle
// threads spin before they sleep; weak, so that a runtime without it leaves it out.
extern "C" void kmp_set_blocktime(int milliseconds) __attribute__((weak));

namespace {

// libomp's idle threads spin for 200 ms before they sleep. While another program runs,
// a thread that spins while its partner waits for a processor takes that processor
// from it: on two threads, steps then took up to several times longer than on one
// (bench/benchmark.py --waiting). Sleeping at once costs a wake-up per parallel loop
// instead, which on an idle machine is a few per cent of a step of thousands of
// particles. A spin of 1 ms, the shortest libomp offers besides none, kept most of
// the loss under load and lost to the long spin on an idle machine as well.
constexpr int spin_milliseconds = 0;

bool user_chose_waiting() {
    return std::getenv("KMP_BLOCKTIME") != nullptr || std::getenv("OMP_WAIT_POLICY") != nullptr;
}

}  // namespace

void sleep_when_idle() {
    static const bool leave_alone = user_chose_waiting() || kmp_set_blocktime == nullptr;
    if (!leave_alone) kmp_set_blocktime(spin_milliseconds);
}
