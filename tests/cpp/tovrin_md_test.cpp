// tovrin-md end to end: the program is run as a user runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>

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
    EXPECT_EQ(no_keys.output, "tovrin-md: Could not find parameter: stepsize\n");

    const TempFile hot(parameter_text(8, 5.0, "stepsize = 0.5\n"));
    const Outcome refused = tovrin_md(hot.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("stepsize = 0.5 is larger than tau = 0.1"), std::string::npos) << refused.output;

    const TempFile params(parameter_text(8, 5.0, "nrsteps = 3\n"));
    const Outcome bad_movie = tovrin_md(params.path() + " --movie /nonexistent/movie.bin");
    EXPECT_EQ(bad_movie.status, 1);
    EXPECT_NE(bad_movie.output.find("/nonexistent/movie.bin"), std::string::npos);
}

TEST(TovrinMd, CommandLine) {
    const Outcome help = tovrin_md("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* key : {"nr_particles", "cell_length", "mass", "kT", "tau", "rcut", "shell", "sigma",
                            "epsilon", "stepsize", "nrsteps", "--movie", "--every", "--quiet"}) {
        EXPECT_NE(help.output.find(key), std::string::npos) << key;
    }
    EXPECT_EQ(tovrin_md("").status, 2);
    EXPECT_EQ(tovrin_md("a.txt --frobnicate").status, 2);
    EXPECT_EQ(tovrin_md("a.txt --every 0").status, 2);
    EXPECT_EQ(tovrin_md("a.txt --movie").status, 2);
    EXPECT_EQ(tovrin_md("a.txt b.txt").status, 2);
}

}  // namespace
