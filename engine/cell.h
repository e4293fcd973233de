// The simulation box and its particles: a cubic periodic box of N identical
// Lennard-Jones particles, their positions, velocities and forces, the Verlet
// neighbour list, the energies, and the operations of a molecular-dynamics run.
// The operations live in the files of their concern: construction in cell.cpp, the
// list in neighbor_list.cpp, the forces in forces.cpp, the step in time_step.cpp and
// the movie in movie_file.cpp.
//
// Every constant comes from the shared `Parameters` table, looked up by key at the
// moment an operation needs it. Particle i keeps index i, its place in the lattice
// order of construction, for the whole run: every per-particle array is in this
// label order, and so is everything a caller sees.
//
// Spatial order: unless `sort_every` = 0, each list build also fixes a spatial order
// of the particles, the build's own sort into sub-cells. The list is then kept in
// that order: slot k's run lists the slots of particle slot_particle[k]'s neighbours,
// the same neighbours in the same order as its run by label would, so every force sum
// is the same. The force computation gathers the positions into slot order, where a
// particle's neighbours lie near it in memory however the labels have mixed, and
// scatters the forces back to label order; only the potential energy's partial sums
// follow the slots. One place owns the permutation: `slot_particle`.
//
// Threads: the neighbour-list build, the force computation and the sweeps of the
// time step (see time_step.cpp) each run one OpenMP loop over particles; iteration i
// writes only particle i. Energy sums are summed per thread over one contiguous block
// of particles each and the partials are added in thread order, so every thread count
// repeats its results bit for bit (and one and two threads give the same sums as an
// atomic addition of the partials would).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "parameters.h"
#include "thermostat.h"

using vec3 = Eigen::Vector3d;

struct SubcellGrid;
struct Block;
class CheckpointWriter;
class CheckpointReader;
namespace kernels {
struct KernelSet;
struct SubcellScan;
}  // namespace kernels

// The progress line of a step: step number, the three energies, seconds since the
// previous mark.
std::string format_progress_line(unsigned int step, double ekin, double epot, double etot, double seconds);

// Squared length formed as x² + (y² + z²); Eigen's squaredNorm() may group it otherwise.
inline double squared_length(const vec3& v) {
    return v.x() * v.x() + (v.y() * v.y() + v.z() * v.z());
}

// A particle array as the kernels see it: x, y, z of particle 0, then of particle 1, ...
inline double* coordinates(std::vector<vec3>& vectors) { return reinterpret_cast<double*>(vectors.data()); }

// A start other than the lattice: flattened coordinates, element 3i + c being
// component c of particle i, for nr_particles particles.
struct StartingState {
    std::vector<double> positions;                  // wrapped into the box as they are taken
    std::optional<std::vector<double>> velocities;  // taken as given, drift and all; drawn when absent
};

class Cell {
public:
    // Box from `cell_length`, particles on a simple cubic lattice, Gaussian velocities
    // for `kT` with the centre-of-mass drift removed, then the neighbour list and the
    // first forces. Throws std::invalid_argument for a box that cannot hold the run.
    // With `start`, the particles sit at its positions instead, and move with its
    // velocities when it has them (nothing is then drawn from any random stream);
    // std::invalid_argument for a start of the wrong size, with numbers that are not
    // finite or with two particles closer than sigma / 2.
    explicit Cell(const std::shared_ptr<Parameters>& _params, Thermostat _thermostat = Thermostat::berendsen,
                  const std::optional<StartingState>& start = std::nullopt);

    // One velocity-Verlet step of length dt with the cell's thermostat. Every 1000th
    // step takes a wall-clock mark and, when `verbose`, prints a progress line.
    void integrate(unsigned int step, double dt, bool verbose);

    // Appends the current frame to the binary movie file, or starts the file with
    // the particle count when `create` is set. Throws std::ios_base::failure naming
    // the path when the file cannot be written or does not hold frames of this cell.
    void write_to_movie_file(const std::string& moviefile, bool create);

    // Flattened coordinates: element 3i + c is component c of particle i.
    std::vector<double> get_positions() const;
    std::vector<double> get_velocities() const;
    std::vector<double> get_initial_positions() const;
    std::vector<double> get_initial_velocities() const;

    // The virial pressure (2 Ekin + sum over pairs within rcut of r . f) / (3 V) of
    // the current positions and velocities, computed when called.
    double pressure() const;

