// The movie file: the particle count once, then per frame the box edges and each
// particle's position, velocity and speed, appended one frame a call.
#include "cell.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::ios_base::failure movie_error(const std::string& moviefile, const std::string& problem) {
    return std::ios_base::failure("movie file '" + moviefile + "': " + problem);
}

// Bytes of one frame: the box edges, then position, velocity and speed per particle.
std::uintmax_t movie_frame_size(std::uint32_t n) { return 24 + 56 * std::uintmax_t(n); }

// An existing movie file must hold frames of `n` particles to take one more.
void check_movie_file(const std::string& moviefile, std::uint32_t n) {
    std::ifstream input(moviefile, std::ios::binary);
    std::uint32_t count = 0;
    if (!input.read(reinterpret_cast<char*>(&count), sizeof count)) {
        throw movie_error(moviefile, "cannot read its particle count");
    }
    if (count != n) {
        throw movie_error(moviefile, "holds frames of " + std::to_string(count) + " particles, not " +
                                         std::to_string(n));
    }
    const std::uintmax_t size = std::filesystem::file_size(moviefile);
    if ((size - 4) % movie_frame_size(n) != 0) {
        throw movie_error(moviefile, "its size of " + std::to_string(size) +
                                         " bytes is not a whole number of frames of " + std::to_string(n) +
                                         " particles");
    }
}

}  // namespace

void Cell::write_to_movie_file(const std::string& moviefile, bool create) {
    const auto n = static_cast<std::uint32_t>(params->get_param<int>("nr_particles"));
    std::error_code ignored;
    const bool start = create || !std::filesystem::exists(moviefile, ignored);
    if (!start) check_movie_file(moviefile, n);

    std::ofstream movie(moviefile, std::ios::binary | (start ? std::ios::trunc : std::ios::app));
    if (!movie) throw movie_error(moviefile, std::string("cannot open for writing: ") + std::strerror(errno));
    if (start) movie.write(reinterpret_cast<const char*>(&n), sizeof n);
    movie.write(reinterpret_cast<const char*>(dims.data()), 3 * sizeof(double));
    for (std::uint32_t i = 0; i < n; ++i) {
        const vec3& v = velocities[i];
        const double record[7] = {positions[i].x(), positions[i].y(), positions[i].z(),
                                  v.x(), v.y(), v.z(), std::sqrt(squared_length(v))};
        movie.write(reinterpret_cast<const char*>(record), sizeof record);
    }
    movie.close();
    if (!movie) throw movie_error(moviefile, "write failed");
}
