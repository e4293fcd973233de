// A run in progress and its checkpoint file: the cell, the steps done and the
// energies after each, written to one file and read back so that the run continues
// bit for bit as if it had never stopped.
//
// The file, little-endian: the magic "TOVRINCK", a 32-bit format version, the
// particle count, the steps done, the parameters as "key = value" lines, the cell's
// state (box, energies, the six particle arrays, from version 2 on the thermostat's
// name and its random stream's state as texts, the neighbour list), the energy log,
// and a CRC-32 of everything before it. It is written under a temporary name and
// renamed over the target only once complete and flushed to disk, so a crash while
// saving leaves the previous checkpoint as it was.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <boost/crc.hpp>

#include "cell.h"
#include "parameters.h"

constexpr std::uint32_t checkpoint_version = 2;
constexpr std::uint32_t oldest_checkpoint_version = 1;  // still read: a Berendsen run

// A run: its parameters, its cell, the steps done and the energies after each step.
struct RunState {
    std::shared_ptr<Parameters> parameters;
    std::unique_ptr<Cell> cell;
    std::uint64_t steps_done = 0;
    std::vector<double> ekin, epot, etot;  // one entry per step done

    // One step of length `dt`, numbered by the steps done before it, then logged.
    void step(double dt);
};

// Writes `run` to `path` (replacing it only once the new file is complete). Throws
// std::ios_base::failure naming the path when the file cannot be written.
void save_checkpoint(const RunState& run, const std::string& path);

// Reads a checkpoint. Throws std::ios_base::failure when the file cannot be opened,
// std::invalid_argument naming the path and the fault when it is no tovrin checkpoint,
// another version, truncated, corrupted or inconsistent.
RunState load_checkpoint(const std::string& path);

// Writes values to a file, keeping the running checksum of everything written.
class CheckpointWriter {
public:
    CheckpointWriter(const std::string& path, const std::string& target);
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
    // Appends the checksum and closes the file; throws if anything failed to write.
    void finish();

private:
    std::string target;  // the checkpoint's name, for messages
    std::ofstream file;
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
