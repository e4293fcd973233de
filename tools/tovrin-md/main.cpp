// tovrin-md: runs a parameter file through the engine from the command line.
//
//   tovrin-md PARAMFILE [--movie PATH] [--every K] [--energies PATH] [--thermostat NAME] [--quiet]
//
// Builds the cell, runs `nrsteps` steps of `stepsize` with the thermostat chosen
// (Berendsen unless --thermostat says otherwise), prints a progress line every
// 1000 steps unless --quiet, with --movie records frame 0 and one frame every K
// steps into a binary movie file, and with --energies writes the energies of every
// state as text.
//
// Nothing is lost when a run ends early: SIGINT (Ctrl-C) or SIGTERM stops it after
// the step in progress, once that step's frame and energies row are written, and
// the exit status is 128 + the signal's number; every write goes whole to the
// system, and one that fails is cut back to the last whole frame or row.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "blow_up_watch.h"
#include "cell.h"
#include "parameter_diagnosis.h"
#include "parameters.h"
#include "whole_write.h"

namespace {

constexpr const char* usage =
    "usage: tovrin-md PARAMFILE [--movie PATH] [--every K] [--energies PATH] [--thermostat NAME] [--quiet]\n";

constexpr const char* help = R"(Runs a Lennard-Jones molecular-dynamics simulation described by PARAMFILE.

options:
  --movie PATH   write a binary movie file: frame 0 after construction, then one
                 frame every K steps (the file is replaced if it exists)
  --every K      steps between movie frames (default 100; K >= 1)
  --energies PATH
                 write the energies as text: a header line
                 "# steps ekin epot etot pressure", then one row per state, steps = 0
                 for the constructed cell (ekin of its initial velocities) and
                 steps = k + 1 after step k; each value has 17 significant digits, so
                 it reads back as the same double; the virial pressure (in epsilon /
                 sigma^3) costs about one more force computation per step
  --thermostat NAME
                 berendsen (the default: rescales towards kT with coupling time
                 tau, suppressing the kinetic energy's fluctuations), bussi
                 (stochastic velocity rescaling with coupling time tau: the
                 canonical ensemble at kT) or none (constant energy, NVE)
  --quiet        no progress lines (by default one every 1000 steps)
  --help         show this text
  --version      show tovrin's version

The outputs must differ from each other and from PARAMFILE. SIGINT (Ctrl-C) or
SIGTERM stops the run after the step in progress, with its frame and energies row
written; the exit status is then 130 or 143. The same signal once more ends it
at once.

PARAMFILE holds one "key = value" assignment per line; values are unsigned decimal
numbers (digits and one full stop, no sign or exponent); other lines are ignored and
the first assignment of a key counts. Keys:
  nr_particles   number of particles (whole number)
  cell_length    edge of the cubic periodic box
  mass           particle mass
  kT             thermal energy of the initial velocities and the thermostat target
  tau            coupling time of the thermostat (for berendsen at least stepsize)
  rcut           cut-off radius of the pair potential (shifted to zero there)
  shell          skin of the neighbour list beyond rcut
  sigma          Lennard-Jones length
  epsilon        Lennard-Jones energy
  stepsize       time step
  nrsteps        number of steps (whole number)
  seed           optional: a whole number from 0 to 4294967295 giving the run a
                 random stream of its own for its initial velocities (without it,
                 the velocities continue the process-wide stream)
  sort_every     optional: steps between the sorts that keep the force computation's
                 storage in spatial order (whole number; 0: never sort, the storage
                 stays in label order and the potential energy is summed by label;
                 without it the engine sorts at every neighbour-list build). Positions,
                 velocities, forces and the kinetic energy do not depend on it.

movie file: unsigned 32-bit particle count N, then per frame the three box edges and,
per particle, x y z vx vy vz speed, all little-endian doubles.
)";

struct Options {
    std::string paramfile;
    std::optional<std::string> movie;
    unsigned int every = 100;
    std::optional<std::string> energies;
    Thermostat thermostat = Thermostat::berendsen;
    bool quiet = false;
    bool version = false;  // --version: print it and do nothing else
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace fs = std::filesystem;

// The absolute path with `.`, `..` and the links of its existing part resolved.
fs::path resolved(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error).lexically_normal();
    const fs::path canonical = fs::weakly_canonical(absolute, error);
    return error ? absolute : canonical;
}

// Whether two paths name one file: the same file when both exist (hard links
// too), else the same resolved path.
bool same_file(const std::string& a, const std::string& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) || resolved(a) == resolved(b);
}

// An output that is the parameter file or the other output would destroy it.
void refuse_clashing_outputs(const Options& options) {
    for (const auto& [option, path] :
         {std::pair{"--movie", options.movie}, std::pair{"--energies", options.energies}}) {
        if (path && same_file(*path, options.paramfile)) {
            throw UsageError(std::string(option) + " " + *path + " is the parameter file " + options.paramfile);
        }
    }
    if (options.movie && options.energies && same_file(*options.movie, *options.energies)) {
        throw UsageError("--movie " + *options.movie + " and --energies " + *options.energies + " are the same file");
    }
}

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
        } else if (arg == "--version") {
            options.version = true;
            return options;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--movie") {
            options.movie = value();
        } else if (arg == "--energies") {
            options.energies = value();
        } else if (arg == "--thermostat") {
            try {
                options.thermostat = thermostat_named(value());
            } catch (const std::invalid_argument& error) {
                throw UsageError(std::string("--thermostat: ") + error.what());
            }
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
    refuse_clashing_outputs(options);
    return options;
}