    double get_ekin() const { return ekin; }
    double get_epot() const { return epot; }
    double get_etot() const { return etot; }
    const vec3& get_dims() const { return dims; }
    Thermostat get_thermostat() const { return thermostat; }

    // Checkpoints (checkpoint.cpp): every member that later steps read, written as
    // raw little-endian values, and a cell rebuilt from them that continues bit for
    // bit. The cell's state is the last part of a checkpoint: `read_state` reads it
    // (the thermostat and its stream from format version 2 on; a version-1 state is a
    // Berendsen run), checks the file's checksum, then checks the state against
    // `stated_particles`, the parameters and itself, throwing std::invalid_argument at
    // the first fault.
    void write_state(CheckpointWriter& out) const;
    // `version`: the file's format version (the spatial order is stored since 3).
    static std::unique_ptr<Cell> read_state(CheckpointReader& in, const std::shared_ptr<Parameters>& _params,
                                            std::uint64_t stated_particles, std::uint32_t version);

private:
    struct Restoring {};
    Cell(const std::shared_ptr<Parameters>& _params, Restoring) : params(_params) {}
    void check_restored_state(CheckpointReader& in, std::uint64_t stated_particles) const;
    void read_thermostat(CheckpointReader& in);
    void check_restored_order(CheckpointReader& in) const;
    std::size_t checked_neighbor_runs(CheckpointReader& in) const;

    friend struct CellTestAccess;  // the C++ tests' one way to the private state

    void initialize(const std::optional<StartingState>& start);
    void place_on_lattice(std::uint64_t n, double dl);
    void draw_velocities(std::uint64_t n, double kT, double m);
    // The start's arrays as the particles' own: positions wrapped into the box.
    void take_positions(const std::vector<double>& flat, std::uint64_t n);
    void take_velocities(const std::vector<double>& flat, std::uint64_t n);
    // Refuses a start with two particles closer than sigma / 2 (the list must be built).
    void check_closest_pairs() const;
    // Bytes a run of n particles in `volume` will allocate, at least; reads rcut and
    // shell.
    double estimated_memory(std::uint64_t n, double volume) const;

    // Per-thread output of the neighbour-list build: the runs of one chunk of particles.
    struct RunBuffer {
        std::vector<std::uint32_t> entries;  // the runs, each closed by its particle's index
        std::vector<std::size_t> run_end;    // end of each particle's run in `entries`
    };
    // The particles sorted by sub-cell, with their coordinates, for the build's scans.
    struct SubcellSort {
        bool sparse = false;                 // only occupied sub-cells kept (far more sub-cells than particles)
        std::vector<std::uint32_t> start;    // dense: first entry of each sub-cell, and the end
        std::vector<std::uint32_t> next;     // dense: per thread, fill position of each sub-cell while sorting
        std::vector<std::uint32_t> keys;     // sparse: the sub-cell of each entry, ascending; dense: of each
                                             // particle while sorting
        std::vector<std::uint32_t> index;    // particle of each entry
        std::vector<double> x, y, z;         // its coordinates

        // The first entry of sub-cell `key`, or of the next occupied one after it.
        std::uint32_t first_entry(std::uint32_t key) const { return sparse ? first_occupied(key) : start[key]; }
        std::uint32_t first_occupied(std::uint32_t key) const;  // sparse: by binary search
    };
    static constexpr std::size_t build_chunk = 256;  // particles per parallel work item of a build

