#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <ios>
#include <utility>

#include <boost/lexical_cast.hpp>

#include "test_support.h"

namespace {

// Value text as stored, or "<absent>".
std::string stored(const Parameters& params, const std::string& key) {
    try {
        params.get_param<double>(key);
    } catch (const std::runtime_error&) {
        return "<absent>";
    } catch (const boost::bad_lexical_cast&) {
    }
    return "<present>";
}

TEST(ParameterLines, AssignmentFormats) {
    const auto params = parameters_from(
        "  tau\t=\t0.1  \r\n"   // tabs, trailing blanks and a carriage return
        "epsilon=1\n"           // no blanks at all
        "sigma = .5\n"
        "rcut = 5.\n"
        "1key_2 = 3\n"          // a key may begin with a digit
        "mass = 2.0");          // last line without a line feed
    EXPECT_EQ(params->get_param<double>("tau"), 0.1);
    EXPECT_EQ(params->get_param<double>("epsilon"), 1.0);
    EXPECT_EQ(params->get_param<double>("sigma"), 0.5);
    EXPECT_EQ(params->get_param<double>("rcut"), 5.0);
    EXPECT_EQ(params->get_param<int>("1key_2"), 3);
    EXPECT_EQ(params->get_param<double>("mass"), 2.0);
}

TEST(ParameterLines, NonAssignmentsAreSkipped) {
    const auto params = parameters_from(
        "kT = -1.0\n"
        "rcut = 2.5   # cut-off\n"
        "shell = 1e0\n"
        "sigma = 1,0\n"
        "mode = fast\n"
        "cell-length = 10\n"
        "cell.length = 10\n"
        "cell length = 10\n"
        "# nrsteps = 10\n"
        "\n");
    for (const char* key : {"kT", "rcut", "shell", "sigma", "mode", "cell-length", "cell.length",
                            "cell length", "cell_length", "length", "nrsteps"}) {
        EXPECT_EQ(stored(*params, key), "<absent>") << key;
    }
}

TEST(ParameterLines, FirstAssignmentWinsAndKeysAreCaseSensitive) {
    const auto params = parameters_from("kT = 1.0\nkT = 2.0\nTau = 0.1\n");
    EXPECT_EQ(params->get_param<double>("kT"), 1.0);
    EXPECT_EQ(params->get_param<double>("Tau"), 0.1);
    EXPECT_THROW(params->get_param<double>("tau"), std::runtime_error);
    params->set_param("kT", "3.0");
    EXPECT_EQ(params->get_param<double>("kT"), 1.0);
}

TEST(ParameterLines, OnlyLineFeedsSeparateLines) {
    EXPECT_EQ(stored(*parameters_from("kT = 1.0\rmass = 1.0\r"), "kT"), "<absent>");
    EXPECT_EQ(stored(*parameters_from("\xEF\xBB\xBFkT = 1.0\nmass = 1.0\n"), "kT"), "<absent>");
    EXPECT_EQ(stored(*parameters_from("\xEF\xBB\xBFkT = 1.0\nmass = 1.0\n"), "mass"), "<present>");
}

TEST(ParameterFile, MissingOrEmptyFileGivesEmptyTable) {
    const Parameters missing("/nonexistent/dir/params.txt");
    EXPECT_EQ(stored(missing, "stepsize"), "<absent>");
    EXPECT_EQ(stored(*parameters_from(""), "stepsize"), "<absent>");
}

// A FIFO without a writer would block the open for ever, a device never end.
TEST(ParameterFile, RefusesWhatIsNotARegularFile) {
    const std::string fifo = std::filesystem::temp_directory_path() / ("tovrin_fifo_" + std::to_string(::getpid()));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> refused[] = {
        {std::filesystem::temp_directory_path().string(), "it is a directory"},
        {fifo, "it is a FIFO, not a regular file"},
        {"/dev/zero", "it is a device, not a regular file"},
    };
    for (const auto& [path, reason] : refused) {
        try {
            const Parameters params(path);
            ADD_FAILURE() << "read " << path;
        } catch (const std::ios_base::failure& error) {
            EXPECT_EQ(std::string(error.what()), "Cannot read parameter file " + path + ": " + reason);
        }
    }
    std::remove(fifo.c_str());
}

TEST(ParameterLookup, MissingKeyMessage) {
    const auto params = parameters_from("");
    try {
        params->get_param<double>("tau");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not find parameter: tau");
    }
}

TEST(ParameterLookup, ConversionTable) {
    const auto params = parameters_from(
        "a = 108\nb = 108.0\nc = 007\nd = 4294967295\ne = 4294967296\nf = 2147483647\n"
        "g = 2147483648\nh = 2.\ni = .5\nj = .\nk = 1.2.3\nl = 2.50\n");
    EXPECT_EQ(params->get_param<int>("a"), 108);
    EXPECT_EQ(params->get_param<unsigned int>("a"), 108u);
    EXPECT_EQ(params->get_param<double>("a"), 108.0);
    EXPECT_THROW(params->get_param<int>("b"), boost::bad_lexical_cast);
    EXPECT_THROW(params->get_param<unsigned int>("b"), boost::bad_lexical_cast);
    EXPECT_EQ(params->get_param<double>("b"), 108.0);
    EXPECT_EQ(params->get_param<int>("c"), 7);  // decimal, not octal
    EXPECT_EQ(params->get_param<unsigned int>("d"), 4294967295u);
    EXPECT_THROW(params->get_param<int>("d"), boost::bad_lexical_cast);
    EXPECT_THROW(params->get_param<unsigned int>("e"), boost::bad_lexical_cast);
    EXPECT_EQ(params->get_param<int>("f"), 2147483647);
    EXPECT_THROW(params->get_param<int>("g"), boost::bad_lexical_cast);
    EXPECT_EQ(params->get_param<unsigned int>("g"), 2147483648u);
    EXPECT_EQ(params->get_param<double>("h"), 2.0);
    EXPECT_EQ(params->get_param<double>("i"), 0.5);
    EXPECT_THROW(params->get_param<double>("j"), boost::bad_lexical_cast);
    EXPECT_THROW(params->get_param<double>("k"), boost::bad_lexical_cast);
    EXPECT_EQ(params->get_param<double>("l"), 2.5);
    // A failed conversion leaves the table usable.
    EXPECT_EQ(params->get_param<int>("a"), 108);
}

TEST(ParameterLookup, BadCastMessageAndBase) {
    const auto params = parameters_from("nr_particles = 108.0\n");
    try {
        params->get_param<int>("nr_particles");
        FAIL() << "no exception";
    } catch (const std::bad_cast& error) {
        EXPECT_STREQ(error.what(), "bad lexical cast: source type value could not be interpreted as target");
    }
}

}  // namespace
