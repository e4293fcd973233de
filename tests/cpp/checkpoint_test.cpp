// Checkpoints at the engine's level, where the sanitizers watch the reader: a run
// read back continues bit for bit, its stochastic thermostat's draws too, and a list
// or a spatial order that would send the force computation outside the particle
// arrays is refused even under a valid checksum.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include <boost/crc.hpp>

#include "checkpoint.h"
#include "test_support.h"

namespace {

// The liquid at `particles` with `thermostat`; `extra` assignments come first.
RunState liquid_run(int particles = 108, const std::string& extra = "",
                    Thermostat thermostat = Thermostat::berendsen) {
    RunState run;
    run.parameters =
        parameters_from(parameter_text(particles, std::cbrt(particles / 0.8442), extra + "stepsize = 0.01\n"));
    run.cell = std::make_unique<Cell>(run.parameters, thermostat);
    return run;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// 13 steps, a checkpoint, then 30 more steps of the run and of its restored copy.
void expect_restart_continues(int threads, std::uint64_t capacity, const std::string& ordering,
                               Thermostat thermostat) {
    with_threads(threads, [&] {
        RunState run = liquid_run(600, ordering, thermostat);
        run.log = EnergyLog(capacity);
        for (int k = 0; k < 13; ++k) run.step(0.01);
        const TempFile file("");
        save_checkpoint(run, file.path());
        RunState restored = load_checkpoint(file.path());
        EXPECT_EQ(restored.steps_done, 13u);
        EXPECT_EQ(restored.log.capacity(), capacity);
        EXPECT_EQ(restored.log.size(), capacity == 5 ? 5u : 13u);
        EXPECT_EQ(restored.log.all(EnergyLog::etot), run.log.all(EnergyLog::etot));
        for (int k = 0; k < 30; ++k) {
            run.step(0.01);
            restored.step(0.01);
        }
        EXPECT_EQ(restored.log.all(EnergyLog::etot), run.log.all(EnergyLog::etot));
        EXPECT_EQ(restored.log.all(EnergyLog::epot), run.log.all(EnergyLog::epot));
        EXPECT_EQ(restored.log.latest(EnergyLog::ekin, 1).back(), run.cell->get_ekin());
        EXPECT_EQ(restored.cell->get_positions(), run.cell->get_positions());
        EXPECT_EQ(restored.cell->get_velocities(), run.cell->get_velocities());
        EXPECT_EQ(restored.cell->get_initial_velocities(), run.cell->get_initial_velocities());
        EXPECT_EQ(CellTestAccess::slot_particle(*restored.cell), CellTestAccess::slot_particle(*run.cell));
        EXPECT_EQ(CellTestAccess::slot_particle(*run.cell).empty(), ordering == "sort_every = 0\n");
        EXPECT_EQ(restored.cell->get_thermostat(), thermostat);
    });
}

// Berendsen with every step logged, and Bussi, whose stream is part of the state,
// with a log of the latest 5 steps, which keeps the checkpoint's size and the run's
// memory from growing with the steps; in the spatial order the engine chooses (three
// sub-cells per axis, so that it differs from label order), in one kept over several
// list builds, and in label order.
TEST(Checkpoint, ReadBackContinuesBitForBit) {
    for (const int threads : {1, 2}) {
        for (const std::uint64_t capacity : {EnergyLog::unbounded, std::uint64_t{5}}) {
            for (const char* ordering : {"", "sort_every = 20\n", "sort_every = 0\n"}) {
                SCOPED_TRACE(ordering + std::to_string(threads) + " threads");
                const Thermostat thermostat = capacity == 5 ? Thermostat::bussi : Thermostat::berendsen;
                expect_restart_continues(threads, capacity, ordering, thermostat);
            }
        }
    }
}

template <typename T>
std::string raw(T value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// A file of format 2, from before the spatial order: its list in label order and no
// order stored. It loads and continues as the run would have; the first list build
// after it brings in the spatial order, which leaves every bit but the potential
// energy's partial sums.
TEST(Checkpoint, FormatTwoLoadsAndContinues) {
    RunState run = liquid_run(600, "sort_every = 0\n");
    for (int k = 0; k < 13; ++k) run.step(0.01);
    const TempFile file("");
    save_checkpoint(run, file.path());
    const std::string saved = read_file(file.path());
    // magic, version, particle count, step count, the parameters' size and text; at the
    // end the empty spatial order, the steps since its sort and the checksum.
    const std::size_t text_at = 8 + 4 + 8 + 8 + 8;
    std::uint64_t text_size = 0;
    std::memcpy(&text_size, &saved[text_at - 8], sizeof text_size);
    std::string text = saved.substr(text_at, text_size);
    const std::size_t line = text.find("sort_every = 0\n");
    ASSERT_NE(line, std::string::npos) << text;
    text.erase(line, std::strlen("sort_every = 0\n"));
    const std::size_t state_at = text_at + text_size;
    std::string data = saved.substr(0, 8) + raw(std::uint32_t{2}) + saved.substr(12, 16) +
                       raw(std::uint64_t{text.size()}) + text +
                       saved.substr(state_at, saved.size() - 4 - 8 - 8 - state_at);
    boost::crc_32_type crc;
    crc.process_bytes(data.data(), data.size());
    data += raw(std::uint32_t(crc.checksum()));
    const TempFile old_format(data);
    RunState restored = load_checkpoint(old_format.path());
    EXPECT_TRUE(CellTestAccess::slot_particle(*restored.cell).empty());
    for (int k = 0; k < 30; ++k) {
        run.step(0.01);
        restored.step(0.01);
    }
    EXPECT_FALSE(CellTestAccess::slot_particle(*restored.cell).empty());
    EXPECT_EQ(restored.cell->get_positions(), run.cell->get_positions());
    EXPECT_EQ(restored.cell->get_velocities(), run.cell->get_velocities());
    EXPECT_EQ(restored.cell->get_ekin(), run.cell->get_ekin());
    EXPECT_NEAR(restored.cell->get_epot(), run.cell->get_epot(), 1e-11 * std::abs(run.cell->get_epot()));
}

// A list or a spatial order that would send the force computation outside the
// particle arrays, under a valid checksum.
TEST(Checkpoint, IndexOutsideTheParticlesIsRefusedDespiteItsChecksum) {
    RunState run = liquid_run();
    const TempFile file("");
    save_checkpoint(run, file.path());
    const std::string saved = read_file(file.path());
    // The state ends with the list, the spatial order (a count and 108 entries), the
    // steps since its sort and the checksum. The list's last entry closes the last
    // slot's run with that slot, 107; the order's last entry names a particle.
    const std::size_t order_end = saved.size() - 4 - 8;
    const std::size_t list_end = order_end - 4 * 108 - 8;
    const std::pair<std::size_t, const char*> damages[] = {
        {list_end - 4, "its neighbour list has a bad run for particle 107"},
        {order_end - 4, "its spatial order does not hold each particle once"}};
    for (const auto& [offset, problem] : damages) {
        std::string data = saved;
        const std::uint32_t beyond = 108;
        std::memcpy(&data[offset], &beyond, sizeof beyond);
        boost::crc_32_type crc;
        crc.process_bytes(data.data(), data.size() - 4);
        const std::uint32_t checksum = crc.checksum();
        std::memcpy(&data[data.size() - 4], &checksum, sizeof checksum);
        const TempFile damaged(data);
        try {
            load_checkpoint(damaged.path());
            ADD_FAILURE() << "index 108 of 108 particles accepted: " << problem;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(std::string("corrupted: ") + problem), std::string::npos)
                << error.what();
        }
    }
}

}  // namespace
