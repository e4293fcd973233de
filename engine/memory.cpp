// The available memory as the kernel reports it, and the refusal of an estimate
// beyond it.
#include "memory.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// MemAvailable from /proc/meminfo in bytes, or 0 if it cannot be read.
std::uint64_t meminfo_available() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        unsigned long long kilobytes = 0;
        if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kilobytes) == 1) return kilobytes * 1024;
    }
    return 0;
}

std::string gigabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    return text;
}

}  // namespace

std::uint64_t available_memory() {
    std::uint64_t available = meminfo_available();
    if (available == 0) {
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        available = pages > 0 && page_size > 0 ? std::uint64_t(pages) * std::uint64_t(page_size)
                                               : std::numeric_limits<std::uint64_t>::max();
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        available = std::min<std::uint64_t>(available, limit.rlim_cur);
    }
    return available;
}

void require_memory(double bytes, const std::string& what) {
    const std::uint64_t available = available_memory();
    if (bytes > static_cast<double>(available)) {
        throw MemoryShortage(what + " needs about " + gigabytes(bytes) + " of memory, more than the " +
                             gigabytes(static_cast<double>(available)) + " available");
    }
}
