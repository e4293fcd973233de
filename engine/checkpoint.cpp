// Checkpoints: the run's step and energy log, the writing of a checkpoint under a
// temporary name with its checksum, and the reading back, which refuses a foreign,
// truncated, corrupted or inconsistent file before a cell is built from it.
#include "checkpoint.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "parameter_values.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "checkpoints are written in the machine's byte order");
static_assert(sizeof(vec3) == 3 * sizeof(double), "particle arrays must be flat arrays of doubles");

namespace {

constexpr char magic[8] = {'T', 'O', 'V', 'R', 'I', 'N', 'C', 'K'};
constexpr std::uint64_t max_parameter_text = 1u << 20;  // far beyond any real table
constexpr std::uint64_t max_stream_text = 1u << 16;     // a stream's state as text takes some 6,400 bytes

std::ios_base::failure write_error(const std::string& path, const std::string& problem) {
    return std::ios_base::failure("checkpoint '" + path + "': " + problem);
}

// The parameters as "key = value" lines, sorted by key, so that equal tables give
// equal text.
std::string parameter_text(const Parameters& parameters) {
    const std::map<std::string, std::string> sorted(parameters.entries().begin(), parameters.entries().end());
    std::string text;
    for (const auto& [key, value] : sorted) text += key + " = " + value + "\n";
    return text;
}

std::shared_ptr<Parameters> parameters_from_text(const std::string& text, CheckpointReader& in) {
    auto parameters = std::make_shared<Parameters>();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find(" = ");
        if (equals == std::string::npos || equals == 0) in.fail("corrupted: its parameter line '" + line + "'");
        parameters->set_param(line.substr(0, equals), line.substr(equals + 3));
    }
    return parameters;
}

// Flushes the file's contents to the disk, so that the rename publishes a whole file.
void sync_to_disk(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw write_error(path, std::string("cannot reopen to flush: ") + std::strerror(errno));
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!synced) throw write_error(path, std::string("cannot flush to disk: ") + std::strerror(error));
}

// The temporary file of a save: removed again unless the save got as far as renaming it.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path_) : path(std::move(path_)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!renamed) std::remove(path.c_str());
    }
    void rename_to(const std::string& target) {
        std::error_code error;
        std::filesystem::rename(path, target, error);
        if (error) throw write_error(target, "cannot rename the written file into place: " + error.message());
        renamed = true;
    }
    const std::string path;

private:
    bool renamed = false;
};

}  // namespace

void RunState::step(double dt) {
    cell->integrate(static_cast<unsigned int>(steps_done), dt, false);
    ekin.push_back(cell->get_ekin());
    epot.push_back(cell->get_epot());
    etot.push_back(cell->get_etot());
    ++steps_done;
}

// --- writing -------------------------------------------------------------------------

CheckpointWriter::CheckpointWriter(const std::string& path, const std::string& target_)
    : target(target_), file(path, std::ios::binary | std::ios::trunc) {
    if (!file) throw write_error(target, std::string("cannot open for writing: ") + std::strerror(errno));
}

