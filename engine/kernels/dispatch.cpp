// The run-time choice of a kernel set: the widest that this processor runs, unless a
// test has chosen one.
#include "kernels.h"

namespace kernels {

extern const KernelSet avx2_set;
extern const KernelSet avx512_set;

const KernelSet* avx2_kernels() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &avx2_set : nullptr;
}

const KernelSet* avx512_kernels() {
    __builtin_cpu_init();
    const bool usable = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
    return usable ? &avx512_set : nullptr;
}

namespace {
const KernelSet* chosen_for_testing = nullptr;
}  // namespace

const KernelSet& best_kernels() {
    static const KernelSet& widest = avx512_kernels()  ? *avx512_kernels()
                                     : avx2_kernels() ? *avx2_kernels()
                                                      : generic_kernels();
    return chosen_for_testing ? *chosen_for_testing : widest;
}

void use_kernels_for_testing(const KernelSet* set) { chosen_for_testing = set; }

}  // namespace kernels
