// The thermostats' names, the seeding and saving of the stochastic thermostat's
// stream, and Bussi's kinetic-energy draw.
#include "thermostat.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <boost/random/gamma_distribution.hpp>
#include <boost/random/normal_distribution.hpp>

namespace {

constexpr const char* names[] = {"berendsen", "bussi", "none"};

// SplitMix64's finaliser: spreads neighbouring inputs over the whole range.
std::uint64_t mixed(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// FNV-1a over the bytes of a particle array.
std::uint64_t hashed(const std::vector<Eigen::Vector3d>& vectors, std::uint64_t hash) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(vectors.data());
    for (std::size_t k = 0; k < vectors.size() * sizeof(Eigen::Vector3d); ++k) {
        hash = (hash ^ bytes[k]) * 0x100000001b3ull;
    }
    return hash;
}

}  // namespace

Thermostat thermostat_named(const std::string& name) {
    for (std::uint32_t code = 0; code < std::size(names); ++code) {
        if (name == names[code]) return static_cast<Thermostat>(code);
    }
    throw std::invalid_argument("unknown thermostat '" + name + "': choose berendsen, bussi or none");
}

std::string thermostat_name(Thermostat thermostat) { return names[static_cast<std::uint32_t>(thermostat)]; }

std::uint64_t thermostat_seed(std::uint32_t seed) {
    // The high word marks the thermostat's stream: the initial velocities mix the
    // seed alone.
    return mixed((std::uint64_t{0x54484552} << 32) | seed);
}

std::uint64_t thermostat_seed(const std::vector<Eigen::Vector3d>& positions,
                              const std::vector<Eigen::Vector3d>& velocities) {
    return mixed(hashed(velocities, hashed(positions, 0xcbf29ce484222325ull)));
}

std::string stream_state(const ThermostatStream& stream) {
    std::ostringstream text;
    text << stream;
    return text.str();
}

bool restore_stream(const std::string& state, ThermostatStream& stream) {
    // Boost's reader marks the stream failed at its end even when it read a whole
    // state, so the state read is written out again and compared instead.
    std::istringstream text(state);
    ThermostatStream restored;
    text >> restored;
    if (stream_state(restored) != state) return false;
    stream = restored;
    return true;
}

double bussi_kinetic_energy(double ekin, double target, double dof, double c, ThermostatStream& stream) {
    boost::random::normal_distribution<double> normal;
    const double r = normal(stream);
    double s = 0.0;
    if (dof > 1.0) {
        // The sum of dof - 1 squared standard normal deviates is 2 Gamma((dof - 1) / 2).
        boost::random::gamma_distribution<double> gamma(0.5 * (dof - 1.0));
        const double g = gamma(stream);
        s = 2.0 * g;
    }
    const double per_degree = (1.0 - c) * (target / dof);
    const double kept = std::sqrt(c * ekin) + r * std::sqrt(per_degree);
    return kept * kept + per_degree * s;
}
