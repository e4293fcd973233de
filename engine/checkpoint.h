// A run in progress and its checkpoint file: the cell, the steps done and the
// energies after the latest of them, written to one file and read back so that the
// run continues bit for bit as if it had never stopped.
//
// The file, little-endian: the magic "TOVRINCK", a 32-bit format version, the
// particle count, the steps done, the parameters as "key = value" lines, the energy
// log (its capacity, then the kept entries), the cell's state (box, energies, the six
// particle arrays, the thermostat's name and its random stream's state as texts, the
// neighbour list, its spatial order and the steps since that was sorted), and a CRC-32
// of everything before it. Version 1 files, whose log holds every step and which have
// no thermostat (a Berendsen run), and version 2 files, whose list is in label order,
// still load. A save writes a temporary file of its own beside the target, flushes it
// to disk and renames it over the target, so a crash while saving leaves the previous
// checkpoint as it was, and saves to one path from several threads or processes leave
// one of their whole files.
#pragma once

#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <boost/crc.hpp>

#include "cell.h"
#include "parameters.h"

constexpr std::uint32_t checkpoint_version = 3;
constexpr std::uint32_t oldest_checkpoint_version = 1;  // still read: a Berendsen run

// The energies after the latest steps of a run, at most `capacity` of them, so that
// the memory and the checkpoints of a long run do not grow with its length.
class EnergyLog {
public:
    static constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();
    enum Column { ekin, epot, etot };

    explicit EnergyLog(std::uint64_t capacity = unbounded) : capacity_(capacity) {}

    // Appends the energies after one more step, dropping the oldest entry when full.
    void record(double kinetic, double potential, double total);
    std::uint64_t capacity() const { return capacity_; }
    std::size_t size() const { return entries.size(); }
    // The latest `count` entries of one energy, oldest first (count <= size()).
    std::vector<double> latest(Column column, std::size_t count) const;
    std::vector<double> all(Column column) const { return latest(column, size()); }

private:
    std::uint64_t capacity_;
    struct Energies {
        double kinetic, potential, total;
    };
    std::vector<Energies> entries;  // grows to the capacity, then a ring
    std::size_t oldest = 0;         // index of the oldest entry once the ring is full
};

// A run: its parameters, its cell, the steps done and the energies after the latest.
struct RunState {
    std::shared_ptr<Parameters> parameters;
    std::unique_ptr<Cell> cell;
    std::uint64_t steps_done = 0;
    EnergyLog log;

    // One step of length `dt`, numbered by the steps done before it, then logged.
    void step(double dt);
};

// Writes `run` to `path` (replacing it only once the new file is complete). Throws
// std::ios_base::failure naming the path and the system's reason when the file
// cannot be written.
void save_checkpoint(const RunState& run, const std::string& path);

// Reads a checkpoint. Throws std::ios_base::failure when the file cannot be opened,
// std::invalid_argument naming the path and the fault when it is no tovrin checkpoint,
// another version, truncated, corrupted or inconsistent.
RunState load_checkpoint(const std::string& path);

// Writes values to a new file of its own, keeping the running checksum of everything
// written; the file is removed again unless `publish` renames it over the target.
class CheckpointWriter {
public:
    explicit CheckpointWriter(const std::string& target);
    ~CheckpointWriter();
    CheckpointWriter(const CheckpointWriter&) = delete;
    CheckpointWriter& operator=(const CheckpointWriter&) = delete;
    template <typename T>
    void put(const T& value) {
        bytes(&value, sizeof value);
    }
    template <typename T>
    void put_array(const std::vector<T>& values) {
        put<std::uint64_t>(values.size());
        bytes(values.data(), values.size() * sizeof(T));
    }
    void bytes(const void* data, std::size_t size);
    // Appends the checksum, flushes the file to disk and renames it over the target.
    void publish();

private:
    void flush_buffer();

    std::string target;     // the checkpoint's name
    std::string temporary;  // the file being written, unique to this save
    int fd = -1;
    bool published = false;
    std::vector<char> buffer;
    boost::crc_32_type crc;
};

// Reads values from a checkpoint, refusing to read past its end, and keeps the
// running checksum of everything read.
class CheckpointReader {
public:
    explicit CheckpointReader(const std::string& path);
    template <typename T>
    T get(const char* what) {
        T value;
        bytes(&value, sizeof value, what);
        return value;
    }
    // An array stored as its length and elements.
    template <typename T>
    std::vector<T> get_array(const char* what) {
        const auto count = get<std::uint64_t>(what);
        if (count > remaining / sizeof(T)) truncated(what);
        std::vector<T> values(count);
        bytes(values.data(), count * sizeof(T), what);
        return values;
    }
    void bytes(void* data, std::size_t size, const char* what);
    // Checks the stored checksum against the contents and that nothing follows it.
    void finish();
    [[noreturn]] void fail(const std::string& problem) const;

private:
    [[noreturn]] void truncated(const char* what) const;

    std::string path;
    std::ifstream file;
    std::uint64_t size = 0;
    std::uint64_t remaining = 0;
    boost::crc_32_type crc;
};
