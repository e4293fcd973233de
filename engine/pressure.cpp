// The virial pressure of the current configuration, computed on demand (no step
// pays for it): the kinetic part from the velocities and the pair virial from the
// neighbour list, both summed in particle order (the runs taken by particle however
// the list orders its slots), so the value depends neither on the number of threads
// nor on the spatial order.
#include "cell.h"

#include <cstdint>
#include <vector>

#include "kernels/kernels.h"
#include "parameter_values.h"

double Cell::pressure() const {
    const double mass = positive_param(*params, "mass");
    const double rcut = params->get_param<double>("rcut");
    const double rcutsq = rcut * rcut;
    const double sigma = params->get_param<double>("sigma");
    const double sigmasq = sigma * sigma;
    const double epsilon = params->get_param<double>("epsilon");

    double speedsq = 0.0;
    for (const vec3& v : velocities) speedsq += squared_length(v);

    // r . f of a pair is 24 epsilon (2 (sigma/r)^12 - (sigma/r)^6); every pair is
    // listed for both of its particles.
    const std::size_t n = positions.size();
    std::vector<std::uint32_t> slot_of_particle;
    if (!slot_particle.empty()) {
        slot_of_particle.resize(n);
        for (std::size_t k = 0; k < n; ++k) slot_of_particle[slot_particle[k]] = static_cast<std::uint32_t>(k);
    }
    double pair_terms = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t slot = slot_of_particle.empty() ? i : slot_of_particle[i];
        for (std::size_t e = neighbor_list[slot];; ++e) {
            if (neighbor_list[e] == slot) break;
            const std::size_t j = particle_in_slot(neighbor_list[e]);
            const double rx = kernels::minimum_image(positions[i].x() - positions[j].x(), dims.x());
            const double ry = kernels::minimum_image(positions[i].y() - positions[j].y(), dims.y());
            const double rz = kernels::minimum_image(positions[i].z() - positions[j].z(), dims.z());
            const double distsq = rx * rx + (ry * ry + rz * rz);
            if (!(distsq < rcutsq)) continue;
            const double sr2 = sigmasq / distsq;
            const double sr6 = sr2 * sr2 * sr2;
            pair_terms += 2.0 * sr6 * sr6 - sr6;
        }
    }
    const double virial = 24.0 * epsilon * pair_terms * 0.5;
    const double volume = dims.x() * dims.y() * dims.z();
    return (mass * speedsq + virial) / (3.0 * volume);
}
