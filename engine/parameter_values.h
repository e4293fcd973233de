// The run's settings as the engine's operations use them: the particle count, the
// values that must be positive, and the text of a value in an error message.
#pragma once

#include <cstdint>
#include <string>

#include "parameters.h"

// Shortest text that reads back as the same double, for error messages.
std::string format_value(double value);

// Particle count as the engine uses it: read as int, widened with its sign.
std::uint64_t particle_count(const Parameters& params);

// The value of `key`, which must be positive (it divides: zero would make
// velocities infinite or NaN); throws std::invalid_argument otherwise.
double positive_param(const Parameters& params, const std::string& key);
