// Writing a buffer to a file descriptor whole: the movie's frames and tovrin-md's
// energies rows each go to the system complete or not at all from the writer's side.
#pragma once

#include <cstddef>

// Writes all `size` bytes at `data`, resuming after short writes and interrupted
// calls; false, with errno set, if a write fails.
bool write_whole(int fd, const void* data, std::size_t size);
