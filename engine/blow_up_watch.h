// Whether a run has blown up. An unstable integration creates energy: the total
// energy per particle climbs above its first value, and the temperature with it.
// A run that heats without that climb (a cold lattice melting, a strained start
// relaxing) turns potential energy into heat, which is physics, not instability.
// So the watch warns when the total energy per particle rises by more than `drift`
// epsilon above its first value, or when the temperature 2 Ekin / (3 (N - 1)) leaves
// [0, band kT] while it rises by more than `heating` epsilon. tovrin-md watches its
// steps with it, and `tovrin run` its energies through the extension module.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

class BlowUpWatch {
public:
    static constexpr double band = 10.0;
    static constexpr double drift = 10.0;
    static constexpr double heating = 1.0;

    BlowUpWatch(double kT, std::uint64_t n) : kT_(kT), n_(n) {}

    // The energies after one more step.
    void observe(double ekin, double etot);

    // What makes the run look blown up, with its likely causes, or nothing.
    std::optional<std::string> warning() const;

private:
    const double kT_;
    const std::uint64_t n_;
    double hottest_ = -std::numeric_limits<double>::infinity();
    double first_etot_ = 0.0;
    double highest_etot_ = -std::numeric_limits<double>::infinity();
    bool seen_ = false;
};
