// The movie file: the particle count once, then per frame the box edges and each
// particle's position, velocity and speed, appended one frame a call.
//
// A frame is built in memory and handed to the system in one write, and a write
// that fails part-way is cut back to the frame before, so a full disk or a killed
// run leaves whole frames (a SIGKILL during the write itself can still cut one).
// Failures carry the system's reason (errno), which std::ofstream would lose.
#include "cell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "whole_write.h"

namespace {

// A problem with the file's contents.
std::ios_base::failure movie_error(const std::string& moviefile, const std::string& problem) {
    return std::ios_base::failure("movie file '" + moviefile + "': " + problem);
}

// A failed system call: the message ends with the reason errno gives.
std::ios_base::failure movie_system_error(const std::string& moviefile, const std::string& action) {
    return std::ios_base::failure("movie file '" + moviefile + "': " + action,
                                  std::error_code(errno, std::generic_category()));
}

// Bytes of one frame: the box edges, then position, velocity and speed per particle.
std::uintmax_t movie_frame_size(std::uint32_t n) { return 24 + 56 * std::uintmax_t(n); }

// An open file descriptor, closed when the object goes.
class OpenFile {
public:
    OpenFile(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0666)) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Closes now, so that a failing close (a network file system) can be reported.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// An existing movie file must hold whole frames of `n` particles to take one more.
// Returns its size.
off_t check_movie_file(const std::string& moviefile, const OpenFile& file, std::uint32_t n) {
    std::uint32_t count = 0;
    const ssize_t got = ::pread(file.fd(), &count, sizeof count, 0);
    if (got < 0) throw movie_system_error(moviefile, "cannot read its particle count");
    if (got != sizeof count) throw movie_error(moviefile, "cannot read its particle count");
    if (count != n) {
        throw movie_error(moviefile, "holds frames of " + std::to_string(count) + " particles, not " +
                                         std::to_string(n));
    }
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0) throw movie_system_error(moviefile, "cannot read its size");
    const auto size = static_cast<std::uintmax_t>(status.st_size);
    if ((size - 4) % movie_frame_size(n) != 0) {
        throw movie_error(moviefile, "its size of " + std::to_string(size) +
                                         " bytes is not a whole number of frames of " + std::to_string(n) +
                                         " particles");
    }
    return status.st_size;
}

template <typename T>
void append_bytes(std::vector<unsigned char>& bytes, const T* values, std::size_t count) {
    const auto* first = reinterpret_cast<const unsigned char*>(values);
    bytes.insert(bytes.end(), first, first + count * sizeof(T));
}

}  // namespace

void Cell::write_to_movie_file(const std::string& moviefile, bool create) {
    const auto n = static_cast<std::uint32_t>(params->get_param<int>("nr_particles"));
    std::error_code ignored;
    const bool start = create || !std::filesystem::exists(moviefile, ignored);

    std::vector<unsigned char> bytes;
    bytes.reserve(sizeof n + movie_frame_size(n));
    if (start) append_bytes(bytes, &n, 1);
    append_bytes(bytes, dims.data(), 3);
    for (std::uint32_t i = 0; i < n; ++i) {
        const vec3& v = velocities[i];
        const double record[7] = {positions[i].x(), positions[i].y(), positions[i].z(),
                                  v.x(), v.y(), v.z(), std::sqrt(squared_length(v))};
        append_bytes(bytes, record, 7);
    }

    OpenFile movie(moviefile, start ? O_WRONLY | O_CREAT | O_TRUNC : O_RDWR | O_APPEND);
    if (!movie.is_open()) throw movie_system_error(moviefile, "cannot open for writing");
    const off_t whole = start ? 0 : check_movie_file(moviefile, movie, n);
    if (!write_whole(movie.fd(), bytes.data(), bytes.size())) {
        const int reason = errno;
        // Nothing to cut back on a device such as /dev/full, where this fails.
        [[maybe_unused]] const int cut = ::ftruncate(movie.fd(), whole);
        errno = reason;
        throw movie_system_error(moviefile, "write failed");
    }
    if (!movie.close()) throw movie_system_error(moviefile, "write failed");
}
