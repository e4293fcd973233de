// The run-time choice of a kernel set: the widest that this processor runs, or the
// one named by the environment variable TOVRIN_KERNELS (generic, avx2, avx512,
// highway), read once, so that a benchmark can time another set; unless a test has
// chosen one.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "kernels.h"

namespace kernels {

#if defined(__x86_64__)
extern const KernelSet avx512_set;

const KernelSet* avx512_kernels() {
    __builtin_cpu_init();
    const bool usable = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
    return usable ? &avx512_set : nullptr;
}
#else
// Other processors run the Highway kernels, or the generic ones.
const KernelSet* avx512_kernels() { return nullptr; }
#endif

namespace {

const KernelSet* chosen_for_testing = nullptr;

const KernelSet& widest_kernels() {
    if (avx512_kernels()) return *avx512_kernels();
    if (highway_kernels()) return *highway_kernels();
    return generic_kernels();
}

// The set that TOVRIN_KERNELS names, or the widest when it is unset or empty.
const KernelSet& requested_kernels() {
    const char* const requested = std::getenv("TOVRIN_KERNELS");
    if (requested == nullptr || *requested == '\0') return widest_kernels();
    const std::string name = requested;
    const KernelSet* set = nullptr;
    if (name == "generic") {
        set = &generic_kernels();
    } else if (name == "avx2") {
        set = avx2_kernels();
    } else if (name == "avx512") {
        set = avx512_kernels();
    } else if (name == "highway") {
        set = highway_kernels();
    } else {
        throw std::invalid_argument("TOVRIN_KERNELS = \"" + name +
                                    "\" names no kernel set: use generic, avx2, avx512 or highway, or leave it unset");
    }
    if (set == nullptr) {
        throw std::invalid_argument("TOVRIN_KERNELS = \"" + name + "\": this processor cannot run the " + name +
                                    " kernels");
    }
    return *set;
}

}  // namespace

const KernelSet& best_kernels() {
    static const KernelSet& chosen = requested_kernels();
    return chosen_for_testing ? *chosen_for_testing : chosen;
}

void use_kernels_for_testing(const KernelSet* set) { chosen_for_testing = set; }

}  // namespace kernels
