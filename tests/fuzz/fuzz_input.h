// What the fuzz targets share: the fuzzed bytes as a parameter file, the keys the
// engine looks up, and the stop for a finding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

// Every key the engine, tovrin-md and the Python module look up.
inline const char* const engine_keys[] = {"nr_particles", "cell_length", "kT",    "mass",     "sigma", "epsilon",
                                          "rcut",         "shell",       "tau",   "stepsize", "nrsteps"};

// The bytes as a file in memory, named by its /proc/self/fd path while the object lives.
class InputFile {
public:
    InputFile(const std::uint8_t* data, std::size_t size) {
        fd_ = memfd_create("tovrin_fuzz_input", MFD_CLOEXEC);
        if (fd_ < 0) throw std::logic_error("memfd_create failed");
        std::size_t written = 0;
        while (written < size) {
            const ssize_t n = ::write(fd_, data + written, size - written);
            if (n <= 0) {
                ::close(fd_);
                throw std::logic_error("cannot write the fuzzed input");
            }
            written += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() { ::close(fd_); }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// A finding: the input broke a promise of the engine. Stops the process, so that
// libFuzzer keeps the input and a replay fails.
[[noreturn]] inline void finding(const std::string& what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
