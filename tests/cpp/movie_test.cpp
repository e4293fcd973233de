#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using Access = CellTestAccess;

std::string contents_of(const std::string& path) {
    std::ifstream input(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(input), {});
}

template <typename T>
T read_at(const std::string& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::size_t frame_size(std::size_t n) { return 24 + 56 * n; }

TEST(MovieFile, EmptySystemWritesCountAndBox) {
    const TempFile movie("");
    make_cell(0, 10.0).write_to_movie_file(movie.path(), true);
    const std::string bytes = contents_of(movie.path());
    ASSERT_EQ(bytes.size(), 28u);
    EXPECT_EQ(read_at<std::uint32_t>(bytes, 0), 0u);
    EXPECT_EQ(read_at<double>(bytes, 4), 10.0);
    EXPECT_EQ(read_at<double>(bytes, 20), 10.0);
}

TEST(MovieFile, FramesAndRecords) {
    const TempFile movie("stale contents that create must discard");
    Cell cell = make_cell(5, 10.0);
    Access::velocities(cell)[3] = vec3(3, 4, 0);
    cell.write_to_movie_file(movie.path(), true);
    cell.integrate(0, 0.005, false);
    cell.write_to_movie_file(movie.path(), false);
    cell.write_to_movie_file(movie.path(), false);

    const std::string bytes = contents_of(movie.path());
    ASSERT_EQ(bytes.size(), 4 + 3 * frame_size(5));
    EXPECT_EQ(read_at<std::uint32_t>(bytes, 0), 5u);
    const auto record = [&](std::size_t frame, std::size_t i, std::size_t field) {
        return read_at<double>(bytes, 4 + frame * frame_size(5) + 24 + 56 * i + 8 * field);
    };
    EXPECT_EQ(record(0, 3, 6), 5.0);  // speed of (3, 4, 0)
    EXPECT_EQ(record(0, 3, 3), 3.0);
    const auto p = Access::positions_initial(cell);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(record(0, 4, c), p[4][c]);
    const auto now = cell.get_positions();
    const auto v = cell.get_velocities();
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(record(2, 1, c), now[3 + c]);
        EXPECT_EQ(record(2, 1, 3 + c), v[3 + c]);
    }
}

TEST(MovieFile, AppendingToANewFileStartsIt) {
    const TempFile movie("");
    std::remove(movie.path().c_str());
    make_cell(2, 10.0).write_to_movie_file(movie.path(), false);
    const std::string bytes = contents_of(movie.path());
    ASSERT_EQ(bytes.size(), 4 + frame_size(2));
    EXPECT_EQ(read_at<std::uint32_t>(bytes, 0), 2u);
}

TEST(MovieFile, RefusesFilesItCannotExtend) {
    Cell cell = make_cell(3, 10.0);
    const TempFile other_count("");
    make_cell(2, 10.0).write_to_movie_file(other_count.path(), true);
    const TempFile cut_short("");
    cell.write_to_movie_file(cut_short.path(), true);
    std::filesystem::resize_file(cut_short.path(), 4 + frame_size(3) - 8);

    for (const TempFile* file : {&other_count, &cut_short}) {
        const std::string before = contents_of(file->path());
        try {
            cell.write_to_movie_file(file->path(), false);
            FAIL() << "appended to an incompatible file";
        } catch (const std::ios_base::failure& error) {
            EXPECT_NE(std::string(error.what()).find(file->path()), std::string::npos) << error.what();
        }
        EXPECT_EQ(contents_of(file->path()), before);
    }
}

TEST(MovieFile, UnwritablePathThrows) {
    Cell cell = make_cell(2, 10.0);
    for (const bool create : {true, false}) {
        try {
            cell.write_to_movie_file("/nonexistent/dir/movie.bin", create);
            FAIL() << "no error";
        } catch (const std::ios_base::failure& error) {
            EXPECT_EQ(std::string(error.what()),
                      "movie file '/nonexistent/dir/movie.bin': cannot open for writing: No such file or directory");
        }
    }
}

}  // namespace
