// tovrin-md end to end: the program is run as a user runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "test_support.h"

namespace {

struct Outcome {
    int status;
    std::string output;  // standard output and standard error together
};

Outcome tovrin_md(const std::string& arguments) {
    const std::string command = std::string(TOVRIN_MD) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(TovrinMd, RunsAndRecordsAMovie) {
    const TempFile params(parameter_text(32, 5.0, "nrsteps = 25\n"));
    const TempFile movie("");
    const Outcome run = tovrin_md(params.path() + " --movie " + movie.path() + " --every 10");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind("Step 0000  Ekin = ", 0), 0u) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1);
    EXPECT_EQ(std::filesystem::file_size(movie.path()), 4 + 3 * (24 + 56 * 32u));  // frames 0, 10, 20
}

struct EnergyRow {
    unsigned long steps;
    double ekin, epot, etot, pressure;
};

// The rows of an energies file; fails the test unless the header and every row parse.
std::vector<EnergyRow> read_energies(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    EXPECT_EQ(line, "# steps ekin epot etot pressure");
    std::vector<EnergyRow> rows;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        EnergyRow row{};
        std::string rest;
        EXPECT_TRUE(fields >> row.steps >> row.ekin >> row.epot >> row.etot >> row.pressure) << line;
        EXPECT_FALSE(fields >> rest) << line;
        rows.push_back(row);
    }
    return rows;
}

// tovrin-md runs in a fresh process, whose first cell draws the first deviates of
// the random stream. The cell built here is the only one this test program builds,
// so it draws the same ones, and every printed value must read back as its own bits.
TEST(TovrinMd, EnergiesFileHoldsEveryStateExactly) {
    const unsigned int nrsteps = 7;
    const double mass = 2.0;
    const TempFile params(parameter_text(32, 5.0, "nrsteps = 7\nmass = 2.0\n"));
    const TempFile energies("");
    const Outcome run = tovrin_md("--quiet " + params.path() + " --energies " + energies.path());
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<EnergyRow> rows = read_energies(energies.path());
    ASSERT_EQ(rows.size(), nrsteps + 1u);

    Cell cell(std::make_shared<Parameters>(params.path()));
    // Row 0: the constructed cell, its kinetic energy that of the initial velocities.
    const std::vector<double> v = cell.get_velocities();
    double vx2 = 0.0, vy2 = 0.0, vz2 = 0.0;
    for (std::size_t i = 0; i < v.size(); i += 3) {
        vx2 += v[i] * v[i];
        vy2 += v[i + 1] * v[i + 1];
        vz2 += v[i + 2] * v[i + 2];
    }
    const double ekin0 = 0.5 * mass * (vx2 + vy2 + vz2);
    EXPECT_EQ(rows[0].steps, 0u);
    EXPECT_NEAR(rows[0].ekin, ekin0, 1e-13 * ekin0);
    EXPECT_EQ(rows[0].epot, cell.get_epot());
    EXPECT_EQ(rows[0].etot, rows[0].ekin + rows[0].epot);
    EXPECT_EQ(rows[0].pressure, cell.pressure());
    for (unsigned int step = 0; step < nrsteps; ++step) {
        cell.integrate(step, 0.005, false);
        const EnergyRow& row = rows[step + 1];
        EXPECT_EQ(row.steps, step + 1u);
        EXPECT_EQ(row.ekin, cell.get_ekin()) << "after step " << step;
        EXPECT_EQ(row.epot, cell.get_epot()) << "after step " << step;
        EXPECT_EQ(row.etot, cell.get_etot()) << "after step " << step;
        EXPECT_EQ(row.pressure, cell.pressure()) << "after step " << step;
    }
}

