// The thermostats a run can choose, and the random stream of the stochastic one.
//
// berendsen: the velocities are rescaled each step towards the target kinetic energy
//   with coupling time tau. It holds the mean but suppresses the kinetic energy's
//   fluctuations, so it samples no known ensemble.
// bussi: stochastic velocity rescaling (Bussi, Donadio and Parrinello, J. Chem. Phys.
//   126, 014101, 2007): each step the kinetic energy K of the 3N - 3 degrees of freedom
//   left by the removed drift is replaced by a draw that relaxes towards the target
//   with time tau and samples the canonical distribution at kT.
// none: no rescaling, constant energy (NVE).
//
// The rescaling factor of every thermostat is computed once per step from the
// kinetic energy after the first half kick, on one thread, so a run draws the same
// numbers in the same order whatever its thread count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/random/mersenne_twister.hpp>

#include <Eigen/Core>

enum class Thermostat : std::uint32_t { berendsen = 0, bussi = 1, none = 2 };

// The thermostat called `name`; throws std::invalid_argument listing the names for
// any other.
Thermostat thermostat_named(const std::string& name);
std::string thermostat_name(Thermostat thermostat);

// The thermostat's own random stream, apart from the stream of the initial velocities.
using ThermostatStream = boost::random::mt19937_64;

// The stream's seed for a run with a `seed` of its own: mixed differently from the
// initial velocities' state, so the two streams are unrelated.
std::uint64_t thermostat_seed(std::uint32_t seed);
// The stream's seed for a run without one: a hash of the bits of its starting
// positions and velocities, so a run repeats whenever its start does, and drawing it
// takes nothing from the process-wide stream of initial velocities.
std::uint64_t thermostat_seed(const std::vector<Eigen::Vector3d>& positions,
                              const std::vector<Eigen::Vector3d>& velocities);

// The stream's whole state as text, and the stream restored from that text (false
// when the text is no state).
std::string stream_state(const ThermostatStream& stream);
bool restore_stream(const std::string& state, ThermostatStream& stream);

// Bussi's new kinetic energy for kinetic energy `ekin` of `dof` degrees of freedom,
// target `target` = dof kT / 2 and c = exp(-dt / tau): two draws per step, a standard
// normal deviate R and the sum S of dof - 1 squared ones (as a gamma deviate), in that
// order, and K' = (sqrt(c K) + R sqrt((1 - c) target / dof))^2 + (1 - c) (target / dof) S,
// the form of Bussi's update that cannot turn negative through rounding.
double bussi_kinetic_energy(double ekin, double target, double dof, double c, ThermostatStream& stream);