void CheckpointWriter::bytes(const void* data, std::size_t size) {
    crc.process_bytes(data, size);
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void CheckpointWriter::finish() {
    const std::uint32_t checksum = crc.checksum();
    file.write(reinterpret_cast<const char*>(&checksum), sizeof checksum);
    file.close();
    if (!file) throw write_error(target, "write failed (is the disk full?)");
}

void Cell::write_state(CheckpointWriter& out) const {
    out.bytes(dims.data(), sizeof(double) * 3);
    out.put(ekin);
    out.put(epot);
    out.put(etot);
    for (const auto* array : {&positions, &positions_initial, &velocities, &velocities_initial, &forces, &dij_list}) {
        out.put_array(*array);
    }
    for (const std::string& text : {thermostat_name(thermostat), stream_state(thermostat_stream)}) {
        out.put<std::uint64_t>(text.size());
        out.bytes(text.data(), text.size());
    }
    out.put_array(neighbor_list);
}

void save_checkpoint(const RunState& run, const std::string& path) {
    TemporaryFile temporary(path + ".tmp" + std::to_string(::getpid()));
    CheckpointWriter out(temporary.path, path);
    out.bytes(magic, sizeof magic);
    out.put(checkpoint_version);
    out.put<std::uint64_t>(particle_count(*run.parameters));
    out.put(run.steps_done);
    const std::string text = parameter_text(*run.parameters);
    out.put<std::uint64_t>(text.size());
    out.bytes(text.data(), text.size());
    out.put_array(run.ekin);
    out.put_array(run.epot);
    out.put_array(run.etot);
    run.cell->write_state(out);
    out.finish();
    sync_to_disk(temporary.path);
    temporary.rename_to(path);
}

// --- reading -------------------------------------------------------------------------

CheckpointReader::CheckpointReader(const std::string& path_) : path(path_), file(path_, std::ios::binary) {
    if (!file) {
        throw std::ios_base::failure("checkpoint '" + path + "': cannot open: " + std::strerror(errno));
    }
    std::error_code error;
    size = std::filesystem::file_size(path, error);
    if (error) throw std::ios_base::failure("checkpoint '" + path + "': cannot read its size: " + error.message());
    remaining = size;
}

void CheckpointReader::bytes(void* data, std::size_t count, const char* what) {
    if (count > remaining) truncated(what);
    if (!file.read(static_cast<char*>(data), static_cast<std::streamsize>(count))) {
        fail(std::string("read failed inside its ") + what);
    }
    remaining -= count;
    crc.process_bytes(data, count);
}

void CheckpointReader::finish() {
    const std::uint32_t expected = crc.checksum();
    std::uint32_t stored = 0;
    if (remaining < sizeof stored) truncated("checksum");
    if (!file.read(reinterpret_cast<char*>(&stored), sizeof stored)) fail("read failed inside its checksum");
    remaining -= sizeof stored;
    if (stored != expected) fail("corrupted: its checksum does not match its contents");
    if (remaining != 0) fail("corrupted: " + std::to_string(remaining) + " bytes follow its checksum");
}

void CheckpointReader::fail(const std::string& problem) const {
    throw std::invalid_argument("checkpoint '" + path + "': " + problem);
}

void CheckpointReader::truncated(const char* what) const {
    fail("truncated: it ends after " + std::to_string(size) + " bytes, inside its " + what);
}

std::unique_ptr<Cell> Cell::read_state(CheckpointReader& in, const std::shared_ptr<Parameters>& _params,
                                       std::uint64_t stated_particles, std::uint32_t version) {
    std::unique_ptr<Cell> cell(new Cell(_params, Restoring{}));
    in.bytes(cell->dims.data(), sizeof(double) * 3, "box");
    cell->ekin = in.get<double>("energies");
    cell->epot = in.get<double>("energies");
    cell->etot = in.get<double>("energies");
    for (auto* array : {&cell->positions, &cell->positions_initial, &cell->velocities, &cell->velocities_initial,
                        &cell->forces, &cell->dij_list}) {
        *array = in.get_array<vec3>("particle arrays");
    }
    if (version >= 2) cell->read_thermostat(in);
    cell->neighbor_list = in.get_array<std::uint32_t>("neighbour list");
    in.finish();
    cell->check_restored_state(in, stated_particles);
    cell->longest_run = cell->checked_neighbor_runs(in);
    cell->ttime = std::chrono::system_clock::now();
    return cell;
}

namespace {

// A text stored as its length and bytes, of at most max_stream_text bytes.
std::string read_text(CheckpointReader& in, const char* what) {
    const auto size = in.get<std::uint64_t>(what);
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(size, max_stream_text)), '\0');
    if (size > text.size()) in.fail("corrupted: it states " + std::to_string(size) + " bytes of its " + what);
    in.bytes(text.data(), text.size(), what);
    return text;
}

}  // namespace

void Cell::read_thermostat(CheckpointReader& in) {
    const std::string name = read_text(in, "thermostat");
    const std::string state = read_text(in, "thermostat's stream");
    try {
        thermostat = thermostat_named(name);
    } catch (const std::invalid_argument&) {
        in.fail("corrupted: its thermostat '" + name + "' is none of berendsen, bussi and none");
    }
    if (!restore_stream(state, thermostat_stream)) in.fail("corrupted: its thermostat's stream state");
}

