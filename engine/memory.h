// What a run's memory will be, and whether the machine has it: the refusal of a run
// that cannot fit, before anything is allocated, with the estimate in the message.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <utility>

// Exhausted memory foreseen: a std::bad_alloc (callers treat it as any allocation
// failure) that says how much was needed and how much there was.
class MemoryShortage : public std::bad_alloc {
public:
    explicit MemoryShortage(std::string message_) : message(std::move(message_)) {}
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

// Bytes this process can still expect to get: the kernel's MemAvailable, or the free
// physical memory where /proc/meminfo is not to be had, and no more than the address
// space limit allows. UINT64_MAX if none of these is known.
std::uint64_t available_memory();

// Throws MemoryShortage, starting its message with `what`, when `bytes` exceed the
// available memory.
void require_memory(double bytes, const std::string& what);