TEST(TovrinMd, QuietRunPrintsNothing) {
    const TempFile params(parameter_text(8, 5.0, "nrsteps = 3\n"));
    const Outcome run = tovrin_md("--quiet " + params.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
}

TEST(TovrinMd, ReportsErrors) {
    const Outcome missing = tovrin_md("/nonexistent/params.txt");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "tovrin-md: Cannot open file: /nonexistent/params.txt\n");

    const TempFile empty("");
    const Outcome no_keys = tovrin_md(empty.path());
    EXPECT_EQ(no_keys.status, 1);
    EXPECT_EQ(no_keys.output,
              "tovrin-md: Could not find parameter: stepsize\n  no line of " + empty.path() + " assigns stepsize\n");

    const TempFile hot(parameter_text(8, 5.0, "stepsize = 0.5\n"));
    const Outcome refused = tovrin_md(hot.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("stepsize = 0.5 is larger than tau = 0.1"), std::string::npos) << refused.output;

    const TempFile params(parameter_text(8, 5.0, "nrsteps = 3\n"));
    const Outcome bad_movie = tovrin_md(params.path() + " --movie /nonexistent/movie.bin");
    EXPECT_EQ(bad_movie.status, 1);
    EXPECT_NE(bad_movie.output.find("/nonexistent/movie.bin"), std::string::npos);

    const Outcome bad_energies = tovrin_md(params.path() + " --energies /nonexistent/energies.txt");
    EXPECT_EQ(bad_energies.status, 1);
    EXPECT_NE(bad_energies.output.find("/nonexistent/energies.txt"), std::string::npos) << bad_energies.output;

    // Opens, but takes no byte: the message gives the system's reason.
    for (const char* output : {"movie", "energies"}) {
        const Outcome full_disk = tovrin_md(params.path() + " --quiet --" + output + " /dev/full");
        EXPECT_EQ(full_disk.status, 1);
        EXPECT_EQ(full_disk.output, std::string("tovrin-md: ") + output +
                                        " file '/dev/full': write failed: No space left on device\n");
    }

    // The movie's frame 0 is kept when the energies file cannot take its header.
    const TempFile first_frame("");
    const Outcome stopped = tovrin_md(params.path() + " --quiet --movie " + first_frame.path() + " --energies /dev/full");
    EXPECT_EQ(stopped.status, 1);
    EXPECT_EQ(stopped.output, "tovrin-md: energies file '/dev/full': write failed: No space left on device\n"
                              "tovrin-md: stopped after 0 of 3 steps; the movie '" + first_frame.path() +
                                  "' holds 1 frame\n");

    // A kernel set that does not exist, chosen through the environment.
    setenv("TOVRIN_KERNELS", "sse9", 1);
    const Outcome bad_kernels = tovrin_md(params.path() + " --quiet");
    unsetenv("TOVRIN_KERNELS");
    EXPECT_EQ(bad_kernels.status, 1);
    EXPECT_EQ(bad_kernels.output,
              "tovrin-md: TOVRIN_KERNELS = \"sse9\" names no kernel set: use generic, avx2, avx512 or highway, or "
              "leave it unset\n");
}

// An output that names the parameter file, or both outputs one file, under any
// spelling, is refused before anything is written.
TEST(TovrinMd, RefusesOutputsThatWouldOverwriteAnInputOrEachOther) {
    const std::string text = parameter_text(8, 5.0, "nrsteps = 3\n");
    const TempFile params(text);
    const std::filesystem::path path = params.path();
    const std::string dotted = (path.parent_path() / "." / path.filename()).string();
    const TempFile link("");
    std::filesystem::remove(link.path());
    std::filesystem::create_symlink(path, link.path());
    const std::string output = params.path() + ".out";
    const std::string output_elsewhere =
        (path.parent_path() / "x" / ".." / (path.filename().string() + ".out")).string();
    for (const std::string& outputs : {"--movie " + params.path(), "--energies " + dotted, "--movie " + link.path(),
                                       "--movie " + output + " --energies " + output_elsewhere}) {
        const Outcome refused = tovrin_md(params.path() + " " + outputs);
        EXPECT_EQ(refused.status, 2) << outputs;
        EXPECT_TRUE(refused.output.find("is the parameter file") != std::string::npos ||
                    refused.output.find("are the same file") != std::string::npos)
            << refused.output;
        std::ifstream file(params.path());
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), text) << outputs;
        EXPECT_FALSE(std::filesystem::exists(output)) << outputs;
    }
}

TEST(TovrinMd, CommandLine) {
    const Outcome help = tovrin_md("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* key : {"nr_particles", "cell_length", "mass", "kT", "tau", "rcut", "shell", "sigma",
                            "epsilon", "stepsize", "nrsteps", "seed", "sort_every", "--movie", "--every", "--energies",
                            "--quiet"}) {
        EXPECT_NE(help.output.find(key), std::string::npos) << key;
    }
    EXPECT_EQ(tovrin_md("").status, 2);
    EXPECT_EQ(tovrin_md("a.txt --frobnicate").status, 2);
    EXPECT_EQ(tovrin_md("a.txt --every 0").status, 2);
    EXPECT_EQ(tovrin_md("a.txt --movie").status, 2);
    EXPECT_EQ(tovrin_md("a.txt --energies").status, 2);
    EXPECT_EQ(tovrin_md("a.txt b.txt").status, 2);
}

}  // namespace