    void build_neighbor_list();
    // How a build's sorted entries name their particles: by label (no spatial order),
    // by slot in a new spatial order (entry k is slot k), or by slot in the order kept
    // from an earlier build.
    enum class SortedEntries { labels, new_slots, kept_slots };
    // Decides the build's order, and readies slot_particle and slot_of for it.
    SortedEntries slots_for_build();
    // Sorts the particles into sub-cells, in parallel, naming them as `entries` says;
    // a new order's slot_particle and slot_of are filled in the same sweep.
    void sort_into_subcells(const SubcellGrid& grid, SortedEntries entries);
    template <typename Place>
    void sort_sparse(const SubcellGrid& grid, Place place);
    template <typename Place>
    void sort_dense(const SubcellGrid& grid, std::size_t ncells, Place place);
    // The particle in slot k.
    std::size_t particle_in_slot(std::size_t k) const { return slot_particle.empty() ? k : slot_particle[k]; }
    void find_runs(const SubcellGrid& grid, const kernels::SubcellScan& scan, const kernels::KernelSet& kernel,
                   bool entries_are_slots, std::size_t first, std::size_t last, RunBuffer& buffer);
    void append_runs(std::size_t first, std::size_t last, const RunBuffer& buffer);
    // Entries the list is expected to hold at n particles in `volume` (runs of all
    // particles within csc, with a tenth to spare), at most 2^32 - 1.
    static double expected_list_length(double n, double volume, double csc);
    void reserve_neighbor_list(double csc);
    void calculate_forces();
    static constexpr std::size_t force_chunk = 512;  // slots per work item of a force computation
    // Copies between label and slot order, for the slots [begin, end) of `slots`.
    void gather_positions(const Block& slots);
    void scatter_forces(const Block& slots);
    // Which of the kernel set's two force loops runs, where it has two: the one whose
    // latest force computation was the faster, the other tried again every 64th time.
    // Both give the same bits; their speeds cross as a run mixes its particles.
    struct ForceLoopChoice {
        double seconds[2] = {0.0, 0.0};  // latest wall time of each loop; 0 before its first
        unsigned int computations = 0;
        int next(bool two_loops);        // 0: the set's first loop, 1: its other one
    };

    // The half kick v += (dt / 2m) f, each thread over its own block, which sets ekin.
    // With Wrap::first each block's positions are wrapped into the box before its
    // kick; false if one could not be brought back (a coordinate too far out for the
    // wrap to keep any precision, or not a number).
    enum class Wrap { none, first };
    bool half_kick(double dt, Wrap wrap);
    // The thermostat's velocity factor for the latest kinetic energy.
    double thermostat_factor(double dt);
    double berendsen_factor(double dt) const;
    double bussi_factor(double dt);
    // Rescales the velocities by the thermostat and moves the particles; true when one
    // has moved more than half the shell since the last build, so the list is due.
    bool thermostat_and_drift(double dt);
    [[noreturn]] void throw_lost_particle(unsigned int step) const;

    vec3 dims;                                // box edge lengths; the box spans [0, dims)
    std::vector<vec3> positions;              // current positions
    std::vector<vec3> positions_initial;      // lattice or starting positions, as placed
    std::vector<vec3> velocities;             // current velocities
    std::vector<vec3> velocities_initial;     // drawn velocities before drift removal, or the start's
    std::vector<vec3> forces;                 // Lennard-Jones force on each particle
    std::shared_ptr<Parameters> params;       // the run's settings, shared with its creator
    std::vector<std::uint32_t> neighbor_list; // head of N run starts, then one run per slot, of slots
    std::vector<std::uint32_t> slot_particle; // particle of each slot; empty: slot k is particle k
    std::uint64_t steps_since_sort = 0;       // steps since slot_particle was last set from a sort
    std::vector<vec3> dij_list;               // unwrapped displacement since the last build
    double epot = 0.0;                        // potential energy
    double ekin = 0.0;                        // kinetic energy after the latest half kick
    double etot = 0.0;                        // ekin + epot after the latest step
    std::chrono::system_clock::time_point ttime;  // wall-clock mark of the progress line
    Thermostat thermostat = Thermostat::berendsen;
    ThermostatStream thermostat_stream;       // the stochastic thermostat's draws

    // Working storage kept from call to call, so that steps do not allocate.
    SubcellSort subcells;                     // the latest build's sort
    std::vector<std::uint32_t> slot_of;       // slot of each particle: slot_particle's inverse, or empty
    std::vector<vec3> slot_positions;         // positions gathered into slot order for the forces
    std::vector<vec3> slot_forces;            // forces in slot order, before they go back to label order
    std::vector<RunBuffer> run_buffers;       // one per thread
    std::size_t longest_run = 0;              // entries of the longest run, its closing index included
    std::vector<double> force_scratch;        // the force kernel's per-thread energy terms
    std::vector<double> thread_partials;      // per-thread energy partials, summed in thread order
    std::vector<double> chunk_partials;       // per-chunk energy partials of a spatial order, in chunk order
    std::vector<double> thread_bounds;        // per-thread coordinate bounds of the force computation
    ForceLoopChoice force_loop;
};
