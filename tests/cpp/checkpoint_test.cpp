// Checkpoints at the engine's level, where the sanitizers watch the reader: a run
// read back continues bit for bit, its stochastic thermostat's draws too, and a list that would send the force kernels
// outside the particle arrays is refused even under a valid checksum.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include <boost/crc.hpp>

#include "checkpoint.h"
#include "test_support.h"

namespace {

RunState liquid_run(Thermostat thermostat = Thermostat::berendsen) {
    RunState run;
    run.parameters = parameters_from(parameter_text(108, 5.039684199579493, "stepsize = 0.01\n"));
    run.cell = std::make_unique<Cell>(run.parameters, thermostat);
    return run;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(Checkpoint, ReadBackContinuesBitForBit) {
    for (const int threads : {1, 2}) {
        for (const Thermostat thermostat : {Thermostat::berendsen, Thermostat::bussi}) with_threads(threads, [=] {
            RunState run = liquid_run(thermostat);
            for (int k = 0; k < 13; ++k) run.step(0.01);
            const TempFile file("");
            save_checkpoint(run, file.path());
            RunState restored = load_checkpoint(file.path());
            EXPECT_EQ(restored.steps_done, 13u);
            EXPECT_EQ(restored.etot, run.etot);
            for (int k = 0; k < 30; ++k) {
                run.step(0.01);
                restored.step(0.01);
            }
            EXPECT_EQ(restored.etot, run.etot);
            EXPECT_EQ(restored.cell->get_positions(), run.cell->get_positions());
            EXPECT_EQ(restored.cell->get_velocities(), run.cell->get_velocities());
            EXPECT_EQ(restored.cell->get_initial_velocities(), run.cell->get_initial_velocities());
            EXPECT_EQ(restored.cell->get_thermostat(), thermostat);
        });
    }
}

TEST(Checkpoint, NeighbourOutsideTheParticlesIsRefusedDespiteItsChecksum) {
    RunState run = liquid_run();
    const TempFile file("");
    save_checkpoint(run, file.path());
    std::string data = read_file(file.path());
    // The list is the last array before the checksum; its last entry closes the
    // last particle's run with that particle's index, 107.
    const std::uint32_t beyond = 108;
    std::memcpy(&data[data.size() - 8], &beyond, sizeof beyond);
    boost::crc_32_type crc;
    crc.process_bytes(data.data(), data.size() - 4);
    const std::uint32_t checksum = crc.checksum();
    std::memcpy(&data[data.size() - 4], &checksum, sizeof checksum);
    const TempFile damaged(data);
    try {
        load_checkpoint(damaged.path());
        FAIL() << "a list naming particle 108 of 108 was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("corrupted: its neighbour list has a bad run for particle 107"),
                  std::string::npos)
            << error.what();
    }
}

}  // namespace
