// tovrin-md: runs a parameter file through the engine from the command line.
//
//   tovrin-md PARAMFILE [--movie PATH] [--every K] [--energies PATH] [--quiet]
//
// Builds the cell, runs `nrsteps` steps of `stepsize`, prints a progress line every
// 1000 steps unless --quiet, with --movie records frame 0 and one frame every K
// steps into a binary movie file, and with --energies writes the energies of every
// state as text.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "cell.h"
#include "parameters.h"

namespace {

constexpr const char* usage =
    "usage: tovrin-md PARAMFILE [--movie PATH] [--every K] [--energies PATH] [--quiet]\n";

constexpr const char* help = R"(Runs a Lennard-Jones molecular-dynamics simulation described by PARAMFILE.

options:
  --movie PATH   write a binary movie file: frame 0 after construction, then one
                 frame every K steps (the file is replaced if it exists)
  --every K      steps between movie frames (default 100; K >= 1)
  --energies PATH
                 write the energies as text: a header line "# steps ekin epot etot",
                 then one row per state, steps = 0 for the constructed cell (ekin of
                 its initial velocities) and steps = k + 1 after step k; each value
                 has 17 significant digits, so it reads back as the same double
  --quiet        no progress lines (by default one every 1000 steps)
  --help         show this text

PARAMFILE holds one "key = value" assignment per line; values are unsigned decimal
numbers (digits and one full stop, no sign or exponent); other lines are ignored and
the first assignment of a key counts. Keys:
  nr_particles   number of particles (whole number)
  cell_length    edge of the cubic periodic box
  mass           particle mass
  kT             thermal energy of the initial velocities and the thermostat target
  tau            coupling time of the Berendsen thermostat (at least stepsize)
  rcut           cut-off radius of the pair potential (shifted to zero there)
  shell          skin of the neighbour list beyond rcut
  sigma          Lennard-Jones length
  epsilon        Lennard-Jones energy
  stepsize       time step
  nrsteps        number of steps (whole number)

movie file: unsigned 32-bit particle count N, then per frame the three box edges and,
per particle, x y z vx vy vz speed, all little-endian doubles.
)";

struct Options {
    std::string paramfile;
    std::optional<std::string> movie;
    unsigned int every = 100;
    std::optional<std::string> energies;
    bool quiet = false;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Returns nothing when help was asked for.
std::optional<Options> parse(int argc, char** argv) {
    Options options;
    bool have_paramfile = false;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        const auto value = [&]() -> std::string {
            if (a + 1 >= argc) throw UsageError(arg + " needs a value");
            return argv[++a];
        };
        if (arg == "--help" || arg == "-h") {
            return std::nullopt;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--movie") {
            options.movie = value();
        } else if (arg == "--energies") {
            options.energies = value();
        } else if (arg == "--every") {
            const std::string k = value();
            try {
                options.every = boost::lexical_cast<unsigned int>(k);
            } catch (const boost::bad_lexical_cast&) {
                options.every = 0;
            }
            if (options.every == 0) throw UsageError("--every needs a whole number of steps >= 1, not '" + k + "'");
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option " + arg);
        } else if (!have_paramfile) {
            options.paramfile = arg;
            have_paramfile = true;
        } else {
            throw UsageError("more than one parameter file: " + arg);
        }
    }
    if (!have_paramfile) throw UsageError("no parameter file given");
    return options;
}

// The energies file: one text row per state, every double with 17 significant
// digits, the fewest that always read back as the same value.
class EnergyLog {
public:
    explicit EnergyLog(const std::string& path) : path_(path), file_(path) {
        if (!file_) throw error(std::string("cannot open for writing: ") + std::strerror(errno));
        file_.precision(17);
        file_ << "# steps ekin epot etot\n";
    }

    void record(unsigned long steps, double ekin, double epot, double etot) {
        file_ << steps << ' ' << ekin << ' ' << epot << ' ' << etot << '\n';
        if (!file_) throw error("write failed");
    }

    // Closing flushes the last rows: only then does a full disk show.
    void close() {
        file_.close();
        if (!file_) throw error("write failed");
    }

private:
    std::runtime_error error(const std::string& problem) const {
        return std::runtime_error("energies file '" + path_ + "': " + problem);
    }

    const std::string path_;
    std::ofstream file_;
};

// A constructed cell has not yet formed its kinetic energy (the first half kick
// does that), so row 0 takes it from the velocities, summed particle by particle.
double kinetic_energy(const Cell& cell, double mass) {
    const std::vector<double> v = cell.get_velocities();
    double sum = 0.0;
    for (std::size_t i = 0; i < v.size(); i += 3) sum += squared_length(vec3(v[i], v[i + 1], v[i + 2]));
    return (0.5 * sum) * mass;
}

void run(const Options& options) {
    if (!std::filesystem::exists(options.paramfile)) {
        throw std::runtime_error("Cannot open file: " + options.paramfile);
    }
    const auto parameters = std::make_shared<Parameters>(options.paramfile);
    const double stepsize = parameters->get_param<double>("stepsize");
    const unsigned int nrsteps = parameters->get_param<unsigned int>("nrsteps");
    Cell cell(parameters);
    if (options.movie) cell.write_to_movie_file(*options.movie, true);
    std::optional<EnergyLog> energies;
    if (options.energies) {
        energies.emplace(*options.energies);
        const double ekin = kinetic_energy(cell, parameters->get_param<double>("mass"));
        energies->record(0, ekin, cell.get_epot(), ekin + cell.get_epot());
    }
    for (unsigned int step = 0; step < nrsteps; ++step) {
        cell.integrate(step, stepsize, !options.quiet);
        if (options.movie && (step + 1) % options.every == 0) cell.write_to_movie_file(*options.movie, false);
        if (energies) energies->record(step + 1ul, cell.get_ekin(), cell.get_epot(), cell.get_etot());
    }
    if (energies) energies->close();
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options;
    try {
        options = parse(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "tovrin-md: " << error.what() << "\n" << usage;
        return 2;
    }
    if (!options) {
        std::cout << usage << "\n" << help;
        return 0;
    }
    try {
        run(*options);
    } catch (const std::exception& error) {
        std::cerr << "tovrin-md: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
