// A plain implementation of the engine's arithmetic, written for clarity and kept
// apart from the engine: one particle, one pair, one operation at a time, in the
// stated order. The engine's optimised paths must reproduce it bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "cell.h"

class ReferenceMd {
public:
    struct Settings {
        double length, mass, kT, tau, rcut, shell, sigma, epsilon;
        std::size_t threads;  // energies are summed per contiguous block of this many threads
    };

private:
    Settings s;

public:
    ReferenceMd(const Settings& settings, std::vector<vec3> positions, std::vector<vec3> velocities)
        : s(settings), r(std::move(positions)), v(std::move(velocities)), f(r.size()), dij(r.size()) {
        build();
        forces();
    }

    void step(double dt) {
        half_kick(dt);
        thermostat(dt);
        for (std::size_t i = 0; i < r.size(); ++i) {
            const vec3 d = v[i] * dt;
            r[i] += d;
            dij[i] += d;
        }
        forces();
        for (vec3& p : r)
            for (int c = 0; c < 3; ++c) p[c] = p[c] - std::floor(p[c] * (1 / s.length)) * s.length;
        if (needs_rebuild()) build();
        half_kick(dt);
        etot = ekin + epot;
    }

    std::vector<vec3> r, v, f, dij;
    std::vector<std::uint32_t> list;
    double epot = 0.0, ekin = 0.0, etot = 0.0;
    std::size_t builds = 0;  // neighbour-list builds so far

private:
    vec3 separation(std::size_t i, std::size_t j) const {
        vec3 rij = r[i] - r[j];
        for (int k = 0; k < 3; ++k) {
            if (rij[k] >= 0.5 * s.length) {
                rij[k] -= s.length;
            } else if (rij[k] < -0.5 * s.length) {
                rij[k] += s.length;
            }
        }
        return rij;
    }

    static double length2(const vec3& a) { return a.x() * a.x() + (a.y() * a.y() + a.z() * a.z()); }

    // Sums term(i) over contiguous per-thread blocks, each block in order, then the
    // blocks' partials in thread order.
    template <typename Term>
    double block_sum(Term term) const {
        const std::size_t n = r.size(), q = n / s.threads, rem = n % s.threads;
        double total = 0.0;
        std::size_t i = 0;
        for (std::size_t t = 0; t < s.threads; ++t) {
            double partial = 0.0;
            for (const std::size_t end = i + q + (t < rem ? 1 : 0); i < end; ++i) term(i, partial);
            total += partial;
        }
        return total;
    }

    void build() {
        ++builds;
        const double csc = s.rcut + s.shell, cutsq = csc * csc;
        const unsigned int n = static_cast<unsigned int>(s.length / csc);
        const double edge = s.length / n;
        const auto cell_of = [&](double x) {
            const double q = x / edge;
            return q < 1.0 ? 0u : q >= n ? n - 1 : static_cast<unsigned int>(q);
        };
        std::vector<std::vector<std::uint32_t>> subcells(std::size_t(n) * n * n);
        for (std::size_t i = 0; i < r.size(); ++i) {
            subcells[cell_of(r[i].x()) + n * (cell_of(r[i].y()) + n * cell_of(r[i].z()))].push_back(std::uint32_t(i));
        }
        std::vector<std::vector<std::uint32_t>> runs(r.size());
        for (std::size_t i = 0; i < r.size(); ++i) {
            dij[i] = vec3::Zero();
            std::vector<unsigned int> ids;  // distinct, in order of first occurrence
            const unsigned int c[3] = {cell_of(r[i].x()), cell_of(r[i].y()), cell_of(r[i].z())};
            for (const unsigned int cx : {c[0] == 0 ? n - 1 : c[0] - 1, c[0], c[0] == n - 1 ? 0 : c[0] + 1})
                for (const unsigned int cy : {c[1] == 0 ? n - 1 : c[1] - 1, c[1], c[1] == n - 1 ? 0 : c[1] + 1})
                    for (const unsigned int cz : {c[2] == 0 ? n - 1 : c[2] - 1, c[2], c[2] == n - 1 ? 0 : c[2] + 1}) {
                        const unsigned int id = cx + cy * n + cz * n * n;
                        bool seen = false;
                        for (unsigned int other : ids) seen = seen || other == id;
                        if (!seen) ids.push_back(id);
                    }
            for (const unsigned int id : ids)
                for (const std::uint32_t j : subcells[id])
                    if (j != i && length2(separation(i, j)) <= cutsq) runs[i].push_back(j);
        }
        list.assign(r.size(), 0);
        for (std::size_t i = 0; i < r.size(); ++i) {
            list[i] = std::uint32_t(list.size());
            list.insert(list.end(), runs[i].begin(), runs[i].end());
            list.push_back(std::uint32_t(i));
        }
    }

    void forces() {
        const double rcutsq = s.rcut * s.rcut, sigmasq = s.sigma * s.sigma;
        const double sr2c = sigmasq / rcutsq, sr6c = sr2c * sr2c * sr2c, shift = sr6c * sr6c - sr6c;
        const double sum = block_sum([&](std::size_t i, double& partial) {
            f[i] = vec3::Zero();
            for (std::size_t e = list[i]; list[e] != i; ++e) {
                const vec3 rij = separation(i, list[e]);
                const double distsq = length2(rij);
                if (!(distsq < rcutsq)) continue;
                const double sr2 = sigmasq / distsq, sr6 = sr2 * sr2 * sr2, sr12 = sr6 * sr6;
                partial += (sr12 - sr6) - shift;
                f[i] += ((2.0 * sr12 - sr6) / distsq) * rij;
            }
        });
        for (vec3& force : f) force *= 24.0 * s.epsilon;
        epot = sum * 4.0 * s.epsilon * 0.5;
    }

    void half_kick(double dt) {
        const double factor = (0.5 / s.mass) * dt;
        const double sum = block_sum([&](std::size_t i, double& partial) {
            v[i] += factor * f[i];
            partial += length2(v[i]);
        });
        ekin = (0.5 * sum) * s.mass;
    }

    void thermostat(double dt) {
        if (ekin == 0.0) return;
        const double ekin0 = (1.5 * double(r.size() - 1)) * s.kT;
        const double lambda = std::sqrt(1 + (ekin0 / ekin - 1) * (dt / s.tau));
        for (vec3& velocity : v) velocity *= lambda;
    }

    bool needs_rebuild() const {
        for (const vec3& d : dij)
            if (length2(d) > 0.25 * (s.shell * s.shell)) return true;
        return false;
    }
};