// The energies file: one text row per state, every double with 17 significant
// digits, the fewest that always read back as the same value. Each row goes to the
// system in one write, so a killed run leaves whole rows.
class EnergyLog {
public:
    explicit EnergyLog(const std::string& path)
        : path_(path), fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
        if (fd_ < 0) throw system_error("cannot open for writing");
        write("# steps ekin epot etot pressure\n");
    }
    EnergyLog(const EnergyLog&) = delete;
    EnergyLog& operator=(const EnergyLog&) = delete;
    ~EnergyLog() {
        if (fd_ >= 0) ::close(fd_);
    }

    void record(unsigned long steps, double ekin, double epot, double etot, double pressure) {
        char row[160];  // five numbers of at most 24 characters each
        const int length =
            std::snprintf(row, sizeof row, "%lu %.17g %.17g %.17g %.17g\n", steps, ekin, epot, etot, pressure);
        write(std::string(row, static_cast<std::size_t>(length)));
        ++rows_;
    }

    unsigned long rows() const { return rows_; }

    // Closes now, so that a failing close (a network file system) is reported.
    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw system_error("write failed");
    }

private:
    // Writes `text` whole or cuts the file back to the rows before and throws.
    void write(const std::string& text) {
        if (!write_whole(fd_, text.data(), text.size())) {
            const int reason = errno;
            // Nothing to cut back on a device such as /dev/full, where this fails.
            [[maybe_unused]] const int cut = ::ftruncate(fd_, size_);
            errno = reason;
            throw system_error("write failed");
        }
        size_ += static_cast<off_t>(text.size());
    }

    // A failed system call: the message ends with the reason errno gives.
    std::system_error system_error(const std::string& problem) const {
        return std::system_error(errno, std::generic_category(), "energies file '" + path_ + "': " + problem);
    }

    const std::string path_;
    int fd_;
    off_t size_ = 0;          // bytes of the whole rows written so far
    unsigned long rows_ = 0;  // rows after the header
};

// A constructed cell has not yet formed its kinetic energy (the first half kick
// does that), so row 0 takes it from the velocities, summed particle by particle.
double kinetic_energy(const Cell& cell, double mass) {
    const std::vector<double> v = cell.get_velocities();
    double sum = 0.0;
    for (std::size_t i = 0; i < v.size(); i += 3) sum += squared_length(vec3(v[i], v[i + 1], v[i + 2]));
    return (0.5 * sum) * mass;
}

// Set by the handler of SIGINT and SIGTERM: the run stops after the step in progress.
volatile std::sig_atomic_t stop_signal = 0;

void request_stop(int signal) { stop_signal = signal; }

// The handler resets itself, so that a second signal ends the process at once.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// "1 frame", "2 frames".
std::string counted(unsigned long count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Runs the steps and writes the outputs; returns the exit status.
int run(const Options& options) {
    if (!std::filesystem::exists(options.paramfile)) {
        throw std::runtime_error("Cannot open file: " + options.paramfile);
    }
    const auto parameters = std::make_shared<Parameters>(options.paramfile);
    const double stepsize = parameters->get_param<double>("stepsize");
    const unsigned int nrsteps = parameters->get_param<unsigned int>("nrsteps");
    Cell cell(parameters, options.thermostat);
    BlowUpWatch watch(parameters->get_param<double>("kT"), parameters->get_param<unsigned int>("nr_particles"));
    unsigned int steps = 0;     // steps done
    unsigned long frames = 0;  // movie frames written
    std::optional<EnergyLog> energies;
    // Says how far a run that ends early got and what its files hold.
    const auto report_stop = [&](const std::string& cause) {
        std::cerr << "tovrin-md: " << cause << " after " << steps << " of " << nrsteps << " steps";
        if (options.movie) std::cerr << "; the movie '" << *options.movie << "' holds " << counted(frames, "frame");
        if (energies) std::cerr << "; the energies file '" << *options.energies << "' " << counted(energies->rows(), "row");
        std::cerr << "\n";
    };
    try {
        if (options.movie) {
            cell.write_to_movie_file(*options.movie, true);
            ++frames;
        }
        if (options.energies) {
            energies.emplace(*options.energies);
            const double ekin = kinetic_energy(cell, parameters->get_param<double>("mass"));
            energies->record(0, ekin, cell.get_epot(), ekin + cell.get_epot(), cell.pressure());
        }
        while (steps < nrsteps && !stop_signal) {
            cell.integrate(steps, stepsize, !options.quiet);
            ++steps;
            if (options.movie && steps % options.every == 0) {
                cell.write_to_movie_file(*options.movie, false);
                ++frames;
            }
            if (energies) energies->record(steps, cell.get_ekin(), cell.get_epot(), cell.get_etot(), cell.pressure());
            watch.observe(cell.get_ekin(), cell.get_etot());
        }
        if (energies) energies->close();
    } catch (const std::exception& error) {
        std::cerr << "tovrin-md: " << error.what() << "\n";
        if (frames > 0 || (energies && energies->rows() > 0)) report_stop("stopped");
        return 1;
    }
    if (stop_signal) {
        report_stop(stop_signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM");
        return 128 + stop_signal;
    }
    if (const auto warning = watch.warning()) std::cerr << "tovrin-md: warning: " << *warning << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    catch_stop_signals();
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
    if (options->version) {
        std::cout << "tovrin-md " << TOVRIN_VERSION << "\n";
        return 0;
    }
    try {
        return run(*options);
    } catch (const std::exception& error) {
        // A missing key or a value that does not convert: the file's lines say why.
        std::cerr << "tovrin-md: " << error.what() << "\n" << diagnosis::explain_error(options->paramfile, error.what());
        return 1;
    }
}
