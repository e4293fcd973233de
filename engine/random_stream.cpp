// The process-wide random stream of the initial velocities, its lock, and the seeded
// streams of runs that carry a seed.
#include "random_stream.h"

namespace {

struct ProcessStream {
    std::mutex mutex;  // one construction's draws at a time
    MinimalStandardEngine generator;
    PolarNormalDistribution distribution;
};

ProcessStream& process_stream() {
    static ProcessStream stream;
    return stream;
}

}  // namespace

std::uint32_t seeded_engine_state(std::uint32_t seed) {
    std::uint64_t z = seed + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    const std::uint64_t states = MinimalStandardEngine::max - MinimalStandardEngine::min + 1;
    return static_cast<std::uint32_t>(MinimalStandardEngine::min + z % states);
}

VelocityDeviates::VelocityDeviates(std::optional<std::uint32_t> seed) {
    if (seed) {
        seeded.emplace(Seeded{MinimalStandardEngine(seeded_engine_state(*seed)), PolarNormalDistribution()});
    } else {
        process_stream_lock = std::unique_lock<std::mutex>(process_stream().mutex);
    }
}

double VelocityDeviates::next() {
    if (seeded) return seeded->distribution(seeded->engine);
    ProcessStream& stream = process_stream();
    return stream.distribution(stream.generator);
}
