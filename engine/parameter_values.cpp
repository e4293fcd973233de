// The run's settings as the engine's operations use them.
#include "parameter_values.h"

#include <charconv>
#include <stdexcept>

std::string format_value(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::uint64_t particle_count(const Parameters& params) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(params.get_param<int>("nr_particles")));
}

double positive_param(const Parameters& params, const std::string& key) {
    const double value = params.get_param<double>(key);
    if (!(value > 0.0)) {
        throw std::invalid_argument(key + " = " + format_value(value) + ": " + key + " must be positive");
    }
    return value;
}
