// Whether a run has blown up: the temperature 2 Ekin / (3 (N - 1)) leaving
// [kT / band, band kT] at any step, or the total energy per particle moving by more
// than `drift` epsilon from the first step to the last (a thermostatted liquid moves
// by a few at most). tovrin-md watches its steps with it, and `tovrin run` its
// energies through the extension module.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

class BlowUpWatch {
public:
    static constexpr double band = 10.0;
    static constexpr double drift = 10.0;

    BlowUpWatch(double kT, std::uint64_t n) : kT_(kT), n_(n) {}

    // The energies after one more step.
    void observe(double ekin, double etot);

    // What makes the run look blown up, with its likely causes, or nothing.
    std::optional<std::string> warning() const;

private:
    const double kT_;
    const std::uint64_t n_;
    double hottest_ = -std::numeric_limits<double>::infinity();
    double coldest_ = std::numeric_limits<double>::infinity();
    double first_etot_ = 0.0;
    double last_etot_ = 0.0;
    bool seen_ = false;
};
