// The velocity-Verlet time step: the half kicks, the thermostat, the drift,
// the periodic wrap, the rebuild of the neighbour list when it is due, and the
// progress line every 1000 steps.
//
// The sweeps over the particles are fused where one needs nothing global from the
// other (the thermostat with the drift and the rebuild check, the wrap with the
// second half kick), and every sweep gives each thread the same contiguous block of
// particles as the force computation, so a block's data stays in its thread's cache
// and no two threads write to one cache line. Each particle's arithmetic is the same
// whatever the fusion: only the order of independent particles changes.
#include "cell.h"

#include <cmath>
#include <atomic>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>

#include <boost/format.hpp>
#include <omp.h>

#include "kernels/kernels.h"
#include "parallel.h"
#include "parameter_values.h"

std::string format_progress_line(unsigned int step, double ekin, double epot, double etot, double seconds) {
    return (boost::format("Step %04i  Ekin = %12.6f  Epot =  %12.6f  Etot = %12.6f  Time = %6.4f s") % step %
            ekin % epot % etot % seconds)
        .str();
}

void Cell::integrate(unsigned int step, double dt, bool verbose) {
    choose_thread_waiting();
    ++steps_since_sort;
    half_kick(dt, Wrap::none);
    const bool rebuild = thermostat_and_drift(dt);
    calculate_forces();
    if (!half_kick(dt, Wrap::first)) throw_lost_particle(step);
    if (rebuild) build_neighbor_list();
    etot = ekin + epot;
    if (!std::isfinite(etot)) {
        throw std::range_error("step " + std::to_string(step) + ": the total energy is " + format_value(etot) +
                               "; the run has become unstable (check stepsize, sigma and epsilon)");
    }

    if (step % 1000 == 0) {
        const auto end = std::chrono::system_clock::now();
        const double elapsed_seconds =
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - ttime).count()) / 1e9;
        if (verbose) {
            std::cout << format_progress_line(step, ekin, epot, etot, elapsed_seconds) << std::endl;
        }
        ttime = std::chrono::system_clock::now();
    }
}

bool Cell::half_kick(double dt, Wrap wrap) {
    const double m = positive_param(*params, "mass");
    const std::uint64_t n = particle_count(*params);
    const double factor = (0.5 / m) * dt;
    const double invL[3] = {1 / dims.x(), 1 / dims.y(), 1 / dims.z()};
    const double edge[3] = {dims.x(), dims.y(), dims.z()};
    const kernels::KernelSet& kernel = kernels::best_kernels();
    double* const coordinates = ::coordinates(positions);
    std::atomic<bool> inside{true};
    const double ekinsum = sum_in_thread_order(n, thread_partials, [&](const Block& block, std::size_t) {
        // Each coordinate is wrapped on its own, so the threads' shares change nothing.
        if (wrap == Wrap::first &&
            !kernel.wrap(coordinates + 3 * block.begin, block.end - block.begin, invL, edge)) {
            inside = false;
        }
        double partial = 0.0;
        for (std::size_t i = block.begin; i < block.end; ++i) {
            velocities[i] += factor * forces[i];
            partial += squared_length(velocities[i]);
        }
        return partial;
    });
    ekin = (0.5 * ekinsum) * m;
    return inside;
}

double Cell::thermostat_factor(double dt) {
    switch (thermostat) {
        case Thermostat::berendsen:
            return berendsen_factor(dt);
        case Thermostat::bussi:
            return bussi_factor(dt);
        case Thermostat::none:
            break;
    }
    return 1.0;  // multiplying by 1 changes no bit
}

double Cell::berendsen_factor(double dt) const {
    const std::uint64_t n = particle_count(*params);
    const double tau = positive_param(*params, "tau");
    const double kT = params->get_param<double>("kT");
    if (dt > tau) {
        throw std::invalid_argument("stepsize = " + format_value(dt) + " is larger than tau = " + format_value(tau) +
                                    ": the thermostat needs stepsize <= tau");
    }
    const double ekin0 = (1.5 * static_cast<double>(n - 1)) * kT;
    // Without kinetic energy there is nothing to rescale: particles at rest stay at
    // rest. Multiplying by 1 changes no bit.
    if (ekin == 0.0) return 1.0;
    const double q = dt / tau;
    const double r = ekin0 / ekin - 1;
    return std::sqrt(1 + r * q);
}

// The draws come first, whatever the kinetic energy, so every step takes the same
// numbers from the stream.
double Cell::bussi_factor(double dt) {
    const std::uint64_t n = particle_count(*params);
    const double tau = positive_param(*params, "tau");
    const double kT = params->get_param<double>("kT");
    const double dof = 3.0 * static_cast<double>(n - 1);
    const double target = (0.5 * dof) * kT;
    const double c = std::exp(-dt / tau);
    const double drawn = bussi_kinetic_energy(ekin, target, dof, c, thermostat_stream);
    if (ekin == 0.0) return 1.0;
    return std::sqrt(drawn / ekin);
}

bool Cell::thermostat_and_drift(double dt) {
    const double lambda = thermostat_factor(dt);
    const double shell = params->get_param<double>("shell");
    const double limit = 0.25 * (shell * shell);
    const std::size_t n = positions.size();
    bool rebuild = false;
#pragma omp parallel reduction(|| : rebuild)
    {
        const Block block = this_thread_block(n);
        for (std::size_t i = block.begin; i < block.end; ++i) {
            velocities[i] *= lambda;
            const vec3 d = velocities[i] * dt;
            positions[i] += d;
            dij_list[i] += d;
            rebuild = rebuild || squared_length(dij_list[i]) > limit;
        }
    }
    return rebuild;
}

void Cell::throw_lost_particle(unsigned int step) const {
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (int c = 0; c < 3; ++c) {
            const double p = positions[i][c];
            if (!(p >= 0.0 && p <= dims[c])) {
                throw std::range_error("step " + std::to_string(step) + ": particle " + std::to_string(i) +
                                       " is at " + "xyz"[c] + " = " + format_value(p) +
                                       " after the periodic wrap, outside the box of " + format_value(dims[c]) +
                                       "; the run has become unstable (check stepsize, sigma and epsilon)");
            }
        }
    }
    throw std::range_error("step " + std::to_string(step) + ": the periodic wrap lost a particle");
}
