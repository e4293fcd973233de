// The sources of standard normal deviates for the initial velocities: the engine,
// the distribution, the one stream that every cell of a process draws from, in turn,
// and the seeded streams of runs that have a `seed` of their own.
//
// Written out here rather than taken from <random> so that a run repeats bit for bit
// whichever C++ standard library built the module: the minimal-standard engine and
// the polar method with one cached deviate, exactly as GNU libstdc++ composes
// std::default_random_engine and std::normal_distribution<double>.
#pragma once

#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>

// Park and Miller's multiplicative congruential engine (std::minstd_rand0): seed 1,
// s <- 16807 s mod (2^31 - 1); every output is the new state.
class MinimalStandardEngine {
public:
    static constexpr std::uint64_t multiplier = 16807;
    static constexpr std::uint64_t modulus = 2147483647;
    static constexpr std::uint32_t min = 1;
    static constexpr std::uint32_t max = modulus - 1;

    MinimalStandardEngine() = default;
    // Starts from `initial_state`, which must lie in [min, max].
    explicit MinimalStandardEngine(std::uint32_t initial_state) : state(initial_state) {}

    std::uint32_t operator()() {
        state = static_cast<std::uint32_t>(multiplier * state % modulus);
        return state;
    }

private:
    std::uint32_t state = 1;
};

// Standard normal deviates by Marsaglia's polar method. A uniform deviate in [0, 1)
// takes two engine outputs (53 bits need two 31-bit draws); of each accepted pair of
// uniforms the second yields the deviate returned and the first is cached for the
// next call.
class PolarNormalDistribution {
public:
    double operator()(MinimalStandardEngine& engine) {
        double deviate;
        if (saved_available) {
            saved_available = false;
            deviate = saved;
        } else {
            double x;
            double y;
            double r2;
            do {
                const double u1 = canonical(engine);
                x = 2.0 * u1 - 1.0;
                const double u2 = canonical(engine);
                y = 2.0 * u2 - 1.0;
                r2 = x * x + y * y;
            } while (r2 > 1.0 || r2 == 0.0);
            const double mult = std::sqrt(-2 * std::log(r2) / r2);
            saved = x * mult;
            saved_available = true;
            deviate = y * mult;
        }
        return deviate * stddev + mean;
    }

private:
    static constexpr double mean = 0.0;
    static constexpr double stddev = 1.0;
    static constexpr double range = MinimalStandardEngine::max - MinimalStandardEngine::min + 1.0;

    // ((a - 1) + (b - 1) * range) / range^2, forced just below 1 if it rounds up to 1.
    static double canonical(MinimalStandardEngine& engine) {
        const double low = engine() - MinimalStandardEngine::min;
        const double high = engine() - MinimalStandardEngine::min;
        const double sum = low + high * range;
        const double u = sum / (range * range);
        return u >= 1.0 ? std::nextafter(1.0, 0.0) : u;
    }

    double saved = 0.0;
    bool saved_available = false;
};

// The deviates of one cell's initial velocities. With a seed they come from a stream
// of the cell's own, started from a state derived from the seed (a repeated run
// repeats, different seeds give unrelated streams). Without one they come from the
// process-wide stream, held for the life of this object: constructions on several
// threads then each take one whole, unbroken block of the stream, one after another.
class VelocityDeviates {
public:
    explicit VelocityDeviates(std::optional<std::uint32_t> seed);
    double next();

private:
    struct Seeded {
        MinimalStandardEngine engine;
        PolarNormalDistribution distribution;
    };
    std::optional<Seeded> seeded;
    std::unique_lock<std::mutex> process_stream_lock;  // held only when drawing from the process-wide stream
};

// The engine state that `seed` starts a stream from: the seed's bits mixed by the
// SplitMix64 finaliser and mapped into [min, max], so that neighbouring seeds start
// far apart in the engine's cycle rather than at nearly proportional states.
std::uint32_t seeded_engine_state(std::uint32_t seed);