// The checksum holds, so a state that contradicts its parameters or itself was
// written so: the file does not belong to these settings or was altered whole.
void Cell::check_restored_state(CheckpointReader& in, std::uint64_t stated_particles) const {
    std::uint64_t n = 0;
    double length = 0.0;
    try {
        n = particle_count(*params);
        length = params->get_param<double>("cell_length");
    } catch (const std::exception& error) {
        in.fail(std::string("mismatched: its parameters do not describe its cell (") + error.what() + ")");
    }
    if (stated_particles != n) {
        in.fail("mismatched: it states " + std::to_string(stated_particles) +
                " particles but its parameters give nr_particles = " + std::to_string(n));
    }
    for (const auto* array : {&positions, &positions_initial, &velocities, &velocities_initial, &forces, &dij_list}) {
        if (array->size() != n) {
            in.fail("mismatched: it states " + std::to_string(n) + " particles but holds a particle array of " +
                    std::to_string(array->size()));
        }
    }
    if (!(dims == vec3(length, length, length))) {
        in.fail("mismatched: its box of " + format_value(dims.x()) + " does not match cell_length = " +
                format_value(length));
    }
}

// The longest run of a restored list, after checking that the list has the layout
// that the force kernels rely on: a head of run starts, then one run per particle
// of indices below N ending with the particle's own.
std::size_t Cell::checked_neighbor_runs(CheckpointReader& in) const {
    const std::size_t n = positions.size();
    const std::size_t size = neighbor_list.size();
    const auto broken = [&](const std::string& problem) { in.fail("corrupted: its neighbour list " + problem); };
    if (size < n) broken("is shorter than its head of " + std::to_string(n) + " run starts");
    std::size_t longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t start = neighbor_list[i];
        const std::size_t end = i + 1 < n ? neighbor_list[i + 1] : size;
        if (!(n <= start && start < end && end <= size) || neighbor_list[end - 1] != i) {
            broken("has a bad run for particle " + std::to_string(i));
        }
        const bool indices_valid = std::all_of(neighbor_list.begin() + static_cast<std::ptrdiff_t>(start),
                                               neighbor_list.begin() + static_cast<std::ptrdiff_t>(end),
                                               [n](std::uint32_t j) { return j < n; });
        if (!indices_valid) broken("names a particle beyond the last in the run of particle " + std::to_string(i));
        longest = std::max(longest, end - start);
    }
    if (n == 0 && size != 0) broken("has entries but there are no particles");
    return longest;
}

RunState load_checkpoint(const std::string& path) {
    CheckpointReader in(path);
    char found[sizeof magic] = {};
    in.bytes(found, sizeof found, "magic number");
    if (std::memcmp(found, magic, sizeof magic) != 0) {
        in.fail("not a tovrin checkpoint (it does not start with the magic number TOVRINCK)");
    }
    const auto version = in.get<std::uint32_t>("version");
    if (version < oldest_checkpoint_version || version > checkpoint_version) {
        in.fail("written in checkpoint format version " + std::to_string(version) + "; this tovrin reads versions " +
                std::to_string(oldest_checkpoint_version) + " to " + std::to_string(checkpoint_version));
    }
    const auto particles = in.get<std::uint64_t>("particle count");
    RunState run;
    run.steps_done = in.get<std::uint64_t>("step count");
    const auto text_size = in.get<std::uint64_t>("parameters");
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(text_size, max_parameter_text)), '\0');
    if (text_size > text.size()) in.fail("corrupted: it states " + std::to_string(text_size) + " bytes of parameters");
    in.bytes(text.data(), text.size(), "parameters");
    run.parameters = parameters_from_text(text, in);
    run.ekin = in.get_array<double>("energy log");
    run.epot = in.get_array<double>("energy log");
    run.etot = in.get_array<double>("energy log");
    run.cell = Cell::read_state(in, run.parameters, particles, version);
    for (const auto* log : {&run.ekin, &run.epot, &run.etot}) {
        if (log->size() != run.steps_done) {
            in.fail("mismatched: it states " + std::to_string(run.steps_done) + " steps done but logs the energies of " +
                    std::to_string(log->size()));
        }
    }
    return run;
}
