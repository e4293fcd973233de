// The process-wide random stream of the initial velocities.
#include "random_stream.h"

double draw_standard_normal() {
    static MinimalStandardEngine generator;
    static PolarNormalDistribution distribution;
    return distribution(generator);
}
